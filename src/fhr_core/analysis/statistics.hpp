// Stage two of a window: summary statistics, the baseline over the last ten
// minutes and the variability around it, their classes, the heart-rate bands
// and the maternal mean.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "series.hpp"

namespace fhr_core {

// Minimum, 5th percentile, mean, median, 95th percentile, maximum and
// population standard deviation; all absent for an empty list.
struct ValueSummary {
    std::optional<double> minimum;
    std::optional<double> p05;
    std::optional<double> mean;
    std::optional<double> median;
    std::optional<double> p95;
    std::optional<double> maximum;
    std::optional<double> std_dev;
};

// Sorts ascending in the IEEE total order (-0.0 before +0.0).
void sort_values(std::span<double> values) noexcept;

// Nearest-rank index of fraction p in n sorted values: min(n - 1, round((n - 1) * p)),
// halves away from zero. n must be at least 1.
[[nodiscard]] std::size_t fraction_index(std::size_t n, double p) noexcept;

// The sorted value at fraction p (see fraction_index). `sorted` must not be empty.
[[nodiscard]] double value_at_fraction(std::span<const double> sorted, double p) noexcept;

// Reorders `values` (sorts them).
[[nodiscard]] ValueSummary summarize_values(std::span<double> values);

// Baseline in whole bpm, a multiple of 5, of the fetal values with
// from_ms <= time <= to_ms; absent with fewer than 120 values.
[[nodiscard]] std::optional<std::int32_t> estimate_baseline(std::span<const SecondSample> series,
                                                            std::int64_t from_ms, std::int64_t to_ms);

// Median of the per-minute 5th-95th percentile ranges of the values within
// 25 bpm of `baseline`, minutes counted from from_ms; absent with fewer than
// two minutes of 30 such values.
[[nodiscard]] std::optional<double> estimate_variability(double baseline, std::span<const SecondSample> series,
                                                         std::int64_t from_ms, std::int64_t to_ms);

[[nodiscard]] BaselineClass classify_baseline(std::int32_t baseline_bpm) noexcept;
[[nodiscard]] VariabilityClass classify_variability(double variability_bpm) noexcept;

// Fills baseline_bpm, baseline_class, variability_bpm, variability_class, the
// fetal summary, baseline_delta_mean_bpm, the bands, maternal_hr_mean_bpm and
// fetal_maternal_mean_difference_bpm.
void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms,
                                 std::int64_t end_ms, WindowAnalysis& window);

}  // namespace fhr_core
