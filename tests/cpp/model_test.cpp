#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
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
using fhr_core::TextStore;

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

TEST(Model, TextStoreKeepsEveryTextAcrossBlocksAndMoves) {
    TextStore store;
    std::vector<std::pair<std::string, std::string_view>> kept;
    // Texts of growing length cross several block boundaries; two of them are
    // larger than a block.
    for (std::size_t i = 0; i < 3'000; ++i) {
        std::string text(i % 97 + (i == 1'000 || i == 2'000 ? 200'000 : 0), static_cast<char>('a' + i % 26));
        text += std::to_string(i);
        const std::string_view view = store.keep(text);
        kept.emplace_back(std::move(text), view);
    }
    EXPECT_TRUE(store.keep("").empty());
    for (const auto& [text, view] : kept) {
        ASSERT_EQ(view, text);
        ASSERT_NE(view.data(), text.data());
    }
    const TextStore moved = std::move(store);
    for (const auto& [text, view] : kept) ASSERT_EQ(view, text);
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
        for (const auto& sample : data.samples) order.push_back(*sample.hr1);
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
        sample.hr1 = i;
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
            ASSERT_LT(*a.hr1, *b.hr1) << i;
        }
    }
}

}  // namespace
