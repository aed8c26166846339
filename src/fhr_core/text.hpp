// Small text helpers shared by the readers: Unicode white-space trimming and
// ASCII case folding. Inputs are UTF-8; nothing here allocates.
#pragma once

#include <string_view>

namespace fhr_core {

// Removes Unicode white space (the White_Space property: tab to carriage
// return, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000) from both ends. Invalid UTF-8 is never white space.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

// True when the texts are equal once ASCII letters are compared without case;
// every other byte must match exactly.
[[nodiscard]] bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept;

}  // namespace fhr_core
