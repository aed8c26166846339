// The readers' fast paths against the general ones they stand in for: over
// many generated texts near the shapes monitors write, the fixed-width
// timestamp reader, the plain-decimal reader and the ASCII trim give exactly
// what the general grammar gives (instant or message, value bits, trimmed view),
// and whole exports read row by row on the fast path give what the general
// row path gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/csv_input.hpp"
#include "fhr_core/model.hpp"
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
        std::string text = texts.timestamp();
        if (i % 3 != 0) text = texts.mutated(text);
        const auto expected = fhr_core::parse_monitor_timestamp(text);
        ASSERT_EQ(shown(reader.read(text)), shown(expected)) << '"' << text << '"';
        if (expected) {
            ++accepted;
            // Its start (at least the date) with another tail: the same minute
            // exercises the reuse of the previous minute, a nearly same one its renewal.
            const std::size_t kept = std::min(text.size(), 10 + texts.below(7));
            const std::string next = text.substr(0, kept) + texts.mutated(texts.timestamp().substr(kept));
            ASSERT_EQ(shown(reader.read(next)), shown(fhr_core::parse_monitor_timestamp(next))) << '"' << next << '"';
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

// Everything a reader hands on, comparable and readable in a failure.
std::string shown(const fhr_core::Result<fhr_core::InputData>& read) {
    if (!read) return std::string("refused: ").append(read.error());
    std::string text = std::to_string(read->out_of_order_rows) + " " + std::to_string(read->duplicate_timestamps) + "\n";
    const fhr_core::SampleSpan all = read->all();
    for (const fhr_core::MonitorSample& sample : all.samples) {
        text += std::to_string(sample.timestamp_ms) + " [" + std::string(all.text_of(sample)) + "]";
        for (const fhr_core::OptionalValue& value : {sample.hr1, sample.hr2, sample.hr3, sample.hrm, sample.toco}) {
            text += value.has_value() ? " " + std::to_string(std::bit_cast<std::uint64_t>(*value.get())) : " -";
        }
        text += '\n';
    }
    return text;
}

TEST(FastPaths, RowsReadAsTheGeneralRowPathReadsThem) {
    struct Layout {
        std::string_view header;
        std::size_t date_at;
    };
    constexpr Layout layouts[] = {{"Date,HR1,HR2,HR3,HRM,TOCO", 0}, {"Date,HR1,TOCO", 0}, {"hr1, date ,x,TOCO", 1},
                                  {"Date", 0}, {"HR1,HRM,Date,Extra", 2}};
    Texts texts(42);
    std::size_t read_exports = 0;
    for (int round = 0; round < 4'000; ++round) {
        const Layout& layout = layouts[texts.below(std::size(layouts))];
        const auto cells = static_cast<std::size_t>(std::ranges::count(layout.header, ',')) + 1;
        const std::string_view line_end = texts.below(4) == 0 ? "\r\n" : "\n";
        std::string csv = std::string(layout.header).append(line_end);
        for (std::size_t row = texts.below(40); row > 0; --row) {
            std::string line;
            // Sometimes a cell too few or too many.
            const std::size_t row_cells = cells + texts.below(2) - (cells > 1 ? texts.below(2) : 0);
            for (std::size_t cell = 0; cell < row_cells; ++cell) {
                if (cell > 0) line += ',';
                char time[32];
                std::snprintf(time, sizeof time, "2024-03-%02zu%c10:%02zu:%02zu", 1 + texts.below(2),
                              texts.below(3) ? ' ' : 'T', texts.below(60), texts.below(60));
                if (cell == layout.date_at && texts.below(60) != 0) {
                    line += time;
                    const std::size_t fraction = texts.below(6);
                    if (fraction > 0) line += std::string(".1234").substr(0, fraction);
                    line.append(texts.below(6) == 0, 'Z');
                } else {
                    line += texts.below(5) == 0 ? std::string() : texts.below(8) == 0 ? texts.timestamp() : texts.number();
                }
            }
            if (texts.below(25) == 0) line = texts.mutated(line);
            if (texts.below(30) == 0) line = texts.below(2) ? "" : " \t";
            csv += line;
            csv += texts.below(40) == 0 ? "\r" : line_end;
        }
        if (texts.below(3) == 0) csv.pop_back();  // no line feed after the last row
        const auto general = fhr_core::read_monitor_csv_rows_generally(csv);
        const auto fast = fhr_core::read_monitor_csv_str(csv);
        ASSERT_EQ(shown(fast), shown(general)) << csv;
        // Room for one sample per line after the header, counted exactly: no regrowth, no spare tail.
        if (fast) {
            const auto feeds = static_cast<std::size_t>(std::ranges::count(csv, '\n'));
            ASSERT_EQ(fast->samples.capacity(), std::max<std::size_t>(feeds, 1)) << csv;
        }
        read_exports += general.has_value() && general->samples.size() > 5;
    }
    EXPECT_GT(read_exports, 400u);  // many exports were read, not only refused
}

}  // namespace
