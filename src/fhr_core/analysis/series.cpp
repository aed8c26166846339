// STUB: to be replaced by the per-second series stage.
#include "series.hpp"

namespace fhr_core {

std::int64_t second_start(std::int64_t ms) noexcept { return ms >= 0 ? ms / 1000 * 1000 : -((-(ms + 1)) / 1000 + 1) * 1000; }

std::span<const MonitorSample> select_window_samples(std::span<const MonitorSample> sorted, std::int64_t, std::int64_t) noexcept {
    return sorted.first(0);
}

std::vector<SecondSample> build_second_series(std::span<const MonitorSample>, FetalChannel, std::int64_t, std::int64_t) {
    return {};
}

void assess_signal_quality(std::span<const MonitorSample>, std::span<const SecondSample>, std::int64_t, std::int64_t,
                           WindowAnalysis&) {}

std::span<const SecondSample> seconds_between(std::span<const SecondSample> series, std::int64_t, std::int64_t) noexcept {
    return series.first(0);
}

std::string second_text(const SecondSample& second) { return std::string(second.timestamp); }

std::string nearest_second_text(std::span<const SecondSample>, std::int64_t) { return {}; }

}  // namespace fhr_core
