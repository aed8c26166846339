// Summary statistics, the fetal baseline and its variability, their classes,
// the heart-rate bands and the maternal mean of a window.
#include "statistics.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <utility>

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

// The value at `rank` (0 first) of `values` ordered by `comes_first`, for a
// rank near the front (below 4, as a minute's 5th and 95th percentiles are):
// one pass keeps the first rank + 1 values in order.
template <typename Order>
double value_of_rank(std::span<const double> values, std::size_t rank, Order comes_first) noexcept {
    constexpr std::size_t kept_most = 4;
    if (rank >= kept_most) {
        std::vector<double> all(values.begin(), values.end());
        std::ranges::nth_element(all, all.begin() + static_cast<std::ptrdiff_t>(rank), comes_first);
        return all[rank];
    }
    std::array<double, kept_most> first{};
    std::size_t kept = 0;
    for (const double value : values) {
        if (kept > rank && !comes_first(value, first[rank])) continue;
        std::size_t at = std::min(kept, rank);  // the last kept place, freed when all are kept
        kept = std::min(kept + 1, rank + 1);
        for (; at > 0 && comes_first(value, first[at - 1]); --at) first[at] = first[at - 1];
        first[at] = value;
    }
    return first[rank];
}

constexpr auto after_in_total_order = [](double a, double b) noexcept { return before_in_total_order(b, a); };

}  // namespace

namespace {

// Keys whose unsigned order is the total order of the values: the signed key
// with its sign bit flipped.
constexpr std::uint64_t key_sign_bit = std::uint64_t{1} << 63;

std::uint64_t radix_key(double value) noexcept {
    return static_cast<std::uint64_t>(total_order_key(std::bit_cast<std::int64_t>(value))) ^ key_sign_bit;
}

double value_of_radix_key(std::uint64_t key) noexcept {
    return std::bit_cast<double>(total_order_key(static_cast<std::int64_t>(key ^ key_sign_bit)));
}

// A range of keys this short is sorted by insertion: bucketing it costs more.
constexpr std::size_t insertion_sort_length = 32;
// The buckets of a pass: about half as many as keys, at most 2^11.
constexpr int most_bucket_bits = 11;
// Keys still crowded after this many passes are left to a comparison sort,
// which bounds the work and the stack.
constexpr int most_bucket_passes = 3;

void insertion_sort(std::uint64_t* keys, std::size_t n) noexcept {
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t key = keys[i];
        std::size_t at = i;
        for (; at > 0 && key < keys[at - 1]; --at) keys[at] = keys[at - 1];
        keys[at] = key;
    }
}

// Sorts keys[0, n) ascending; scratch[0, n) is free for its use. Most
// significant digits first: the keys are counted into buckets by their
// distance from the least key and placed bucket by bucket, then each bucket
// is sorted the same way over its narrower range.
void sort_keys(std::uint64_t* keys, std::uint64_t* scratch, std::size_t n, int passes_left) noexcept {
    if (n <= insertion_sort_length) {
        insertion_sort(keys, n);
        return;
    }
    if (passes_left == 0) {
        std::sort(keys, keys + n);
        return;
    }
    const auto [least, greatest] = std::minmax_element(keys, keys + n);
    const std::uint64_t low = *least;
    const std::uint64_t range = *greatest - low;
    if (range == 0) return;
    const int bucket_bits = std::min(static_cast<int>(std::bit_width(n)) - 1, most_bucket_bits);
    const int shift = std::max(static_cast<int>(std::bit_width(range)) - bucket_bits, 0);
    const std::size_t buckets = static_cast<std::size_t>(range >> shift) + 1;
    const auto bucket_of = [&](std::uint64_t key) { return static_cast<std::size_t>((key - low) >> shift); };

    // Counts, then the start of each bucket, which placing moves to its end.
    std::array<std::uint32_t, std::size_t{1} << most_bucket_bits> places;
    std::fill_n(places.begin(), buckets, 0);
    for (std::size_t i = 0; i < n; ++i) ++places[bucket_of(keys[i])];
    std::uint32_t start = 0;
    for (std::size_t b = 0; b < buckets; ++b) start += std::exchange(places[b], start);
    for (std::size_t i = 0; i < n; ++i) scratch[places[bucket_of(keys[i])]++] = keys[i];
    std::copy_n(scratch, n, keys);
    std::size_t begin = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t end = places[b];
        if (end - begin > 1) sort_keys(keys + begin, scratch + begin, end - begin, passes_left - 1);
        begin = end;
    }
}

}  // namespace

void sort_values(std::span<double> values) noexcept {
    const std::size_t n = values.size();
    std::unique_ptr<std::uint64_t[]> buffer;
    if (n > insertion_sort_length && n <= std::numeric_limits<std::uint32_t>::max()) {
        buffer.reset(new (std::nothrow) std::uint64_t[2 * n]);
    }
    if (!buffer) {  // short, or no memory for the keys
        std::sort(values.begin(), values.end(), before_in_total_order);
        return;
    }
    std::uint64_t* keys = buffer.get();
    for (std::size_t i = 0; i < n; ++i) keys[i] = radix_key(values[i]);
    sort_keys(keys, keys + n, n, most_bucket_passes);
    for (std::size_t i = 0; i < n; ++i) values[i] = value_of_radix_key(keys[i]);
}

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

