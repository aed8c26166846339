// The per-second series of a window and its signal-quality figures.
#include "series.hpp"

#include <algorithm>
#include <charconv>

namespace fhr_core {

std::int64_t second_start(std::int64_t ms) noexcept {
    std::int64_t seconds = ms / 1000;
    if (ms % 1000 < 0) --seconds;  // floor, not truncation: -1 ms lies in the second starting at -1000
    return seconds * 1000;
}

std::span<const MonitorSample> select_window_samples(std::span<const MonitorSample> sorted, std::int64_t start_ms,
                                                     std::int64_t end_ms) noexcept {
    if (end_ms < start_ms) return sorted.first(0);
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), start_ms,
                                        [](const MonitorSample& s, std::int64_t t) { return s.timestamp_ms < t; });
    const auto last = std::upper_bound(first, sorted.end(), end_ms,
                                       [](std::int64_t t, const MonitorSample& s) { return t < s.timestamp_ms; });
    return {first, last};
}

// STUB: the series and quality figures are built by the series stage.
std::vector<SecondSample> build_second_series(std::span<const MonitorSample>, FetalChannel, std::int64_t, std::int64_t) {
    return {};
}

// STUB
void assess_signal_quality(std::span<const MonitorSample>, std::span<const SecondSample>, std::int64_t, std::int64_t,
                           WindowAnalysis&) {}

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
