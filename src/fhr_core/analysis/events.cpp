// STUB: to be replaced by the acceleration and deceleration stage.
#include "events.hpp"

namespace fhr_core {

std::vector<Run> find_runs(std::span<const SecondSample>, RunDirection, double) { return {}; }
void detect_heart_rate_events(std::span<const SecondSample>, std::int64_t, std::int64_t, std::int32_t,
                              std::optional<std::uint8_t>, WindowAnalysis&) {}
std::optional<DecelTimes> decel_times(const DecelerationEvent&) { return {}; }
void type_decelerations(std::span<const ContractionEvent>, WindowAnalysis&) {}

}  // namespace fhr_core
