// Accelerations and decelerations against the baseline, and the timing of
// gradual decelerations against the contractions.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fhr_core/analysis/events.hpp"
#include "second_grid.hpp"

namespace {

using fhr_core::DecelerationKind;
using fhr_core::RunDirection;
using pulsequill_test::empty_second_text;
using pulsequill_test::grid_ms;
using pulsequill_test::grid_text;
using pulsequill_test::SecondGrid;

// ------------------------------------------------------------------ runs

// One character per second: 'Q' qualifies (150 against a threshold of 150 and
// above), 'q' is just short (149.9), '_' has no fetal value.
struct RunCase {
    const char* pattern;
    std::vector<std::pair<int, int>> runs;  // first second, second after the last qualifying one
};

TEST(FindRuns, BridgeUpToThreeSecondsThatDoNotQualify) {
    const std::vector<RunCase> cases = {
        {"", {}},
        {"qqq", {}},
        {"QQQQ", {{0, 4}}},
        {"QQqqqQQ", {{0, 7}}},
        {"QQqqqqQQ", {{0, 2}, {6, 8}}},
        {"QQ___Q", {{0, 6}}},
        {"QQq__qQ", {{0, 2}, {6, 7}}},
        {"qQqqq", {{1, 2}}},
        {"QqqqqqqqQ", {{0, 1}, {8, 9}}},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.pattern);
        const std::string pattern = c.pattern;
        SecondGrid grid(static_cast<std::int64_t>(pattern.size()) + 1);
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            if (pattern[i] != '_') grid.fetal(static_cast<std::int64_t>(i), 1, pattern[i] == 'Q' ? 150.0 : 149.9);
        }
        const auto range = grid.series().first(pattern.size());
        const std::vector<fhr_core::Run> runs = fhr_core::find_runs(range, RunDirection::at_or_above, 150.0);
        ASSERT_EQ(runs.size(), c.runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].start_ms, grid_ms(c.runs[i].first));
            EXPECT_EQ(runs[i].end_ms, grid_ms(c.runs[i].second));
        }
    }
}

TEST(FindRuns, BelowIncludesTheThreshold) {
    SecondGrid grid(5);
    grid.fetal(0, 1, 125.0).fetal(1, 1, 125.5).fetal(2, 2, 124.0);
    const std::vector<fhr_core::Run> runs = fhr_core::find_runs(grid.series(), RunDirection::at_or_below, 125.0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].start_ms, grid_ms(0));
    EXPECT_EQ(runs[0].end_ms, grid_ms(4));
}

// ---------------------------------------------------------- accelerations

struct ExpectedAcceleration {
    int start;
    int end;  // second whose text ends the event
    double duration_seconds;
    double peak_bpm;
};

struct AccelerationCase {
    const char* name;
    std::optional<std::uint8_t> ga_weeks;
    std::function<void(SecondGrid&)> shape;
    std::vector<ExpectedAcceleration> expected;
};

