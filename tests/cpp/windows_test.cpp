// The window arithmetic of chunk and rolling mode, the input summary and the
// driver that analyses one window per planned bounds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fhr_core/analysis/analysis.hpp"

namespace fhr_core {
namespace {

constexpr std::int64_t second = 1000;
constexpr std::int64_t minute = 60 * second;
// 2024-03-01 08:00:00 UTC: window bounds are checked as offsets from here so
// that an error of origin cannot hide behind a zero.
constexpr std::int64_t t0 = 1709280000000;

AnalysisSettings chunk() { return AnalysisSettings{}; }

AnalysisSettings rolling(std::uint32_t minutes, std::uint32_t step_seconds) {
    AnalysisSettings settings;
    settings.window_minutes = minutes;
    settings.step_seconds = step_seconds;
    return settings;
}

std::string describe(const std::vector<WindowBounds>& plan) {
    std::string text;
    for (const WindowBounds& b : plan) {
        text += '[';
        text += std::to_string(b.start_ms);
        text += ", ";
        text += std::to_string(b.end_ms);
        text += "] ";
    }
    return text;
}

struct PlanCase {
    const char* name;
    AnalysisSettings settings;
    std::int64_t first_ms;
    std::int64_t last_ms;
    std::vector<WindowBounds> expected;  // offsets from first_ms
};

// Rolling 10-minute windows ending at whole minutes from `from` to `to`.
std::vector<WindowBounds> minute_ends(std::int64_t from, std::int64_t to) {
    std::vector<WindowBounds> plan;
    for (std::int64_t end = from; end <= to; ++end) plan.push_back({(end - 10) * minute, end * minute});
    return plan;
}

std::vector<WindowBounds> with(std::vector<WindowBounds> plan, WindowBounds extra) {
    plan.push_back(extra);
    return plan;
}

TEST(WindowsPlan, CutsTheRecordingAsTabled) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::vector<PlanCase> cases = {
        {"chunk, 45 minutes: the most recent 30", chunk(), t0, t0 + 45 * minute, {{15 * minute, 45 * minute}}},
        {"chunk, exactly 30 minutes: all of it", chunk(), t0, t0 + 30 * minute, {{0, 30 * minute}}},
        {"chunk, 30 minutes and 1 ms", chunk(), t0, t0 + 30 * minute + 1, {{1, 30 * minute + 1}}},
        {"chunk, 10 minutes: all of it", chunk(), t0, t0 + 10 * minute, {{0, 10 * minute}}},
        {"chunk, one sample", chunk(), t0, t0, {{0, 0}}},
        {"rolling 10/60 s over 25.5 minutes: 16 stepped and a final one", rolling(10, 60), t0,
         t0 + 25 * minute + 30 * second, with(minute_ends(10, 25), {15 * minute + 30 * second, 25 * minute + 30 * second})},
        {"rolling 10/60 s over exactly 25 minutes: no final one", rolling(10, 60), t0, t0 + 25 * minute,
         minute_ends(10, 25)},
        {"rolling 10/60 s over exactly 10 minutes", rolling(10, 60), t0, t0 + 10 * minute, {{0, 10 * minute}}},
        {"rolling 20 over 15 minutes: one short window", rolling(20, 60), t0, t0 + 15 * minute,
         {{0, 15 * minute}}},
        {"rolling 10 with a 30-minute step over 25 minutes", rolling(10, 1800), t0, t0 + 25 * minute,
         {{0, 10 * minute}, {15 * minute, 25 * minute}}},
        {"rolling, one sample", rolling(10, 60), t0, t0, {{0, 0}}},
        {"rolling 30/60 s over 30 minutes and 1 ms", rolling(30, 60), t0, t0 + 30 * minute + 1,
         {{0, 30 * minute}, {1, 30 * minute + 1}}},
        {"zero step counts as one second", rolling(10, 0), t0, t0 + 10 * minute + 2500,
         {{0, 10 * minute}, {1000, 10 * minute + 1000}, {2000, 10 * minute + 2000}, {2500, 10 * minute + 2500}}},
        {"zero window length: single instants", rolling(0, 60), t0, t0 + 2 * minute + 30 * second,
         {{0, 0}, {minute, minute}, {2 * minute, 2 * minute}, {150 * second, 150 * second}}},
        {"zero window length, one sample", rolling(0, 0), t0, t0, {{0, 0}}},
        {"before the epoch", rolling(10, 300), -25 * minute, 0,
         {{0, 10 * minute}, {5 * minute, 15 * minute}, {10 * minute, 20 * minute}, {15 * minute, 25 * minute}}},
        {"rolling, steps that would pass the largest time", rolling(10, 1800), max - 25 * minute, max,
         {{0, 10 * minute}, {15 * minute, 25 * minute}}},
    };
    for (const PlanCase& c : cases) {
        std::vector<WindowBounds> expected;
        for (WindowBounds b : c.expected) expected.push_back({c.first_ms + b.start_ms, c.first_ms + b.end_ms});
        const std::vector<WindowBounds> plan = plan_windows(c.first_ms, c.last_ms, c.settings);
        EXPECT_EQ(plan, expected) << c.name << "\n got      " << describe(plan) << "\n expected "
                                  << describe(expected);
    }
}

// A span wider than the signed range must not overflow the arithmetic.
TEST(WindowsPlan, ChunkOverTheWholeRangeEndsAtTheLastTime) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::vector<WindowBounds> plan = plan_windows(std::numeric_limits<std::int64_t>::min(), max, chunk());
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].start_ms, max - 30 * minute);
    EXPECT_EQ(plan[0].end_ms, max);
}

