// Contractions from the TOCO channel, their rate and the tachysystole verdict.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fhr_core/analysis/contractions.hpp"
#include "second_grid.hpp"

namespace {

using fhr_core::ContractionEvent;
using fhr_core::ContractionThresholds;
using pulsequill_test::empty_second_text;
using pulsequill_test::grid_ms;
using pulsequill_test::grid_text;
using pulsequill_test::SecondGrid;

std::vector<double> repeated(std::initializer_list<std::pair<int, double>> groups) {
    std::vector<double> values;
    for (const auto& [count, value] : groups) values.insert(values.end(), static_cast<std::size_t>(count), value);
    return values;
}

struct ThresholdCase {
    const char* name;
    std::vector<double> values;
    std::optional<ContractionThresholds> expected;
};

TEST(ContractionThresholds, FollowTheRestingToneAndItsUpperPercentiles) {
    const std::vector<ThresholdCase> cases = {
        {"59 values are too few", repeated({{40, 10.0}, {19, 60.0}}), std::nullopt},
        {"60 values suffice", repeated({{40, 10.0}, {20, 60.0}}), ContractionThresholds{25.0, 35.0}},
        {"a constant trace is flat", repeated({{1200, 30.0}}), std::nullopt},
        {"1000 at 10 and 200 at 60", repeated({{200, 60.0}, {1000, 10.0}}), ContractionThresholds{25.0, 35.0}},
        {"1180 at 10 and 20 at 60 is flat", repeated({{20, 60.0}, {1180, 10.0}}), std::nullopt},
        {"a rise of exactly 8 is not flat", repeated({{1000, 10.0}, {200, 18.0}}), ContractionThresholds{16.0, 25.0}},
        {"a rise of 7.9 is flat", repeated({{1000, 10.0}, {200, 17.9}}), std::nullopt},
        {"large rises scale both thresholds", repeated({{2, 100.0}, {8, 50.0}, {69, 40.0}, {21, 10.0}}),
         ContractionThresholds{19.0, 55.0}},
    };
    for (const ThresholdCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> values = c.values;
        const std::optional<ContractionThresholds> got = fhr_core::contraction_thresholds(values);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (!got) continue;
        EXPECT_DOUBLE_EQ(got->onset, c.expected->onset);
        EXPECT_DOUBLE_EQ(got->peak, c.expected->peak);
    }
}

struct ExpectedContraction {
    std::string start;
    std::string peak;
    std::string end;
    double duration_seconds;
    double peak_toco;
};

ExpectedContraction on_grid(int start, int peak, int end, double duration, double peak_toco) {
    return {grid_text(start), grid_text(peak), grid_text(end), duration, peak_toco};
}

void expect_contractions(const std::vector<ContractionEvent>& got, const std::vector<ExpectedContraction>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("contraction " + std::to_string(i));
        EXPECT_EQ(got[i].start, expected[i].start);
        EXPECT_EQ(got[i].peak, expected[i].peak);
        EXPECT_EQ(got[i].end, expected[i].end);
        EXPECT_DOUBLE_EQ(got[i].duration_seconds, expected[i].duration_seconds);
        EXPECT_DOUBLE_EQ(got[i].peak_toco, expected[i].peak_toco);
    }
}

// A 1200-second window resting at 10 with 200 seconds at 60 at its start: the
// thresholds are 25 (onset) and 35 (peak) whatever the case adds between 10
// and 60, and the first 200 seconds are always one contraction.
struct ShapeCase {
    const char* name;
    std::function<void(SecondGrid&)> shape;
    std::vector<ExpectedContraction> after_calibration;
};

TEST(DetectContractions, WalkTheSmoothedTraceAgainstTheThresholds) {
    const std::vector<ShapeCase> cases = {
        {"nothing added", [](SecondGrid&) {}, {}},
        {"a plateau peaks at its first highest point", [](SecondGrid& g) { g.toco(300, 40, 60.0); },
         {on_grid(299, 303, 341, 42.0, 60.0)}},
        {"a smoothed run of five seconds is accepted",
         [](SecondGrid& g) { g.no_toco(497, 3).toco(500, 1, 60.0).no_toco(501, 3); },
         {on_grid(498, 500, 503, 5.0, 60.0)}},
        {"a smoothed run of four seconds is dropped",
         [](SecondGrid& g) { g.no_toco(497, 3).toco(500, 1, 60.0).no_toco(501, 2); }, {}},
        {"a run below the peak threshold is dropped however long", [](SecondGrid& g) { g.toco(400, 100, 30.0); },
         {}},
        {"a gap in the smoothed trace does not end a run",
         [](SecondGrid& g) { g.toco(800, 20, 60.0).no_toco(820, 10).toco(830, 20, 60.0); },
         {on_grid(799, 803, 851, 52.0, 60.0)}},
        {"a contraction open at the window's end ends at its last second",
         [](SecondGrid& g) { g.toco(1180, 20, 60.0); }, {on_grid(1179, 1183, 1199, 21.0, 60.0)}},
        {"an end in a second without samples keeps its ms text",
         [](SecondGrid& g) { g.toco(600, 20, 60.0).no_sample(622); },
         {{grid_text(599), grid_text(603), empty_second_text(622), 23.0, 60.0}}},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SecondGrid grid(1200);
        grid.toco(0, 200, 60.0).toco(200, 1000, 10.0);
        c.shape(grid);
        std::vector<ExpectedContraction> expected = {on_grid(0, 0, 201, 201.0, 60.0)};
        expected.insert(expected.end(), c.after_calibration.begin(), c.after_calibration.end());
        expect_contractions(fhr_core::detect_contractions(grid.series(), grid.start_ms(), grid.end_ms()), expected);
    }
}