// A 20-minute window at 140 bpm, the baseline.
TEST(DetectAccelerations, RiseAboveTheBaselineLongEnoughAndFastEnough) {
    const std::vector<AccelerationCase> cases = {
        {"31 weeks: 10 bpm for 10 s", 31, [](SecondGrid& g) { g.fetal(100, 10, 150.0); }, {{100, 110, 10.0, 150.0}}},
        {"31 weeks: 10 bpm for 9 s", 31, [](SecondGrid& g) { g.fetal(100, 9, 150.0); }, {}},
        {"32 weeks: 10 bpm for 10 s", 32, [](SecondGrid& g) { g.fetal(100, 10, 150.0); }, {}},
        {"no age: 10 bpm for 10 s", std::nullopt, [](SecondGrid& g) { g.fetal(100, 10, 150.0); }, {}},
        {"no age: 15 bpm for 15 s", std::nullopt, [](SecondGrid& g) { g.fetal(100, 15, 155.0); },
         {{100, 115, 15.0, 155.0}}},
        {"no age: 15 bpm for 14 s", std::nullopt, [](SecondGrid& g) { g.fetal(100, 14, 155.0); }, {}},
        {"no age: 14.9 bpm", std::nullopt, [](SecondGrid& g) { g.fetal(100, 30, 154.9); }, {}},
        {"three seconds below the threshold are bridged", std::nullopt,
         [](SecondGrid& g) { g.fetal(100, 15, 155.0).fetal(118, 16, 155.0).fetal(105, 1, 165.0); },
         {{100, 134, 34.0, 165.0}}},
        {"four seconds below the threshold end the run", std::nullopt,
         [](SecondGrid& g) { g.fetal(100, 15, 155.0).fetal(119, 16, 155.0).fetal(105, 1, 165.0); },
         {{100, 115, 15.0, 165.0}, {119, 135, 16.0, 155.0}}},
        {"three seconds without samples are bridged", std::nullopt,
         [](SecondGrid& g) {
             g.fetal(100, 34, 155.0).fetal(105, 1, 165.0).no_sample(115).no_sample(116).no_sample(117);
         },
         {{100, 134, 34.0, 165.0}}},
        {"119 s", std::nullopt, [](SecondGrid& g) { g.fetal(100, 119, 160.0).fetal(105, 1, 170.0); },
         {{100, 219, 119.0, 170.0}}},
        {"120 s is a baseline change", std::nullopt,
         [](SecondGrid& g) { g.fetal(100, 120, 160.0).fetal(105, 1, 170.0); }, {}},
        {"peak 29 s after the onset", std::nullopt,
         [](SecondGrid& g) { g.fetal(100, 40, 155.0).fetal(129, 1, 170.0); }, {{100, 140, 40.0, 170.0}}},
        {"peak 30 s after the onset", std::nullopt,
         [](SecondGrid& g) { g.fetal(100, 40, 155.0).fetal(130, 1, 170.0); }, {}},
        {"a 25 s plateau peaks at its last second", std::nullopt, [](SecondGrid& g) { g.fetal(100, 25, 160.0); },
         {{100, 125, 25.0, 160.0}}},
        {"a 40 s plateau peaks too late", std::nullopt, [](SecondGrid& g) { g.fetal(100, 40, 160.0); }, {}},
        {"a rise reaching the window's end", std::nullopt,
         [](SecondGrid& g) { g.fetal(1180, 20, 160.0).fetal(1181, 1, 170.0); }, {{1180, 1199, 20.0, 170.0}}},
    };
    for (const AccelerationCase& c : cases) {
        SCOPED_TRACE(c.name);
        SecondGrid grid(1200);
        grid.fetal(0, 1200, 140.0);
        c.shape(grid);
        fhr_core::WindowAnalysis window;
        fhr_core::detect_heart_rate_events(grid.series(), grid.start_ms(), grid.end_ms(), 140, c.ga_weeks, window);
        EXPECT_TRUE(window.decelerations.empty());
        ASSERT_EQ(window.accelerations.size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(window.accelerations[i].start, grid_text(c.expected[i].start));
            EXPECT_EQ(window.accelerations[i].end, grid_text(c.expected[i].end));
            EXPECT_EQ(window.accelerations[i].duration_seconds, c.expected[i].duration_seconds);
            EXPECT_EQ(window.accelerations[i].peak_bpm, c.expected[i].peak_bpm);
        }
    }
}

// ---------------------------------------------------------- decelerations

struct ExpectedDeceleration {
    int start;
    int end;
    double duration_seconds;
    double nadir_bpm;
    double time_to_nadir_seconds;
    DecelerationKind kind;
};

struct DecelerationCase {
    const char* name;
    std::function<void(SecondGrid&)> shape;
    std::vector<ExpectedDeceleration> expected;
};

