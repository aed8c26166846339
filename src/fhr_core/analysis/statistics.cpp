// STUB: to be replaced by the statistics stage.
#include "statistics.hpp"

namespace fhr_core {

void sort_values(std::span<double>) noexcept {}
std::size_t fraction_index(std::size_t, double) noexcept { return 0; }
double value_at_fraction(std::span<const double> sorted, double) noexcept { return sorted.front(); }
ValueSummary summarize_values(std::span<double>) { return {}; }
std::optional<std::int32_t> estimate_baseline(std::span<const SecondSample>, std::int64_t, std::int64_t) { return {}; }
std::optional<double> estimate_variability(double, std::span<const SecondSample>, std::int64_t, std::int64_t) { return {}; }
BaselineClass classify_baseline(std::int32_t) noexcept { return BaselineClass::normal; }
VariabilityClass classify_variability(double) noexcept { return VariabilityClass::moderate; }
void estimate_heart_rate_figures(std::span<const SecondSample>, std::int64_t, std::int64_t, WindowAnalysis&) {}

}  // namespace fhr_core
