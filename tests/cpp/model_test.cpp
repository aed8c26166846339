#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fhr_core/model.hpp"

namespace {

using namespace std::string_view_literals;
using fhr_core::FetalChannel;
using fhr_core::InputData;
using fhr_core::MonitorSample;
using fhr_core::OutOfOrderCounter;
using fhr_core::OptionalValue;
using fhr_core::timestamp_text;

TEST(Model, FetalChannelAcceptsTheThreeNamesInAnyCase) {
    const struct {
        std::string_view text;
        FetalChannel expected;
    } cases[] = {
        {"HR1", FetalChannel::HR1},          {"hr2", FetalChannel::HR2},
        {" Hr3 ", FetalChannel::HR3},        {"\thR1\n", FetalChannel::HR1},
        {"\u00a0hr2\u3000", FetalChannel::HR2},
    };
    for (const auto& c : cases) {
        const auto channel = FetalChannel::parse(c.text);
        ASSERT_TRUE(channel.has_value()) << c.text << ": " << channel.error();
        EXPECT_EQ(*channel, c.expected) << c.text;
    }
}

TEST(Model, FetalChannelRefusesOtherNamesQuotingThemTrimmedAndUpperCased) {
    const struct {
        std::string_view text;
        std::string_view message;
    } cases[] = {
        {"", "unsupported fetal channel: "},
        {"  ", "unsupported fetal channel: "},
        {"HR 1", "unsupported fetal channel: HR 1"},
        {"1", "unsupported fetal channel: 1"},
        {" hr4 ", "unsupported fetal channel: HR4"},
        {"hrm", "unsupported fetal channel: HRM"},
        {"toco", "unsupported fetal channel: TOCO"},
        {"hr1x", "unsupported fetal channel: HR1X"},
        {"\xc3\xa9hr1", "unsupported fetal channel: \xc3\xa9HR1"},  // only ASCII letters change case
        {"HR1\0"sv, "unsupported fetal channel: HR1\0"sv},          // NUL is not white space
        {"\u200bHR1", "unsupported fetal channel: \u200bHR1"},      // ZERO WIDTH SPACE is not white space
    };
    for (const auto& c : cases) {
        const auto channel = FetalChannel::parse(c.text);
        ASSERT_FALSE(channel.has_value()) << c.text;
        EXPECT_EQ(channel.error(), c.message) << c.text;
    }
}

TEST(Model, FetalChannelReportWordsReadBack) {
    for (const FetalChannel channel : {FetalChannel::HR1, FetalChannel::HR2, FetalChannel::HR3}) {
        const auto parsed = FetalChannel::parse(fhr_core::to_text(channel));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, channel);
    }
}

TEST(Model, OptionalValuesKeepEveryDoubleAndTellAbsence) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(OptionalValue().has_value());
    EXPECT_FALSE(OptionalValue(std::nullopt).get().has_value());
    for (const double value : {0.0, -0.0, 140.25, -3.0, inf, -inf, 1e308, 5e-324}) {
        const std::optional<double> back = OptionalValue(value).get();
        ASSERT_TRUE(back.has_value()) << value;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(value)) << value;
    }
    // Every NaN is a value, also one with the bits absence uses.
    for (const std::uint64_t bits : {std::bit_cast<std::uint64_t>(nan), std::bit_cast<std::uint64_t>(-nan),
                                     std::uint64_t{0x7ff4'a65e'4e7e'0001}, std::uint64_t{0x7ff0'0000'0000'0001}}) {
        const std::optional<double> back = OptionalValue(std::bit_cast<double>(bits)).get();
        ASSERT_TRUE(back.has_value()) << bits;
        EXPECT_TRUE(std::isnan(*back)) << bits;
    }
}

TEST(Model, SampleTextsLieInTheSourceOrInTextsOfTheirOwn) {
    const std::string source = "2024-03-01 10:00:00,140";
    InputData data;
    data.source = source;
    MonitorSample in_place, built;
    data.place_text(in_place, std::string_view(source).substr(0, 19));
    const std::string elsewhere = "2024-03-01 10:00:01";
    data.place_text(built, elsewhere);
    EXPECT_EQ(in_place.text_offset, 0u);
    EXPECT_EQ(in_place.text_length, 19u);
    EXPECT_TRUE(data.built_texts.empty());
    EXPECT_EQ(data.distant_texts.size(), 1u);  // a text outside the source cannot share its base
    const InputData moved = std::move(data);
    EXPECT_EQ(timestamp_text(moved.texts(), in_place).data(), source.data());
    EXPECT_EQ(timestamp_text(moved.texts(), built), elsewhere);

    InputData own;
    std::vector<MonitorSample> samples(3);
    for (std::size_t i = 0; i < samples.size(); ++i) own.place_text(samples[i], std::string(i * 30, 'a' + i));
    const InputData kept = std::move(own);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(timestamp_text(kept.texts(), samples[i]), std::string(i * 30, 'a' + i));
    }
}