TEST(DetectContractions, SearchOnlyTheLastTwentyMinutes) {
    // A 30-minute window: the rise in its first minutes lies before the range.
    SecondGrid grid(1801);
    grid.toco(0, 1801, 10.0).toco(0, 200, 60.0).toco(1000, 200, 60.0);
    expect_contractions(fhr_core::detect_contractions(grid.series(), grid.start_ms(), grid.end_ms()),
                        {on_grid(999, 1003, 1201, 202.0, 60.0)});
}

// 20-second rises to 60 every 65 seconds from `first` over a resting tone of
// 10: each is one contraction.
void add_contractions(SecondGrid& grid, int first, int count) {
    for (int k = 0; k < count; ++k) grid.toco(first + 65 * k, 20, 60.0);
}

struct ActivityCase {
    const char* name;
    std::int64_t length_ms;  // the window starts at the grid's first second
    int toco_from;           // first second with TOCO
    int contractions;
    int first_contraction;
    double per_10_min;
    std::optional<bool> tachysystole;
};

TEST(AssessUterineActivity, RateOverTheWindowAndTachysystoleOverThirtyMinutes) {
    const std::vector<ActivityCase> cases = {
        {"30 minutes, 1199 TOCO seconds, 16 contractions", 1800000, 602, 16, 700, 16.0 / 3.0, std::nullopt},
        {"30 minutes, 1200 TOCO seconds, 16 contractions", 1800000, 601, 16, 700, 16.0 / 3.0, true},
        {"30 minutes, 1200 TOCO seconds, 15 contractions", 1800000, 601, 15, 700, 5.0, false},
        {"30 minutes with 12 contractions", 1800000, 0, 12, 700, 4.0, false},
        {"10 minutes: the rate is the count", 600000, 0, 5, 100, 5.0, std::nullopt},
        {"1 ms short of 30 minutes", 1799999, 0, 16, 700, 5.3333362963, std::nullopt},
        {"30 minutes without TOCO", 1800000, 1801, 0, 0, 0.0, std::nullopt},
    };
    for (const ActivityCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto seconds = static_cast<int>(c.length_ms / 1000) + 1;
        SecondGrid grid(seconds);
        if (c.toco_from < seconds) grid.toco(c.toco_from, seconds - c.toco_from, 10.0);
        add_contractions(grid, c.first_contraction, c.contractions);
        fhr_core::WindowAnalysis window;
        fhr_core::assess_uterine_activity(grid.series(), grid_ms(0), grid_ms(0) + c.length_ms, window);

        EXPECT_EQ(window.toco_summary.contractions.size(), static_cast<std::size_t>(c.contractions));
        EXPECT_EQ(window.features.contraction_count, static_cast<std::uint64_t>(c.contractions));
        EXPECT_NEAR(window.toco_summary.contractions_per_10_min, c.per_10_min, 1e-9);
        EXPECT_EQ(window.features.contractions_per_10_min, window.toco_summary.contractions_per_10_min);
        EXPECT_EQ(window.toco_summary.tachysystole, c.tachysystole);
    }
}

TEST(AssessUterineActivity, WithoutTocoHasNoLevel) {
    SecondGrid grid(1801);
    fhr_core::WindowAnalysis window;
    fhr_core::assess_uterine_activity(grid.series(), grid.start_ms(), grid.end_ms(), window);
    EXPECT_EQ(window.features.toco_mean, std::nullopt);
    EXPECT_EQ(window.features.toco_max, std::nullopt);
    EXPECT_EQ(window.features.contraction_count, 0u);
    EXPECT_EQ(window.features.contractions_per_10_min, 0.0);
}

TEST(AssessUterineActivity, EmptySeriesOrReversedWindowHasNoVerdict) {
    fhr_core::WindowAnalysis window;
    fhr_core::assess_uterine_activity({}, grid_ms(0), grid_ms(1800), window);
    EXPECT_EQ(window.toco_summary.tachysystole, std::nullopt);
    EXPECT_EQ(window.features.contraction_count, 0u);

    fhr_core::WindowAnalysis reversed;
    fhr_core::assess_uterine_activity({}, grid_ms(1800), grid_ms(0), reversed);
    EXPECT_EQ(reversed.toco_summary.contractions_per_10_min, 0.0);
    EXPECT_EQ(reversed.toco_summary.tachysystole, std::nullopt);
}

TEST(AssessUterineActivity, LevelIsOverTheWholeWindow) {
    // TOCO before the last twenty minutes still counts towards the level.
    SecondGrid grid(1801);
    grid.toco(10, 1, 10.0).toco(900, 1, 20.0).toco(1800, 1, 60.0);
    fhr_core::WindowAnalysis window;
    fhr_core::assess_uterine_activity(grid.series(), grid.start_ms(), grid.end_ms(), window);
    EXPECT_EQ(window.features.toco_mean, 30.0);
    EXPECT_EQ(window.features.toco_max, 60.0);
}

TEST(DetectionStart, IsTheLaterOfWindowStartAndTwentyMinutesBeforeItsEnd) {
    struct Case {
        const char* name;
        std::int64_t start_ms, end_ms, expected;
    };
    const std::vector<Case> cases = {
        {"30-minute window", 0, 1800000, 600000},
        {"10-minute window", 0, 600000, 0},
        {"exactly 20 minutes", 5, 1200005, 5},
        {"before the epoch", -1800000, 0, -1200000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fhr_core::detection_start_ms(c.start_ms, c.end_ms), c.expected);
    }
}

}  // namespace
