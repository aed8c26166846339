// Hand-built per-second series for the tests of the stages that read one:
// seconds from 2024-03-01 10:00:00 UTC, each carrying its monitor text, with
// fetal and TOCO values set over spans of seconds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "fhr_core/analysis/series.hpp"

namespace pulsequill_test {

// 2024-03-01 10:00:00 UTC in epoch milliseconds.
inline constexpr std::int64_t grid_origin_ms = 1709287200000;

// Epoch milliseconds of the grid's second `second`.
constexpr std::int64_t grid_ms(std::int64_t second) { return grid_origin_ms + second * 1000; }

// The monitor text of the grid's second `second` (within the day).
inline std::string grid_text(std::int64_t second) {
    char text[32];
    std::snprintf(text, sizeof text, "2024-03-01 %02d:%02d:%02d", static_cast<int>(10 + second / 3600),
                  static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
    return text;
}

// The text of a second in which no sample fell.
inline std::string empty_second_text(std::int64_t second) { return std::to_string(grid_ms(second)) + "ms"; }

class SecondGrid {
public:
    explicit SecondGrid(std::int64_t seconds) {
        for (std::int64_t i = 0; i < seconds; ++i) {
            const std::string& text = texts_.emplace_back(grid_text(i));
            fhr_core::SecondSample second;
            second.timestamp = text;
            second.timestamp_ms = grid_ms(i);
            series_.push_back(second);
        }
    }
    SecondGrid(const SecondGrid&) = delete;
    SecondGrid& operator=(const SecondGrid&) = delete;

    std::span<const fhr_core::SecondSample> series() const { return series_; }
    std::int64_t start_ms() const { return series_.front().timestamp_ms; }
    std::int64_t end_ms() const { return series_.back().timestamp_ms; }

    // Seconds [first, first + count) get the fetal value `bpm`.
    SecondGrid& fetal(std::int64_t first, std::int64_t count, double bpm) {
        for (std::int64_t i = first; i < first + count; ++i) at(i).fetal_bpm = bpm;
        return *this;
    }
    SecondGrid& toco(std::int64_t first, std::int64_t count, double value) {
        for (std::int64_t i = first; i < first + count; ++i) at(i).toco = value;
        return *this;
    }
    SecondGrid& no_toco(std::int64_t first, std::int64_t count) {
        for (std::int64_t i = first; i < first + count; ++i) at(i).toco.reset();
        return *this;
    }
    // Second `second` had no sample at all: no values, and the "<ms>ms" text.
    SecondGrid& no_sample(std::int64_t second) {
        at(second) = fhr_core::SecondSample();
        at(second).timestamp_ms = grid_ms(second);
        return *this;
    }

private:
    fhr_core::SecondSample& at(std::int64_t second) { return series_.at(static_cast<std::size_t>(second)); }

    std::deque<std::string> texts_;  // stable addresses for the views in series_
    std::vector<fhr_core::SecondSample> series_;
};

}  // namespace pulsequill_test