TEST(Model, OutOfOrderRowsCompareWithTheRowJustBefore) {
    const struct {
        std::initializer_list<std::int64_t> times;
        std::uint64_t expected;
    } cases[] = {
        {{}, 0}, {{5}, 0}, {{1, 3, 2, 4}, 1}, {{3, 2, 1}, 2}, {{5, 5, 5}, 0},
        {{10, 1, 2, 3}, 1}, {{-1, -2, 0, -3}, 2}, {{2, 1, 2, 1}, 2},
    };
    for (const auto& c : cases) {
        OutOfOrderCounter counter;
        for (const std::int64_t t : c.times) counter.accept(t);
        EXPECT_EQ(counter.count, c.expected) << ::testing::PrintToString(std::vector<std::int64_t>(c.times));
    }
}

// Each sample's input position travels in hr1 so that the order after the
// sort can be checked.
InputData read_times(std::initializer_list<std::int64_t> times, OutOfOrderCounter& counter) {
    InputData data;
    double position = 0;
    for (const std::int64_t t : times) {
        MonitorSample sample;
        sample.timestamp_ms = t;
        sample.hr1 = position++;
        counter.accept(t);
        data.samples.push_back(sample);
    }
    return data;
}

TEST(Model, FinishSortsStablyAndCountsRepeatedTimes) {
    const struct {
        std::initializer_list<std::int64_t> times;
        std::vector<double> order;  // input positions after sorting
        std::uint64_t out_of_order;
        std::uint64_t duplicates;
    } cases[] = {
        {{}, {}, 0, 0},
        {{7}, {0}, 0, 0},
        {{1'000, 0, 0}, {1, 2, 0}, 1, 1},
        {{2'000, 1'000, 1'000}, {1, 2, 0}, 1, 1},
        {{5, 5, 5}, {0, 1, 2}, 0, 2},
        {{1, 2, 2, 3, 3, 3}, {0, 1, 2, 3, 4, 5}, 0, 3},
        {{3, 1, 3, 1, 2}, {1, 3, 4, 0, 2}, 2, 2},
        {{-5, 4, -5, 4}, {0, 2, 1, 3}, 1, 2},
    };
    for (const auto& c : cases) {
        const std::string shown = ::testing::PrintToString(std::vector<std::int64_t>(c.times));
        OutOfOrderCounter counter;
        InputData data = read_times(c.times, counter);
        fhr_core::finish_input(data, counter);
        std::vector<double> order;
        for (const auto& sample : data.samples) order.push_back(*sample.hr1.get());
        EXPECT_EQ(order, c.order) << shown;
        EXPECT_EQ(data.out_of_order_rows, c.out_of_order) << shown;
        EXPECT_EQ(data.duplicate_timestamps, c.duplicates) << shown;
    }
}

TEST(Model, FinishKeepsInputOrderAmongEqualTimesInALargeRecording) {
    OutOfOrderCounter counter;
    InputData data;
    constexpr int rows = 10'000;
    for (int i = 0; i < rows; ++i) {
        MonitorSample sample;
        sample.timestamp_ms = (rows - i) % 7;  // descending runs with many ties
        sample.hr1 = static_cast<double>(i);
        counter.accept(sample.timestamp_ms);
        data.samples.push_back(sample);
    }
    fhr_core::finish_input(data, counter);
    ASSERT_EQ(data.samples.size(), static_cast<std::size_t>(rows));
    EXPECT_EQ(data.duplicate_timestamps, static_cast<std::uint64_t>(rows - 7));
    for (std::size_t i = 1; i < data.samples.size(); ++i) {
        const auto& a = data.samples[i - 1];
        const auto& b = data.samples[i];
        ASSERT_LE(a.timestamp_ms, b.timestamp_ms) << i;
        if (a.timestamp_ms == b.timestamp_ms) {
            ASSERT_LT(*a.hr1.get(), *b.hr1.get()) << i;
        }
    }
}

}  // namespace
