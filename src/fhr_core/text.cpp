#include "text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fhr_core {
namespace {

bool is_white_space(char32_t c) noexcept {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Length in bytes of the white-space character that starts the text, or 0.
// Only well-formed shortest encodings count, so a stray or overlong byte
// sequence (C0 A0 would decode to a space) is never taken for white space.
std::size_t white_space_at_front(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(text[0]);
    if (b0 < 0x80) return is_white_space(b0) ? 1 : 0;
    if ((b0 & 0xE0) == 0xC0 && text.size() >= 2 && is_continuation(text[1])) {
        const char32_t c = (char32_t(b0 & 0x1F) << 6) | (static_cast<unsigned char>(text[1]) & 0x3F);
        return c >= 0x80 && is_white_space(c) ? 2 : 0;
    }
    if ((b0 & 0xF0) == 0xE0 && text.size() >= 3 && is_continuation(text[1]) && is_continuation(text[2])) {
        const char32_t c = (char32_t(b0 & 0x0F) << 12) |
                           (char32_t(static_cast<unsigned char>(text[1]) & 0x3F) << 6) |
                           (static_cast<unsigned char>(text[2]) & 0x3F);
        return c >= 0x800 && is_white_space(c) ? 3 : 0;
    }
    return 0;  // no white space needs four bytes
}

// Length in bytes of the white-space character that ends the text, or 0.
std::size_t white_space_at_back(std::string_view text) noexcept {
    if (text.empty()) return 0;
    if (static_cast<unsigned char>(text.back()) < 0x80) return white_space_at_front(text.substr(text.size() - 1));
    for (std::size_t len = 2; len <= 3 && len <= text.size(); ++len) {
        const std::string_view tail = text.substr(text.size() - len);
        if (white_space_at_front(tail) == len) return len;
    }
    return 0;
}

}  // namespace

std::string_view trim_any_white_space(std::string_view text) noexcept {
    while (const std::size_t n = white_space_at_front(text)) text.remove_prefix(n);
    while (const std::size_t n = white_space_at_back(text)) text.remove_suffix(n);
    return text;
}

// Sixty-four bytes a turn, sixteen to a register, where the processor has
// SSE2 (every x86-64 does), in byte counters emptied before they can overflow.
std::size_t count_byte(std::string_view text, char byte) noexcept {
    std::size_t count = 0;
    std::size_t at = 0;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(byte);
    const auto matches = [&](std::size_t offset) {  // -1 in each byte that matches
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + offset)), wanted);
    };
    while (text.size() - at >= 64) {
        __m128i counters[4] = {};
        for (int turn = 0; turn < 255 && text.size() - at >= 64; ++turn, at += 64) {
            for (int lane = 0; lane < 4; ++lane) counters[lane] = _mm_sub_epi8(counters[lane], matches(at + 16 * lane));
        }
        for (const __m128i& counter : counters) {
            const __m128i sums = _mm_sad_epu8(counter, _mm_setzero_si128());
            count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                     static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        }
    }
#endif
    return count + static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), byte));
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace fhr_core
