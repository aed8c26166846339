// Stage one of a window: the samples inside the window become a gap-free
// series of one value per whole second, and the window's coverage and the
// suspicion of maternal heart-rate capture are measured on it. Every later
// stage reads only this series.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../model.hpp"

namespace fhr_core {

// One second of a window: the means of the usable values that fell in it.
// `timestamp` is the text of the first sample of the second; it is empty when
// no sample fell in the second, whose display text is then "<ms>ms".
struct SecondSample {
    std::optional<double> fetal_bpm;
    std::optional<double> maternal_bpm;
    std::optional<double> toco;
    std::string_view timestamp;
    std::int64_t timestamp_ms = 0;  // start of the second, a multiple of 1000
};

// Start of the whole second holding `ms` (floor towards minus infinity).
[[nodiscard]] std::int64_t second_start(std::int64_t ms) noexcept;

// The contiguous run of time-sorted samples with start_ms <= time <= end_ms,
// found by binary search.
[[nodiscard]] SampleSpan select_window_samples(SampleSpan sorted, std::int64_t start_ms, std::int64_t end_ms) noexcept;

// One element per second from second_start(start_ms) to second_start(end_ms);
// empty when the end's second lies before the start's. `selected` is the
// window's time-sorted samples (select_window_samples); each second holds the
// means of their usable values, and the elements view the samples' texts.
[[nodiscard]] std::vector<SecondSample> build_second_series(SampleSpan selected,
                                                            FetalChannel channel,
                                                            std::int64_t start_ms, std::int64_t end_ms);

// The per-second series of a whole recording, kept over a stretch of seconds
// that windows move forward through: stepped windows view it instead of each
// building its own. Its seconds are complete (every sample of the second
// counts), so a window's series matches it except in its first and last
// second, which the window's bounds may cut.
class RecordingSeries {
public:
    RecordingSeries(SampleSpan samples, FetalChannel channel) : samples_(samples), channel_(channel) {}

    // Makes the series hold every second from first_second to last_second
    // (second starts, first_second <= last_second), building only the seconds
    // it does not hold yet; seconds before first_second stay until drop_before.
    void cover(std::int64_t first_second, std::int64_t last_second);
    // Releases the seconds before `first_second` once nothing reads them.
    void drop_before(std::int64_t first_second);

    // The held seconds from first_second to last_second (both held).
    [[nodiscard]] std::span<SecondSample> seconds(std::int64_t first_second, std::int64_t last_second) noexcept;
    [[nodiscard]] std::span<const SecondSample> held() const noexcept { return held_; }

private:
    [[nodiscard]] std::vector<SecondSample> build(std::int64_t first_second, std::int64_t last_second) const;

    SampleSpan samples_;
    FetalChannel channel_;
    std::vector<SecondSample> held_;  // held_[i] starts at held_[0].timestamp_ms + 1000 i
};

// Fills window_start, window_end, duration_seconds and the data_quality group.
void assess_signal_quality(SampleSpan selected, std::span<const SecondSample> series,
                           std::int64_t start_ms, std::int64_t end_ms, WindowAnalysis& window);

// The elements with from_ms <= timestamp_ms <= to_ms (both inclusive), found by
// arithmetic on the one-second grid.
[[nodiscard]] std::span<const SecondSample> seconds_between(std::span<const SecondSample> series,
                                                            std::int64_t from_ms, std::int64_t to_ms) noexcept;

// The display text of a second: its first sample's text, or "<ms>ms".
[[nodiscard]] std::string second_text(const SecondSample& second);

// The display text of the element nearest to `time_ms` (the earlier of two
// equally near). The series must not be empty.
[[nodiscard]] std::string nearest_second_text(std::span<const SecondSample> series, std::int64_t time_ms);

}  // namespace fhr_core
