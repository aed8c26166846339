// The per-second series of a window, its texts and its signal-quality figures,
// and the grid lookups every later stage uses on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fhr_core/analysis/series.hpp"

namespace fhr_core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Hand-built samples with texts of their own.
class Samples {
public:
    Samples& add(std::int64_t ms, std::optional<double> hr1, std::optional<double> hrm = std::nullopt,
                 std::optional<double> toco = std::nullopt) {
        // "t<ms>#<index>": distinct for samples of equal time.
        const std::string text = std::string("t").append(std::to_string(ms)).append("#").append(
            std::to_string(data_.samples.size()));
        MonitorSample sample{.timestamp_ms = ms, .hr1 = hr1, .hrm = hrm, .toco = toco};
        data_.place_text(sample, text);
        data_.samples.push_back(sample);
        return *this;
    }
    MonitorSample& back() { return data_.samples.back(); }
    SampleSpan all() const { return data_.all(); }

private:
    InputData data_;
};

struct Window {
    std::vector<SecondSample> series;
    WindowAnalysis analysis;
};

Window analyse(const Samples& samples, std::int64_t start_ms, std::int64_t end_ms,
               FetalChannel channel = FetalChannel::HR1) {
    Window window;
    const auto selected = select_window_samples(samples.all(), start_ms, end_ms);
    window.series = build_second_series(selected, channel, start_ms, end_ms);
    assess_signal_quality(selected, window.series, start_ms, end_ms, window.analysis);
    return window;
}

TEST(Series, SecondStartFloorsTowardsMinusInfinity) {
    struct Case { std::int64_t ms, expected; };
    for (const Case& c : std::vector<Case>{{0, 0}, {999, 0}, {1000, 1000}, {-1, -1000}, {-1000, -1000},
                                           {-1001, -2000}, {1709287200123, 1709287200000}}) {
        EXPECT_EQ(second_start(c.ms), c.expected) << c.ms;
    }
}

TEST(Series, SelectsSamplesWithinInclusiveBounds) {
    Samples samples;
    for (std::int64_t ms : {0, 500, 1000, 1000, 1500, 2000, 3000}) samples.add(ms, 140.0);
    struct Case { const char* name; std::int64_t start, end; std::size_t first, count; };
    for (const Case& c : std::vector<Case>{
             {"whole", 0, 3000, 0, 7},
             {"equal times both kept", 1000, 1000, 2, 2},
             {"bounds inclusive", 500, 2000, 1, 5},
             {"between samples", 2100, 2900, 0, 0},
             {"before all", -5000, -1, 0, 0},
             {"after all", 3001, 9000, 0, 0},
             {"end before start", 2000, 1000, 0, 0},
         }) {
        const auto selected = select_window_samples(samples.all(), c.start, c.end);
        ASSERT_EQ(selected.samples.size(), c.count) << c.name;
        if (c.count > 0) {
            EXPECT_EQ(selected.samples.data(), samples.all().samples.data() + c.first) << c.name;
        }
    }
}

TEST(Series, HasOneElementPerSecondWhateverTheSamplingRate) {
    struct Case { const char* name; std::int64_t period_ms; };
    for (const Case& c : std::vector<Case>{{"4 Hz", 250}, {"2 Hz", 500}, {"1 Hz", 1000}, {"every 3 s", 3000}}) {
        Samples samples;
        for (std::int64_t ms = 0; ms <= 60000; ms += c.period_ms) samples.add(ms, 140.0);
        const Window window = analyse(samples, 0, 60000);
        ASSERT_EQ(window.series.size(), 61u) << c.name;
        for (std::size_t i = 0; i < window.series.size(); ++i) {
            ASSERT_EQ(window.series[i].timestamp_ms, static_cast<std::int64_t>(i) * 1000) << c.name;
        }
    }
}

TEST(Series, AveragesTheUsableValuesOfASecondAndKeepsItsFirstText) {
    Samples samples;
    samples.add(10000, 140.0, 80.0, 10.0).add(10400, 150.0, 0.0, 20.0).add(10800, 0.0, 90.0, std::nullopt);
    const Window window = analyse(samples, 10000, 10999);
    ASSERT_EQ(window.series.size(), 1u);
    const SecondSample& second = window.series[0];
    EXPECT_EQ(second.fetal_bpm, 145.0);
    EXPECT_EQ(second.maternal_bpm, 85.0);
    EXPECT_EQ(second.toco, 15.0);
    EXPECT_EQ(second.timestamp, "t10000#0");
}

