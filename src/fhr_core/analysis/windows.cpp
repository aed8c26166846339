// The window driver: chunk mode analyses the most recent 30 minutes, rolling
// mode windows of a requested length whose end advances by a step, plus a
// final window ending at the last sample. Each window is analysed from the
// samples alone; nothing is carried from one window to the next.
#include <algorithm>
#include <utility>

#include "analysis.hpp"
#include "classification.hpp"
#include "contractions.hpp"
#include "events.hpp"
#include "series.hpp"
#include "statistics.hpp"

namespace fhr_core {
namespace {

constexpr std::int64_t chunk_window_ms = 30 * 60 * 1000;

std::int64_t window_length_ms(const AnalysisSettings& settings) noexcept {
    return static_cast<std::int64_t>(*settings.window_minutes) * 60000;
}

std::int64_t step_length_ms(const AnalysisSettings& settings) noexcept {
    return static_cast<std::int64_t>(std::max<std::uint32_t>(settings.step_seconds, 1)) * 1000;
}

}  // namespace

InputSummary summarize_input(const InputData& data) {
    InputSummary summary;
    summary.rows = data.samples.size();
    if (!data.samples.empty()) {
        const MonitorSample& first = data.samples.front();
        const MonitorSample& last = data.samples.back();
        summary.start_timestamp = std::string(first.timestamp);
        summary.end_timestamp = std::string(last.timestamp);
        summary.duration_seconds = static_cast<double>(std::max<std::int64_t>(last.timestamp_ms - first.timestamp_ms, 0)) / 1000.0;
    }
    summary.out_of_order_rows = data.out_of_order_rows;
    summary.duplicate_timestamps = data.duplicate_timestamps;
    return summary;
}

WindowAnalysis analyze_window(std::span<const MonitorSample> samples, const AnalysisSettings& settings,
                              std::int64_t start_ms, std::int64_t end_ms) {
    WindowAnalysis window;

    const std::span<const MonitorSample> selected = select_window_samples(samples, start_ms, end_ms);
    const std::vector<SecondSample> series = build_second_series(selected, settings.channel, start_ms, end_ms);
    assess_signal_quality(selected, series, start_ms, end_ms, window);

    estimate_heart_rate_figures(series, start_ms, end_ms, window);
    if (window.baseline_bpm) {
        detect_heart_rate_events(series, start_ms, end_ms, *window.baseline_bpm, settings.gestational_age_weeks,
                                 window);
    }
    assess_uterine_activity(series, start_ms, end_ms, window);
    type_decelerations(window.toco_summary.contractions, window);

    classify_window(series, start_ms, end_ms, window);
    return window;
}

AnalysisReport analyze_rolling_windows(const InputData& data, const AnalysisSettings& settings) {
    AnalysisReport report;
    report.input = summarize_input(data);
    report.settings = settings;
    if (data.samples.empty()) return report;

    const std::span<const MonitorSample> samples(data.samples);
    const std::int64_t first = samples.front().timestamp_ms;
    const std::int64_t last = samples.back().timestamp_ms;
    const auto analyze = [&](std::int64_t start_ms, std::int64_t end_ms) {
        report.windows.push_back(analyze_window(samples, settings, start_ms, end_ms));
    };

    if (!settings.window_minutes) {
        analyze(std::max(last - chunk_window_ms, first), last);  // the most recent 30 minutes
        return report;
    }

    const std::int64_t window_ms = window_length_ms(settings);
    const std::int64_t step_ms = step_length_ms(settings);
    std::int64_t end = last - first < window_ms ? last : first + window_ms;
    while (end <= last) {
        analyze(std::max(end - window_ms, first), end);
        end += step_ms;
    }
    if (end != last + step_ms) analyze(std::max(last - window_ms, first), last);
    return report;
}

std::uint64_t count_windows(const InputData& data, const AnalysisSettings& settings) noexcept {
    if (data.samples.empty()) return 0;
    if (!settings.window_minutes) return 1;
    const std::int64_t span = data.samples.back().timestamp_ms - data.samples.front().timestamp_ms;
    const std::int64_t window_ms = window_length_ms(settings);
    const std::int64_t step_ms = step_length_ms(settings);
    if (span < window_ms) return 1;
    const auto beyond_first = static_cast<std::uint64_t>(span - window_ms);
    const auto step = static_cast<std::uint64_t>(step_ms);
    return beyond_first / step + 1 + (beyond_first % step != 0 ? 1 : 0);
}

AnalysisReport analyze_last_window(const InputData& data, const AnalysisSettings& settings) {
    AnalysisReport report;
    report.input = summarize_input(data);
    report.settings = settings;
    if (data.samples.empty()) return report;

    // Whether the stepping lands on the last sample or a final window is
    // added, the last window always ends at the last sample and spans the
    // window length (or the whole recording when it is shorter).
    const std::int64_t first = data.samples.front().timestamp_ms;
    const std::int64_t last = data.samples.back().timestamp_ms;
    const std::int64_t length = settings.window_minutes ? window_length_ms(settings) : chunk_window_ms;
    report.windows.push_back(analyze_window(data.samples, settings, std::max(last - length, first), last));
    return report;
}

}  // namespace fhr_core
