// Stage four of a window: uterine activity. Contractions in the last twenty
// minutes from the TOCO channel, their rate per ten minutes of window, the
// TOCO level of the window and the tachysystole verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "series.hpp"
#include "statistics.hpp"

namespace fhr_core {

// Start of the range in which contractions, accelerations and decelerations
// are looked for: the last twenty minutes of the window [start_ms, end_ms],
// or all of it when it is shorter.
[[nodiscard]] std::int64_t detection_start_ms(std::int64_t start_ms, std::int64_t end_ms) noexcept;

// Levels of the smoothed TOCO trace at which a contraction begins and the
// level its peak must reach, both above the resting tone.
struct ContractionThresholds {
    double onset = 0.0;
    double peak = 0.0;
};

// The thresholds from the TOCO values of the detection range (reordered:
// sorted), or nothing when there are fewer than 60 values or the trace is
// flat (its 95th percentile less than 8 units above its 20th).
[[nodiscard]] std::optional<ContractionThresholds> contraction_thresholds(std::span<double> toco_values) noexcept;

// The same from TOCO values already sorted (sort_values).
[[nodiscard]] std::optional<ContractionThresholds> thresholds_of_sorted(std::span<const double> sorted) noexcept;

// Contractions of the last twenty minutes, in time order; none with fewer
// than 60 TOCO seconds there or with a flat trace. `detection_toco` holds the
// sorted TOCO values of that range (SortedWindowValues).
[[nodiscard]] std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample> series,
                                                                std::int64_t start_ms, std::int64_t end_ms,
                                                                std::span<const double> detection_toco);
// The same for a window alone: gathers and sorts the range's TOCO values first.
[[nodiscard]] std::vector<ContractionEvent> detect_contractions(std::span<const SecondSample> series,
                                                                std::int64_t start_ms, std::int64_t end_ms);

// Fills toco_summary, contraction_count, contractions_per_10_min, toco_mean and
// toco_max. `sorted` holds the window's value lists.
void assess_uterine_activity(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                             const SortedWindowValues& sorted, WindowAnalysis& window);
// The same for a window alone: gathers and sorts its value lists first.
void assess_uterine_activity(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                             WindowAnalysis& window);

}  // namespace fhr_core