TEST(Series, SumsASecondInSampleOrder) {
    // 0.1 + 0.2 + 0.3 is not 0.3 + 0.2 + 0.1 in binary floating point; the
    // TOCO channel takes such values.
    Samples samples;
    samples.add(0, std::nullopt, std::nullopt, 0.1).add(1, std::nullopt, std::nullopt, 0.2);
    samples.add(2, std::nullopt, std::nullopt, 0.3);
    const Window window = analyse(samples, 0, 999);
    ASSERT_EQ(window.series.size(), 1u);
    EXPECT_EQ(window.series[0].toco, ((0.1 + 0.2) + 0.3) / 3.0);
}

TEST(Series, UsesOnlyValuesWithinTheirUsableRange) {
    enum Channel { fetal, maternal, toco };
    struct Case { Channel channel; double value; bool used; };
    for (const Case& c : std::vector<Case>{
             {fetal, 30.0, true}, {fetal, 240.0, true}, {fetal, 29.9, false}, {fetal, 240.1, false},
             {fetal, 240.5, false}, {fetal, 0.0, false}, {fetal, nan, false}, {fetal, inf, false},
             {maternal, 30.0, true}, {maternal, 240.0, true}, {maternal, 29.9, false}, {maternal, 250.0, false},
             {maternal, nan, false}, {maternal, -inf, false},
             {toco, 0.0, true}, {toco, 300.0, true}, {toco, -0.1, false}, {toco, 300.1, false},
             {toco, -1.0, false}, {toco, nan, false}, {toco, inf, false},
         }) {
        Samples samples;
        samples.add(5000, c.channel == fetal ? std::optional(c.value) : std::nullopt,
                    c.channel == maternal ? std::optional(c.value) : std::nullopt,
                    c.channel == toco ? std::optional(c.value) : std::nullopt);
        const Window window = analyse(samples, 5000, 5000);
        ASSERT_EQ(window.series.size(), 1u);
        const SecondSample& second = window.series[0];
        const std::optional<double>& value =
            c.channel == fetal ? second.fetal_bpm : c.channel == maternal ? second.maternal_bpm : second.toco;
        EXPECT_EQ(value.has_value(), c.used) << "channel " << c.channel << " value " << c.value;
        if (c.used) {
            EXPECT_EQ(*value, c.value);
        }
        // An unusable value still leaves the sample's text on its second.
        EXPECT_EQ(second.timestamp, "t5000#0");
    }
}

TEST(Series, ReadsTheChosenFetalChannel) {
    Samples samples;
    samples.add(0, 120.0);
    samples.back().hr2 = 130.0;
    samples.back().hr3 = 150.0;
    struct Case { FetalChannel channel; double expected; };
    for (const Case& c : std::vector<Case>{{FetalChannel::HR1, 120.0}, {FetalChannel::HR2, 130.0},
                                           {FetalChannel::HR3, 150.0}}) {
        const Window window = analyse(samples, 0, 0, c.channel);
        EXPECT_EQ(window.series.at(0).fetal_bpm, c.expected) << to_text(c.channel);
    }
}

TEST(Series, LeavesSecondsWithoutSamplesEmpty) {
    Samples samples;
    samples.add(1000, 140.0).add(3999, 150.0);
    const Window window = analyse(samples, 1000, 4000);
    ASSERT_EQ(window.series.size(), 4u);
    EXPECT_EQ(window.series[1].timestamp, "");
    EXPECT_FALSE(window.series[1].fetal_bpm || window.series[1].maternal_bpm || window.series[1].toco);
    EXPECT_EQ(second_text(window.series[1]), "2000ms");
    EXPECT_EQ(window.series[2].fetal_bpm, 150.0);
    EXPECT_EQ(second_text(window.series[3]), "4000ms");
}

