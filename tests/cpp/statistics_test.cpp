// Summary statistics with their nearest-rank percentiles, the baseline and
// variability estimators, their classes and the window's heart-rate figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fhr_core/analysis/contractions.hpp"
#include "fhr_core/analysis/statistics.hpp"
#include "second_grid.hpp"

namespace fhr_core {
namespace {

using pulsequill_test::grid_ms;
using pulsequill_test::SecondGrid;

constexpr double inf = std::numeric_limits<double>::infinity();

// Seconds [first, first + count) alternate between `low` and `high`, starting low.
void alternate(SecondGrid& grid, std::int64_t first, std::int64_t count, double low, double high) {
    for (std::int64_t i = 0; i < count; ++i) grid.fetal(first + i, 1, i % 2 == 0 ? low : high);
}

TEST(Statistics, SortsInTheTotalOrder) {
    std::vector<double> values{0.0, 3.5, -0.0, inf, -2.0, 0.0, -inf, -0.0, 1e-300, -1e-300};
    sort_values(values);
    const std::vector<double> expected{-inf, -2.0, -1e-300, -0.0, -0.0, 0.0, 0.0, 1e-300, 3.5, inf};
    ASSERT_EQ(values, expected);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(std::signbit(values[i]), std::signbit(expected[i])) << "index " << i;
    }
}

// The bits of each value, so that -0.0 and +0.0 and NaNs compare exactly.
std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
    std::vector<std::uint64_t> bits;
    for (const double value : values) bits.push_back(std::bit_cast<std::uint64_t>(value));
    return bits;
}

TEST(Statistics, SortsLikeTheComparisonSortAtEveryLength) {
    using Draw = double (*)(std::mt19937_64&);
    static constexpr std::array<double, 10> specials{0.0, -0.0, inf, -inf, 4.9e-324, -4.9e-324, 2.2e-308,
                                              std::numeric_limits<double>::max(),
                                              std::numeric_limits<double>::quiet_NaN(), -1.0};
    struct Case { const char* name; Draw draw; };
    for (const Case& c : std::vector<Case>{
             {"heart rates in hundredths",
              [](std::mt19937_64& random) { return static_cast<double>(3000 + random() % 21001) / 100.0; }},
             {"quarter values, many repeated",
              [](std::mt19937_64& random) { return static_cast<double>(random() % 400) / 4.0; }},
             {"one value", [](std::mt19937_64&) { return 140.25; }},
             {"narrow cluster and rare outliers",
              [](std::mt19937_64& random) { return random() % 500 == 0 ? 1e300 : 140.0 + 1e-12 * (random() % 97); }},
             {"clusters within clusters",  // each cluster of 512 bit patterns lies within one bucket of the next
              [](std::mt19937_64& random) {
                  const std::uint64_t offset = (random() % 512) << (16 * (random() % 4));
                  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(1.0) + offset);
              }},
             {"zeros of both signs, infinities, subnormals, NaN",
              [](std::mt19937_64& random) {
                  return specials[random() % specials.size()] * (random() % 2 ? 1.0 : 3.0);
              }},
             {"any bits", [](std::mt19937_64& random) { return std::bit_cast<double>(random()); }},
         }) {
        for (const std::size_t length : {0, 1, 2, 31, 32, 33, 100, 600, 1800, 5000}) {
            std::mt19937_64 random(length);
            std::vector<double> values(length);
            for (double& value : values) value = c.draw(random);
            std::vector<double> expected = values;
            std::sort(expected.begin(), expected.end(), before_in_total_order);
            sort_values(values);
            EXPECT_EQ(bits_of(values), bits_of(expected)) << c.name << ", length " << length;
        }
    }
}