TEST(DetectDecelerations, FallFifteenBelowTheBaselineForFifteenSeconds) {
    using enum DecelerationKind;
    const std::vector<DecelerationCase> cases = {
        {"125 for 15 s", [](SecondGrid& g) { g.fetal(100, 15, 125.0); }, {{100, 115, 15.0, 125.0, 0.0, variable}}},
        {"125 for 14 s", [](SecondGrid& g) { g.fetal(100, 14, 125.0); }, {}},
        {"125.5 does not qualify", [](SecondGrid& g) { g.fetal(100, 30, 125.5); }, {}},
        {"nadir 29 s after the onset", [](SecondGrid& g) { g.fetal(100, 60, 120.0).fetal(129, 1, 100.0); },
         {{100, 160, 60.0, 100.0, 29.0, variable}}},
        {"nadir 30 s after the onset", [](SecondGrid& g) { g.fetal(100, 60, 120.0).fetal(130, 1, 100.0); },
         {{100, 160, 60.0, 100.0, 30.0, gradual}}},
        {"the earliest of equal lowest values is the nadir",
         [](SecondGrid& g) { g.fetal(100, 60, 120.0).fetal(110, 1, 100.0).fetal(140, 1, 100.0); },
         {{100, 160, 60.0, 100.0, 10.0, variable}}},
        {"119 s", [](SecondGrid& g) { g.fetal(100, 119, 120.0).fetal(101, 1, 100.0); },
         {{100, 219, 119.0, 100.0, 1.0, variable}}},
        {"120 s is prolonged whatever its shape", [](SecondGrid& g) { g.fetal(100, 120, 120.0).fetal(101, 1, 100.0); },
         {{100, 220, 120.0, 100.0, 1.0, prolonged}}},
        {"599 s is prolonged", [](SecondGrid& g) { g.fetal(100, 599, 120.0).fetal(300, 1, 100.0); },
         {{100, 699, 599.0, 100.0, 200.0, prolonged}}},
        {"600 s with an early nadir is variable", [](SecondGrid& g) { g.fetal(100, 600, 120.0).fetal(105, 1, 100.0); },
         {{100, 700, 600.0, 100.0, 5.0, variable}}},
        {"600 s with a late nadir is gradual", [](SecondGrid& g) { g.fetal(100, 600, 120.0).fetal(300, 1, 100.0); },
         {{100, 700, 600.0, 100.0, 200.0, gradual}}},
        {"signal loss inside is bridged",
         [](SecondGrid& g) { g.fetal(100, 30, 120.0).no_sample(110).no_sample(111).no_sample(112); },
         {{100, 130, 30.0, 120.0, 0.0, variable}}},
    };
    for (const DecelerationCase& c : cases) {
        SCOPED_TRACE(c.name);
        SecondGrid grid(1200);
        grid.fetal(0, 1200, 140.0);
        c.shape(grid);
        fhr_core::WindowAnalysis window;
        fhr_core::detect_heart_rate_events(grid.series(), grid.start_ms(), grid.end_ms(), 140, std::nullopt, window);
        EXPECT_TRUE(window.accelerations.empty());
        ASSERT_EQ(window.decelerations.size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const fhr_core::DecelerationEvent& got = window.decelerations[i];
            EXPECT_EQ(got.start, grid_text(c.expected[i].start));
            EXPECT_EQ(got.end, grid_text(c.expected[i].end));
            EXPECT_EQ(got.duration_seconds, c.expected[i].duration_seconds);
            EXPECT_EQ(got.nadir_bpm, c.expected[i].nadir_bpm);
            EXPECT_EQ(got.depth_bpm, 140.0 - c.expected[i].nadir_bpm);
            EXPECT_EQ(got.time_to_nadir_seconds, c.expected[i].time_to_nadir_seconds);
            EXPECT_EQ(got.kind, c.expected[i].kind);
        }
    }
}

TEST(DetectHeartRateEvents, LookOnlyAtTheLastTwentyMinutes) {
    // A 30-minute window: its last twenty minutes begin at second 600.
    SecondGrid grid(1801);
    grid.fetal(0, 1801, 140.0);
    grid.fetal(100, 30, 120.0);   // deceleration before the range
    grid.fetal(590, 25, 160.0);   // acceleration cut at the range's start
    grid.fetal(700, 30, 120.0);   // deceleration inside
    fhr_core::WindowAnalysis window;
    fhr_core::detect_heart_rate_events(grid.series(), grid.start_ms(), grid.end_ms(), 140, std::nullopt, window);
    ASSERT_EQ(window.accelerations.size(), 1u);
    EXPECT_EQ(window.accelerations[0].start, grid_text(600));
    EXPECT_EQ(window.accelerations[0].duration_seconds, 15.0);
    ASSERT_EQ(window.decelerations.size(), 1u);
    EXPECT_EQ(window.decelerations[0].start, grid_text(700));
}

// ------------------------------------------------------------ decel_times

