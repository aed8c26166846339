// STUB: to be replaced by the uterine activity stage.
#include "contractions.hpp"

namespace fhr_core {

std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample>, std::int64_t, std::int64_t) { return {}; }
void assess_uterine_activity(std::span<const SecondSample>, std::int64_t, std::int64_t, WindowAnalysis&) {}

}  // namespace fhr_core
