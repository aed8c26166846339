// Monitor timestamp grammar: "2024-03-01 10:15:02", "2024-03-01T10:15:02.250Z",
// "2024-03-01 10:15:02+01:00" and the looser forms monitors write
// ("2024-3-1 7:5:2"). The one place that turns such text into epoch milliseconds.
#pragma once

#include <cstdint>
#include <optional>
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

// Proleptic Gregorian day count (H. Hinnant's days_from_civil), 0 for 1970-01-01.
// The caller keeps the year in the range where the count fits 32 bits.
[[nodiscard]] std::int32_t days_from_civil(std::int32_t year, std::uint32_t month,
                                           std::uint32_t day) noexcept;

}  // namespace fhr_core
