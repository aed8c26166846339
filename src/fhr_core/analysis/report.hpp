// The line writers of the JSON report. The layout is fixed to the character so
// that two runs over the same recording give byte-identical reports: two
// spaces of indentation per level, one key per line, a comma before the line
// feed unless the line ends its object, numbers with exactly three decimals.
// Each writer appends one whole line to `out`; none allocates beyond growing
// `out`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace fhr_core {

// `text` with every backslash doubled, then every double quote and line feed
// written as \" and \n. Nothing else changes: tabs, carriage returns, other
// control characters and non-ASCII text are copied as they are.
[[nodiscard]] std::string escape_json(std::string_view text);

// Appends the escaped form of `text` (see escape_json).
void append_escaped_json(std::string& out, std::string_view text);

// Appends `value` in fixed notation with three decimals, correctly rounded from
// its exact binary value with ties to even; the minus sign stays on negative
// values that round to zero and on negative zero. Never an exponent.
void append_json_number(std::string& out, double value);

// "key": "text", (always followed by a comma)
void push_json_line(std::string& out, std::size_t level, std::string_view key, std::string_view value);
// "key": "text", or "key": null, (always followed by a comma)
void push_json_option(std::string& out, std::size_t level, std::string_view key,
                      std::optional<std::string_view> value);
void push_json_usize(std::string& out, std::size_t level, std::string_view key, std::uint64_t value, bool comma);
// A signed whole number, or null.
void push_json_option_integer(std::string& out, std::size_t level, std::string_view key,
                              std::optional<std::int64_t> value, bool comma);
// true, false or null.
void push_json_option_bool(std::string& out, std::size_t level, std::string_view key, std::optional<bool> value,
                           bool comma);
void push_json_number(std::string& out, std::size_t level, std::string_view key, double value, bool comma);
void push_json_option_number(std::string& out, std::size_t level, std::string_view key,
                             std::optional<double> value, bool comma);
// "key": ["a", "b"] on one line, always at the indentation of a window's keys.
void push_string_array(std::string& out, std::string_view key, std::span<const std::string_view> values,
                       bool comma);

}  // namespace fhr_core
