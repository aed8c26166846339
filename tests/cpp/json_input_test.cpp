#include "fhr_core/json_input.hpp"
#include "fhr_core/json_input_pieces.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fhr_core::read_analysis_request_json;

// Errors in a sample are placed on line 3 of this layout, so their columns can
// be counted on that line alone.
const std::string head = "{\"episode_id\":\"e\",\"sent_at\":\"s\",\n\"samples\":[\n";
const std::string tail = "\n]}";
const std::string valid_sample = R"({"t":"2024-03-01 10:00:00"})";

std::string with_samples(const std::string& samples) { return head + samples + tail; }

// A request with one valid sample and the given root members.
std::string with_members(const std::string& members) {
    return R"({"episode_id":"e","sent_at":"s","samples":[)" + valid_sample + "]," + members + "}";
}

std::string refusal(const std::string& text) {
    const auto result = read_analysis_request_json(text);
    return result ? "(accepted)" : result.error();
}

struct MessageCase {
    const char* name;
    std::string text;
    std::string message;
};

void expect_messages(const std::vector<MessageCase>& cases) {
    for (const MessageCase& c : cases) {
        EXPECT_EQ(refusal(c.text), c.message) << c.name;
    }
}

const std::string json_prefix = "invalid analysis request JSON: ";

TEST(JsonRequest, RefusesEachCheckWithItsMessage) {
    expect_messages({
        {"missing samples", R"({"episode_id":"e","sent_at":"s"})",
         json_prefix + "missing field `samples` at line 1 column 32"},
        {"missing episode_id", R"({"sent_at":"s","samples":[]})",
         json_prefix + "missing field `episode_id` at line 1 column 28"},
        {"empty samples", R"({"episode_id":"e","sent_at":"s","samples":[]})",
         "analysis request samples must not be empty"},
        {"blank episode_id", R"({"episode_id":"   ","sent_at":"s","samples":[{"t":"x"}]})",
         "analysis request episode_id must not be empty"},
        {"empty episode_id", R"({"episode_id":"","sent_at":"s","samples":[{"t":"x"}]})",
         "analysis request episode_id must not be empty"},
        {"Unicode-blank sent_at", R"({"episode_id":"e","sent_at":"\u00a0 )" "\xE3\x80\x80" R"(","samples":[]})",
         "analysis request sent_at must not be empty"},
        {"unknown channel", with_members(R"("analysis_options":{"fetal_channel":" hr4 "})"),
         "unsupported fetal channel: HR4"},
        {"9 minutes", with_members(R"("analysis_options":{"max_analysis_minutes":9})"),
         "analysis_options.max_analysis_minutes must be between 10 and 30"},
        {"31 minutes", with_members(R"("analysis_options":{"max_analysis_minutes":31})"),
         "analysis_options.max_analysis_minutes must be between 10 and 30"},
        {"second of three samples without separator",
         with_samples(valid_sample + R"(,{"t":"2024-03-01"},)" + valid_sample),
         "sample 2 has invalid t: timestamp is missing date/time separator: 2024-03-01"},
    });
}

// Blank identifiers come before the samples, the options before the sample
// times, and every JSON error before all of them.
TEST(JsonRequest, ReportsTheFirstFailingCheck) {
    expect_messages({
        {"blank episode_id over blank sent_at and empty samples", R"({"episode_id":" ","sent_at":"","samples":[]})",
         "analysis request episode_id must not be empty"},
        {"blank sent_at over empty samples", R"({"episode_id":"e","sent_at":"","samples":[]})",
         "analysis request sent_at must not be empty"},
        {"empty samples over bad channel",
         R"({"episode_id":"e","sent_at":"s","samples":[],"analysis_options":{"fetal_channel":"x"}})",
         "analysis request samples must not be empty"},
        {"channel over minutes and times",
         R"({"episode_id":"e","sent_at":"s","samples":[{"t":"x"}],)"
         R"("analysis_options":{"max_analysis_minutes":5,"fetal_channel":"HR0"}})",
         "unsupported fetal channel: HR0"},
        {"minutes over times",
         R"({"episode_id":"e","sent_at":"s","samples":[{"t":"x"}],"analysis_options":{"max_analysis_minutes":5}})",
         "analysis_options.max_analysis_minutes must be between 10 and 30"},
        {"first bad time wins", with_samples(valid_sample + R"(,{"t":"a"},{"t":"b"})"),
         "sample 2 has invalid t: timestamp is missing date/time separator: a"},
        {"type error after a bad time", with_samples(R"({"t":"a"},{"t":"b",)" "\n" R"("hr1":"1"})"),
         json_prefix + "invalid type: string \"1\", expected f64 at line 4 column 9"},
        {"type error after a blank episode_id", R"({"episode_id":"","sent_at":"s","samples":[{"t":true}]})",
         json_prefix + "invalid type: boolean `true`, expected a string at line 1 column 48"},
    });
}

