// Stage two of a window: summary statistics, the baseline over the last ten
// minutes and the variability around it, their classes, the heart-rate bands
// and the maternal mean.
#pragma once

#include <bit>
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

// Sorts ascending in the IEEE total order (-0.0 before +0.0): the same
// result as std::sort with before_in_total_order, as values with equal keys
// have equal bits. Longer lists are sorted by buckets of their keys in a
// buffer of twice their size, allocated per call (without it they are sorted
// in place by comparison).
void sort_values(std::span<double> values) noexcept;

// A signed integer whose order is the IEEE total order of the double with the
// same bits: negative values have their magnitude bits flipped. Its own
// inverse, as the sign bit stays.
[[nodiscard]] inline std::int64_t total_order_key(std::int64_t bits) noexcept {
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The IEEE total order as a strict comparison: before_in_total_order(a, b)
// when a comes before b (compares total_order_key). A function object, so
// that the algorithms given it inline it.
struct TotalOrderBefore {
    [[nodiscard]] bool operator()(double a, double b) const noexcept {
        return total_order_key(std::bit_cast<std::int64_t>(a)) < total_order_key(std::bit_cast<std::int64_t>(b));
    }
};
inline constexpr TotalOrderBefore before_in_total_order{};

// Nearest-rank index of fraction p in n sorted values: min(n - 1, round((n - 1) * p)),
// halves away from zero. n must be at least 1.
[[nodiscard]] std::size_t fraction_index(std::size_t n, double p) noexcept;

// The sorted value at fraction p (see fraction_index). `sorted` must not be empty.
[[nodiscard]] double value_at_fraction(std::span<const double> sorted, double p) noexcept;

// Reorders `values` (sorts them).
[[nodiscard]] ValueSummary summarize_values(std::span<double> values);

// The summary of values already sorted (sort_values).
[[nodiscard]] ValueSummary summarize_sorted(std::span<const double> sorted) noexcept;
// Its mean alone: the sorted values summed in order, over their count.
[[nodiscard]] std::optional<double> mean_of_sorted(std::span<const double> sorted) noexcept;

// The value lists of one window that the figures read in sorted order, each
// ascending in the total order: the fetal, maternal and TOCO values of the
// whole series, the fetal values of the last ten minutes (the baseline) and
// the TOCO values of the last twenty (the contraction thresholds).
struct SortedWindowValues {
    std::span<const double> fetal;
    std::span<const double> maternal;
    std::span<const double> toco;
    std::span<const double> recent_fetal;
    std::span<const double> detection_toco;
};

// Start of the last ten minutes of the window [start_ms, end_ms], or its start
// when it is shorter: the range of the baseline and its variability.
[[nodiscard]] std::int64_t recent_start_ms(std::int64_t start_ms, std::int64_t end_ms) noexcept;

// The lists of SortedWindowValues gathered from one window's series and sorted.
class WindowValueLists {
public:
    WindowValueLists(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms);
    [[nodiscard]] SortedWindowValues sorted() const noexcept;

private:
    std::vector<double> fetal_, maternal_, toco_, recent_fetal_, detection_toco_;
};

// One channel's values over a range of whole seconds of a per-second series,
// kept sorted as the range moves forward: the values of the seconds that
// leave and enter are sorted on their own and merged in, so that a range
// moving by a step costs a pass over its values, not a sort of them all.
class SlidingSortedValues {
public:
    using Channel = std::optional<double> SecondSample::*;
    explicit SlidingSortedValues(Channel channel) noexcept : channel_(channel) {}

    // Moves to the seconds from_ms to to_ms (second starts, both inclusive;
    // empty when to_ms < from_ms). `seconds` is a gap-free series holding
    // them and, while the new range overlaps the old, the old range too.
    void move_to(std::span<const SecondSample> seconds, std::int64_t from_ms, std::int64_t to_ms);
    // The values of the range, sorted (sort_values).
    [[nodiscard]] std::span<const double> sorted() const noexcept { return values_; }

private:
    // Appends the channel's values of the seconds [from_ms, to_ms] to `out`.
    void collect(std::span<const SecondSample> seconds, std::int64_t from_ms, std::int64_t to_ms,
                 std::vector<double>& out) const;

    // Takes the sorted `leaving` values out of the sorted values and puts the
    // sorted `entering` ones in.
    void splice(std::span<const double> leaving, std::span<const double> entering);

    Channel channel_;
    std::int64_t from_ms_ = 0;
    std::int64_t to_ms_ = -1000;  // empty
    std::vector<double> values_, leaving_, entering_, merged_;
    std::vector<std::size_t> leaving_at_, entering_at_;
};

// `sorted` with the present `extra` values merged in at their places, into `out`.
void merge_sorted(std::span<const double> sorted, std::span<const std::optional<double>> extra,
                  std::vector<double>& out);

// The baseline of sorted fetal values (see estimate_baseline).
[[nodiscard]] std::optional<std::int32_t> baseline_of_sorted(std::span<const double> sorted) noexcept;

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
// fetal_maternal_mean_difference_bpm. `sorted` holds the window's value lists.
void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms,
                                 std::int64_t end_ms, const SortedWindowValues& sorted, WindowAnalysis& window);

// The same for a window alone: gathers and sorts its value lists first.
void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms,
                                 std::int64_t end_ms, WindowAnalysis& window);

}  // namespace fhr_core
