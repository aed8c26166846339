// The window driver: chunk mode analyses the most recent 30 minutes, rolling
// mode windows of a requested length whose end advances by a step, plus a
// final window ending at the last sample. Each window's figures depend on
// the samples within its bounds alone; the windows of a rolling run share the
// work that overlapping windows have in common (their complete seconds and
// the sorted order of their values), never a figure.
#include <algorithm>

#include "analysis.hpp"
#include "classification.hpp"
#include "contractions.hpp"
#include "events.hpp"
#include "series.hpp"
#include "statistics.hpp"

namespace fhr_core {
namespace {

// Chunk mode looks at the most recent 30 minutes, the span a clinician reviews
// when judging the current state of the trace.
constexpr std::uint64_t chunk_window_ms = 30 * 60 * 1000;

// Window arithmetic works on offsets from the first sample, as unsigned
// milliseconds: an offset never exceeds the recording's span, so no sum or
// difference can overflow whatever the sample times are.
std::uint64_t span_ms(std::int64_t first_ms, std::int64_t last_ms) noexcept {
    if (last_ms <= first_ms) return 0;
    return static_cast<std::uint64_t>(last_ms) - static_cast<std::uint64_t>(first_ms);
}

// The time `offset_ms` after `first_ms`; with offset_ms within the span the
// result lies in [first_ms, last_ms].
std::int64_t time_after(std::int64_t first_ms, std::uint64_t offset_ms) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(first_ms) + offset_ms);
}

std::uint64_t window_length_ms(const AnalysisSettings& settings) noexcept {
    if (!settings.window_minutes) return chunk_window_ms;
    return std::uint64_t{*settings.window_minutes} * 60000;
}

// A zero step would never advance; it counts as one second.
std::uint64_t step_length_ms(const AnalysisSettings& settings) noexcept {
    return std::uint64_t{std::max<std::uint32_t>(settings.step_seconds, 1)} * 1000;
}

// The window of `length_ms` that ends `end_offset_ms` after the first sample,
// cut short at the first sample.
WindowBounds window_ending_at(std::int64_t first_ms, std::uint64_t end_offset_ms, std::uint64_t length_ms) noexcept {
    const std::uint64_t start_offset_ms = end_offset_ms > length_ms ? end_offset_ms - length_ms : 0;
    return {time_after(first_ms, start_offset_ms), time_after(first_ms, end_offset_ms)};
}

}  // namespace

InputSummary summarize_input(const InputData& data) {
    InputSummary summary;
    summary.rows = data.samples.size();
    if (!data.samples.empty()) {
        const MonitorSample& first = data.samples.front();
        const MonitorSample& last = data.samples.back();
        const SampleTexts texts = data.texts();
        summary.start_timestamp = std::string(timestamp_text(texts, first));
        summary.end_timestamp = std::string(timestamp_text(texts, last));
        summary.duration_seconds = static_cast<double>(span_ms(first.timestamp_ms, last.timestamp_ms)) / 1000.0;
    }
    summary.out_of_order_rows = data.out_of_order_rows;
    summary.duplicate_timestamps = data.duplicate_timestamps;
    return summary;
}

std::vector<WindowBounds> plan_windows(std::int64_t first_ms, std::int64_t last_ms, const AnalysisSettings& settings) {
    const std::uint64_t span = span_ms(first_ms, last_ms);
    const std::uint64_t length = window_length_ms(settings);
    std::vector<WindowBounds> plan;
    if (!settings.window_minutes) {
        plan.push_back(window_ending_at(first_ms, span, length));
        return plan;
    }

    const std::uint64_t step = step_length_ms(settings);
    if (span >= length) plan.reserve((span - length) / step + 2);
    std::uint64_t end = std::min(span, length);
    for (;;) {
        plan.push_back(window_ending_at(first_ms, end, length));
        if (span - end < step) break;  // the next end would pass the last sample
        end += step;
    }
    // Unless the stepping landed on the last sample, the newest data would go
    // unassessed: one more full window ends there.
    if (end != span) plan.push_back(window_ending_at(first_ms, span, length));
    return plan;
}

