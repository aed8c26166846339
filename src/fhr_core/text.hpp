// Small text helpers shared by the readers: Unicode white-space trimming,
// ASCII case folding, splitting at a separator and counting a byte. Inputs are UTF-8; nothing
// here allocates.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace fhr_core {

// The general path of trim_white_space, for any text.
[[nodiscard]] std::string_view trim_any_white_space(std::string_view text) noexcept;

// Removes Unicode white space (the White_Space property: tab to carriage
// return, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000) from both ends. Invalid UTF-8 is never white space.
[[nodiscard]] inline std::string_view trim_white_space(std::string_view text) noexcept {
    // Most cells begin and end with printable ASCII, and then there is nothing to trim.
    const auto printable_ascii = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x80;
    };
    if (!text.empty() && printable_ascii(text.front()) && printable_ascii(text.back())) return text;
    return trim_any_white_space(text);
}

// How many times `byte` occurs in `text`; the readers size their buffers by it.
[[nodiscard]] std::size_t count_byte(std::string_view text, char byte) noexcept;

// True when the texts are equal once ASCII letters are compared without case;
// every other byte must match exactly.
[[nodiscard]] bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept;

// The pieces of a text between separators, in order and in place: "a,,b"
// gives a, the empty piece and b; the empty text gives one empty piece. After
// the last piece there is none, which tells a caller the text had too few
// separators (a date without its day, a row without its Date cell).
class Pieces {
public:
    constexpr Pieces(std::string_view text, char separator) noexcept : rest_(text), separator_(separator) {}

    [[nodiscard]] constexpr std::optional<std::string_view> next() noexcept {
        if (done_) return std::nullopt;
        const std::size_t at = rest_.find(separator_);
        if (at == std::string_view::npos) {
            done_ = true;
            return rest_;
        }
        const std::string_view piece = rest_.substr(0, at);
        rest_.remove_prefix(at + 1);
        return piece;
    }

private:
    std::string_view rest_;
    char separator_;
    bool done_ = false;
};

}  // namespace fhr_core
