// The analysis of a recording: the window driver, the analysis of one window,
// and the JSON report writer. None of them can fail.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../model.hpp"

namespace fhr_core {

// The report's "input" object for a recording.
[[nodiscard]] InputSummary summarize_input(const InputData& data);

// The inclusive bounds of one analysis window, in epoch milliseconds.
struct WindowBounds {
    std::int64_t start_ms = 0;
    std::int64_t end_ms = 0;

    friend bool operator==(const WindowBounds&, const WindowBounds&) = default;
};

// The windows of a recording whose first and last samples lie at first_ms and
// last_ms (first_ms <= last_ms), in order of increasing end: in chunk mode the
// most recent 30 minutes; in rolling mode windows of the requested length whose
// end advances by the step from first_ms + length, then one ending at last_ms
// unless the stepping landed there. Never empty; every window lies within
// [first_ms, last_ms]. The arithmetic cannot overflow for any pair of times.
[[nodiscard]] std::vector<WindowBounds> plan_windows(std::int64_t first_ms, std::int64_t last_ms,
                                                     const AnalysisSettings& settings);

// The last window of plan_windows(first_ms, last_ms, settings), by arithmetic
// alone: it ends at last_ms and spans the window length, or the whole recording
// when that is shorter.
[[nodiscard]] WindowBounds last_window_bounds(std::int64_t first_ms, std::int64_t last_ms,
                                              const AnalysisSettings& settings) noexcept;

// Cuts the recording into the chunk window or the rolling windows and analyses
// each, in order of increasing end time. Every window is what analyze_window
// gives for its bounds; overlapping windows share their common work.
[[nodiscard]] AnalysisReport analyze_rolling_windows(const InputData& data, const AnalysisSettings& settings);

// How many windows analyze_rolling_windows produces for the recording (the size
// of its plan), by arithmetic alone; lets a caller refuse a report too large
// to build before any work is done.
[[nodiscard]] std::uint64_t count_windows(const InputData& data, const AnalysisSettings& settings) noexcept;

// The report analyze_rolling_windows would give, holding only its last window.
// Windows are independent, so the others need not be analysed at all.
[[nodiscard]] AnalysisReport analyze_last_window(const InputData& data, const AnalysisSettings& settings);

// One window [start_ms, end_ms] (both inclusive) of the time-sorted samples.
[[nodiscard]] WindowAnalysis analyze_window(SampleSpan samples, const AnalysisSettings& settings,
                                            std::int64_t start_ms, std::int64_t end_ms);

// The whole report as indented JSON text ending in a line feed.
[[nodiscard]] std::string report_as_json(const AnalysisReport& report);

}  // namespace fhr_core