namespace {

// The stages that read the per-second series, shared by a window analysed
// alone and the windows of a rolling run. `sorted` holds the window's value
// lists.
WindowAnalysis analyze_series(SampleSpan selected, std::span<const SecondSample> series,
                              const SortedWindowValues& sorted, const AnalysisSettings& settings,
                              std::int64_t start_ms, std::int64_t end_ms) {
    WindowAnalysis window;
    assess_signal_quality(selected, series, start_ms, end_ms, window);

    estimate_heart_rate_figures(series, start_ms, end_ms, sorted, window);
    if (window.baseline_bpm) {
        detect_heart_rate_events(series, start_ms, end_ms, *window.baseline_bpm, settings.gestational_age_weeks,
                                 window);
    }
    assess_uterine_activity(series, start_ms, end_ms, sorted, window);
    type_decelerations(window.toco_summary.contractions, window);

    classify_window(series, start_ms, end_ms, window);
    return window;
}

// First second at or after `ms`.
std::int64_t second_at_or_after(std::int64_t ms) noexcept {
    const std::int64_t start = second_start(ms);
    return start == ms ? start : start + 1000;
}

// The windows of one rolling run, analysed in order of increasing end. Their
// series views the recording's series: every second but a window's first and
// last is complete in it, and those two are rebuilt from the window's own
// samples and laid over it while the window is analysed. The sorted value
// lists slide with the windows: only the complete seconds between first and
// last are kept sorted, the two cut ones are merged in per window.
class RollingWindows {
public:
    RollingWindows(SampleSpan samples, const AnalysisSettings& settings)
        : samples_(samples), settings_(settings), series_(samples, settings.channel) {}

    WindowAnalysis analyze(std::int64_t start_ms, std::int64_t end_ms) {
        const std::int64_t first_second = second_start(start_ms);
        const std::int64_t last_second = second_start(end_ms);
        if (last_second < first_second) return analyze_window(samples_, settings_, start_ms, end_ms);

        const SampleSpan selected = select_window_samples(samples_, start_ms, end_ms);
        const SecondSample first = cut_second(selected, first_second);
        const SecondSample last = last_second != first_second ? cut_second(selected, last_second) : first;

        series_.cover(first_second, last_second);
        const SortedWindowValues sorted{
            .fetal = fetal_.update(series_, first, last, first_second),
            .maternal = maternal_.update(series_, first, last, first_second),
            .toco = toco_.update(series_, first, last, first_second),
            .recent_fetal = recent_fetal_.update(series_, first, last, recent_start_ms(start_ms, end_ms)),
            .detection_toco = detection_toco_.update(series_, first, last, detection_start_ms(start_ms, end_ms)),
        };
        series_.drop_before(first_second);

        const std::span<SecondSample> series = series_.seconds(first_second, last_second);
        const SecondSample complete_first = series.front();
        const SecondSample complete_last = series.back();
        series.front() = first;
        series.back() = last;
        WindowAnalysis window = analyze_series(selected, series, sorted, settings_, start_ms, end_ms);
        series.back() = complete_last;
        series.front() = complete_first;
        return window;
    }

private:
    // A window's first or last second, from the window's samples in it alone.
    SecondSample cut_second(SampleSpan selected, std::int64_t second) const {
        const SampleSpan in_second = select_window_samples(selected, second, second + 999);
        return build_second_series(in_second, settings_.channel, second, second).front();
    }

    // The sorted values of one channel over the seconds of a window from a
    // given time to its end.
    class ValueList {
    public:
        explicit ValueList(SlidingSortedValues::Channel channel) noexcept : channel_(channel), inner_(channel) {}

        std::span<const double> update(const RecordingSeries& series, const SecondSample& first,
                                       const SecondSample& last, std::int64_t from_ms) {
            const std::int64_t lo = std::max(first.timestamp_ms, second_at_or_after(from_ms));
            const std::int64_t hi = last.timestamp_ms;
            inner_.move_to(series.held(), std::max(lo, first.timestamp_ms + 1000), hi - 1000);
            std::optional<double> cut[2];
            if (lo == first.timestamp_ms) cut[0] = first.*channel_;
            if (lo <= hi && hi != first.timestamp_ms) cut[1] = last.*channel_;
            merge_sorted(inner_.sorted(), cut, values_);
            return values_;
        }

