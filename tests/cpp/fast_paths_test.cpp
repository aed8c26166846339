// The readers' fast paths against the general ones they stand in for: over
// many generated texts near the shapes monitors write, the fixed-width
// timestamp reader, the plain-decimal reader and the ASCII trim give exactly
// what the general grammar gives (instant or message, value bits, trimmed view).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/csv_input.hpp"
#include "fhr_core/text.hpp"
#include "fhr_core/time.hpp"

namespace {

using fhr_core::TimestampReader;

// Characters that keep a mutated text near the monitor shapes, plus bytes of
// multi-byte white space and of other non-ASCII characters.
constexpr std::string_view near_shape_alphabet = "0123456789-:. TZ+xe\t\xC2\xA0\xE3\x80";

class Texts {
public:
    explicit Texts(std::uint32_t seed) : random_(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    // A fixed-width timestamp with random fields (some out of range), up to
    // three fraction digits, 'T' or space, and trailing 'Z's.
    std::string timestamp() {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "%04zu-%02zu-%02zu%c%02zu:%02zu:%02zu", below(10'000),
                                    below(14), below(33), below(2) ? 'T' : ' ', below(25), below(61), below(61));
        std::string result(text, static_cast<std::size_t>(n));
        if (const std::size_t digits = below(5); digits > 0) {
            result += '.';
            for (std::size_t i = 1; i < digits; ++i) result += static_cast<char>('0' + below(10));
        }
        result.append(below(3) == 0 ? below(3) : 0, 'Z');
        return result;
    }

    // The text with a few characters replaced, inserted or removed.
    std::string mutated(std::string text) {
        for (std::size_t edits = below(4); edits > 0; --edits) {
            const char c = near_shape_alphabet[below(near_shape_alphabet.size())];
            const std::size_t at = below(text.size() + 1);
            switch (below(3)) {
                case 0: if (at < text.size()) text[at] = c; break;
                case 1: text.insert(at, 1, c); break;
                default: if (at < text.size()) text.erase(at, 1); break;
            }
        }
        return text;
    }

    // A decimal-looking cell: sign, digits, point, exponent in random places.
    std::string number() {
        static constexpr std::string_view alphabet = "0123456789.-+eE ";
        std::string text;
        if (below(2) == 0) {
            char formatted[48];
            const double value = std::uniform_real_distribution<double>(-300.0, 300.0)(random_);
            const int n = std::snprintf(formatted, sizeof formatted, "%.*f", static_cast<int>(below(17)), value);
            text.assign(formatted, static_cast<std::size_t>(n));
            return below(4) == 0 ? mutated(text) : text;
        }
        for (std::size_t length = below(24); length > 0; --length) text += alphabet[below(alphabet.size())];
        return text;
    }

private:
    std::mt19937 random_;
};

constexpr int rounds = 200'000;

// The instant or the message, comparable and readable in a failure.
std::string shown(const fhr_core::Result<std::int64_t>& read) {
    return read ? std::to_string(*read) : std::string("refused: ").append(read.error());
}

TEST(FastPaths, TimestampsReadAsTheGeneralGrammarReadsThem) {
    Texts texts(20240301);
    TimestampReader reader;  // one reader for all, as over the rows of a recording
    std::size_t accepted = 0;
    for (int i = 0; i < rounds; ++i) {
        // Runs of texts sharing a date exercise the reuse of the previous day.
        std::string text = texts.timestamp();
        if (i % 3 != 0) text = texts.mutated(text);
        const auto expected = fhr_core::parse_monitor_timestamp(text);
        ASSERT_EQ(shown(reader.read(text)), shown(expected)) << '"' << text << '"';
        if (expected) {
            ++accepted;
            if (text.size() < 13) continue;
            std::string same_day = text;
            same_day.replace(11, 2, "07");  // same date, another hour
            ASSERT_EQ(shown(reader.read(same_day)), shown(fhr_core::parse_monitor_timestamp(same_day)))
                << '"' << same_day << '"';
        }
    }
    EXPECT_GT(accepted, static_cast<std::size_t>(rounds / 10));  // both paths were taken often
}

TEST(FastPaths, PlainDecimalsHaveTheNearestDouble) {
    Texts texts(7);
    std::size_t plain = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::string text = texts.number();
        const auto general = fhr_core::read_any_channel_value(text);
        if (const auto fast = fhr_core::read_plain_decimal(text)) {
            ++plain;
            ASSERT_TRUE(general.has_value()) << '"' << text << '"';
            ASSERT_EQ(std::bit_cast<std::uint64_t>(*fast), std::bit_cast<std::uint64_t>(*general)) << '"' << text << '"';
        }
    }
    EXPECT_GT(plain, static_cast<std::size_t>(rounds / 4));
}

TEST(FastPaths, AsciiTrimGivesTheGeneralView) {
    Texts texts(11);
    for (int i = 0; i < rounds; ++i) {
        const std::string text = texts.mutated(texts.mutated(std::string(" ").append(texts.number()).append("\t")));
        const std::string_view fast = fhr_core::trim_white_space(text);
        const std::string_view general = fhr_core::trim_any_white_space(text);
        ASSERT_EQ(fast.data(), general.data()) << '"' << text << '"';
        ASSERT_EQ(fast.size(), general.size()) << '"' << text << '"';
    }
}

}  // namespace
