// What every fuzz target checks beyond "no crash": a broken property aborts
// with its description, and libFuzzer keeps the input as a reproducer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fhr_core/model.hpp"
#include "fhr_core/time.hpp"

namespace fuzz {

inline void require(bool holds, const char* property) {
    if (holds) return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

inline std::string_view as_text(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Whether the text is UTF-8 (shortest forms, no surrogates), as every text
// handed over from a Python str is.
inline bool is_utf8(std::string_view text) {
    constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
        if (length == 0 || text.size() - i < length) return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3Fu);
        }
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// A reader's result: samples sorted by time, each display text parsing back
// to the sample's instant, and the counts consistent with the samples.
inline void check_recording(const fhr_core::InputData& data) {
    std::uint64_t repeated = 0;
    for (std::size_t i = 0; i < data.samples.size(); ++i) {
        const fhr_core::MonitorSample& sample = data.samples[i];
        const auto instant = fhr_core::parse_monitor_timestamp(data.all().text_of(sample));
        require(instant && *instant == sample.timestamp_ms, "a display text parses back to its instant");
        if (i == 0) continue;
        const std::int64_t previous = data.samples[i - 1].timestamp_ms;
        require(previous <= sample.timestamp_ms, "samples come out sorted by time");
        if (previous == sample.timestamp_ms) ++repeated;
    }
    require(repeated == data.duplicate_timestamps, "duplicate_timestamps counts the repeated times");
    require(data.out_of_order_rows < data.samples.size() || data.samples.empty(),
            "fewer rows out of order than rows");
}

}  // namespace fuzz
