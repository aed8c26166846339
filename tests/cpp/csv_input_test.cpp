#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/csv_input.hpp"

namespace {

using namespace std::string_view_literals;
using fhr_core::InputData;
using fhr_core::read_monitor_csv_str;

constexpr std::int64_t ten_o_clock = 1'709'287'200'000;  // 2024-03-01 10:00:00 UTC
constexpr double inf = std::numeric_limits<double>::infinity();

InputData read_ok(std::string_view text) {
    auto result = read_monitor_csv_str(text);
    EXPECT_TRUE(result.has_value()) << ::testing::PrintToString(text) << ": "
                                    << (result ? "" : result.error());
    return result ? std::move(*result) : InputData{};
}

struct Refused {
    std::string_view text;
    std::string_view message;
};

void expect_refused(std::span<const Refused> cases) {
    for (const auto& c : cases) {
        const auto result = read_monitor_csv_str(c.text);
        ASSERT_FALSE(result.has_value()) << ::testing::PrintToString(c.text);
        EXPECT_EQ(result.error(), c.message) << ::testing::PrintToString(c.text);
    }
}

TEST(CsvInput, RefusesTextWithoutAUsableHeader) {
    const Refused cases[] = {
        {"", "CSV is empty; expected a header row"},
        {"\n", "CSV is missing required Date column"},
        {"\r\n", "CSV is missing required Date column"},
        {" ", "CSV is missing required Date column"},
        {"\n\nDate\n", "CSV is missing required Date column"},  // the first line is the header
        {"\"Date\",HR1\n", "CSV is missing required Date column"},
        {"\xef\xbb\xbf" "Date,HR1\n", "CSV is missing required Date column"},
        {"Date;HR1;TOCO\n2024-03-01 10:00:00;140;10\n", "CSV is missing required Date column"},
        {"Date\tHR1\n", "CSV is missing required Date column"},
        {"Dates,HR1\n", "CSV is missing required Date column"},
        {"Da te,HR1\n", "CSV is missing required Date column"},
        {"Da\0te,HR1\n"sv, "CSV is missing required Date column"},
        {"Date\rHR1\n", "CSV is missing required Date column"},  // a lone CR is inside the cell
    };
    expect_refused(cases);
}

TEST(CsvInput, FindsColumnsIgnoringAsciiCaseAndWhiteSpace) {
    const struct {
        std::string_view header;
        std::string_view row;
        std::optional<double> hr1;
        std::optional<double> toco;
    } cases[] = {
        {"Date,HR1,TOCO", "2024-03-01 10:00:00,140,12", 140, 12},
        {"DATE,hr1,Toco", "2024-03-01 10:00:00,140,12", 140, 12},
        {" date\t,\u00a0Hr1\u3000,toco", "2024-03-01 10:00:00,140,12", 140, 12},
        {"Time,TOCO,x,HR1,Date", "09:59,12,y,140,2024-03-01 10:00:00", 140, 12},
        {"Date,HR1,hr1", "2024-03-01 10:00:00,140,150", 140, std::nullopt},  // the first HR1 wins
        {"Date,date,HR1", "2024-03-01 10:00:00,garbage,140", 140, std::nullopt},
        {"Date,H R1,TOCO", "2024-03-01 10:00:00,140,12", std::nullopt, 12},
        {"Date", "2024-03-01 10:00:00,140,12", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(c.header) + "\n" + std::string(c.row) + "\n";
        const InputData data = read_ok(text);
        ASSERT_EQ(data.samples.size(), 1u) << c.header;
        EXPECT_EQ(data.samples[0].timestamp_ms, ten_o_clock) << c.header;
        EXPECT_EQ(data.samples[0].hr1.get(), c.hr1) << c.header;
        EXPECT_EQ(data.samples[0].toco.get(), c.toco) << c.header;
    }
}

TEST(CsvInput, FillsEveryChannelFromItsColumn) {
    const InputData data = read_ok("TOCO,HRM,HR3,HR2,HR1,Date\n5,80,130,120,110,2024-03-01 10:00:00\n");
    ASSERT_EQ(data.samples.size(), 1u);
    const auto& s = data.samples[0];
    EXPECT_EQ(s.hr1.get(), 110);
    EXPECT_EQ(s.hr2.get(), 120);
    EXPECT_EQ(s.hr3.get(), 130);
    EXPECT_EQ(s.hrm.get(), 80);
    EXPECT_EQ(s.toco.get(), 5);
    EXPECT_EQ(data.all().text_of(s), "2024-03-01 10:00:00");
}

TEST(CsvInput, RefusesTheFirstBadRowNamingItsLine) {
    const Refused cases[] = {
        {"Date,HR1\n\nx,140\n", "row 3 has invalid Date: timestamp is missing date/time separator: x"},
        {"Date,HR1\n \t\n\r\n\u00a0\nx,140\n", "row 5 has invalid Date: timestamp is missing date/time separator: x"},
        {"Date,HR1\n2024-03-01 10:00:00,140\n2024-03-01 10:00:01,141\nx\n",
         "row 4 has invalid Date: timestamp is missing date/time separator: x"},
        {"Date,HR1\r\n\r\n2024-03-01 10:00\r\n",
         "row 3 has invalid Date: timestamp is missing seconds: 2024-03-01 10:00"},
        // The Date cell is trimmed before it is parsed and quoted.
        {"Date,HR1\n,140\n", "row 2 has invalid Date: timestamp is missing date/time separator: "},
        {"Date,HR1\n \t ,140\n", "row 2 has invalid Date: timestamp is missing date/time separator: "},
        {"Date,HR1\n 2024-03-01 25:00:00 ,140\n",
         "row 2 has invalid Date: timestamp component out of range: 2024-03-01 25:00:00"},
        {"Date,HR1\n2024-03-01 10:00:00.12a,140\n", "row 2 has invalid Date: invalid millisecond digit: 12a"},
        {"Date,HR1\n2024-03-01\0 10:00:00,140\n"sv,
         "row 2 has invalid Date: invalid day in timestamp: 2024-03-01\0 10:00:00"sv},
        // Rows shorter than the Date position.
        {"HR1,Date\n140\n", "row 2 is missing Date"},
        {"HR1,TOCO,Date\n2024-03-01 10:00:00,140\n", "row 2 is missing Date"},
        {"HR1,Date\n2024-03-01 10:00:00,2024-03-01 10:00:00\n140\n", "row 3 is missing Date"},
        // An earlier bad row wins over a later one.
        {"Date,HR1\nx,1\ny,2\n", "row 2 has invalid Date: timestamp is missing date/time separator: x"},
    };
    expect_refused(cases);
}

TEST(CsvInput, WindowsLineEndsReadAsLineFeeds) {
    const std::string_view lf = "Date,HR1,TOCO\n2024-03-01 10:00:00,140,12\n\n2024-03-01 10:00:01,,13\n";
    const std::string_view crlf = "Date,HR1,TOCO\r\n2024-03-01 10:00:00,140,12\r\n\r\n2024-03-01 10:00:01,,13\r\n";
    const std::string_view crlf_no_final = "Date,HR1,TOCO\r\n2024-03-01 10:00:00,140,12\r\n\r\n2024-03-01 10:00:01,,13";
    const InputData a = read_ok(lf);
    for (const std::string_view other : {crlf, crlf_no_final}) {
        const InputData b = read_ok(other);
        ASSERT_EQ(b.samples.size(), a.samples.size());
        for (std::size_t i = 0; i < a.samples.size(); ++i) {
            EXPECT_EQ(b.all().text_of(b.samples[i]), a.all().text_of(a.samples[i]));
            EXPECT_EQ(b.samples[i].timestamp_ms, a.samples[i].timestamp_ms);
            EXPECT_EQ(b.samples[i].hr1.get(), a.samples[i].hr1.get());
            EXPECT_EQ(b.samples[i].toco.get(), a.samples[i].toco.get());
        }
    }
    ASSERT_EQ(a.samples.size(), 2u);
    EXPECT_EQ(a.samples[1].toco.get(), 13);
    EXPECT_FALSE(a.samples[1].hr1.has_value());
}

TEST(CsvInput, LoneCarriageReturnDoesNotEndALine) {
    // Old Mac line ends: the whole text is the header, so there are no rows.
    const InputData mac = read_ok("Date,HR1\r2024-03-01 10:00:00,140\r2024-03-01 10:00:01,141\r");
    EXPECT_TRUE(mac.samples.empty());

    // Inside a value cell it spoils the number; at a cell's end it is trimmed.
    const InputData inner = read_ok("Date,HR1,TOCO\n2024-03-01 10:00:00,14\r0,12\r\r\n");
    ASSERT_EQ(inner.samples.size(), 1u);
    EXPECT_FALSE(inner.samples[0].hr1.has_value());
    EXPECT_EQ(inner.samples[0].toco.get(), 12);
}

TEST(CsvInput, UnreadableValuesAreAbsentWithoutMessage) {
    const InputData data = read_ok(
        "Date,HR1,HR2,HR3\n"
        "2024-03-01 10:00:00,abc,,140\n"
        "2024-03-01 10:00:01\n"
        "2024-03-01 10:00:02,nan,0,-0\n"
        "2024-03-01 10:00:03,1,2,3,4,5,6\n"
        "2024-03-01 10:00:04,14\0""0,1e999,-1e999\n"sv);
    ASSERT_EQ(data.samples.size(), 5u);
    const auto& a = data.samples[0];
    EXPECT_FALSE(a.hr1.has_value());
    EXPECT_FALSE(a.hr2.has_value());
    EXPECT_EQ(a.hr3.get(), 140);
    const auto& b = data.samples[1];
    EXPECT_FALSE(b.hr1.has_value() || b.hr2.has_value() || b.hr3.has_value());
    const auto& c = data.samples[2];
    ASSERT_TRUE(c.hr1.has_value());
    EXPECT_TRUE(std::isnan(*c.hr1.get()));
    EXPECT_EQ(c.hr2.get(), 0.0);
    ASSERT_TRUE(c.hr3.has_value());
    EXPECT_TRUE(*c.hr3.get() == 0.0 && std::signbit(*c.hr3.get()));
    const auto& d = data.samples[3];
    EXPECT_EQ(d.hr1.get(), 1);
    EXPECT_EQ(d.hr3.get(), 3);
    const auto& e = data.samples[4];
    EXPECT_FALSE(e.hr1.has_value());
    EXPECT_EQ(e.hr2.get(), inf);
    EXPECT_EQ(e.hr3.get(), -inf);
}

// One value cell under HR1, with the value expected (absent when refused).
struct NumberCase {
    std::string_view cell;
    std::optional<double> expected;
};

TEST(CsvInput, ReadsValueCellsWithTheDecimalNumberSyntax) {
    const std::string many_zeros(400, '0');
    const std::string long_overflow = "1" + many_zeros;
    const std::string long_underflow = "0." + many_zeros + "1";
    const std::string long_ordinary = many_zeros + "140." + many_zeros;
    const NumberCase cases[] = {
        {"140", 140.0},
        {"+140", 140.0},
        {"-140", -140.0},
        {"140.5", 140.5},
        {"-1.5e3", -1500.0},
        {"1E2", 100.0},
        {"1e+2", 100.0},
        {"+1e-2", 0.01},
        {".5", 0.5},
        {"-.5", -0.5},
        {"140.", 140.0},
        {"140.e1", 1400.0},
        {"007", 7.0},
        {" 140 ", 140.0},
        {"\u00a0140\u3000", 140.0},
        {"0.1", 0.1},
        {"9007199254740993", 9007199254740992.0},  // nearest double, ties to even
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"4.9e-324", std::numeric_limits<double>::denorm_min()},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"1.7976931348623159e308", inf},
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e-400", 0.0},
        {"1e99999999999999999999999", inf},
        {"0.0001e99999999999999999999", inf},
        {".1e-99999999999999999999999", 0.0},
        {"0e99999999999999999999999", 0.0},
        {long_overflow, inf},
        {long_underflow, 0.0},
        {long_ordinary, 140.0},
        {"inf", inf},
        {"INF", inf},
        {"-Infinity", -inf},
        {"+infinity", inf},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+.", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"e5", std::nullopt},
        {".e5", std::nullopt},
        {"0x10", std::nullopt},
        {"1_000", std::nullopt},
        {"1 000", std::nullopt},
        {"140bpm", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1e5.0", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {"++1", std::nullopt},
        {"nan(1)", std::nullopt},
        {"nan()", std::nullopt},
        {"infinit", std::nullopt},
        {"infinityx", std::nullopt},
        {"in", std::nullopt},
        {"nan1", std::nullopt},
        {"\xef\xbc\x91\xef\xbc\x94\xef\xbc\x90", std::nullopt},  // full-width digits
        {"\xd9\xa1\xd9\xa4\xd9\xa0", std::nullopt},              // Arabic-Indic digits
        {"\u200b140", std::nullopt},                                // ZERO WIDTH SPACE is not trimmed
        {"14\0""0"sv, std::nullopt},
    };
    for (const auto& c : cases) {
        std::string text = "Date,HR1\n2024-03-01 10:00:00,";
        text.append(c.cell).append("\n");
        const InputData data = read_ok(text);
        const std::string shown = ::testing::PrintToString(c.cell.substr(0, 40));
        ASSERT_EQ(data.samples.size(), 1u) << shown;
        const auto& value = data.samples[0].hr1.get();
        if (!c.expected) {
            EXPECT_FALSE(value.has_value()) << shown << " gave " << value.value_or(0);
            continue;
        }
        ASSERT_TRUE(value.has_value()) << shown;
        EXPECT_EQ(*value, *c.expected) << shown;
        EXPECT_EQ(std::signbit(*value), std::signbit(*c.expected)) << shown;
    }
}

TEST(CsvInput, NotANumberInAnyCaseAndSign) {
    for (const std::string_view cell : {"nan", "NaN", "NAN", "+nan", "-nan", " nAn "}) {
        std::string text = "Date,HR1\n2024-03-01 10:00:00,";
        text.append(cell).append("\n");
        const InputData data = read_ok(text);
        ASSERT_EQ(data.samples.size(), 1u) << cell;
        ASSERT_TRUE(data.samples[0].hr1.has_value()) << cell;
        EXPECT_TRUE(std::isnan(*data.samples[0].hr1.get())) << cell;
    }
}

TEST(CsvInput, CountsOutOfOrderRowsAndRepeatedTimes) {
    const struct {
        std::string_view rows;
        std::vector<double> order;  // hr1 after sorting
        std::uint64_t out_of_order;
        std::uint64_t duplicates;
    } cases[] = {
        {"10:00:02,1\n10:00:01,2\n10:00:01,3\n", {2, 3, 1}, 1, 1},
        {"10:00:01,1\n10:00:00,2\n10:00:00,3\n", {2, 3, 1}, 1, 1},
        {"10:00:00,1\n10:00:00,2\n10:00:00,3\n", {1, 2, 3}, 0, 2},
        {"10:00:00,1\n10:00:01,2\n10:00:02,3\n", {1, 2, 3}, 0, 0},
        {"10:00:03,1\n10:00:02,2\n10:00:01,3\n", {3, 2, 1}, 2, 0},
        // The same instant written two ways is a repeated time.
        {"10:00:00,1\n11:00:00+01:00,2\n", {1, 2}, 0, 1},
    };
    for (const auto& c : cases) {
        std::string text = "Date,HR1\n";
        std::string_view rows = c.rows;
        while (!rows.empty()) {
            const std::size_t end = rows.find('\n');
            text.append("2024-03-01 ").append(rows.substr(0, end + 1));
            rows.remove_prefix(end + 1);
        }
        const InputData data = read_ok(text);
        std::vector<double> order;
        for (const auto& sample : data.samples) order.push_back(sample.hr1.get().value_or(-1));
        EXPECT_EQ(order, c.order) << c.rows;
        EXPECT_EQ(data.out_of_order_rows, c.out_of_order) << c.rows;
        EXPECT_EQ(data.duplicate_timestamps, c.duplicates) << c.rows;
    }
}

TEST(CsvInput, HeaderWithoutRowsIsAnEmptyRecording) {
    for (const std::string_view text : {"Date,HR1"sv, "Date,HR1\n"sv, "Date,HR1\n\n \r\n\t\n"sv}) {
        const InputData data = read_ok(text);
        EXPECT_TRUE(data.samples.empty()) << ::testing::PrintToString(text);
        EXPECT_EQ(data.out_of_order_rows, 0u);
        EXPECT_EQ(data.duplicate_timestamps, 0u);
    }
}

TEST(CsvInput, TimestampsViewTheCallersText) {
    const std::string text = "Date,HR1\n  2024-03-01T10:00:00Z\t,140\n2024-03-01 10:00:01,141";
    const InputData data = read_ok(text);
    ASSERT_EQ(data.samples.size(), 2u);
    EXPECT_EQ(data.all().text_of(data.samples[0]), "2024-03-01T10:00:00Z");
    EXPECT_EQ(data.samples[0].timestamp_ms, ten_o_clock);
    for (const auto& sample : data.samples) {
        const std::string_view shown = data.all().text_of(sample);
        EXPECT_GE(shown.data(), text.data());
        EXPECT_LE(shown.data() + shown.size(), text.data() + text.size());
    }
}

TEST(CsvInput, ReadsMegabyteLines) {
    const std::string filler(1 << 20, 'x');
    const std::string digits = std::string(1 << 20, '0') + "141";
    std::string text = "Date,Notes,HR1,TOCO\n";
    text += "2024-03-01 10:00:00," + filler + ",140,12\n";
    text += "2024-03-01 10:00:01,," + digits + "," + filler + "\n";
    const InputData data = read_ok(text);
    ASSERT_EQ(data.samples.size(), 2u);
    EXPECT_EQ(data.samples[0].hr1.get(), 140);
    EXPECT_EQ(data.samples[0].toco.get(), 12);
    EXPECT_EQ(data.samples[1].hr1.get(), 141);
    EXPECT_FALSE(data.samples[1].toco.has_value());
}

TEST(CsvInput, ReadsAMillionRows) {
    constexpr int rows = 1'000'000;
    std::string text = "Date,HR1,TOCO\n";
    text.reserve(static_cast<std::size_t>(rows) * 40);
    char line[64];
    for (int i = 0; i < rows; ++i) {
        // Four samples a second over three days, as the monitors write them.
        const int second = i / 4;
        const int n = std::snprintf(line, sizeof line, "2024-03-%02d %02d:%02d:%02d.%03d,%d,%d\r\n",
                                    1 + second / 86'400, second / 3'600 % 24, second / 60 % 60, second % 60,
                                    i % 4 * 250, 100 + i % 61, i % 100);
        text.append(line, static_cast<std::size_t>(n));
    }
    const InputData data = read_ok(text);
    ASSERT_EQ(data.samples.size(), static_cast<std::size_t>(rows));
    EXPECT_EQ(data.out_of_order_rows, 0u);
    EXPECT_EQ(data.duplicate_timestamps, 0u);
    const auto& first = data.samples.front();
    EXPECT_EQ(data.all().text_of(first), "2024-03-01 00:00:00.000");
    EXPECT_EQ(first.timestamp_ms, 1'709'251'200'000);
    EXPECT_EQ(first.hr1.get(), 100);
    EXPECT_EQ(first.toco.get(), 0);
    const auto& last = data.samples.back();
    EXPECT_EQ(data.all().text_of(last), "2024-03-03 21:26:39.750");
    EXPECT_EQ(last.timestamp_ms, 1'709'501'199'750);
    EXPECT_EQ(last.hr1.get(), 126);
    EXPECT_EQ(last.toco.get(), 99);
}

// Every shared recording reads whole: one sample per non-blank row, in file
// order, with each value as the C library reads the cell.
TEST(CsvInput, ReadsTheSharedRecordings) {
    const std::filesystem::path folder = std::filesystem::path(PULSEQUILL_SHARED_DATA) / "ctu-uhb";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared recordings at " << folder;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".csv") continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const InputData data = read_ok(text);
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(data.out_of_order_rows, 0u) << name;

        std::size_t row = 0;
        std::size_t begin = text.find('\n') + 1;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(begin, end - begin);
            begin = end + 1;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            ASSERT_LT(row, data.samples.size()) << name;
            const auto& sample = data.samples[row++];
            const std::size_t comma = line.find(',');
            ASSERT_EQ(data.all().text_of(sample), line.substr(0, comma)) << name;
            const std::string hr1 = line.substr(comma + 1, line.find(',', comma + 1) - comma - 1);
            if (hr1.empty()) {
                EXPECT_FALSE(sample.hr1.has_value()) << name << ' ' << line;
            } else {
                EXPECT_EQ(sample.hr1.get(), std::strtod(hr1.c_str(), nullptr)) << name << ' ' << line;
            }
        }
        EXPECT_EQ(row, data.samples.size()) << name;
    }
    EXPECT_GT(files, 0u);
}

}  // namespace
