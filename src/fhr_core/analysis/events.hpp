// Stage three of a window: accelerations and decelerations of the fetal heart
// rate against the baseline over the last twenty minutes, and the typing of
// gradual decelerations as early or late against the contractions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "series.hpp"

namespace fhr_core {

// A run of qualifying seconds: from the first qualifying second's start to
// 1000 ms after the last one.
struct Run {
    std::int64_t start_ms = 0;
    std::int64_t end_ms = 0;
};

// A second qualifies when it has a fetal value at or above (accelerations) or
// at or below (decelerations) the threshold.
enum class RunDirection { at_or_above, at_or_below };

// Runs of qualifying seconds over `range`, bridging up to three
// non-qualifying seconds in a row.
[[nodiscard]] std::vector<Run> find_runs(std::span<const SecondSample> range, RunDirection direction,
                                         double threshold);

// Fills window.accelerations and window.decelerations (untyped beyond
// variable, prolonged and gradual). Runs only with a baseline.
void detect_heart_rate_events(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                              std::int32_t baseline_bpm, std::optional<std::uint8_t> gestational_age_weeks,
                              WindowAnalysis& window);

// Onset, nadir and end of a deceleration re-read from its texts; nothing when
// a text does not parse.
struct DecelTimes {
    std::int64_t onset_ms = 0;
    std::int64_t nadir_ms = 0;
    std::int64_t end_ms = 0;
};
[[nodiscard]] std::optional<DecelTimes> decel_times(const DecelerationEvent& deceleration);

// Retypes gradual decelerations as early or late by the nearest contraction
// peak, then fills the deceleration and acceleration counts and aggregates.
void type_decelerations(std::span<const ContractionEvent> contractions, WindowAnalysis& window);

}  // namespace fhr_core