TEST(Statistics, WindowListsHoldTheValuesOfTheirRangesSorted) {
    // 40 minutes whose values fall as time goes on, so that no list is
    // sorted by time; TOCO is missing in the middle.
    SecondGrid grid(2400);
    for (std::int64_t s = 0; s < 2400; ++s) {
        grid.fetal(s, 1, 200.0 - s * 0.03125).toco(s, 1, (7919 * s) % 1000 / 8.0);
    }
    grid.no_toco(1000, 300);
    const auto sorted_channel = [&](SlidingSortedValues::Channel channel, std::int64_t from_ms, std::int64_t to_ms) {
        std::vector<double> values;
        for (const SecondSample& second : seconds_between(grid.series(), from_ms, to_ms)) {
            if (second.*channel) values.push_back(*(second.*channel));
        }
        std::sort(values.begin(), values.end(), before_in_total_order);
        return values;
    };
    const auto as_vector = [](std::span<const double> values) {
        return std::vector<double>(values.begin(), values.end());
    };
    // The window's lists: fetal and TOCO of the whole series given, the
    // others of the window's last ten and twenty minutes.
    struct Case { const char* name; std::int64_t start_ms, end_ms, series_to_ms; };
    for (const Case& c : std::vector<Case>{
             {"whole series", grid.start_ms(), grid.end_ms(), grid.end_ms()},
             {"ending before the series", grid_ms(100), grid_ms(2000), grid.end_ms()},
             {"shorter than ten minutes", grid_ms(1900), grid_ms(2300) + 500, grid_ms(2300)},
             {"one second", grid_ms(5), grid_ms(5), grid_ms(5)},
         }) {
        const std::span<const SecondSample> series = seconds_between(grid.series(), c.start_ms, c.series_to_ms);
        const WindowValueLists lists(series, c.start_ms, c.end_ms);
        const SortedWindowValues sorted = lists.sorted();
        EXPECT_EQ(as_vector(sorted.fetal), sorted_channel(&SecondSample::fetal_bpm, c.start_ms, c.series_to_ms))
            << c.name;
        EXPECT_EQ(as_vector(sorted.toco), sorted_channel(&SecondSample::toco, c.start_ms, c.series_to_ms)) << c.name;
        EXPECT_EQ(as_vector(sorted.recent_fetal),
                  sorted_channel(&SecondSample::fetal_bpm, recent_start_ms(c.start_ms, c.end_ms), c.end_ms))
            << c.name;
        EXPECT_EQ(as_vector(sorted.detection_toco),
                  sorted_channel(&SecondSample::toco, detection_start_ms(c.start_ms, c.end_ms), c.end_ms))
            << c.name;
    }
}

TEST(Statistics, FractionIndexIsNearestRankWithHalvesUp) {
    struct Case { std::size_t n; double p; std::size_t expected; };
    for (const Case& c : std::vector<Case>{
             {1, 0.05, 0}, {1, 0.95, 0}, {2, 0.05, 0}, {2, 0.5, 1}, {2, 0.95, 1}, {3, 0.5, 1},
             {11, 0.05, 1}, {11, 0.95, 10}, {11, 0.5, 5}, {10, 0.05, 0}, {10, 0.95, 9}, {60, 0.05, 3},
             {60, 0.95, 56}, {30, 0.05, 1}, {30, 0.95, 28}, {4, 1.0, 3}, {4, 0.0, 0},
         }) {
        EXPECT_EQ(fraction_index(c.n, c.p), c.expected) << "n " << c.n << " p " << c.p;
    }
}

TEST(Statistics, SummarizesValues) {
    struct Case {
        const char* name;
        std::vector<double> values;
        double minimum, p05, mean, median, p95, maximum, std_dev;
    };
    for (const Case& c : std::vector<Case>{
             {"two values", {120.0, 100.0}, 100.0, 100.0, 110.0, 120.0, 120.0, 120.0, 10.0},
             {"one value", {137.25}, 137.25, 137.25, 137.25, 137.25, 137.25, 137.25, 0.0},
             {"eleven values", {110, 100, 109, 101, 108, 102, 107, 103, 106, 104, 105},
              100.0, 101.0, 105.0, 105.0, 110.0, 110.0, std::sqrt(10.0)},
             {"constant", {140.0, 140.0, 140.0, 140.0}, 140.0, 140.0, 140.0, 140.0, 140.0, 140.0, 0.0},
         }) {
        std::vector<double> values = c.values;
        const ValueSummary summary = summarize_values(values);
        EXPECT_EQ(summary.minimum, c.minimum) << c.name;
        EXPECT_EQ(summary.p05, c.p05) << c.name;
        EXPECT_EQ(summary.mean, c.mean) << c.name;
        EXPECT_EQ(summary.median, c.median) << c.name;
        EXPECT_EQ(summary.p95, c.p95) << c.name;
        EXPECT_EQ(summary.maximum, c.maximum) << c.name;
        EXPECT_EQ(summary.std_dev, c.std_dev) << c.name;
    }
    std::vector<double> none;
    const ValueSummary empty = summarize_values(none);
    EXPECT_FALSE(empty.minimum || empty.p05 || empty.mean || empty.median || empty.p95 || empty.maximum ||
                 empty.std_dev);
}

