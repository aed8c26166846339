// Monitor timestamp grammar: "2024-03-01 10:15:02", "2024-03-01T10:15:02.250Z",
// "2024-03-01 10:15:02+01:00" and the looser forms monitors write
// ("2024-3-1 7:5:2"). The one place that turns such text into epoch milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace fhr_core {

// Milliseconds since 1970-01-01T00:00:00 UTC, or a message quoting the input
// exactly as handed in (untrimmed).
[[nodiscard]] Result<std::int64_t> parse_monitor_timestamp(std::string_view input);

// The first step of the grammar: Unicode white space trimmed from both ends
// and every trailing 'Z' dropped. A JSON sample's display time starts from it.
[[nodiscard]] std::string_view strip_timestamp_text(std::string_view input) noexcept;

// One date or time component: an optional '+' then ASCII digits fitting 32 bits.
// An absent piece means the text had too few separators.
[[nodiscard]] Result<std::uint32_t> parse_part(std::optional<std::string_view> piece,
                                               std::string_view label,
                                               std::string_view input);

// The fraction after the seconds' decimal point; only its first three
// characters count ("5" is 500 ms, "25" is 250 ms, "1239" is 123 ms).
[[nodiscard]] Result<std::uint32_t> parse_millis(std::string_view fraction);

// The digit fields of the fixed-width shapes, for TimestampReader's inline path.
namespace fixed_width {

// The value of two ASCII digits, or -1.
[[nodiscard]] inline int two_digits(const char* at) noexcept {
    const unsigned tens = static_cast<unsigned char>(at[0]) - unsigned{'0'};
    const unsigned ones = static_cast<unsigned char>(at[1]) - unsigned{'0'};
    return tens <= 9 && ones <= 9 ? static_cast<int>(tens * 10 + ones) : -1;
}

// The fraction digits from `at` up to `limit` (at most three after the point)
// as milliseconds added to `millis`; returns where they stop.
[[nodiscard]] inline const char* read_fraction(const char* at, const char* limit, std::int64_t& millis) noexcept {
    std::int64_t scale = 100;
    for (; at != limit; ++at, scale /= 10) {
        const unsigned digit = static_cast<unsigned char>(*at) - unsigned{'0'};
        if (digit > 9) break;
        millis += digit * scale;
    }
    return at;
}

}  // namespace fixed_width

// Reads the times of one recording row after row. The fixed-width shapes
// monitors write ("2024-03-01 10:00:00", "2024-03-01T10:00:00.250Z": four-digit
// year, two-digit fields, 'T' or space, up to three fraction digits, trailing
// 'Z's) are read directly, reusing the previous row's minute while its text
// is unchanged; any other text goes to parse_monitor_timestamp. Either way the
// instant or the message is the one parse_monitor_timestamp gives. The path of
// a row whose minute is unchanged is inline: readers call it for every row.
class TimestampReader {
public:
    [[nodiscard]] Result<std::int64_t> read(std::string_view input) {
        std::int64_t instant = 0;
        if (read_fixed_width(input, instant)) return instant;
        return parse_monitor_timestamp(input);
    }

    // For readers that walk a row without cutting it into cells first: the
    // fixed-width time that starts at `at` (with its fraction and trailing
    // 'Z's), read as read() reads that text alone. Returns where it ends, or
    // nullptr when the text at `at` has another shape or fewer than 24
    // characters precede `end`. The caller checks that the cell ends there.
    [[nodiscard]] const char* read_fixed_width_at(const char* at, const char* end, std::int64_t& instant) noexcept {
        if (end - at < 24 || !read_whole_second(at, instant)) return nullptr;
        const char* stop = at + 19;
        if (*stop == '.') {
            std::int64_t millis = 0;
            stop = fixed_width::read_fraction(at + 20, at + 23, millis);
            if (stop == at + 20) return nullptr;  // a point without digits
            instant += millis;
        }
        while (stop != end && *stop == 'Z') ++stop;
        return stop;
    }

private:
    [[nodiscard]] bool read_fixed_width(std::string_view input, std::int64_t& instant) noexcept;

    // The instant of the whole second "YYYY-MM-DD HH:MM:SS" at `t` (19 characters).
    [[nodiscard]] bool read_whole_second(const char* t, std::int64_t& instant) noexcept {
        // Rows a quarter second apart share their minute: its text is compared
        // whole and its instant reused, leaving only the seconds to read.
        if ((!has_minute_ || std::char_traits<char>::compare(minute_text_, t, sizeof minute_text_) != 0) &&
            !read_minute(t)) {
            return false;
        }
        if (t[16] != ':') return false;
        const int second = fixed_width::two_digits(t + 17);
        if (second < 0 || second > 59) return false;
        instant = minute_ms_ + second * 1'000;
        return true;
    }
    // Checks "YYYY-MM-DD HH:MM" at `t` and keeps it and its instant.
    [[nodiscard]] bool read_minute(const char* t) noexcept;

    char minute_text_[16] = {};  // "YYYY-MM-DD HH:MM" of the last time read
    std::int64_t minute_ms_ = 0;  // and the instant that minute starts
    bool has_minute_ = false;
};

// Proleptic Gregorian day count (H. Hinnant's days_from_civil), 0 for 1970-01-01.
// The caller keeps the year in the range where the count fits 32 bits.
[[nodiscard]] std::int32_t days_from_civil(std::int32_t year, std::uint32_t month,
                                           std::uint32_t day) noexcept;

}  // namespace fhr_core