// Many spans around the window length and its step multiples, in every mode
// the entry functions allow and in the degenerate ones the driver tolerates.
TEST(WindowsPlan, CountAgreesWithThePlanAndEveryWindowKeepsTheRules) {
    std::vector<AnalysisSettings> modes = {chunk()};
    for (std::uint32_t minutes : {0u, 1u, 10u, 17u, 30u}) {
        for (std::uint32_t step : {0u, 1u, 7u, 60u, 61u, 599u, 1800u}) modes.push_back(rolling(minutes, step));
    }
    std::vector<std::int64_t> spans;
    for (std::int64_t s = 0; s <= 3 * minute; s += 250) spans.push_back(s);
    for (std::int64_t base : {10 * minute, 17 * minute, 30 * minute, 40 * minute, 75 * minute}) {
        for (std::int64_t d = -2 * second; d <= 2 * second; d += 250) spans.push_back(base + d);
        for (std::int64_t k = 1; k <= 40; ++k) spans.push_back(base + k * 7 * second);
        for (std::int64_t d : {1, 999, 1001, 59999, 60001}) spans.push_back(base + d);
    }

    for (const AnalysisSettings& settings : modes) {
        const std::int64_t length = settings.window_minutes ? std::int64_t{*settings.window_minutes} * minute : 30 * minute;
        const std::int64_t step = std::max<std::int64_t>(settings.step_seconds, 1) * second;
        for (std::int64_t span : spans) {
            const std::string name = "window " +
                                     (settings.window_minutes ? std::to_string(*settings.window_minutes) : "chunk") +
                                     ", step " + std::to_string(settings.step_seconds) + " s, span " +
                                     std::to_string(span) + " ms";
            InputData data;
            data.samples.resize(2);
            data.samples[0].timestamp_ms = t0;
            data.samples[1].timestamp_ms = t0 + span;
            const std::vector<WindowBounds> plan = plan_windows(t0, t0 + span, settings);

            ASSERT_EQ(count_windows(data, settings), plan.size()) << name;
            ASSERT_FALSE(plan.empty()) << name;
            EXPECT_EQ(plan.back().end_ms, t0 + span) << name << ": the newest data is always assessed";
            for (std::size_t i = 0; i < plan.size(); ++i) {
                const WindowBounds& b = plan[i];
                EXPECT_LE(t0, b.start_ms) << name << ", window " << i;
                EXPECT_LE(b.start_ms, b.end_ms) << name << ", window " << i;
                EXPECT_LE(b.end_ms, t0 + span) << name << ", window " << i;
                // Only a recording shorter than the window gets a short one.
                EXPECT_EQ(b.end_ms - b.start_ms, std::min(length, span)) << name << ", window " << i;
                if (i == 0) continue;
                EXPECT_LT(plan[i - 1].end_ms, b.end_ms) << name << ", window " << i;
                // Stepped windows are one step apart; the final one is closer.
                if (i + 1 < plan.size()) EXPECT_EQ(b.end_ms - plan[i - 1].end_ms, step) << name << ", window " << i;
                else EXPECT_LE(b.end_ms - plan[i - 1].end_ms, step) << name << ", window " << i;
            }
        }
    }
}

