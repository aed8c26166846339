// The per-second series of a window and its signal-quality figures.
#include "series.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace fhr_core {

std::int64_t second_start(std::int64_t ms) noexcept {
    std::int64_t seconds = ms / 1000;
    if (ms % 1000 < 0) --seconds;  // floor, not truncation: -1 ms lies in the second starting at -1000
    return seconds * 1000;
}

SampleSpan select_window_samples(SampleSpan sorted, std::int64_t start_ms, std::int64_t end_ms) noexcept {
    const std::span<const MonitorSample> all = sorted.samples;
    if (end_ms < start_ms) return {all.first(0), sorted.texts};
    const auto first = std::lower_bound(all.begin(), all.end(), start_ms,
                                        [](const MonitorSample& s, std::int64_t t) { return s.timestamp_ms < t; });
    const auto last = std::upper_bound(first, all.end(), end_ms,
                                       [](std::int64_t t, const MonitorSample& s) { return t < s.timestamp_ms; });
    return {{first, last}, sorted.texts};
}

namespace {

// Monitors report 0 or out-of-range values when they lose the signal; such a
// value (and NaN, which fails every comparison) counts as no value at all.
bool usable_heart_rate(double bpm) noexcept { return bpm >= 30.0 && bpm <= 240.0; }
bool usable_toco(double toco) noexcept { return toco >= 0.0 && toco <= 300.0; }

// The sum and count of one channel's usable values within one second.
struct ChannelMean {
    double sum = 0.0;
    std::uint64_t count = 0;

    // An absent value reads as NaN, which no usable range holds.
    void add(OptionalValue value, bool (*usable)(double) noexcept) noexcept {
        if (const double number = value.value_or_nan(); usable(number)) {
            sum += number;
            ++count;
        }
    }
    // Stores the mean in `mean`, left absent when the second had no value.
    void store_mean(std::optional<double>& mean) const noexcept {
        if (count == 0) return;
        // Dividing by 4 or 2 is scaling by the exact reciprocal, the same
        // number as the division, and far cheaper: monitors record at 4 Hz or 2 Hz.
        switch (count) {
            case 4: mean = sum * 0.25; break;
            case 2: mean = sum * 0.5; break;
            case 1: mean = sum; break;
            default: mean = sum / static_cast<double>(count);
        }
    }
};

}  // namespace

std::vector<SecondSample> build_second_series(SampleSpan selected_span, FetalChannel channel,
                                              std::int64_t start_ms, std::int64_t end_ms) {
    const std::int64_t first_second = second_start(start_ms);
    const std::int64_t last_second = second_start(end_ms);
    if (last_second < first_second) return {};

    std::vector<SecondSample> series(static_cast<std::size_t>((last_second - first_second) / 1000 + 1));
    for (std::size_t i = 0; i < series.size(); ++i) {
        series[i].timestamp_ms = first_second + static_cast<std::int64_t>(i) * 1000;
    }

    const std::span<const MonitorSample> selected = selected_span.samples;
    const OptionalValue MonitorSample::*const fetal_rate = fetal_field(channel);
    // The samples are sorted by time, so each second's samples are adjacent:
    // sum one second's samples afresh, in sample order, then store the means.
    std::size_t next = 0;
    while (next < selected.size()) {
        const std::int64_t second = second_start(selected[next].timestamp_ms);
        // The second's last millisecond; the last second of the time range ends early.
        constexpr std::int64_t last_ms = std::numeric_limits<std::int64_t>::max();
        const std::int64_t second_last_ms = second <= last_ms - 999 ? second + 999 : last_ms;
        const std::string_view text = selected_span.text_of(selected[next]);
        ChannelMean fetal, maternal, toco;
        for (; next < selected.size() && selected[next].timestamp_ms <= second_last_ms; ++next) {
            const MonitorSample& sample = selected[next];
            fetal.add(sample.*fetal_rate, usable_heart_rate);
            maternal.add(sample.hrm, usable_heart_rate);
            toco.add(sample.toco, usable_toco);
        }
        if (second < first_second || second > last_second) continue;  // not a sample of this window
        SecondSample& element = series[static_cast<std::size_t>((second - first_second) / 1000)];
        fetal.store_mean(element.fetal_bpm);
        maternal.store_mean(element.maternal_bpm);
        toco.store_mean(element.toco);
        element.timestamp = text;
    }
    return series;
}

std::vector<SecondSample> RecordingSeries::build(std::int64_t first_second, std::int64_t last_second) const {
    const std::int64_t last_ms = last_second + 999;  // the whole last second
    return build_second_series(select_window_samples(samples_, first_second, last_ms), channel_, first_second,
                               last_ms);
}

void RecordingSeries::cover(std::int64_t first_second, std::int64_t last_second) {
    if (held_.empty() || first_second < held_.front().timestamp_ms || first_second > held_.back().timestamp_ms) {
        held_ = build(first_second, last_second);  // nothing held is of use
        return;
    }
    const std::int64_t held_last = held_.back().timestamp_ms;
    if (last_second <= held_last) return;
    const std::vector<SecondSample> more = build(held_last + 1000, last_second);
    held_.insert(held_.end(), more.begin(), more.end());
}

