// Uterine activity of a window. A contraction is a rise of the smoothed TOCO
// trace well above its resting level (the 20th percentile of the last twenty
// minutes) that lasts at least five seconds and reaches a clear peak. More
// than five contractions per ten minutes, averaged over thirty minutes, is
// tachysystole, which limits the fetus's recovery between contractions.
#include "contractions.hpp"

#include <algorithm>

#include "statistics.hpp"

namespace fhr_core {
namespace {

constexpr std::int64_t detection_span_ms = 20 * 60 * 1000;

// Fewer TOCO seconds than this in the detection range give no usable resting level.
constexpr std::size_t min_toco_values = 60;
// A trace whose 95th percentile lies less than this above its 20th shows no contractions.
constexpr double flat_trace_range = 8.0;
constexpr double min_onset_rise = 6.0;
constexpr double min_peak_rise = 15.0;
constexpr double min_contraction_seconds = 5.0;
// Seconds on each side of a point that the smoothing averages over.
constexpr std::ptrdiff_t smoothing_half_width = 3;

// Tachysystole is judged on a thirty-minute average: shorter windows, or
// windows with less than twenty minutes of TOCO, are not assessed.
constexpr std::int64_t tachysystole_window_ms = 30 * 60 * 1000;
constexpr std::size_t tachysystole_min_toco_seconds = 1200;
constexpr std::size_t tachysystole_max_contractions = 15;

// The TOCO values of the seconds that have one, in series order.
std::vector<double> toco_values(std::span<const SecondSample> seconds) {
    std::vector<double> values;
    values.reserve(seconds.size());
    for (const SecondSample& second : seconds) {
        if (second.toco) values.push_back(*second.toco);
    }
    return values;
}

// Mean of the TOCO values among range[i - 3] .. range[i + 3], summed in index
// order; nothing when none of those seconds has one.
std::optional<double> smoothed_toco(std::span<const SecondSample> range, std::size_t i) noexcept {
    const auto centre = static_cast<std::ptrdiff_t>(i);
    const std::ptrdiff_t first = std::max<std::ptrdiff_t>(centre - smoothing_half_width, 0);
    const std::ptrdiff_t last =
        std::min<std::ptrdiff_t>(centre + smoothing_half_width, static_cast<std::ptrdiff_t>(range.size()) - 1);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::ptrdiff_t j = first; j <= last; ++j) {
        if (const auto& toco = range[static_cast<std::size_t>(j)].toco) {
            sum += *toco;
            ++count;
        }
    }
    if (count == 0) return std::nullopt;
    return sum / static_cast<double>(count);
}

// A contraction being followed through the smoothed trace.
struct OpenContraction {
    std::int64_t start_ms = 0;
    std::int64_t peak_ms = 0;
    std::int64_t end_ms = 0;
    double peak = 0.0;
};

}  // namespace

std::optional<ContractionThresholds> contraction_thresholds(std::span<double> toco_values) noexcept {
    if (toco_values.size() < min_toco_values) return std::nullopt;
    sort_values(toco_values);
    return thresholds_of_sorted(toco_values);
}

std::optional<ContractionThresholds> thresholds_of_sorted(std::span<const double> toco_values) noexcept {
    if (toco_values.size() < min_toco_values) return std::nullopt;
    const double q20 = value_at_fraction(toco_values, 0.20);
    const double q90 = value_at_fraction(toco_values, 0.90);
    const double q95 = value_at_fraction(toco_values, 0.95);
    const double q99 = value_at_fraction(toco_values, 0.99);
    if (q95 - q20 < flat_trace_range) return std::nullopt;
    return ContractionThresholds{.onset = q20 + std::max(0.3 * (q90 - q20), min_onset_rise),
                                 .peak = q20 + std::max(0.5 * (q99 - q20), min_peak_rise)};
}

std::int64_t detection_start_ms(std::int64_t start_ms, std::int64_t end_ms) noexcept {
    return std::max(start_ms, end_ms - detection_span_ms);
}