TEST(Series, MeansTheSamplesOfASecondWhateverTheirCount) {
    // Sums that round, so that a mean taken another way shows; the last
    // second of the time range ends before a whole second has passed.
    constexpr std::int64_t last_ms = std::numeric_limits<std::int64_t>::max();
    const std::vector<double> values{140.1, 139.7, 0.3, 151.3, 0.2};
    for (const std::int64_t first_ms : {std::int64_t{5000}, last_ms - 807}) {
        for (std::size_t count = 1; count <= values.size(); ++count) {
            Samples samples;
            double sum = 0.0;
            for (std::size_t i = 0; i < count; ++i) {
                samples.add(first_ms + static_cast<std::int64_t>(i) * 150, std::nullopt, std::nullopt, values[i]);
                sum += values[i];
            }
            const Window window = analyse(samples, first_ms, first_ms + 800);
            ASSERT_EQ(window.series.size(), 1u) << count << " samples from " << first_ms;
            EXPECT_EQ(window.series[0].toco, sum / static_cast<double>(count))
                << count << " samples from " << first_ms;
        }
    }
}

TEST(Series, SampleAtTheWindowEndLandsInTheLastSecond) {
    Samples samples;
    samples.add(0, 140.0).add(7000, 150.0).add(7001, 160.0);
    const Window window = analyse(samples, 0, 7000);
    ASSERT_EQ(window.series.size(), 8u);
    EXPECT_EQ(window.series.back().fetal_bpm, 150.0);
    EXPECT_EQ(window.analysis.data_quality.raw_samples, 2u);
    EXPECT_EQ(window.analysis.window_end, "t7000#1");
}

TEST(Series, NegativeTimesFallInTheSecondBelow) {
    Samples samples;
    samples.add(-1, 140.0).add(0, 150.0);
    const Window window = analyse(samples, -1, 0);
    ASSERT_EQ(window.series.size(), 2u);
    EXPECT_EQ(window.series[0].timestamp_ms, -1000);
    EXPECT_EQ(window.series[0].fetal_bpm, 140.0);
    EXPECT_EQ(window.series[1].fetal_bpm, 150.0);
}

TEST(Series, WindowTextsAndLengths) {
    Samples samples;
    samples.add(1500, 140.0).add(2000, 140.0).add(4200, 140.0);
    struct Case {
        const char* name;
        std::int64_t start, end;
        const char* window_start;
        const char* window_end;
        double duration;
        std::size_t elements;
        std::uint64_t expected_seconds;
    };
    for (const Case& c : std::vector<Case>{
             {"first and last selected samples", 1000, 5000, "t1500#0", "t4200#2", 4.0, 5, 5},
             {"no sample: the seconds' texts", 5000, 7500, "5000ms", "7000ms", 2.5, 3, 3},
             {"no sample, negative", -2500, -1, "-3000ms", "-1000ms", 2.499, 3, 3},
             {"end before start in one second", 5900, 5100, "5000ms", "5000ms", 0.0, 1, 1},
             {"end before start across seconds", 6100, 5900, "unknown", "unknown", 0.0, 0, 0},
             {"single instant", 2000, 2000, "t2000#1", "t2000#1", 0.0, 1, 1},
             {"20 minutes from a whole second", 0, 1200000, "t1500#0", "t4200#2", 1200.0, 1201, 1201},
             {"20 minutes from mid-second", 500, 1200500, "t1500#0", "t4200#2", 1200.0, 1201, 1201},
         }) {
        const Window window = analyse(samples, c.start, c.end);
        EXPECT_EQ(window.analysis.window_start, c.window_start) << c.name;
        EXPECT_EQ(window.analysis.window_end, c.window_end) << c.name;
        EXPECT_EQ(window.analysis.duration_seconds, c.duration) << c.name;
        EXPECT_EQ(window.series.size(), c.elements) << c.name;
        EXPECT_EQ(window.analysis.data_quality.expected_seconds, c.expected_seconds) << c.name;
    }
}

TEST(Series, UsableRatiosShareTheExpectedSeconds) {
    // Ten seconds [0, 9000]: fetal in 8, maternal in 5, TOCO in 2; 4 samples
    // in the first second.
    Samples samples;
    for (std::int64_t ms : {0, 250, 500, 750}) samples.add(ms, 140.0, 80.0, 10.0);
    for (std::int64_t s = 1; s < 8; ++s) samples.add(s * 1000, 140.0, s < 5 ? std::optional(80.0) : std::nullopt,
                                                     s == 1 ? std::optional(0.0) : std::nullopt);
    samples.add(9000, 0.0, 20.0, 301.0);
    const Window window = analyse(samples, 0, 9000);
    const DataQuality& quality = window.analysis.data_quality;
    EXPECT_EQ(quality.expected_seconds, 10u);
    EXPECT_EQ(quality.raw_samples, 12u);
    EXPECT_EQ(quality.fetal_usable_ratio, 0.8);
    EXPECT_EQ(quality.maternal_usable_ratio, 0.5);
    EXPECT_EQ(quality.toco_usable_ratio, 0.2);
}