    private:
        SlidingSortedValues::Channel channel_;
        SlidingSortedValues inner_;  // the complete seconds between first and last
        std::vector<double> values_;
    };

    SampleSpan samples_;
    const AnalysisSettings& settings_;
    RecordingSeries series_;
    ValueList fetal_{&SecondSample::fetal_bpm};
    ValueList maternal_{&SecondSample::maternal_bpm};
    ValueList toco_{&SecondSample::toco};
    ValueList recent_fetal_{&SecondSample::fetal_bpm};
    ValueList detection_toco_{&SecondSample::toco};
};

}  // namespace

WindowAnalysis analyze_window(SampleSpan samples, const AnalysisSettings& settings,
                              std::int64_t start_ms, std::int64_t end_ms) {
    const SampleSpan selected = select_window_samples(samples, start_ms, end_ms);
    const std::vector<SecondSample> series = build_second_series(selected, settings.channel, start_ms, end_ms);
    const WindowValueLists lists(series, start_ms, end_ms);
    return analyze_series(selected, series, lists.sorted(), settings, start_ms, end_ms);
}

AnalysisReport analyze_rolling_windows(const InputData& data, const AnalysisSettings& settings) {
    AnalysisReport report;
    report.input = summarize_input(data);
    report.settings = settings;
    if (data.samples.empty()) return report;

    const SampleSpan samples = data.all();
    const std::vector<WindowBounds> plan =
        plan_windows(data.samples.front().timestamp_ms, data.samples.back().timestamp_ms, settings);
    report.windows.reserve(plan.size());
    // The shared seconds reach a second past the window times; times far from
    // any a reader accepts (within a few million years of 1970) keep to the
    // windows alone, as does a single window, which has nothing to share.
    constexpr std::int64_t shared_time_limit = std::int64_t{1} << 62;
    const bool share = plan.size() > 1 && data.samples.front().timestamp_ms > -shared_time_limit &&
                       data.samples.back().timestamp_ms < shared_time_limit;
    if (!share) {
        for (const WindowBounds& bounds : plan) {
            report.windows.push_back(analyze_window(samples, settings, bounds.start_ms, bounds.end_ms));
        }
        return report;
    }
    RollingWindows rolling(samples, settings);
    for (const WindowBounds& bounds : plan) report.windows.push_back(rolling.analyze(bounds.start_ms, bounds.end_ms));
    return report;
}

std::uint64_t count_windows(const InputData& data, const AnalysisSettings& settings) noexcept {
    if (data.samples.empty()) return 0;
    if (!settings.window_minutes) return 1;
    const std::uint64_t span = span_ms(data.samples.front().timestamp_ms, data.samples.back().timestamp_ms);
    const std::uint64_t length = window_length_ms(settings);
    const std::uint64_t step = step_length_ms(settings);
    if (span < length) return 1;
    // Full windows end at length, length + step, ... while within the span;
    // a final one ends at the span unless a step landed on it.
    const std::uint64_t beyond_first = span - length;
    return beyond_first / step + 1 + (beyond_first % step != 0 ? 1 : 0);
}

WindowBounds last_window_bounds(std::int64_t first_ms, std::int64_t last_ms,
                                const AnalysisSettings& settings) noexcept {
    // Whether the stepping lands on the last sample or a final window is
    // added, the last window of the plan always ends at the last sample and
    // spans the window length (or the whole recording when it is shorter).
    return window_ending_at(first_ms, span_ms(first_ms, last_ms), window_length_ms(settings));
}

AnalysisReport analyze_last_window(const InputData& data, const AnalysisSettings& settings) {
    AnalysisReport report;
    report.input = summarize_input(data);
    report.settings = settings;
    if (data.samples.empty()) return report;

    const WindowBounds bounds =
        last_window_bounds(data.samples.front().timestamp_ms, data.samples.back().timestamp_ms, settings);
    report.windows.push_back(analyze_window(data.all(), settings, bounds.start_ms, bounds.end_ms));
    return report;
}

}  // namespace fhr_core