TEST(JsonRequest, DescribesSchemaErrorsWhereTheParserStopped) {
    expect_messages({
        // Strings are refused at their closing quote, numbers just after them,
        // null, booleans, objects and arrays at their first character.
        {"string for a value", with_samples(R"({"hr1":"140","t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: string \"140\", expected f64 at line 3 column 12"},
        {"boolean for a value", with_samples(R"({"hr1":true,"t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: boolean `true`, expected f64 at line 3 column 8"},
        {"array for a value", with_samples(R"({"hr1":[140],"t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: sequence, expected f64 at line 3 column 8"},
        {"object for a value", with_samples(R"({"hr1":{},"t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: map, expected f64 at line 3 column 8"},
        {"overflowing value", with_samples(R"({"hr1":1e400,"t":"2024-03-01 10:00:00"})"),
         json_prefix + "number out of range at line 3 column 13"},
        {"null time", with_samples(R"({"t":null})"),
         json_prefix + "invalid type: null, expected a string at line 3 column 6"},
        {"number time", with_samples(R"({"t":12})"),
         json_prefix + "invalid type: integer `12`, expected a string at line 3 column 8"},
        {"missing time", with_samples(R"({"hr1":140})"), json_prefix + "missing field `t` at line 3 column 11"},
        {"duplicate time", with_samples(R"({"t":"2024-03-01 10:00:00","t":"x"})"),
         json_prefix + "duplicate field `t` at line 3 column 30"},
        {"duplicate through an escaped name", with_samples(R"({"t":"2024-03-01 10:00:00","\u0074":"x"})"),
         json_prefix + "duplicate field `t` at line 3 column 35"},
        {"duplicate null value", with_samples(R"({"hr1":null,"hr1":null,"t":"2024-03-01 10:00:00"})"),
         json_prefix + "duplicate field `hr1` at line 3 column 17"},
        {"number as a sample", with_samples("5"),
         json_prefix + "invalid type: integer `5`, expected struct RequestSample at line 3 column 2"},
        {"null as a sample", with_samples("null"),
         json_prefix + "invalid type: null, expected struct RequestSample at line 3 column 1"},
        {"array as the request", "[]", json_prefix + "invalid type: sequence, expected struct AnalysisRequest at line 1 column 1"},
        {"string as the request", R"("x")", json_prefix + "invalid type: string \"x\", expected struct AnalysisRequest at line 1 column 3"},
        {"null samples", R"({"episode_id":"e","sent_at":"s","samples":null})",
         json_prefix + "invalid type: null, expected a sequence at line 1 column 43"},
        {"null episode_id", R"({"episode_id":null,"sent_at":"s","samples":[]})",
         json_prefix + "invalid type: null, expected a string at line 1 column 15"},
        {"number episode_id", R"({"episode_id":5,"sent_at":"s","samples":[]})",
         json_prefix + "invalid type: integer `5`, expected a string at line 1 column 16"},
        {"duplicate episode_id", R"({"episode_id":"e","episode_id":"f","sent_at":"s","samples":[]})",
         json_prefix + "duplicate field `episode_id` at line 1 column 30"},
        {"array options", R"({"analysis_options":[]})",
         json_prefix + "invalid type: sequence, expected struct AnalysisOptions at line 1 column 21"},
        {"number metadata", R"({"metadata":5})",
         json_prefix + "invalid type: integer `5`, expected struct RequestMetadata at line 1 column 14"},
        {"string channel type", R"({"analysis_options":{"fetal_channel":2}})",
         json_prefix + "invalid type: integer `2`, expected a string at line 1 column 39"},
    });
}

// max_analysis_minutes is an unsigned 32-bit and gestational_age_weeks an
// unsigned 8-bit whole number: JSON integers only, within range.
TEST(JsonRequest, ChecksWholeNumberFields) {
    const auto options = [](const std::string& value) { return R"({"analysis_options":{"max_analysis_minutes":)" + value + "}}"; };
    const auto metadata = [](const std::string& value) { return R"({"metadata":{"gestational_age_weeks":)" + value + "}}"; };
    // The value starts at column 45 (options) and 38 (metadata).
    expect_messages({
        {"fraction", options("10.5"), json_prefix + "invalid type: floating point `10.5`, expected u32 at line 1 column 49"},
        {"exponent", options("1e1"), json_prefix + "invalid type: floating point `1e1`, expected u32 at line 1 column 48"},
        {"negative", options("-1"), json_prefix + "invalid value: integer `-1`, expected u32 at line 1 column 47"},
        {"above 32 bits", options("4294967296"),
         json_prefix + "invalid value: integer `4294967296`, expected u32 at line 1 column 55"},
        {"above 64 bits", options("18446744073709551616"),
         json_prefix + "invalid value: integer `18446744073709551616`, expected u32 at line 1 column 65"},
        {"string minutes", options(R"("10")"), json_prefix + "invalid type: string \"10\", expected u32 at line 1 column 48"},
        {"256 weeks", metadata("256"), json_prefix + "invalid value: integer `256`, expected u8 at line 1 column 41"},
        {"300 weeks", metadata("300"), json_prefix + "invalid value: integer `300`, expected u8 at line 1 column 41"},
        {"negative weeks", metadata("-1"), json_prefix + "invalid value: integer `-1`, expected u8 at line 1 column 40"},
        {"fractional weeks", metadata("38.0"), json_prefix + "invalid type: floating point `38.0`, expected u8 at line 1 column 42"},
        {"boolean weeks", metadata("true"), json_prefix + "invalid type: boolean `true`, expected u8 at line 1 column 38"},
    });
}

TEST(JsonRequest, DescribesSyntaxErrors) {
    expect_messages({
        {"empty text", "", json_prefix + "EOF while parsing a value at line 1 column 1"},
        {"white space only", "  \n   ", json_prefix + "EOF while parsing a value at line 2 column 4"},
        {"unclosed object", R"({"episode_id":"e")", json_prefix + "EOF while parsing an object at line 1 column 18"},
        {"unclosed member", R"({"episode_id":)", json_prefix + "EOF while parsing a value at line 1 column 15"},
        {"unclosed samples", R"({"episode_id":"e","sent_at":"s","samples":[)" + valid_sample,
         json_prefix + "EOF while parsing a list at line 1 column 71"},
        {"unclosed string", R"({"episode_id":"e)", json_prefix + "EOF while parsing a string at line 1 column 17"},
        {"missing comma", with_samples(R"({"t":"2024-03-01 10:00:00"x})"),
         json_prefix + "expected `,` or `}` at line 3 column 27"},
        {"missing comma in the array", with_samples(valid_sample + " " + valid_sample),
         json_prefix + "expected `,` or `]` at line 3 column 29"},
        {"missing colon", with_samples(R"({"t" "2024-03-01 10:00:00"})"), json_prefix + "expected `:` at line 3 column 6"},
        {"trailing comma in an object", with_samples(R"({"t":"2024-03-01 10:00:00",})"),
         json_prefix + "trailing comma at line 3 column 28"},
        {"trailing comma in an array", with_samples(valid_sample + ","), json_prefix + "trailing comma at line 4 column 1"},
        {"leading zero", with_samples(R"({"t":"2024-03-01 10:00:00","hr1":01})"),
         json_prefix + "invalid number at line 3 column 35"},
        {"fraction without digits", with_samples(R"({"t":"2024-03-01 10:00:00","hr1":1.})"),
         json_prefix + "invalid number at line 3 column 36"},
        {"lone minus", with_samples(R"({"t":"2024-03-01 10:00:00","hr1":-})"),
         json_prefix + "invalid number at line 3 column 35"},
        {"missing value", with_samples(R"({"t":"2024-03-01 10:00:00","hr1":})"),
         json_prefix + "expected value at line 3 column 34"},
        {"misspelt literal", with_samples(R"({"t":"2024-03-01 10:00:00","hr1":nul})"),
         json_prefix + "expected ident at line 3 column 34"},
        {"number key", with_samples(R"({"t":"2024-03-01 10:00:00",1:2})"),
         json_prefix + "key must be a string at line 3 column 28"},
        {"tab in a string", with_samples("{\"t\":\"2024-03-01 10:00:00\",\"x\":\"a\tb\"}"),
         json_prefix + "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 34"},
        {"unknown escape", with_samples(R"({"t":"2024-03-01 10:00:00","x":"a\qb"})"),
         json_prefix + "invalid escape at line 3 column 35"},
        {"text after the request", with_members(R"("x":1)") + " \n x",
         json_prefix + "trailing characters at line 2 column 2"},
        {"second document", with_members(R"("x":1)") + "{}",
         json_prefix + "trailing characters at line 1 column 79"},
    });
}

TEST(JsonRequest, CountsColumnsInCharactersOfTheLine) {
    // "€" is 3 bytes and "😀" 4: byte counting would say column 32.
    const std::string text = "{\"episode_id\":\"\xC3\xBC\",\r\n\"sent_at\":\"\xE2\x82\xAC\xF0\x9F\x98\x80\",\"samples\":[x]}";
    EXPECT_EQ(refusal(text), json_prefix + "expected value at line 2 column 27");
}

TEST(JsonRequest, RefusesDeepNestingWithAMessage) {
    const std::string million(1'000'000, '[');
    expect_messages({
        // The request object is the first of 128 levels; the 128th '[' is one too many.
        {"arrays under a member", R"({"x":)" + million, json_prefix + "recursion limit exceeded at line 1 column 133"},
        {"arrays as the request", million, json_prefix + "invalid type: sequence, expected struct AnalysisRequest at line 1 column 1"},
    });
    std::string objects;
    for (int i = 0; i < 1'000'000; ++i) objects += R"({"a":)";
    EXPECT_EQ(refusal(objects), json_prefix + "recursion limit exceeded at line 1 column 641");
}

TEST(JsonRequest, QuotesStringsWithoutCuttingCharacters) {
    std::string long_value = "a";
    for (int i = 0; i < 100; ++i) long_value += "\xC3\xA9";  // é
    std::string shown = "a";
    for (int i = 0; i < 31; ++i) shown += "\xC3\xA9";  // 63 of the 64 bytes: the 64th would split an é
    expect_messages({
        {"long string", with_samples(R"({"hr1":")" + long_value + R"(","t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: string \"" + shown + "...\", expected f64 at line 3 column 110"},
        {"quote and newline escaped", with_samples(R"({"hr1":"a\"b\nc","t":"2024-03-01 10:00:00"})"),
         json_prefix + "invalid type: string \"a\\\"b\\nc\", expected f64 at line 3 column 16"},
    });
}

// --------------------------------------------------------------- accepted

struct Read {
    fhr_core::InputData data;
    fhr_core::AnalysisSettings settings;
};

Read accepted(const std::string& text) {
    auto result = read_analysis_request_json(text);
    if (!result) ADD_FAILURE() << "refused: " << result.error() << "\n" << text;
    if (!result) return {};
    return {std::move(result->data), std::move(result->settings)};
}

TEST(JsonRequest, ReadsSamplesAndSettings) {
    const std::string text = R"({
  "episode_id": "ep-7", "sent_at": "2024-03-01T09:00:00Z",
  "samples": [
    {"t": "2024-03-01T10:00:00Z", "hr1": 140, "hr2": 141.5, "hr3": -3, "hrm": 82.25, "toco": 0},
    {"t": "2024-03-01T10:00:00.250Z"}
  ],
  "analysis_options": {"fetal_channel": " hr2 ", "max_analysis_minutes": 20},
  "metadata": {"gestational_age_weeks": 39}
})";
    const Read read = accepted(text);
    ASSERT_EQ(read.data.samples.size(), 2u);
    const fhr_core::MonitorSample& first = read.data.samples[0];
    EXPECT_EQ(read.data.all().text_of(first), "2024-03-01 10:00:00");
    EXPECT_EQ(first.timestamp_ms, 1'709'287'200'000);
    EXPECT_EQ(first.hr1.get(), 140.0);
    EXPECT_EQ(first.hr2.get(), 141.5);
    EXPECT_EQ(first.hr3.get(), -3.0);
    EXPECT_EQ(first.hrm.get(), 82.25);
    EXPECT_EQ(first.toco.get(), 0.0);
    const fhr_core::MonitorSample& second = read.data.samples[1];
    EXPECT_EQ(read.data.all().text_of(second), "2024-03-01 10:00:00.250");
    EXPECT_EQ(second.timestamp_ms, 1'709'287'200'250);
    EXPECT_FALSE(second.hr1.has_value() || second.hr2.has_value() || second.hr3.has_value() || second.hrm.has_value() || second.toco.has_value());
    EXPECT_EQ(read.settings.channel, fhr_core::FetalChannel::HR2);
    EXPECT_EQ(read.settings.window_minutes, std::nullopt);  // chunk mode, whatever max_analysis_minutes says
    EXPECT_EQ(read.settings.step_seconds, 60u);
    EXPECT_EQ(read.settings.gestational_age_weeks, std::optional<std::uint8_t>(39));
}

TEST(JsonRequest, AcceptsTheMinuteLimitsAndAbsentOptions) {
    struct Case {
        const char* name;
        std::string members;
        fhr_core::FetalChannel channel;
        std::optional<std::uint8_t> weeks;
    };
    const std::vector<Case> cases = {
        {"10 minutes", R"("analysis_options":{"max_analysis_minutes":10})", fhr_core::FetalChannel::HR1, std::nullopt},
        {"30 minutes", R"("analysis_options":{"max_analysis_minutes":30})", fhr_core::FetalChannel::HR1, std::nullopt},
        {"null options", R"("analysis_options":null,"metadata":null)", fhr_core::FetalChannel::HR1, std::nullopt},
        {"null option fields",
         R"("analysis_options":{"fetal_channel":null,"max_analysis_minutes":null},"metadata":{"gestational_age_weeks":null})",
         fhr_core::FetalChannel::HR1, std::nullopt},
        {"empty options", R"("analysis_options":{},"metadata":{})", fhr_core::FetalChannel::HR1, std::nullopt},
        {"HR3 and 0 weeks", R"("analysis_options":{"fetal_channel":"Hr3"},"metadata":{"gestational_age_weeks":0})",
         fhr_core::FetalChannel::HR3, 0},
        {"255 weeks", R"("metadata":{"gestational_age_weeks":255})", fhr_core::FetalChannel::HR1, 255},
        {"minus zero weeks", R"("metadata":{"gestational_age_weeks":-0})", fhr_core::FetalChannel::HR1, 0},
    };
    for (const Case& c : cases) {
        const Read read = accepted(with_members(c.members));
        EXPECT_EQ(read.settings.channel, c.channel) << c.name;
        EXPECT_EQ(read.settings.gestational_age_weeks, c.weeks) << c.name;
    }
}

TEST(JsonRequest, IgnoresUnknownFieldsAtEveryLevel) {
    const std::string text = R"({"spo2":1,"episode_id":"e","spo2":{"t":null,"samples":null},"sent_at":"s",
"samples":[{"t":"2024-03-01 10:00:00","spo2":"96","hr1":140,"spo2":[1,{"hr1":"x"}],"HR1":true,"T":1}],
"analysis_options":{"window":"x","fetal_channel":"HR1","window":[[]]},
"metadata":{"parity":2,"gestational_age_weeks":40,"parity":null,"notes":"\u00e9\n"},
"extra":[{"episode_id":5}], "extra":1e400, "extra": -0.0e-999})";
    const Read read = accepted(text);
    ASSERT_EQ(read.data.samples.size(), 1u);
    EXPECT_EQ(read.data.samples[0].hr1.get(), 140.0);
    EXPECT_EQ(read.settings.gestational_age_weeks, std::optional<std::uint8_t>(40));
}

TEST(JsonRequest, TakesNullAsAbsent) {
    const Read read = accepted(with_samples(
        R"({"t":"2024-03-01 10:00:00","hr1":null,"hr2":null,"hr3":null,"hrm":null,"toco":null},{"t":"2024-03-01 10:00:01"})"));
    ASSERT_EQ(read.data.samples.size(), 2u);
    for (const fhr_core::MonitorSample& s : read.data.samples) {
        EXPECT_FALSE(s.hr1.has_value() || s.hr2.has_value() || s.hr3.has_value() || s.hrm.has_value() || s.toco.has_value()) << read.data.all().text_of(s);
    }
}

TEST(JsonRequest, BuildsTheDisplayTime) {
    struct Case {
        std::string t;  // as written in the JSON string
        std::string timestamp;
        std::int64_t timestamp_ms;
    };
    const std::vector<Case> cases = {
        {"2024-03-01T10:00:00Z", "2024-03-01 10:00:00", 1'709'287'200'000},
        {" 2024-03-01T10:00:00.250ZZ ", "2024-03-01 10:00:00.250", 1'709'287'200'250},
        {"2024-03-01 10:00:00+01:00", "2024-03-01 10:00:00+01:00", 1'709'283'600'000},
        {"\\u00a02024-03-01T10:00:00Z\\u3000", "2024-03-01 10:00:00", 1'709'287'200'000},
        {"2024-03-01\\u005410:00:00\\u005a", "2024-03-01 10:00:00", 1'709'287'200'000},
        {"2024-3-1 7:5:2", "2024-3-1 7:5:2", 1'709'276'702'000},
    };
    for (const Case& c : cases) {
        const Read read = accepted(with_samples(R"({"t":")" + c.t + R"("})"));
        ASSERT_EQ(read.data.samples.size(), 1u) << c.t;
        EXPECT_EQ(read.data.all().text_of(read.data.samples[0]), c.timestamp) << c.t;
        EXPECT_EQ(read.data.samples[0].timestamp_ms, c.timestamp_ms) << c.t;
    }
}

TEST(JsonRequest, SortsSamplesAndCountsDisorder) {
    const Read read = accepted(with_samples(R"({"t":"2024-03-01 10:00:01","hr1":1},)"
                                            R"({"t":"2024-03-01 10:00:00","hr1":2},)"
                                            R"({"t":"2024-03-01 10:00:00","hr1":3})"));
    ASSERT_EQ(read.data.samples.size(), 3u);
    EXPECT_EQ(read.data.out_of_order_rows, 1u);
    EXPECT_EQ(read.data.duplicate_timestamps, 1u);
    EXPECT_EQ(read.data.samples[0].hr1.get(), 2.0);
    EXPECT_EQ(read.data.samples[1].hr1.get(), 3.0);
    EXPECT_EQ(read.data.samples[2].hr1.get(), 1.0);
}

// Long digit strings must give the double nearest to the decimal text.
TEST(JsonRequest, ReadsValuesAsTheNearestDouble) {
    struct Case {
        const char* text;
        double value;  // the compiler's correctly rounded reading of the same literal
    };
    const std::vector<Case> cases = {
        {"83.78774970035786441", 83.78774970035786441},
        {"157.7188939902224599373", 157.7188939902224599373},
        {"80.16272489877978179693", 80.16272489877978179693},
        {"71.45311015018224502", 71.45311015018224502},
        {"200.356051189288898177", 200.356051189288898177},
        {"0.1000000000000000055511151231257827021181583404541015625", 0.1},
        {"140.25", 140.25},
        {"1.5e2", 150.0},
        {"9007199254740993", 9007199254740992.0},
        {"4.9e-324", 4.9e-324},
        {"1e-400", 0.0},
    };
    for (const Case& c : cases) {
        const Read read = accepted(with_samples(R"({"t":"2024-03-01 10:00:00","toco":)" + std::string(c.text) + "}"));
        ASSERT_EQ(read.data.samples.size(), 1u) << c.text;
        EXPECT_EQ(read.data.samples[0].toco.get(), c.value) << c.text;
    }
    const Read negative_zero = accepted(with_samples(R"({"t":"2024-03-01 10:00:00","hr1":-0.0})"));
    ASSERT_EQ(negative_zero.data.samples.size(), 1u);
    EXPECT_TRUE(std::signbit(*negative_zero.data.samples[0].hr1.get()));
}

// --------------------------------------------------------- JSONTestSuite

std::optional<std::string> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every document of the suite, as the value of a member the request does not
// define: y_ documents must be accepted, n_ documents refused as JSON errors,
// i_ documents (implementation-defined) either way without harm.
TEST(JsonRequest, FollowsJsonTestSuiteInsideAnUnknownMember) {
    const std::filesystem::path folder = std::filesystem::path(PULSEQUILL_SHARED_DATA) / "jsontestsuite";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no " << folder;
    int documents = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        const auto document = read_bytes(entry.path());
        ASSERT_TRUE(document) << name;
        const std::string text = with_members(R"("suite":)" + *document);
        const auto result = read_analysis_request_json(text);
        ++documents;
        if (name.starts_with("y_")) {
            EXPECT_TRUE(result.has_value()) << name << ": " << (result ? "" : result.error());
        } else if (name.starts_with("n_")) {
            ASSERT_FALSE(result.has_value()) << name;
            EXPECT_TRUE(result.error().starts_with(json_prefix)) << name << ": " << result.error();
        }
    }
    EXPECT_EQ(documents, 318);
}


// ------------------------------------------------------------- in pieces

// Everything a read gives, as text: its message, or each sample and the settings.
std::string outcome(const fhr_core::Result<fhr_core::AnalysisRequestInput>& result) {
    if (!result) return "refused: " + result.error();
    std::ostringstream out;
    out.precision(17);
    for (const fhr_core::MonitorSample& sample : result->data.samples) {
        out << result->data.all().text_of(sample) << " = " << sample.timestamp_ms;
        for (const fhr_core::OptionalValue& channel : {sample.hr1, sample.hr2, sample.hr3, sample.hrm, sample.toco}) {
            const std::optional<double> value = channel.get();
            out << ' ';
            if (value) out << *value; else out << '-';
        }
        out << '\n';
    }
    out << "channel " << fhr_core::to_text(result->settings.channel) << ", weeks "
        << (result->settings.gestational_age_weeks ? int{*result->settings.gestational_age_weeks} : -1);
    return out.str();
}

// A stream hands the parser a request in pieces, splitting numbers, strings,
// escapes and keys anywhere: every piece size must read what the whole text reads.
TEST(JsonRequest, ReadsTheSameInPiecesOfEverySize) {
    const std::string values = R"({"episode_id":"e\u0031","sent_at":"s","samples":[
        {"t":"2024-03-01T10:00:0\u0030Z","hr1":141.25,"hr2":140,"hr3":0.5,"h\u0072m":-0,"toco":1.5e1},
        {"t":"2024-03-01 10:00:01","hr1":123456789012345678901234567890,"toco":-2.5E-3,
         "note":{"deep":[1.25,-7,"x\"y",{"z":null}]}}],
      "analysis_options":{"fetal_channel":"HR2","max_analysis_minutes":20},
      "metadata":{"gestational_age_weeks":38,"extra":12345.678}})";
    EXPECT_EQ(outcome(read_analysis_request_json(values)),
              "2024-03-01 10:00:00 = 1709287200000 141.25 140 0.5 -0 15\n"
              "2024-03-01 10:00:01 = 1709287201000 1.2345678901234568e+29 - - - -0.0025000000000000001\n"
              "channel HR2, weeks 38");
    const std::string cases[] = {
        values,
        with_samples(R"({"t":"2024-03-01 10:00:00","hr1":1e999})"),
        with_members(R"("metadata":{"gestational_age_weeks":256})"),
        with_members(R"("analysis_options":{"max_analysis_minutes":12.5})"),
        with_members(R"("analysis_options":{"fetal_channel":140.25})"),
        with_samples(R"({"t":"2024-03-01 10:00:00","hr1":01})"),
        with_samples(R"({"t":"2024-03-01 10:00:00","hr1":"140"})"),
        with_samples(R"({"t":"2024-03-01 10:00:00","hr1":140.)"),
        values + " \n x",
    };
    for (const std::string& text : cases) {
        const std::string whole = outcome(read_analysis_request_json(text));
        for (std::size_t piece = 1; piece <= text.size(); ++piece) {
            ASSERT_EQ(outcome(fhr_core::read_analysis_request_json_in_pieces(text, piece)), whole)
                << "pieces of " << piece << " bytes of " << text;
        }
    }
}

}  // namespace