TEST(Series, EmptyWindowHasZeroRatios) {
    for (const auto& [start, end] : std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 9000}, {6100, 5900}}) {
        const Window window = analyse(Samples{}, start, end);
        const DataQuality& quality = window.analysis.data_quality;
        EXPECT_EQ(quality.raw_samples, 0u);
        EXPECT_EQ(quality.fetal_usable_ratio, 0.0);
        EXPECT_EQ(quality.maternal_usable_ratio, 0.0);
        EXPECT_EQ(quality.toco_usable_ratio, 0.0);
        EXPECT_EQ(quality.suspected_maternal_capture_ratio, 0.0);
    }
}

TEST(Series, CaptureRatioCountsPairedSecondsWithin5Bpm) {
    struct Pair { std::optional<double> fetal, maternal; };
    struct Case { const char* name; std::vector<Pair> seconds; double expected; };
    for (const Case& c : std::vector<Case>{
             {"exactly 5 apart", {{140.0, 135.0}, {80.0, 85.0}, {100.5, 95.5}}, 1.0},
             {"5.5 apart", {{140.0, 134.5}}, 0.0},
             {"unpaired seconds ignored", {{140.0, 139.0}, {140.0, std::nullopt}, {std::nullopt, 80.0}}, 1.0},
             {"one of four close", {{140.0, 139.0}, {140.0, 80.0}, {140.0, 90.0}, {150.0, 80.0}}, 0.25},
             {"no paired second", {{140.0, std::nullopt}, {std::nullopt, 140.0}}, 0.0},
         }) {
        Samples samples;
        for (std::size_t i = 0; i < c.seconds.size(); ++i) {
            samples.add(static_cast<std::int64_t>(i) * 1000, c.seconds[i].fetal, c.seconds[i].maternal);
        }
        const Window window = analyse(samples, 0, static_cast<std::int64_t>(c.seconds.size() - 1) * 1000);
        EXPECT_EQ(window.analysis.data_quality.suspected_maternal_capture_ratio, c.expected) << c.name;
    }
}

TEST(Series, SecondsBetweenFindsTheInclusiveRange) {
    Samples samples;
    const Window window = analyse(samples, 10000, 19000);  // seconds 10..19
    struct Case { const char* name; std::int64_t from, to; std::int64_t first, count; };
    for (const Case& c : std::vector<Case>{
             {"whole", 10000, 19000, 10000, 10},
             {"wider than the series", -50000, 99000, 10000, 10},
             {"inner, bounds inclusive", 12000, 14000, 12000, 3},
             {"off-grid bounds", 12001, 14999, 13000, 2},
             {"one second", 15000, 15000, 15000, 1},
             {"between two seconds", 15001, 15999, 0, 0},
             {"before", 0, 9999, 0, 0},
             {"after", 19001, 30000, 0, 0},
             {"reversed", 14000, 12000, 0, 0},
         }) {
        const auto range = seconds_between(window.series, c.from, c.to);
        ASSERT_EQ(static_cast<std::int64_t>(range.size()), c.count) << c.name;
        if (c.count > 0) {
            EXPECT_EQ(range.front().timestamp_ms, c.first) << c.name;
        }
    }
    EXPECT_TRUE(seconds_between({}, 0, 1000).empty());
}

TEST(Series, NearestSecondTextPrefersTheEarlierOfTwo) {
    Samples samples;
    samples.add(11000, 140.0);
    const Window window = analyse(samples, 10000, 13000);
    struct Case { std::int64_t ms; const char* expected; };
    for (const Case& c : std::vector<Case>{{0, "10000ms"}, {10000, "10000ms"}, {10500, "10000ms"},
                                           {10501, "t11000#0"}, {11499, "t11000#0"}, {11500, "t11000#0"},
                                           {11501, "12000ms"}, {13000, "13000ms"}, {99000, "13000ms"}}) {
        EXPECT_EQ(nearest_second_text(window.series, c.ms), c.expected) << c.ms;
    }
}

}  // namespace
}  // namespace fhr_core
