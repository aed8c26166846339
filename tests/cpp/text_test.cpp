#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/text.hpp"

namespace {

using namespace std::string_view_literals;
using fhr_core::count_byte;
using fhr_core::equals_ignoring_ascii_case;
using fhr_core::trim_white_space;

std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) text.append(part);
    return text;
}

TEST(Text, TrimsUnicodeWhiteSpace) { EXPECT_EQ(trim_white_space("\xC2\xA0 x\t\xE3\x80\x80"), "x"); }

TEST(Text, TrimsEveryWhiteSpaceCharacterFromBothEnds) {
    const std::string_view white[] = {
        "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680", "\u2000", "\u2001", "\u2002",
        "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a", "\u2028",
        "\u2029", "\u202f", "\u205f", "\u3000",
    };
    for (const std::string_view w : white) {
        const std::string text = joined({w, w, "a", w, "b", w});
        EXPECT_EQ(trim_white_space(text), joined({"a", w, "b"})) << ::testing::PrintToString(w);
        EXPECT_EQ(trim_white_space(w), "") << ::testing::PrintToString(w);
    }
}

TEST(Text, KeepsCharactersThatAreNotWhiteSpace) {
    const std::string_view kept[] = {
        "\u200b",  // ZERO WIDTH SPACE
        "\u180e",  // MONGOLIAN VOWEL SEPARATOR (no longer white space)
        "\ufeff",  // byte-order mark
        "\u00ad", "\x1c", "\x1f", "\0"sv, "x",
    };
    for (const std::string_view k : kept) {
        const std::string text = joined({" ", k, " "});
        EXPECT_EQ(trim_white_space(text), k) << ::testing::PrintToString(k);
    }
}

// Only well-formed UTF-8 can be white space: decoding these loosely would
// yield U+0085, a space or U+00A0.
TEST(Text, MalformedUtf8IsNeverWhiteSpace) {
    const std::string_view malformed[] = {
        "\xc2\x05",      // lead byte without a continuation byte
        "\xc0\xa0",      // overlong space
        "\xc1\xa0",      // overlong U+0060
        "\xe0\x80\xa0",  // overlong space
        "\xe0\x82\x85",  // overlong U+0085
        "\xe2\x80",      // truncated U+2000
        "\xe3\x80\x40",  // bad last byte
        "\xc2",          // truncated U+00A0
        "\xa0",          // continuation byte alone
        "\x85",
    };
    for (const std::string_view m : malformed) {
        EXPECT_EQ(trim_white_space(m), m) << ::testing::PrintToString(m);
        const std::string front = joined({m, "x"});
        EXPECT_EQ(trim_white_space(front), front) << ::testing::PrintToString(m);
        const std::string back = joined({"x", m});
        EXPECT_EQ(trim_white_space(back), back) << ::testing::PrintToString(m);
    }
}

TEST(Text, CountsAByteAcrossBlocksAndCounterRefills) {
    // Lengths around the 64-byte turns and past 255 turns, where the byte
    // counters are emptied; every byte a match is the most a counter takes.
    for (const std::size_t length : {0, 1, 15, 63, 64, 65, 127, 255 * 64, 255 * 64 + 1, 2 * 255 * 64 + 79}) {
        for (const std::size_t every : {1, 3, 64}) {
            std::string text(length, 'x');
            for (std::size_t i = 0; i < length; i += every) text[i] = '\n';
            EXPECT_EQ(count_byte(text, '\n'), static_cast<std::size_t>(std::ranges::count(text, '\n')))
                << length << " bytes, every " << every;
        }
    }
}

TEST(Text, ComparesAsciiLettersWithoutCase) {
    const struct {
        std::string_view a;
        std::string_view b;
        bool equal;
    } cases[] = {
        {"Date", "DATE", true},          {"date", "Date", true},
        {"hr1", "HR1", true},            {"ToCo", "tOcO", true},
        {"", "", true},                  {"\0"sv, "\0"sv, true},
        {"Dat", "Date", false},          {"Dates", "Date", false},
        {"\"Date\"", "Date", false},     {"\xef\xbb\xbf" "Date", "Date", false},
        {"DAT\xc3\x89", "dat\xc3\xa9", false},  // only ASCII letters fold
        {"@", "`", false},               {"[", "{", false},
        {"HR1", "HR 1", false},          {"HR1\0"sv, "HR1", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(equals_ignoring_ascii_case(c.a, c.b), c.equal) << ::testing::PrintToString(c.a) << " vs "
                                                                 << ::testing::PrintToString(c.b);
        EXPECT_EQ(equals_ignoring_ascii_case(c.b, c.a), c.equal) << ::testing::PrintToString(c.b);
    }
}

TEST(Text, SplitsIntoPiecesBetweenSeparators) {
    const struct {
        std::string_view text;
        std::vector<std::string_view> pieces;
    } cases[] = {
        {"", {""}},
        {",", {"", ""}},
        {"a", {"a"}},
        {"a,,b", {"a", "", "b"}},
        {",a,", {"", "a", ""}},
        {" a , b ", {" a ", " b "}},  // pieces are not trimmed
        {"a;b,c", {"a;b", "c"}},
        {"a\0,b"sv, {"a\0"sv, "b"}},
    };
    for (const auto& c : cases) {
        fhr_core::Pieces pieces(c.text, ',');
        std::vector<std::string_view> got;
        while (const auto piece = pieces.next()) got.push_back(*piece);
        EXPECT_EQ(got, c.pieces) << ::testing::PrintToString(c.text);
        EXPECT_FALSE(pieces.next().has_value()) << ::testing::PrintToString(c.text);
    }
}

}  // namespace
