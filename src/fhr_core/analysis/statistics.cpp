// STUB (apart from the ordering helpers): to be replaced by the statistics stage.
#include "statistics.hpp"

#include <algorithm>
#include <cmath>

namespace fhr_core {

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
ValueSummary summarize_values(std::span<double>) { return {}; }
std::optional<std::int32_t> estimate_baseline(std::span<const SecondSample>, std::int64_t, std::int64_t) { return {}; }
std::optional<double> estimate_variability(double, std::span<const SecondSample>, std::int64_t, std::int64_t) { return {}; }
BaselineClass classify_baseline(std::int32_t) noexcept { return BaselineClass::normal; }
VariabilityClass classify_variability(double) noexcept { return VariabilityClass::moderate; }
void estimate_heart_rate_figures(std::span<const SecondSample>, std::int64_t, std::int64_t, WindowAnalysis&) {}

}  // namespace fhr_core