TEST(WindowsPlan, CountIsZeroWithoutSamples) {
    const InputData empty;
    EXPECT_EQ(count_windows(empty, chunk()), 0u);
    EXPECT_EQ(count_windows(empty, rolling(10, 60)), 0u);
}

// ------------------------------------------------------------ input summary

// Display texts of sample times, kept alive for the samples that view them.
struct Recording {
    InputData data;
};

std::string time_text(std::int64_t offset_ms) {
    const std::int64_t ms = offset_ms % 1000, s = offset_ms / 1000;
    char text[40];
    std::snprintf(text, sizeof text, "2024-03-01 %02lld:%02lld:%02lld.%03lld", static_cast<long long>(8 + s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60), static_cast<long long>(ms));
    return text;
}

// Samples at the given offsets from 08:00 (sorted), each with a plausible
// fetal and maternal heart rate and a TOCO value.
Recording recording_at(const std::vector<std::int64_t>& offsets_ms) {
    Recording r;
    for (std::size_t i = 0; i < offsets_ms.size(); ++i) {
        MonitorSample sample;
        sample.hr1 = 140.0 + static_cast<double>(i % 7);
        sample.hrm = 80.0;
        sample.toco = 10.0;
        r.data.place_text(sample, time_text(offsets_ms[i]));
        sample.timestamp_ms = t0 + offsets_ms[i];
        r.data.samples.push_back(sample);
    }
    return r;
}

std::vector<std::int64_t> every_quarter_second(std::int64_t span_ms) {
    std::vector<std::int64_t> offsets;
    for (std::int64_t t = 0; t <= span_ms; t += 250) offsets.push_back(t);
    return offsets;
}

struct SummaryCase {
    const char* name;
    std::vector<std::int64_t> offsets_ms;
    std::uint64_t out_of_order_rows;
    std::uint64_t duplicate_timestamps;
    std::uint64_t rows;
    std::optional<std::string> start;
    std::optional<std::string> end;
    double duration_seconds;
};

TEST(WindowsInputSummary, DescribesTheRecording) {
    const std::vector<SummaryCase> cases = {
        {"no samples", {}, 0, 0, 0, std::nullopt, std::nullopt, 0.0},
        {"one sample", {1500}, 0, 0, 1, "2024-03-01 08:00:01.500", "2024-03-01 08:00:01.500", 0.0},
        {"duplicates stay in the rows", {0, 0, 250, 250, 250}, 0, 3, 5, "2024-03-01 08:00:00.000",
         "2024-03-01 08:00:00.250", 0.25},
        {"reader counts are copied", {0, 90 * 60 * 1000 + 750}, 4, 2, 2, "2024-03-01 08:00:00.000",
         "2024-03-01 09:30:00.750", 5400.75},
    };
    for (const SummaryCase& c : cases) {
        Recording r = recording_at(c.offsets_ms);
        r.data.out_of_order_rows = c.out_of_order_rows;
        r.data.duplicate_timestamps = c.duplicate_timestamps;
        const InputSummary summary = summarize_input(r.data);
        EXPECT_EQ(summary.rows, c.rows) << c.name;
        EXPECT_EQ(summary.start_timestamp, c.start) << c.name;
        EXPECT_EQ(summary.end_timestamp, c.end) << c.name;
        EXPECT_EQ(summary.duration_seconds, c.duration_seconds) << c.name;
        EXPECT_EQ(summary.out_of_order_rows, c.out_of_order_rows) << c.name;
        EXPECT_EQ(summary.duplicate_timestamps, c.duplicate_timestamps) << c.name;
    }
}

TEST(WindowsInputSummary, DurationSpansTheWhole64BitRange) {
    InputData data;
    data.samples.resize(2);
    data.samples[0].timestamp_ms = std::numeric_limits<std::int64_t>::min();
    data.samples[1].timestamp_ms = std::numeric_limits<std::int64_t>::max();
    // (2^64 - 1) ms is 18446744073709551.615 s, whose nearest double is this.
    EXPECT_EQ(summarize_input(data).duration_seconds, 18446744073709552.0);
}

// ------------------------------------------------------------------- driver

