// Stage four of a window: uterine activity. Contractions in the last twenty
// minutes from the TOCO channel, their rate per ten minutes of window, the
// TOCO level of the window and the tachysystole verdict.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "series.hpp"

namespace fhr_core {

[[nodiscard]] std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample> series,
                                                                std::int64_t start_ms, std::int64_t end_ms);

// Fills toco_summary, contraction_count, contractions_per_10_min, toco_mean and toco_max.
void assess_uterine_activity(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                             WindowAnalysis& window);

}  // namespace fhr_core
