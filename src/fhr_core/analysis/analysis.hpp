// The analysis of a recording: the window driver, the analysis of one window,
// and the JSON report writer. None of them can fail.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "../model.hpp"

namespace fhr_core {

// The report's "input" object for a recording.
[[nodiscard]] InputSummary summarize_input(const InputData& data);

// Cuts the recording into the chunk window or the rolling windows and analyses
// each, in order of increasing end time.
[[nodiscard]] AnalysisReport analyze_rolling_windows(const InputData& data, const AnalysisSettings& settings);

// How many windows analyze_rolling_windows produces for the recording; lets a
// caller refuse a report too large to build before any work is done.
[[nodiscard]] std::uint64_t count_windows(const InputData& data, const AnalysisSettings& settings) noexcept;

// The report analyze_rolling_windows would give, holding only its last window.
// Windows are independent, so the others need not be analysed at all.
[[nodiscard]] AnalysisReport analyze_last_window(const InputData& data, const AnalysisSettings& settings);

// One window [start_ms, end_ms] (both inclusive) of the time-sorted samples.
[[nodiscard]] WindowAnalysis analyze_window(std::span<const MonitorSample> samples,
                                            const AnalysisSettings& settings,
                                            std::int64_t start_ms, std::int64_t end_ms);

// The whole report as indented JSON text ending in a line feed.
[[nodiscard]] std::string report_as_json(const AnalysisReport& report);

}  // namespace fhr_core