namespace {

// The place of `value` among sorted values: the first index whose value does
// not come before it (`after_equal` false) or comes after it (true). A binary
// search whose halving is a conditional move, not a branch: the probes of
// values sliding through a window are unpredictable.
std::size_t place_in_sorted(std::span<const double> sorted, double value, bool after_equal) noexcept {
    if (sorted.empty()) return 0;
    const auto goes_past = [&](double probe) {
        return after_equal ? !before_in_total_order(value, probe) : before_in_total_order(probe, value);
    };
    const double* base = sorted.data();
    std::size_t size = sorted.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        base = goes_past(base[half]) ? base + half : base;
        size -= half;
    }
    return static_cast<std::size_t>(base - sorted.data()) + (goes_past(*base) ? 1 : 0);
}

}  // namespace

void SlidingSortedValues::splice(std::span<const double> leaving, std::span<const double> entering) {
    // Both lists are short beside the kept values: find where each leaves
    // or enters by binary search, then copy the kept values between those
    // places in blocks. Equal values have equal bits, so which of them
    // leaves is of no matter.
    leaving_at_.clear();
    std::size_t search_from = 0;
    for (const double value : leaving) {
        const std::span<const double> rest = std::span<const double>(values_).subspan(search_from);
        leaving_at_.push_back(search_from + place_in_sorted(rest, value, false));
        search_from = leaving_at_.back() + 1;  // an equal value leaves from the next place
    }
    entering_at_.clear();
    for (const double value : entering) entering_at_.push_back(place_in_sorted(values_, value, true));

    merged_.clear();
    const auto copy_until = [&](std::size_t& cursor, std::size_t end) {
        merged_.insert(merged_.end(), values_.begin() + static_cast<std::ptrdiff_t>(cursor),
                       values_.begin() + static_cast<std::ptrdiff_t>(end));
        cursor = end;
    };
    std::size_t cursor = 0, leave = 0, enter = 0;
    while (leave < leaving_at_.size() || enter < entering_at_.size()) {
        const std::size_t leave_at = leave < leaving_at_.size() ? leaving_at_[leave] : values_.size();
        const std::size_t enter_at = enter < entering_at_.size() ? entering_at_[enter] : values_.size();
        if (enter_at <= leave_at) {  // enters before the value at its place
            copy_until(cursor, enter_at);
            merged_.push_back(entering[enter++]);
        } else {
            copy_until(cursor, leave_at);
            ++cursor;  // skips the leaving value
            ++leave;
        }
    }
    copy_until(cursor, values_.size());
    values_.swap(merged_);
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
        splice(leaving_, entering_);
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
            // Only two ranks near the ends are read: no sort is needed.
            const auto values = std::span<const double>(minute.data(), count);
            const double p95 = value_of_rank(values, count - 1 - fraction_index(count, 0.95), after_in_total_order);
            const double p05 = value_of_rank(values, fraction_index(count, 0.05), before_in_total_order);
            ranges.push_back(p95 - p05);
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

namespace {

// The values of one channel over a range of seconds, and over the seconds
// of the series outside it, each sorted; merged, they are the sorted values
// of the whole series.
struct SplitValues {
    std::vector<double> in_range, outside;
};

SplitValues split_sorted_values(std::span<const SecondSample> series, std::span<const SecondSample> range,
                                SlidingSortedValues::Channel channel) {
    SplitValues split;
    split.in_range.reserve(range.size());
    split.outside.reserve(series.size() - range.size());
    const auto collect = [channel](std::span<const SecondSample> seconds, std::vector<double>& out) {
        for (const SecondSample& second : seconds) {
            if (const std::optional<double>& value = second.*channel) out.push_back(*value);
        }
    };
    const auto range_begin = static_cast<std::size_t>(range.data() - series.data());
    collect(series.first(range_begin), split.outside);
    collect(range, split.in_range);
    collect(series.subspan(range_begin + range.size()), split.outside);
    sort_values(split.in_range);
    sort_values(split.outside);
    return split;
}

// Two sorted lists merged into one, in the total order.
std::vector<double> merge_in_total_order(std::span<const double> a, std::span<const double> b) {
    std::vector<double> merged(a.size() + b.size());
    std::merge(a.begin(), a.end(), b.begin(), b.end(), merged.begin(), before_in_total_order);
    return merged;
}

}  // namespace

WindowValueLists::WindowValueLists(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms) {
    // The lists of the last ten and twenty minutes are sorted on their own;
    // merged with the sorted values of the other seconds they give the
    // whole window's fetal and TOCO lists, which so need no sort of their own.
    SplitValues fetal = split_sorted_values(
        series, seconds_between(series, recent_start_ms(start_ms, end_ms), end_ms), &SecondSample::fetal_bpm);
    fetal_ = merge_in_total_order(fetal.in_range, fetal.outside);
    recent_fetal_ = std::move(fetal.in_range);
    SplitValues toco = split_sorted_values(
        series, seconds_between(series, detection_start_ms(start_ms, end_ms), end_ms), &SecondSample::toco);
    toco_ = merge_in_total_order(toco.in_range, toco.outside);
    detection_toco_ = std::move(toco.in_range);
    maternal_.reserve(series.size());
    for (const SecondSample& second : series) {
        if (second.maternal_bpm) maternal_.push_back(*second.maternal_bpm);
    }
    sort_values(maternal_);
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
