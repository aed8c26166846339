// Reader of a monitor's CSV export: a header row naming Date, HR1, HR2, HR3,
// HRM and TOCO in any ASCII case, comma-separated cells without quoting.
#pragma once

#include <optional>
#include <string_view>

#include "model.hpp"
#include "result.hpp"

namespace fhr_core {

// Reads the whole export in one pass, in place: the samples' texts view `text`,
// which must outlive the result. The first bad row fails the whole read.
[[nodiscard]] Result<InputData> read_monitor_csv_str(std::string_view text);

// The same reader with every row taken by its general path (cells cut first,
// then trimmed and read), for comparing the fast row path with it.
[[nodiscard]] Result<InputData> read_monitor_csv_rows_generally(std::string_view text);

// A channel value cell, trimmed: an optional sign, then digits with an
// optional point (at least one digit in all) and an optional exponent, or inf,
// infinity or nan in any case, as the nearest double. Anything else
// (hexadecimal, separators, units) is no value.
[[nodiscard]] std::optional<double> read_any_channel_value(std::string_view cell) noexcept;

// The fast path the reader tries first: the plain decimals monitors write
// ("140", "-3.25": an optional '-', digits, and a point with digits after it,
// 15 digits at most) with the value read_any_channel_value gives; no value for
// any other text.
[[nodiscard]] std::optional<double> read_plain_decimal(std::string_view cell) noexcept;

}  // namespace fhr_core
