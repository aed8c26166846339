// The verdict of a window: the three-tier category with its reasons, the
// high-risk and protective features, the limitations of the assessment and
// the alert level.
#pragma once

#include <cstdint>
#include <span>

#include "series.hpp"

namespace fhr_core {

// Reads the figures the earlier stages left in `window` (and re-estimates the
// two ten-minute segments from the series); fills classification, alert_level,
// reasons, high_risk_features, protective_features and limitations. The lists
// hold views of the constants of verdict_texts.hpp; reasons and both feature
// lists come out sorted byte-wise without repeats, limitations in the order
// found.
void classify_window(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                     WindowAnalysis& window);

}  // namespace fhr_core