TEST(DecelTimes, ReadTheTextsBack) {
    struct Case {
        const char* name;
        std::string start, end;
        double time_to_nadir_seconds;
        std::optional<fhr_core::DecelTimes> expected;
    };
    const std::vector<Case> cases = {
        {"nadir at the onset", grid_text(300), grid_text(380), 0.0,
         fhr_core::DecelTimes{grid_ms(300), grid_ms(300), grid_ms(380)}},
        {"half milliseconds round away from zero", grid_text(300), grid_text(380), 12.0625,
         fhr_core::DecelTimes{grid_ms(300), grid_ms(300) + 12063, grid_ms(380)}},
        {"an end in a second without samples", grid_text(300), empty_second_text(380), 10.0, std::nullopt},
        {"a start in a second without samples", empty_second_text(300), grid_text(380), 10.0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fhr_core::DecelerationEvent deceleration{
            .start = c.start, .end = c.end, .time_to_nadir_seconds = c.time_to_nadir_seconds};
        const std::optional<fhr_core::DecelTimes> got = fhr_core::decel_times(deceleration);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (!got) continue;
        EXPECT_EQ(got->onset_ms, c.expected->onset_ms);
        EXPECT_EQ(got->nadir_ms, c.expected->nadir_ms);
        EXPECT_EQ(got->end_ms, c.expected->end_ms);
    }
}

// ----------------------------------------------------------------- typing

fhr_core::ContractionEvent contraction(int start, int peak, int end) {
    return {.start = grid_text(start), .peak = grid_text(peak), .end = grid_text(end)};
}

struct TypingCase {
    const char* name;
    std::vector<fhr_core::ContractionEvent> contractions;
    fhr_core::DecelerationEvent deceleration;
    DecelerationKind expected;
};

fhr_core::DecelerationEvent deceleration(int start, int end, double time_to_nadir, DecelerationKind kind) {
    return {.start = grid_text(start), .end = grid_text(end), .time_to_nadir_seconds = time_to_nadir, .kind = kind};
}

TEST(TypeDecelerations, TimeGradualDecelerationsAgainstTheNearestContractionPeak) {
    using enum DecelerationKind;
    // The contraction of most cases: 10:05:00 to 10:06:00, peak 10:05:30.
    const fhr_core::ContractionEvent usual = contraction(300, 330, 360);
    fhr_core::DecelerationEvent unreadable_end = deceleration(300, 380, 34.0, gradual);
    unreadable_end.end = empty_second_text(380);
    fhr_core::ContractionEvent unreadable_contraction = contraction(300, 334, 360);
    unreadable_contraction.end = empty_second_text(360);

    const std::vector<TypingCase> cases = {
        {"nadir 4 s after the peak", {usual}, deceleration(300, 380, 34.0, gradual), early},
        {"nadir 5 s after the peak", {usual}, deceleration(300, 380, 35.0, gradual), early},
        {"nadir 6 s after the peak", {usual}, deceleration(300, 380, 36.0, gradual), late},
        {"nadir 5 s before the peak", {usual}, deceleration(300, 380, 25.0, gradual), early},
        {"nadir 6 s before the peak", {usual}, deceleration(300, 380, 24.0, gradual), gradual},
        {"no contraction", {}, deceleration(300, 380, 36.0, gradual), gradual},
        {"nadir far from any contraction", {usual}, deceleration(600, 700, 50.0, gradual), gradual},
        {"nadir 60 s after the contraction's end", {usual}, deceleration(390, 450, 30.0, gradual), late},
        {"nadir 61 s after the contraction's end", {usual}, deceleration(390, 451, 31.0, gradual), gradual},
        {"overlapping, nadir 65 s after the end", {usual}, deceleration(350, 500, 75.0, gradual), late},
        {"equally near peaks: the earlier contraction",
         {usual, contraction(340, 350, 400)}, deceleration(320, 400, 20.0, gradual), late},
        {"the nearest peak decides",
         {contraction(300, 310, 360), contraction(330, 343, 380)}, deceleration(320, 400, 20.0, gradual), early},
        {"variable is never retyped", {usual}, deceleration(300, 380, 34.0, variable), variable},
        {"prolonged is never retyped", {usual}, deceleration(300, 430, 34.0, prolonged), prolonged},
        {"an end text that cannot be read back", {usual}, unreadable_end, gradual},
        {"a contraction whose text cannot be read back is passed over",
         {unreadable_contraction, contraction(300, 320, 380)}, deceleration(300, 380, 34.0, gradual), late},
    };
    for (const TypingCase& c : cases) {
        SCOPED_TRACE(c.name);
        fhr_core::WindowAnalysis window;
        window.decelerations = {c.deceleration};
        fhr_core::type_decelerations(c.contractions, window);
        EXPECT_EQ(window.decelerations[0].kind, c.expected);
    }
}

TEST(TypeDecelerations, FillTheCountsAndAggregates) {
    using enum DecelerationKind;
    struct Case {
        const char* name;
        std::size_t accelerations;
        std::vector<fhr_core::DecelerationEvent> decelerations;
        std::uint64_t decelerations_count, prolonged_count;
        double total_seconds;
        std::optional<double> deepest_nadir, max_depth;
    };
    const std::vector<Case> cases = {
        {"no events", 0, {}, 0, 0, 0.0, std::nullopt, std::nullopt},
        {"20, 30 and 150 s",
         2,
         {{.duration_seconds = 20.0, .nadir_bpm = 100.0, .depth_bpm = 40.0, .kind = variable},
          {.duration_seconds = 30.0, .nadir_bpm = 90.0, .depth_bpm = 50.0, .kind = gradual},
          {.duration_seconds = 150.0, .nadir_bpm = 110.0, .depth_bpm = 30.0, .kind = prolonged}},
         3, 1, 200.0, 90.0, 50.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fhr_core::WindowAnalysis window;
        window.accelerations.resize(c.accelerations);
        window.decelerations = c.decelerations;
        fhr_core::type_decelerations({}, window);
        EXPECT_EQ(window.features.acceleration_count, c.accelerations);
        EXPECT_EQ(window.features.deceleration_count, c.decelerations_count);
        EXPECT_EQ(window.features.prolonged_deceleration_count, c.prolonged_count);
        EXPECT_EQ(window.features.total_deceleration_seconds, c.total_seconds);
        EXPECT_EQ(window.features.deepest_deceleration_nadir_bpm, c.deepest_nadir);
        EXPECT_EQ(window.features.max_deceleration_depth_bpm, c.max_depth);
    }
}

}  // namespace
