// STUB: to be replaced by the verdict stage.
#include "classification.hpp"

namespace fhr_core {

void classify_window(std::span<const SecondSample>, std::int64_t, std::int64_t, WindowAnalysis&) {}

}  // namespace fhr_core
