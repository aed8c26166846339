// Summary statistics, the fetal baseline and its variability, their classes,
// the heart-rate bands and the maternal mean of a window.
#include "statistics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>

#include "contractions.hpp"

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

void sort_values(std::span<double> values) noexcept { std::sort(values.begin(), values.end(), before_in_total_order); }

std::size_t fraction_index(std::size_t n, double p) noexcept {
    const double rank = std::round(static_cast<double>(n - 1) * p);  // halves away from zero
    return std::min(n - 1, static_cast<std::size_t>(rank));
}

double value_at_fraction(std::span<const double> sorted, double p) noexcept {
    return sorted[fraction_index(sorted.size(), p)];
}

ValueSummary summarize_values(std::span<double> values) {
    sort_values(values);
    return summarize_sorted(values);
}

std::optional<double> mean_of_sorted(std::span<const double> values) noexcept {
    if (values.empty()) return std::nullopt;
    return sum_in_order(values) / static_cast<double>(values.size());
}

ValueSummary summarize_sorted(std::span<const double> values) noexcept {
    if (values.empty()) return {};
    const auto n = static_cast<double>(values.size());
    const double mean = *mean_of_sorted(values);
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

void SlidingSortedValues::collect(std::span<const SecondSample> seconds, std::int64_t from_ms, std::int64_t to_ms,
                                  std::vector<double>& out) const {
    for (const SecondSample& second : seconds_between(seconds, from_ms, to_ms)) {
        if (const std::optional<double>& value = second.*channel_) out.push_back(*value);
    }
}

void SlidingSortedValues::move_to(std::span<const SecondSample> seconds, std::int64_t from_ms, std::int64_t to_ms) {
    const bool empty = to_ms < from_ms;
    const bool was_empty = to_ms_ < from_ms_;
    const bool moves_forward_overlapping = !empty && !was_empty && from_ms >= from_ms_ && to_ms >= to_ms_ &&
                                           from_ms <= to_ms_;
    if (!moves_forward_overlapping) {
        values_.clear();
        if (!empty) {
            collect(seconds, from_ms, to_ms, values_);
            sort_values(values_);
        }
    } else if (from_ms != from_ms_ || to_ms != to_ms_) {
        leaving_.clear();
        entering_.clear();
        collect(seconds, from_ms_, from_ms - 1000, leaving_);
        collect(seconds, to_ms_ + 1000, to_ms, entering_);
        sort_values(leaving_);
        sort_values(entering_);
        // Equal values have equal bits, so which of them leaves is of no matter.
        merged_.clear();
        std::ranges::set_difference(values_, leaving_, std::back_inserter(merged_), before_in_total_order);
        values_.clear();
        std::ranges::merge(merged_, entering_, std::back_inserter(values_), before_in_total_order);
    }
    from_ms_ = from_ms;
    to_ms_ = to_ms;
}

void merge_sorted(std::span<const double> sorted, std::span<const std::optional<double>> extra,
                  std::vector<double>& out) {
    out.assign(sorted.begin(), sorted.end());
    for (const std::optional<double>& value : extra) {
        if (!value) continue;
        out.insert(std::ranges::upper_bound(out, *value, before_in_total_order), *value);
    }
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
    sort_values(values);
    return baseline_of_sorted(values);
}

std::optional<std::int32_t> baseline_of_sorted(std::span<const double> values) noexcept {
    if (values.size() < min_baseline_seconds) return std::nullopt;
    // Dropping the lowest and highest tenth keeps accelerations and
    // decelerations from pulling the resting level.
    const std::size_t k = values.size() / 10;
    const std::span<const double> kept = values.subspan(k, values.size() - 2 * k);
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
            // Only two ranks are read: placing each is enough, a full sort is not needed.
            const auto values = std::span<double>(minute.data(), count);
            const std::size_t high = fraction_index(count, 0.95);
            const std::size_t low = fraction_index(count, 0.05);
            std::ranges::nth_element(values, values.begin() + static_cast<std::ptrdiff_t>(high), before_in_total_order);
            std::ranges::nth_element(values.first(high + 1), values.begin() + static_cast<std::ptrdiff_t>(low),
                                     before_in_total_order);
            ranges.push_back(values[high] - values[low]);
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

std::int64_t recent_start_ms(std::int64_t start_ms, std::int64_t end_ms) noexcept {
    return std::max(start_ms, end_ms - last_ten_minutes_ms);
}

WindowValueLists::WindowValueLists(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms) {
    for (const SecondSample& second : series) {
        if (second.fetal_bpm) fetal_.push_back(*second.fetal_bpm);
        if (second.maternal_bpm) maternal_.push_back(*second.maternal_bpm);
        if (second.toco) toco_.push_back(*second.toco);
    }
    for (const SecondSample& second : seconds_between(series, recent_start_ms(start_ms, end_ms), end_ms)) {
        if (second.fetal_bpm) recent_fetal_.push_back(*second.fetal_bpm);
    }
    for (const SecondSample& second : seconds_between(series, detection_start_ms(start_ms, end_ms), end_ms)) {
        if (second.toco) detection_toco_.push_back(*second.toco);
    }
    for (std::vector<double>* list : {&fetal_, &maternal_, &toco_, &recent_fetal_, &detection_toco_}) {
        sort_values(*list);
    }
}

SortedWindowValues WindowValueLists::sorted() const noexcept {
    return {.fetal = fetal_,
            .maternal = maternal_,
            .toco = toco_,
            .recent_fetal = recent_fetal_,
            .detection_toco = detection_toco_};
}

void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                                 WindowAnalysis& window) {
    estimate_heart_rate_figures(series, start_ms, end_ms, WindowValueLists(series, start_ms, end_ms).sorted(),
                                window);
}

void estimate_heart_rate_figures(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                                 const SortedWindowValues& sorted, WindowAnalysis& window) {
    // Baseline and variability describe the current state: the last ten minutes.
    const std::int64_t recent_from = recent_start_ms(start_ms, end_ms);
    window.baseline_bpm = baseline_of_sorted(sorted.recent_fetal);
    window.baseline_class.reset();
    window.variability_bpm.reset();
    window.variability_class.reset();
    if (window.baseline_bpm) {
        window.baseline_class = classify_baseline(*window.baseline_bpm);
        window.variability_bpm =
            estimate_variability(static_cast<double>(*window.baseline_bpm), series, recent_from, end_ms);
        if (window.variability_bpm) window.variability_class = classify_variability(*window.variability_bpm);
    }

    WindowFeatures& features = window.features;
    const ValueSummary fetal = summarize_sorted(sorted.fetal);
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

    // The bands are counted on the sorted values: each is a run of them.
    const auto count_before = [&](auto in_lower_band) {
        return static_cast<std::uint64_t>(std::ranges::partition_point(sorted.fetal, in_lower_band) -
                                          sorted.fetal.begin());
    };
    const std::uint64_t fetal_seconds = sorted.fetal.size();
    const std::uint64_t below = count_before([](double bpm) { return bpm < 110.0; });
    const std::uint64_t within = count_before([](double bpm) { return bpm <= 160.0; }) - below;
    const std::uint64_t above = fetal_seconds - below - within;
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
    features.maternal_hr_mean_bpm = mean_of_sorted(sorted.maternal);
    features.fetal_maternal_mean_difference_bpm.reset();
    if (fetal.mean && features.maternal_hr_mean_bpm) {
        features.fetal_maternal_mean_difference_bpm = *fetal.mean - *features.maternal_hr_mean_bpm;
    }
}

}  // namespace fhr_core