TEST(WindowsDriver, EmptyRecordingGivesNoWindowButTheSettings) {
    const InputData empty;
    AnalysisSettings settings = rolling(20, 90);
    settings.channel = FetalChannel::HR3;
    for (const AnalysisReport& report : {analyze_rolling_windows(empty, settings), analyze_last_window(empty, settings)}) {
        EXPECT_TRUE(report.windows.empty());
        EXPECT_EQ(report.input.rows, 0u);
        EXPECT_EQ(report.settings.window_minutes, std::optional<std::uint32_t>(20));
        EXPECT_EQ(report.settings.step_seconds, 90u);
        EXPECT_EQ(report.settings.channel, FetalChannel::HR3);
    }
}

struct DriverCase {
    const char* name;
    AnalysisSettings settings;
    std::vector<std::int64_t> offsets_ms;
    std::vector<std::pair<std::string, std::string>> bounds;  // window_start, window_end texts
};

// One window per planned bounds, in order; each window shows the texts of its
// first and last sample.
TEST(WindowsDriver, AnalysesOneWindowPerPlannedBounds) {
    const std::vector<DriverCase> cases = {
        {"chunk over 45 minutes", chunk(), every_quarter_second(45 * minute),
         {{"2024-03-01 08:15:00.000", "2024-03-01 08:45:00.000"}}},
        {"rolling 10/300 s over 20.5 minutes", rolling(10, 300), every_quarter_second(20 * minute + 30 * second),
         {{"2024-03-01 08:00:00.000", "2024-03-01 08:10:00.000"},
          {"2024-03-01 08:05:00.000", "2024-03-01 08:15:00.000"},
          {"2024-03-01 08:10:00.000", "2024-03-01 08:20:00.000"},
          {"2024-03-01 08:10:30.000", "2024-03-01 08:20:30.000"}}},
        {"one sample, rolling", rolling(10, 60), {7000}, {{"2024-03-01 08:00:07.000", "2024-03-01 08:00:07.000"}}},
        {"duplicate times leave the bounds alone", chunk(), {0, 0, 60000, 60000},
         {{"2024-03-01 08:00:00.000", "2024-03-01 08:01:00.000"}}},
    };
    for (const DriverCase& c : cases) {
        const Recording r = recording_at(c.offsets_ms);
        const AnalysisReport report = analyze_rolling_windows(r.data, c.settings);
        ASSERT_EQ(report.windows.size(), c.bounds.size()) << c.name;
        for (std::size_t i = 0; i < c.bounds.size(); ++i) {
            EXPECT_EQ(report.windows[i].window_start, c.bounds[i].first) << c.name << ", window " << i;
            EXPECT_EQ(report.windows[i].window_end, c.bounds[i].second) << c.name << ", window " << i;
        }
        EXPECT_EQ(report.input.rows, c.offsets_ms.size()) << c.name;
    }
}

// Keeping only the last window must give what the full run's last window is,
// whether the stepping lands on the last sample or a final window is added.
TEST(WindowsDriver, LastWindowAloneMatchesTheFullRun) {
    const std::vector<std::pair<const char*, AnalysisSettings>> modes = {
        {"chunk", chunk()}, {"rolling 10/60 s", rolling(10, 60)}, {"rolling 10/420 s", rolling(10, 420)},
        {"rolling 30/60 s", rolling(30, 60)}};
    for (std::int64_t span : {0 * minute, 12 * minute, 24 * minute, 24 * minute + 30 * second, 40 * minute}) {
        const Recording r = recording_at(every_quarter_second(span));
        for (const auto& [name, settings] : modes) {
            AnalysisReport full = analyze_rolling_windows(r.data, settings);
            ASSERT_FALSE(full.windows.empty());
            full.windows.erase(full.windows.begin(), full.windows.end() - 1);
            EXPECT_EQ(report_as_json(analyze_last_window(r.data, settings)), report_as_json(full))
                << name << ", span " << span << " ms";
            const std::int64_t first = r.data.samples.front().timestamp_ms;
            const std::int64_t last = r.data.samples.back().timestamp_ms;
            EXPECT_EQ(last_window_bounds(first, last, settings), plan_windows(first, last, settings).back())
                << name << ", span " << span << " ms";
        }
    }
}

}  // namespace
}  // namespace fhr_core
