// Summary statistics, the fetal baseline and its variability, their classes,
// the heart-rate bands and the maternal mean of a window.
#include "statistics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>

namespace fhr_core {
namespace {

// Sum of values in the order given, started afresh.
double sum_in_order(std::span<const double> values) noexcept {
    double sum = 0.0;
    for (const double value : values) sum += value;
    return sum;
}

// A fetal baseline is only meaningful over two minutes of usable signal.
constexpr std::size_t min_baseline_seconds = 120;
// Variability is judged minute by minute on the seconds near the baseline;
// accelerations and decelerations beyond 25 bpm are not variability.
constexpr double variability_band_bpm = 25.0;
constexpr std::size_t min_minute_seconds = 30;
constexpr std::size_t min_minutes = 2;
constexpr std::int64_t minute_ms = 60000;
constexpr std::int64_t last_ten_minutes_ms = 600000;

}  // namespace

void sort_values(std::span<double> values) noexcept {
    std::sort(values.begin(), values.end(), [](double a, double b) { return std::strong_order(a, b) < 0; });
}

std::size_t fraction_index(std::size_t n, double p) noexcept {
    const double rank = std::round(static_cast<double>(n - 1) * p);  // halves away from zero
    return std::min(n - 1, static_cast<std::size_t>(rank));
}

double value_at_fraction(std::span<const double> sorted, double p) noexcept {
    return sorted[fraction_index(sorted.size(), p)];
}

ValueSummary summarize_values(std::span<double> values) {
    if (values.empty()) return {};
    sort_values(values);
    const auto n = static_cast<double>(values.size());
    const double mean = sum_in_order(values) / n;
    double squares = 0.0;
    for (const double value : values) squares += (value - mean) * (value - mean);
    return ValueSummary{
        .minimum = values.front(),
        .p05 = value_at_fraction(values, 0.05),
        .mean = mean,
        .median = value_at_fraction(values, 0.5),
        .p95 = value_at_fraction(values, 0.95),
        .maximum = values.back(),
        .std_dev = std::sqrt(squares / n),  // population, not sample, deviation
    };
}

std::optional<std::int32_t> estimate_baseline(std::span<const SecondSample> series, std::int64_t from_ms,
                                              std::int64_t to_ms) {
    const std::span<const SecondSample> range = seconds_between(series, from_ms, to_ms);
    std::vector<double> values;
    values.reserve(range.size());
    for (const SecondSample& second : range) {
        if (second.fetal_bpm) values.push_back(*second.fetal_bpm);
    }
    if (values.size() < min_baseline_seconds) return std::nullopt;

    // Dropping the lowest and highest tenth keeps accelerations and
    // decelerations from pulling the resting level.
    sort_values(values);
    const std::size_t k = values.size() / 10;
    const std::span<const double> kept = std::span<const double>(values).subspan(k, values.size() - 2 * k);
    const double trimmed_mean = sum_in_order(kept) / static_cast<double>(kept.size());
    // Baselines are read to the nearest 5 bpm.
    return static_cast<std::int32_t>(5.0 * std::round(trimmed_mean / 5.0));
}

std::optional<double> estimate_variability(double baseline, std::span<const SecondSample> series,
                                           std::int64_t from_ms, std::int64_t to_ms) {
    if (from_ms >= to_ms || series.empty()) return std::nullopt;

    std::vector<double> ranges;
    std::array<double, 60> minute;  // a minute holds at most 60 seconds of the grid
    std::int64_t t = from_ms;
    // Minutes before the first second hold nothing: step over them whole, so
    // minutes stay counted from from_ms.
    const std::int64_t first_ms = series.front().timestamp_ms;
    if (t < first_ms) t += (first_ms - t) / minute_ms * minute_ms;
    const std::int64_t last_ms = series.back().timestamp_ms;

    while (t < to_ms && t <= last_ms) {
        const std::int64_t minute_end = to_ms - t <= minute_ms ? to_ms : t + minute_ms;
        std::size_t count = 0;
        // The minute is [t, minute_end): the element at minute_end is the next minute's.
        for (const SecondSample& second : seconds_between(series, t, minute_end - 1)) {
            if (second.fetal_bpm && std::fabs(*second.fetal_bpm - baseline) <= variability_band_bpm) {
                minute[count++] = *second.fetal_bpm;
            }
        }
        if (count >= min_minute_seconds) {
            const std::span<double> values(minute.data(), count);
            sort_values(values);
            ranges.push_back(value_at_fraction(values, 0.95) - value_at_fraction(values, 0.05));
        }
        t = minute_end;
    }
    if (ranges.size() < min_minutes) return std::nullopt;
    sort_values(ranges);
    return value_at_fraction(ranges, 0.5);
}

BaselineClass classify_baseline(std::int32_t baseline_bpm) noexcept {
    if (baseline_bpm < 110) return BaselineClass::bradycardia;
    if (baseline_bpm <= 160) return BaselineClass::normal;
    return BaselineClass::tachycardia;
}

VariabilityClass classify_variability(double variability_bpm) noexcept {
    if (variability_bpm <= 1.0) return VariabilityClass::absent;
    if (variability_bpm <= 5.0) return VariabilityClass::minimal;
    if (variability_bpm <= 25.0) return VariabilityClass::moderate;
    return VariabilityClass::marked;
}

void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                                 WindowAnalysis& window) {
    // Baseline and variability describe the current state: the last ten minutes.
    const std::int64_t recent_from = std::max(start_ms, end_ms - last_ten_minutes_ms);
    window.baseline_bpm = estimate_baseline(series, recent_from, end_ms);
    window.baseline_class.reset();
    window.variability_bpm.reset();
    window.variability_class.reset();
    if (window.baseline_bpm) {
        window.baseline_class = classify_baseline(*window.baseline_bpm);
        window.variability_bpm =
            estimate_variability(static_cast<double>(*window.baseline_bpm), series, recent_from, end_ms);
        if (window.variability_bpm) window.variability_class = classify_variability(*window.variability_bpm);
    }

    // One scratch list serves the fetal and then the maternal values.
    std::vector<double> values;
    values.reserve(series.size());
    WindowFeatures& features = window.features;
    std::uint64_t below = 0, within = 0, above = 0;
    for (const SecondSample& second : series) {
        if (!second.fetal_bpm) continue;
        const double bpm = *second.fetal_bpm;
        values.push_back(bpm);
        if (bpm < 110.0) {
            ++below;
        } else if (bpm <= 160.0) {
            ++within;
        } else {
            ++above;
        }
    }
    const std::size_t fetal_seconds = values.size();
    const ValueSummary fetal = summarize_values(values);
    features.fetal_hr_min_bpm = fetal.minimum;
    features.fetal_hr_p05_bpm = fetal.p05;
    features.fetal_hr_mean_bpm = fetal.mean;
    features.fetal_hr_median_bpm = fetal.median;
    features.fetal_hr_p95_bpm = fetal.p95;
    features.fetal_hr_max_bpm = fetal.maximum;
    features.fetal_hr_std_dev_bpm = fetal.std_dev;
    features.baseline_delta_mean_bpm.reset();
    if (fetal.mean && window.baseline_bpm) {
        features.baseline_delta_mean_bpm = *fetal.mean - static_cast<double>(*window.baseline_bpm);
    }

    features.fetal_hr_seconds_below_110 = below;
    features.fetal_hr_seconds_110_to_160 = within;
    features.fetal_hr_seconds_above_160 = above;
    const auto percent_of_fetal = [&](std::uint64_t count) {
        if (fetal_seconds == 0) return 0.0;
        return static_cast<double>(count) / static_cast<double>(fetal_seconds) * 100.0;
    };
    features.fetal_hr_percent_below_110 = percent_of_fetal(below);
    features.fetal_hr_percent_110_to_160 = percent_of_fetal(within);
    features.fetal_hr_percent_above_160 = percent_of_fetal(above);

    // A mean over seconds, not samples: every second weighs the same.
    values.clear();
    for (const SecondSample& second : series) {
        if (second.maternal_bpm) values.push_back(*second.maternal_bpm);
    }
    features.maternal_hr_mean_bpm = summarize_values(values).mean;
    features.fetal_maternal_mean_difference_bpm.reset();
    if (fetal.mean && features.maternal_hr_mean_bpm) {
        features.fetal_maternal_mean_difference_bpm = *fetal.mean - *features.maternal_hr_mean_bpm;
    }
}

}  // namespace fhr_core