void RecordingSeries::drop_before(std::int64_t first_second) {
    if (held_.empty() || first_second <= held_.front().timestamp_ms) return;
    const auto unused = static_cast<std::size_t>((first_second - held_.front().timestamp_ms) / 1000);
    // Erasing only once the unused seconds outnumber the rest keeps the
    // moving cost proportional to the seconds built.
    if (unused >= held_.size()) {
        held_.clear();
    } else if (2 * unused >= held_.size()) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(unused));
    }
}

std::span<SecondSample> RecordingSeries::seconds(std::int64_t first_second, std::int64_t last_second) noexcept {
    const std::int64_t origin = held_.front().timestamp_ms;
    return std::span(held_).subspan(static_cast<std::size_t>((first_second - origin) / 1000),
                                    static_cast<std::size_t>((last_second - first_second) / 1000 + 1));
}

void assess_signal_quality(SampleSpan selected, std::span<const SecondSample> series,
                           std::int64_t start_ms, std::int64_t end_ms, WindowAnalysis& window) {
    if (!selected.samples.empty()) {
        window.window_start = std::string(selected.text_of(selected.samples.front()));
        window.window_end = std::string(selected.text_of(selected.samples.back()));
    } else if (!series.empty()) {
        window.window_start = second_text(series.front());
        window.window_end = second_text(series.back());
    } else {
        window.window_start = "unknown";
        window.window_end = "unknown";
    }

    const std::int64_t length_ms = std::max<std::int64_t>(end_ms - start_ms, 0);
    window.duration_seconds = static_cast<double>(length_ms) / 1000.0;

    DataQuality& quality = window.data_quality;
    quality.expected_seconds = std::max<std::uint64_t>(series.size(), static_cast<std::uint64_t>(length_ms / 1000));
    quality.raw_samples = selected.samples.size();

    std::uint64_t fetal = 0, maternal = 0, toco = 0, paired = 0, close = 0;
    for (const SecondSample& second : series) {
        fetal += second.fetal_bpm.has_value();
        maternal += second.maternal_bpm.has_value();
        toco += second.toco.has_value();
        if (second.fetal_bpm && second.maternal_bpm) {
            ++paired;
            // A fetal channel that follows the mother's pulse within 5 bpm is
            // likely recording the maternal heart, not the fetal one.
            close += std::fabs(*second.fetal_bpm - *second.maternal_bpm) <= 5.0;
        }
    }
    const auto share_of_expected = [&](std::uint64_t count) {
        if (quality.expected_seconds == 0) return 0.0;
        return static_cast<double>(count) / static_cast<double>(quality.expected_seconds);
    };
    quality.fetal_usable_ratio = share_of_expected(fetal);
    quality.maternal_usable_ratio = share_of_expected(maternal);
    quality.toco_usable_ratio = share_of_expected(toco);
    quality.suspected_maternal_capture_ratio =
        paired > 0 ? static_cast<double>(close) / static_cast<double>(paired) : 0.0;
}

std::span<const SecondSample> seconds_between(std::span<const SecondSample> series, std::int64_t from_ms,
                                              std::int64_t to_ms) noexcept {
    if (series.empty() || to_ms < from_ms) return series.first(0);
    // The series holds one element per second from series[0], so an element's
    // index is its distance from the first in whole seconds.
    const std::int64_t origin = series.front().timestamp_ms;
    const auto size = static_cast<std::int64_t>(series.size());
    const auto index_from = [&](std::int64_t ms) {  // first index whose time is >= ms
        if (ms <= origin) return std::int64_t{0};
        const std::int64_t offset = ms - origin;
        return std::min(size, offset / 1000 + (offset % 1000 != 0 ? 1 : 0));
    };
    const std::int64_t begin = index_from(from_ms);
    const std::int64_t end = to_ms < origin ? 0 : std::min(size, (to_ms - origin) / 1000 + 1);
    if (end <= begin) return series.first(0);
    return series.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string second_text(const SecondSample& second) {
    if (!second.timestamp.empty()) return std::string(second.timestamp);
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, second.timestamp_ms);
    std::string text(buffer, end);
    text += "ms";
    return text;
}

std::string nearest_second_text(std::span<const SecondSample> series, std::int64_t time_ms) {
    const std::int64_t origin = series.front().timestamp_ms;
    const auto last_index = static_cast<std::int64_t>(series.size()) - 1;
    std::int64_t index = 0;
    if (time_ms > origin) {
        const std::int64_t offset = time_ms - origin;
        index = offset / 1000;
        if (offset % 1000 > 500) ++index;  // equally near (500 ms): the earlier second
        index = std::min(index, last_index);
    }
    return second_text(series[static_cast<std::size_t>(index)]);
}

}  // namespace fhr_core
