// STUB: to be replaced by the records' helpers.
#include "model.hpp"

namespace fhr_core {

Result<FetalChannel> FetalChannel::parse(std::string_view) { return FetalChannel::HR1; }
std::string_view to_text(FetalChannel) noexcept { return "HR1"; }
std::optional<double> fetal_value(const MonitorSample& sample, FetalChannel) noexcept { return sample.hr1; }
std::string_view TextStore::keep(std::string_view text) { return text; }
void OutOfOrderCounter::accept(std::int64_t) noexcept {}
void finish_input(InputData&, const OutOfOrderCounter&) {}
std::string_view to_text(Classification) noexcept { return ""; }
std::string_view to_text(AlertLevel) noexcept { return ""; }
std::string_view to_text(BaselineClass) noexcept { return ""; }
std::string_view to_text(VariabilityClass) noexcept { return ""; }

}  // namespace fhr_core
