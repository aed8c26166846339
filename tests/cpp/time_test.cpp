#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fhr_core/time.hpp"

namespace {

using fhr_core::days_from_civil;
using fhr_core::parse_millis;
using fhr_core::parse_monitor_timestamp;
using fhr_core::parse_part;

constexpr std::int64_t hour_ms = 3'600'000;
constexpr std::int64_t march_1_2024 = 1'709'251'200'000;  // 2024-03-01 00:00:00 UTC

struct Accepted {
    std::string_view input;
    std::int64_t expected_ms;
};

TEST(Time, AcceptsMonitorForms) {
    const Accepted cases[] = {
        {"1970-01-01 00:00:00", 0},
        {"1970-01-01T00:00:01.5Z", 1'500},
        {"1969-12-31 23:59:59.999", -1},
        {"2024-03-01 10:15:02", 1'709'288'102'000},
        {"2024-03-01T10:15:02.250Z", 1'709'288'102'250},
        {"2024-3-1 7:5:2", 1'709'276'702'000},
        {"0002024-003-001 010:000:000", march_1_2024 + 10 * hour_ms},
        {"+2024-+03-+01 +10:00:00", march_1_2024 + 10 * hour_ms},
        {"2024-03-01T10:00:00ZZ", march_1_2024 + 10 * hour_ms},
        {" \t2024-03-01 10:00:00\n", march_1_2024 + 10 * hour_ms},
        {"\u00a02024-03-01 10:00:00\u3000", march_1_2024 + 10 * hour_ms},
        {"\u20032024-03-01T10:00:00Z\u2029", march_1_2024 + 10 * hour_ms},
        // A day past the month's end counts on into the next month.
        {"2024-02-30 00:00:00", march_1_2024},
        {"2023-02-29 00:00:00", 1'677'628'800'000},
        {"2024-01-31 23:59:59", march_1_2024 - 29 * 24 * hour_ms - 1'000},
        // Pieces after the third are ignored.
        {"2024-03-01 10:00:00:99", march_1_2024 + 10 * hour_ms},
        {"2024-03-01-07 10:00:00", march_1_2024 + 10 * hour_ms},
        // Far years while the day count fits 32 bits.
        {"0-03-01 00:00:00", -719'468LL * 86'400'000},
        {"5881580-07-11 00:00:00", 2'147'483'647LL * 86'400'000},
    };
    for (const auto& c : cases) {
        const auto result = parse_monitor_timestamp(c.input);
        ASSERT_TRUE(result.has_value()) << c.input << ": " << result.error();
        EXPECT_EQ(*result, c.expected_ms) << c.input;
    }
}

TEST(Time, ReadsOnlyThreeFractionDigits) {
    const Accepted cases[] = {
        {"2024-03-01 10:00:00.5", 500},   {"2024-03-01 10:00:00.25", 250},
        {"2024-03-01 10:00:00.250", 250}, {"2024-03-01 10:00:00.1239", 123},
        {"2024-03-01 10:00:00.123x", 123}, {"2024-03-01 10:00:00.", 0},
        {"2024-03-01 10:00:00.007", 7},   {"2024-03-01 10:00:00.000", 0},
    };
    for (const auto& c : cases) {
        const auto result = parse_monitor_timestamp(c.input);
        ASSERT_TRUE(result.has_value()) << c.input << ": " << result.error();
        EXPECT_EQ(*result - (march_1_2024 + 10 * hour_ms), c.expected_ms) << c.input;
    }
}

TEST(Time, SubtractsTheOffsetToReachUtc) {
    const Accepted cases[] = {
        {"2024-03-01 10:00:00+01:00", march_1_2024 + 9 * hour_ms},
        {"2024-03-01 10:00:00-02:30", march_1_2024 + 12 * hour_ms + hour_ms / 2},
        {"2024-03-01 10:00:00+1:00", march_1_2024 + 9 * hour_ms},
        {"2024-03-01 10:00:00-05:30", march_1_2024 + 15 * hour_ms + hour_ms / 2},
        {"2024-03-01T10:00:00+00:00", march_1_2024 + 10 * hour_ms},
        {"2024-03-01 10:00:00+23:59", march_1_2024 + 10 * hour_ms - 23 * hour_ms - 59 * 60'000},
        {"2024-03-01 10:00:00.250+01:00", march_1_2024 + 9 * hour_ms + 250},
        // Only the upper bound of the offset is checked: negative parts count.
        {"2024-03-01 10:00:00+-5:00", march_1_2024 + 15 * hour_ms},
        {"2024-03-01 10:00:00--5:00", march_1_2024 + 5 * hour_ms},
        {"2024-03-01 10:00:00+01:-30", march_1_2024 + 9 * hour_ms + hour_ms / 2},
        // Far offsets are fine while the instant stays within the day count's span.
        {"1970-01-01 00:00:00+-51539607551:00", 185'542'587'183'600'000},
        {"1970-01-01 00:00:00--51539607551:00", -185'542'587'183'600'000},
    };
    for (const auto& c : cases) {
        const auto result = parse_monitor_timestamp(c.input);
        ASSERT_TRUE(result.has_value()) << c.input << ": " << result.error();
        EXPECT_EQ(*result, c.expected_ms) << c.input;
    }
}

struct Refused {
    std::string_view input;
    std::string_view message;
};

void expect_refused(std::span<const Refused> cases) {
    for (const auto& c : cases) {
        const auto result = parse_monitor_timestamp(c.input);
        ASSERT_FALSE(result.has_value()) << c.input << " gave " << *result;
        EXPECT_EQ(result.error(), c.message) << c.input;
    }
}

TEST(Time, RefusesMalformedTextWithItsMessage) {
    const Refused cases[] = {
        {"", "timestamp is missing date/time separator: "},
        {"Z", "timestamp is missing date/time separator: Z"},
        {"2024-03-01", "timestamp is missing date/time separator: 2024-03-01"},
        {"2024-03-01t10:00:00", "timestamp is missing date/time separator: 2024-03-01t10:00:00"},
        {" x ", "timestamp is missing date/time separator:  x "},
        {"\u2003x\u00a0", "timestamp is missing date/time separator: \u2003x\u00a0"},
        {"20240301 10:00:00", "timestamp is missing month: 20240301 10:00:00"},
        {"2024-03 10:00:00", "timestamp is missing day: 2024-03 10:00:00"},
        {"2024-03-01 10", "timestamp is missing minute: 2024-03-01 10"},
        {"2024-03-01 10:00", "timestamp is missing seconds: 2024-03-01 10:00"},
        {"x-03-01 10:00:00", "invalid year in timestamp: x-03-01 10:00:00"},
        {"-2024-03-01 10:00:00", "invalid year in timestamp: -2024-03-01 10:00:00"},
        {"2147483648-01-01 00:00:00", "invalid year in timestamp: 2147483648-01-01 00:00:00"},
        {"2024-x-01 10:00:00", "invalid month in timestamp: 2024-x-01 10:00:00"},
        {"2024-4294967296-01 10:00:00", "invalid month in timestamp: 2024-4294967296-01 10:00:00"},
        {"2024-03-+ 10:00:00", "invalid day in timestamp: 2024-03-+ 10:00:00"},
        {"2024-03-01 -1:00:00", "invalid hour in timestamp: 2024-03-01 -1:00:00"},
        {"2024-03-01  10:00:00", "invalid hour in timestamp: 2024-03-01  10:00:00"},
        {"2024-03-01 10:0a:00", "invalid minute in timestamp: 2024-03-01 10:0a:00"},
        {"2024-03-01 10:00:0a", "invalid seconds in timestamp: 2024-03-01 10:00:0a"},
        {"2024-03-01 10:00:.5", "invalid seconds in timestamp: 2024-03-01 10:00:.5"},
        // The blank before a single trailing Z stays in the seconds.
        {"2024-03-01 10:00:00 Z", "invalid seconds in timestamp: 2024-03-01 10:00:00 Z"},
        {"2024-03-01 10:00:00Tx", "invalid seconds in timestamp: 2024-03-01 10:00:00Tx"},
        // The fraction is quoted alone, with 'T' read as a blank.
        {"2024-03-01 10:00:00.12a", "invalid millisecond digit: 12a"},
        {"2024-03-01 10:00:00.1T5", "invalid millisecond digit: 1 5"},
        {"2024-03-01 10:00:00. 5", "invalid millisecond digit:  5"},
    };
    expect_refused(cases);
}

TEST(Time, RefusesMalformedOffsets) {
    const Refused cases[] = {
        {"2024-03-01 10:00:00+0100", "invalid timezone offset in timestamp: 2024-03-01 10:00:00+0100"},
        {"2024-03-01 10:00:00+01", "invalid timezone offset in timestamp: 2024-03-01 10:00:00+01"},
        {"2024-03-01 10:00:00-", "invalid timezone offset in timestamp: 2024-03-01 10:00:00-"},
        {"2024-03-01 10:00:00+:00", "invalid timezone offset hour in timestamp: 2024-03-01 10:00:00+:00"},
        {"2024-03-01 10:00:00+x1:00", "invalid timezone offset hour in timestamp: 2024-03-01 10:00:00+x1:00"},
        {"2024-03-01 10:00:00+--5:00", "invalid timezone offset hour in timestamp: 2024-03-01 10:00:00+--5:00"},
        {"2024-03-01 10:00:00+9223372036854775808:00",
         "invalid timezone offset hour in timestamp: 2024-03-01 10:00:00+9223372036854775808:00"},
        {"2024-03-01 10:00:00+01:0x", "invalid timezone offset minute in timestamp: 2024-03-01 10:00:00+01:0x"},
        {"2024-03-01 10:00:00+01:", "invalid timezone offset minute in timestamp: 2024-03-01 10:00:00+01:"},
        {"2024-03-01 10:00:00+01:00:00", "invalid timezone offset minute in timestamp: 2024-03-01 10:00:00+01:00:00"},
        {"2024-03-01 10:00:00+24:00", "timezone offset out of range in timestamp: 2024-03-01 10:00:00+24:00"},
        {"2024-03-01 10:00:00+00:60", "timezone offset out of range in timestamp: 2024-03-01 10:00:00+00:60"},
        // The offset is read before the date: its message wins.
        {"x 10:00:00+0100", "invalid timezone offset in timestamp: x 10:00:00+0100"},
    };
    expect_refused(cases);
}

TEST(Time, RefusesComponentsOutOfRange) {
    const Refused cases[] = {
        {"2024-13-01 00:00:00", "timestamp component out of range: 2024-13-01 00:00:00"},
        {"2024-00-01 00:00:00", "timestamp component out of range: 2024-00-01 00:00:00"},
        {"2024-4294967295-01 00:00:00", "timestamp component out of range: 2024-4294967295-01 00:00:00"},
        {"2024-03-00 00:00:00", "timestamp component out of range: 2024-03-00 00:00:00"},
        {"2024-03-32 00:00:00", "timestamp component out of range: 2024-03-32 00:00:00"},
        {"2024-03-01 24:00:00", "timestamp component out of range: 2024-03-01 24:00:00"},
        {"2024-03-01 10:60:00", "timestamp component out of range: 2024-03-01 10:60:00"},
        {"2024-03-01 10:00:60", "timestamp component out of range: 2024-03-01 10:00:60"},
    };
    expect_refused(cases);
}

// Values that 64-bit arithmetic cannot hold are refused as out of range, at
// the range step, so every earlier message still wins.
TEST(Time, RefusesValuesBeyondTheArithmetic) {
    const Refused cases[] = {
        {"5881580-07-12 00:00:00", "timestamp component out of range: 5881580-07-12 00:00:00"},
        {"2147483647-12-31 23:59:59", "timestamp component out of range: 2147483647-12-31 23:59:59"},
        {"2024-03-01 10:00:00+-9223372036854775808:00",
         "timestamp component out of range: 2024-03-01 10:00:00+-9223372036854775808:00"},
        {"2024-03-01 10:00:00--9223372036854775808:00",
         "timestamp component out of range: 2024-03-01 10:00:00--9223372036854775808:00"},
        {"2024-03-01 10:00:00+-200000000000000:00",
         "timestamp component out of range: 2024-03-01 10:00:00+-200000000000000:00"},
        {"2024-03-01 10:00:00+00:-9223372036854775808",
         "timestamp component out of range: 2024-03-01 10:00:00+00:-9223372036854775808"},
        {"2024-03-01 10:00:00-00:-9223372036854775808",
         "timestamp component out of range: 2024-03-01 10:00:00-00:-9223372036854775808"},
        {"2024-03-01 10:00:00--9223372036854775807:-9223372036854775808",
         "timestamp component out of range: 2024-03-01 10:00:00--9223372036854775807:-9223372036854775808"},
        // The offset fits but the final sum does not.
        {"5881580-07-11 00:00:00+-2562047788015:00",
         "timestamp component out of range: 5881580-07-11 00:00:00+-2562047788015:00"},
        {"1970-01-01 00:13:00+-2562047788015:00",
         "timestamp component out of range: 1970-01-01 00:13:00+-2562047788015:00"},
        // The sum fits 64 bits but leaves the span of the 32-bit day count,
        // where later arithmetic on times would lose its headroom.
        {"1970-01-01 00:00:00+-2562047788015:00",
         "timestamp component out of range: 1970-01-01 00:00:00+-2562047788015:00"},
        {"1970-01-01 00:00:00+-51539607552:00",
         "timestamp component out of range: 1970-01-01 00:00:00+-51539607552:00"},
        {"1970-01-01 00:00:00--51539607553:00",
         "timestamp component out of range: 1970-01-01 00:00:00--51539607553:00"},
        {"2024-03-01 10:00+-9223372036854775808:00",
         "timestamp is missing seconds: 2024-03-01 10:00+-9223372036854775808:00"},
        {"2024-03-01 10:00:00.x+-9223372036854775808:00", "invalid millisecond digit: x"},
    };
    expect_refused(cases);
}

struct PartCase {
    std::optional<std::string_view> piece;
    std::optional<std::uint32_t> expected;  // absent: refused
};

TEST(Time, PartIsAnUnsigned32BitNumber) {
    const PartCase cases[] = {
        {"0", 0u},           {"07", 7u},        {"+07", 7u},   {"4294967295", 4'294'967'295u},
        {"00000000000000000001", 1u}, {"4294967296", std::nullopt}, {"99999999999", std::nullopt},
        {"", std::nullopt},  {"+", std::nullopt}, {"-", std::nullopt}, {"-1", std::nullopt},
        {" 1", std::nullopt}, {"1 ", std::nullopt}, {"++1", std::nullopt}, {"1a", std::nullopt},
        {"\xd9\xa1", std::nullopt},  // ARABIC-INDIC DIGIT ONE is not an ASCII digit
    };
    for (const auto& c : cases) {
        const std::string shown(c.piece.value_or("(none)"));
        const auto result = parse_part(c.piece, "day", "INPUT");
        if (c.expected) {
            ASSERT_TRUE(result.has_value()) << shown;
            EXPECT_EQ(*result, *c.expected) << shown;
        } else {
            ASSERT_FALSE(result.has_value()) << shown;
            EXPECT_EQ(result.error(), "invalid day in timestamp: INPUT") << shown;
        }
    }
    const auto missing = parse_part(std::nullopt, "month", "2024 10:00:00");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), "timestamp is missing month: 2024 10:00:00");
}

TEST(Time, MillisecondsFromTheFirstThreeFractionCharacters) {
    const struct {
        std::string_view fraction;
        std::optional<std::uint32_t> expected;
    } cases[] = {
        {"", 0u},      {"0", 0u},          {"5", 500u},          {"25", 250u},       {"250", 250u},
        {"999", 999u}, {"1239", 123u},     {"123x", 123u},       {"001", 1u},        {"12a", std::nullopt},
        {"a", std::nullopt}, {"-1", std::nullopt}, {"+1", std::nullopt}, {" 1", std::nullopt},
        {"1\xc3\xa9", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto result = parse_millis(c.fraction);
        if (c.expected) {
            ASSERT_TRUE(result.has_value()) << c.fraction;
            EXPECT_EQ(*result, *c.expected) << c.fraction;
        } else {
            ASSERT_FALSE(result.has_value()) << c.fraction;
            EXPECT_EQ(result.error(), "invalid millisecond digit: " + std::string(c.fraction));
        }
    }
}

TEST(Time, DaysFromCivil) {
    const struct {
        std::int32_t year;
        std::uint32_t month;
        std::uint32_t day;
        std::int32_t expected;
    } cases[] = {
        {1970, 1, 1, 0},          {1969, 12, 31, -1},        {2000, 3, 1, 11'017},
        {2000, 2, 29, 11'016},    {2024, 3, 1, 19'783},       {1600, 2, 29, -135'081},
        {1, 1, 1, -719'162},      {0, 3, 1, -719'468},        {0, 1, 1, -719'528},
        {-1, 12, 31, -719'529},   {-1, 1, 1, -719'893},       {-400, 3, 1, -865'565},
        {9999, 12, 31, 2'932'896}, {5'881'580, 7, 11, 2'147'483'647},
        {-5'877'641, 6, 23, -2'147'483'647 - 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(days_from_civil(c.year, c.month, c.day), c.expected) << c.year << '-' << c.month << '-' << c.day;
    }
}

}  // namespace