TEST(Statistics, MeanAddsTheSortedValuesInAscendingOrder) {
    // Near 2^53 doubles are 2 apart, so adding 1 to 2^53 is lost while 1 + 1
    // added first survives: the order of addition shows in the mean.
    constexpr double big = 9007199254740992.0;  // 2^53
    struct Case { const char* name; std::vector<double> values; double expected; };
    for (const Case& c : std::vector<Case>{
             {"large value given first", {big, 1.0, 1.0}, (big + 2.0) / 3.0},
             {"large value given in the middle", {1.0, big, 1.0}, (big + 2.0) / 3.0},
         }) {
        std::vector<double> values = c.values;
        EXPECT_EQ(summarize_values(values).mean, c.expected) << c.name;
    }
}

TEST(Statistics, BaselineIsTheTrimmedMeanToTheNearest5Bpm) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, double>> runs;  // (seconds, bpm) in order
        std::optional<std::int32_t> expected;
    };
    for (const Case& c : std::vector<Case>{
             {"119 values", {{119, 140.0}}, std::nullopt},
             {"120 values", {{120, 140.0}}, 140},
             {"tenths dropped", {{12, 60.0}, {96, 141.0}, {12, 200.0}}, 140},
             // k = floor(12.9) = 12 keeps one 30 bpm value: 131.6 -> 130 (k = 13 would give 135).
             {"129 values: k is 12", {{13, 30.0}, {116, 132.6}}, 130},
             {"137.5 rounds up", {{12, 100.0}, {48, 135.0}, {48, 140.0}, {12, 180.0}}, 140},
             {"132.5 rounds up", {{12, 100.0}, {48, 130.0}, {48, 135.0}, {12, 180.0}}, 135},
             {"132.4 rounds down", {{120, 132.4}}, 130},
             // k = 13 drops every extreme: 152.6 -> 155 (k = 12 would keep two and give 150).
             {"131 values: k is 13", {{13, 30.0}, {105, 152.6}, {13, 240.0}}, 155},
         }) {
        std::int64_t seconds = 0;
        for (const auto& run : c.runs) seconds += run.first;
        SecondGrid grid(seconds);
        std::int64_t at = 0;
        for (const auto& [count, bpm] : c.runs) {
            grid.fetal(at, count, bpm);
            at += count;
        }
        EXPECT_EQ(estimate_baseline(grid.series(), grid.start_ms(), grid.end_ms()), c.expected) << c.name;
    }
}

TEST(Statistics, BaselineReadsOnlyItsRangeAndOnlySecondsWithValues) {
    // 200 seconds: 0..39 at 100 bpm, 40..179 at 150, 180..199 at 200; the
    // seconds 50..79 have no value.
    SecondGrid grid(200);
    grid.fetal(0, 40, 100.0).fetal(40, 140, 150.0).fetal(180, 20, 200.0);
    for (std::int64_t s = 50; s < 80; ++s) grid.no_sample(s);
    struct Case { const char* name; std::int64_t from, to; std::optional<std::int32_t> expected; };
    for (const Case& c : std::vector<Case>{
             {"range of 140 seconds, 30 without value", grid_ms(40), grid_ms(179), std::nullopt},
             {"range of 150 seconds with 120 values", grid_ms(30), grid_ms(179), 150},
             {"whole grid", grid_ms(0), grid_ms(199), 145},  // 19400 / 136 = 142.6
             {"off-grid bounds", grid_ms(30) - 999, grid_ms(179) + 999, 150},
         }) {
        EXPECT_EQ(estimate_baseline(grid.series(), c.from, c.to), c.expected) << c.name;
    }
}