std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample> series, std::int64_t start_ms,
                                                  std::int64_t end_ms) {
    std::vector<double> range_toco =
        toco_values(seconds_between(series, detection_start_ms(start_ms, end_ms), end_ms));
    sort_values(range_toco);
    return detect_contractions(series, start_ms, end_ms, range_toco);
}

std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample> series, std::int64_t start_ms,
                                                  std::int64_t end_ms, std::span<const double> detection_toco) {
    std::vector<ContractionEvent> contractions;
    const std::optional<ContractionThresholds> thresholds = thresholds_of_sorted(detection_toco);
    if (!thresholds) return contractions;
    const std::span<const SecondSample> range = seconds_between(series, detection_start_ms(start_ms, end_ms), end_ms);

    std::optional<OpenContraction> open;
    const auto close = [&] {
        const double duration = static_cast<double>(std::max<std::int64_t>(open->end_ms - open->start_ms, 0)) / 1000.0;
        if (duration >= min_contraction_seconds && open->peak >= thresholds->peak) {
            contractions.push_back(ContractionEvent{.start = nearest_second_text(series, open->start_ms),
                                                    .peak = nearest_second_text(series, open->peak_ms),
                                                    .end = nearest_second_text(series, open->end_ms),
                                                    .duration_seconds = duration,
                                                    .peak_toco = open->peak});
        }
        open.reset();
    };

    for (std::size_t i = 0; i < range.size(); ++i) {
        // Seconds too far from any TOCO value leave a gap in the smoothed
        // trace; a gap neither starts nor ends a contraction.
        const std::optional<double> value = smoothed_toco(range, i);
        if (!value) continue;
        const std::int64_t time_ms = range[i].timestamp_ms;
        if (*value >= thresholds->onset) {
            if (!open) {
                open = OpenContraction{.start_ms = time_ms, .peak_ms = time_ms, .end_ms = 0, .peak = *value};
            } else if (*value > open->peak) {  // the first of equal highest values is the peak
                open->peak = *value;
                open->peak_ms = time_ms;
            }
            open->end_ms = time_ms + 1000;
        } else if (open) {
            close();
        }
    }
    if (open) close();  // still contracting at the window's end
    return contractions;
}

void assess_uterine_activity(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                             WindowAnalysis& window) {
    assess_uterine_activity(series, start_ms, end_ms, WindowValueLists(series, start_ms, end_ms).sorted(), window);
}

void assess_uterine_activity(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                             const SortedWindowValues& sorted, WindowAnalysis& window) {
    const std::size_t toco_seconds = sorted.toco.size();


    TocoSummary& summary = window.toco_summary;
    summary.contractions = detect_contractions(series, start_ms, end_ms, sorted.detection_toco);
    const std::size_t count = summary.contractions.size();

    // The rate divides by the whole window, although contractions are only
    // searched in its last twenty minutes.
    const std::int64_t length_ms = std::max<std::int64_t>(end_ms - start_ms, 0);
    const double length_minutes = static_cast<double>(length_ms) / 60000.0;
    summary.contractions_per_10_min =
        length_minutes > 0.0 ? static_cast<double>(count) / length_minutes * 10.0 : 0.0;

    // Compares the count of the last twenty minutes with the thirty-minute limit.
    summary.tachysystole.reset();
    if (!series.empty() && length_ms >= tachysystole_window_ms &&
        toco_seconds >= tachysystole_min_toco_seconds) {
        summary.tachysystole = count > tachysystole_max_contractions;
    }

    window.features.contraction_count = count;
    window.features.contractions_per_10_min = summary.contractions_per_10_min;
    window.features.toco_mean = mean_of_sorted(sorted.toco);
    window.features.toco_max.reset();
    if (!sorted.toco.empty()) window.features.toco_max = sorted.toco.back();
}

}  // namespace fhr_core