TEST(Statistics, BaselineClasses) {
    struct Case { std::int32_t bpm; BaselineClass expected; };
    for (const Case& c : std::vector<Case>{{105, BaselineClass::bradycardia}, {110, BaselineClass::normal},
                                           {160, BaselineClass::normal}, {165, BaselineClass::tachycardia},
                                           {60, BaselineClass::bradycardia}, {240, BaselineClass::tachycardia}}) {
        EXPECT_EQ(classify_baseline(c.bpm), c.expected) << c.bpm;
    }
}

TEST(Statistics, VariabilityClasses) {
    struct Case { double bpm; VariabilityClass expected; };
    for (const Case& c : std::vector<Case>{
             {0.0, VariabilityClass::absent}, {1.0, VariabilityClass::absent},
             {1.0000001, VariabilityClass::minimal}, {5.0, VariabilityClass::minimal},
             {5.01, VariabilityClass::moderate}, {25.0, VariabilityClass::moderate},
             {25.01, VariabilityClass::marked}}) {
        EXPECT_EQ(classify_variability(c.bpm), c.expected) << c.bpm;
    }
}

TEST(Statistics, VariabilityIsTheMedianOfMinuteRanges) {
    // Each case fills a fresh grid of `seconds` seconds starting at 140 bpm
    // everywhere, then applies its own pattern; the range is [from, to] in
    // grid seconds.
    struct Case {
        const char* name;
        std::int64_t seconds;
        void (*pattern)(SecondGrid&);
        std::int64_t from, to;
        std::optional<double> expected;
    };
    for (const Case& c : std::vector<Case>{
             {"flat trace", 601, [](SecondGrid&) {}, 0, 600, 0.0},
             {"ten minutes of 140/150", 601, [](SecondGrid& g) { alternate(g, 0, 601, 140.0, 150.0); }, 0, 600,
              10.0},
             {"two minutes: the larger range", 121,
              [](SecondGrid& g) { alternate(g, 0, 60, 140.0, 144.0); alternate(g, 60, 60, 140.0, 150.0); }, 0, 120,
              10.0},
             {"two minutes in the other order", 121,
              [](SecondGrid& g) { alternate(g, 0, 60, 140.0, 150.0); alternate(g, 60, 60, 140.0, 144.0); }, 0, 120,
              10.0},
             {"three minutes: the middle range", 181,
              [](SecondGrid& g) {
                  alternate(g, 0, 60, 140.0, 150.0);
                  alternate(g, 60, 60, 140.0, 142.0);
                  alternate(g, 120, 60, 140.0, 146.0);
              },
              0, 180, 6.0},
             // In each minute the first 30 seconds are at the baseline and the
             // last 30 at a distance of exactly 25 bpm or just beyond it.
             {"25 bpm above counts", 121, [](SecondGrid& g) { g.fetal(30, 30, 165.0).fetal(90, 30, 165.0); }, 0,
              120, 25.0},
             {"25 bpm below counts", 121, [](SecondGrid& g) { g.fetal(30, 30, 115.0).fetal(90, 30, 115.0); }, 0,
              120, 25.0},
             {"25.1 bpm above does not", 121, [](SecondGrid& g) { g.fetal(30, 30, 165.1).fetal(90, 30, 165.1); },
              0, 120, 0.0},
             {"25.1 bpm below does not", 121, [](SecondGrid& g) { g.fetal(30, 30, 114.9).fetal(90, 30, 114.9); },
              0, 120, 0.0},
             {"29 values in a minute are too few", 120,
              [](SecondGrid& g) {
                  for (std::int64_t s = 60; s < 91; ++s) g.no_sample(s);  // 29 left in the second minute
              },
              0, 120, std::nullopt},
             {"30 values in a minute suffice", 121,
              [](SecondGrid& g) {
                  for (std::int64_t s = 60; s < 90; ++s) g.no_sample(s);
              },
              0, 120, 0.0},
             {"29 within the band are too few", 121, [](SecondGrid& g) { g.fetal(60, 31, 170.0); }, 0, 120,
              std::nullopt},
             {"a last, shorter minute counts", 151,
              [](SecondGrid& g) {
                  alternate(g, 0, 60, 140.0, 142.0);
                  for (std::int64_t s = 60; s < 120; ++s) g.no_sample(s);
                  alternate(g, 120, 30, 140.0, 148.0);
              },
              0, 150, 8.0},
             {"the second at the range end belongs to no minute", 121,
              [](SecondGrid& g) {
                  for (std::int64_t s = 60; s < 91; ++s) g.no_sample(s);  // 29 in [60, 120) + second 120
              },
              0, 120, std::nullopt},
             // Minutes [70, 130) and [130, 190) hold 30 values each; whole clock
             // minutes would hold 20 in [60, 120) and 40 in [120, 180): one range.
             {"minutes counted from the range start", 200,
              [](SecondGrid& g) {
                  for (std::int64_t s = 0; s < 200; ++s) {
                      if (s < 100 || s >= 160) g.no_sample(s);
                  }
                  alternate(g, 100, 30, 140.0, 150.0);
                  alternate(g, 130, 30, 140.0, 142.0);
              },
              70, 190, 10.0},
             {"range wider than the series", 121, [](SecondGrid& g) { alternate(g, 0, 121, 140.0, 146.0); },
              -6000, 240, 6.0},
             {"one second of range", 121, [](SecondGrid&) {}, 5, 5, std::nullopt},
             {"reversed range", 121, [](SecondGrid&) {}, 120, 0, std::nullopt},
         }) {
        SecondGrid grid(c.seconds);
        grid.fetal(0, c.seconds, 140.0);
        c.pattern(grid);
        EXPECT_EQ(estimate_variability(140.0, grid.series(), grid_ms(c.from), grid_ms(c.to)), c.expected) << c.name;
    }
}

// The window's figures over a grid of `seconds` seconds.
WindowAnalysis figures(const SecondGrid& grid) {
    WindowAnalysis window;
    estimate_heart_rate_figures(grid.series(), grid.start_ms(), grid.end_ms(), window);
    return window;
}

TEST(Statistics, WindowBaselineAndVariabilityComeFromTheLastTenMinutes) {
    // Twenty minutes: the first ten at 100 bpm, the last ten alternating 150/156.
    SecondGrid grid(1201);
    grid.fetal(0, 600, 100.0);
    alternate(grid, 600, 601, 150.0, 156.0);
    const WindowAnalysis window = figures(grid);
    EXPECT_EQ(window.baseline_bpm, 155);
    EXPECT_EQ(window.baseline_class, BaselineClass::normal);
    EXPECT_EQ(window.variability_bpm, 6.0);
    EXPECT_EQ(window.variability_class, VariabilityClass::moderate);
    // The summary covers the whole window.
    EXPECT_EQ(window.features.fetal_hr_min_bpm, 100.0);
    EXPECT_EQ(window.features.fetal_hr_max_bpm, 156.0);
    EXPECT_EQ(window.features.fetal_hr_mean_bpm, (600 * 100.0 + 301 * 150.0 + 300 * 156.0) / 1201.0);
    EXPECT_EQ(window.features.baseline_delta_mean_bpm, *window.features.fetal_hr_mean_bpm - 155.0);
}

TEST(Statistics, WindowWithoutBaselineHasNoClassesNorVariability) {
    SecondGrid grid(601);
    grid.fetal(0, 601, 140.0);
    for (std::int64_t s = 0; s < 601 - 119; ++s) grid.no_sample(s);  // 119 values left
    const WindowAnalysis window = figures(grid);
    EXPECT_EQ(window.baseline_bpm, std::nullopt);
    EXPECT_EQ(window.baseline_class, std::nullopt);
    EXPECT_EQ(window.variability_bpm, std::nullopt);
    EXPECT_EQ(window.variability_class, std::nullopt);
    EXPECT_EQ(window.features.fetal_hr_mean_bpm, 140.0);
    EXPECT_EQ(window.features.baseline_delta_mean_bpm, std::nullopt);
}

TEST(Statistics, FlatTraceHasAbsentVariabilityNotAMissingOne) {
    SecondGrid grid(601);
    grid.fetal(0, 601, 140.0);
    const WindowAnalysis window = figures(grid);
    EXPECT_EQ(window.variability_bpm, 0.0);
    EXPECT_EQ(window.variability_class, VariabilityClass::absent);
    EXPECT_EQ(window.features.fetal_hr_std_dev_bpm, 0.0);
}

TEST(Statistics, HeartRateBands) {
    struct Case {
        const char* name;
        std::vector<double> bpm;
        std::uint64_t below, within, above;
        double percent_below, percent_within, percent_above;
    };
    for (const Case& c : std::vector<Case>{
             {"edges", {109.5, 110.0, 160.0, 160.5}, 1, 2, 1, 25.0, 50.0, 25.0},
             {"thirds", {100.0, 140.0, 170.0}, 1, 1, 1, 1.0 / 3.0 * 100.0, 1.0 / 3.0 * 100.0, 1.0 / 3.0 * 100.0},
             {"no fetal value", {}, 0, 0, 0, 0.0, 0.0, 0.0},
         }) {
        SecondGrid grid(static_cast<std::int64_t>(c.bpm.size()) + 2);  // plus two seconds without value
        for (std::size_t i = 0; i < c.bpm.size(); ++i) grid.fetal(static_cast<std::int64_t>(i), 1, c.bpm[i]);
        const WindowFeatures features = figures(grid).features;
        EXPECT_EQ(features.fetal_hr_seconds_below_110, c.below) << c.name;
        EXPECT_EQ(features.fetal_hr_seconds_110_to_160, c.within) << c.name;
        EXPECT_EQ(features.fetal_hr_seconds_above_160, c.above) << c.name;
        EXPECT_EQ(features.fetal_hr_percent_below_110, c.percent_below) << c.name;
        EXPECT_EQ(features.fetal_hr_percent_110_to_160, c.percent_within) << c.name;
        EXPECT_EQ(features.fetal_hr_percent_above_160, c.percent_above) << c.name;
    }
}

TEST(Statistics, NoFetalValueLeavesTheSummaryAbsent) {
    SecondGrid grid(30);
    const WindowFeatures features = figures(grid).features;
    EXPECT_FALSE(features.fetal_hr_min_bpm || features.fetal_hr_p05_bpm || features.fetal_hr_mean_bpm ||
                 features.fetal_hr_median_bpm || features.fetal_hr_p95_bpm || features.fetal_hr_max_bpm ||
                 features.fetal_hr_std_dev_bpm || features.baseline_delta_mean_bpm ||
                 features.fetal_maternal_mean_difference_bpm);
}

TEST(Statistics, MaternalMeanAndItsDifferenceFromTheFetalMean) {
    struct Case {
        const char* name;
        std::vector<std::optional<double>> fetal, maternal;
        std::optional<double> maternal_mean, difference;
    };
    for (const Case& c : std::vector<Case>{
             {"142 and 84.5", {140.0, 144.0}, {80.0, 89.0}, 84.5, 57.5},
             {"a mean over seconds", {140.0, std::nullopt, std::nullopt}, {80.0, 90.0, 100.0}, 90.0, 50.0},
             {"no maternal value", {140.0}, {std::nullopt}, std::nullopt, std::nullopt},
             {"no fetal value", {std::nullopt}, {80.0}, 80.0, std::nullopt},
             {"maternal above fetal", {100.0}, {110.0}, 110.0, -10.0},
         }) {
        SecondGrid grid(static_cast<std::int64_t>(c.fetal.size()));
        std::vector<SecondSample> series(grid.series().begin(), grid.series().end());
        for (std::size_t i = 0; i < series.size(); ++i) {
            series[i].fetal_bpm = c.fetal[i];
            series[i].maternal_bpm = c.maternal[i];
        }
        WindowAnalysis window;
        estimate_heart_rate_figures(series, series.front().timestamp_ms, series.back().timestamp_ms, window);
        EXPECT_EQ(window.features.maternal_hr_mean_bpm, c.maternal_mean) << c.name;
        EXPECT_EQ(window.features.fetal_maternal_mean_difference_bpm, c.difference) << c.name;
    }
}

}  // namespace
}  // namespace fhr_core
