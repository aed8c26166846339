// The JSON report: number format, escaping, the line writers and whole
// documents compared byte for byte with texts written out by hand.
#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/analysis/report.hpp"

namespace fhr_core {
namespace {

struct NumberCase {
    double value;
    const char* expected;
};

// Three decimals of the exact binary value, ties to even, sign kept.
TEST(ReportNumbers, AreFixedWithThreeCorrectlyRoundedDecimals) {
    const std::vector<NumberCase> cases = {
        {0.0625, "0.062"},  // exact tie: to the even digit
        {0.1875, "0.188"},  // exact tie: to the even digit, upwards
        {1.0625, "1.062"},
        {-2.5625, "-2.562"},
        {0.9375, "0.938"},
        {0.0635, "0.064"},    // binary value just above the half
        {1.0005, "1.000"},    // binary value just below the half
        {0.1235, "0.123"},    // just below the half
        {0.0005, "0.001"},    // just above the half
        {-0.0005, "-0.001"},
        {2.675, "2.675"},
        {123456.7895, "123456.789"},
        {-0.0001, "-0.000"},  // negative, rounds to zero: sign kept
        {-0.0, "-0.000"},     // negative zero
        {0.0, "0.000"},
        {1e-300, "0.000"},
        {140.0, "140.000"},
        {7.25, "7.250"},
        {0.5, "0.500"},
        {1e15, "1000000000000000.000"},  // never an exponent
        {4503599627370495.5, "4503599627370495.500"},
        {-1e21, "-1000000000000000000000.000"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const NumberCase& c : cases) {
        std::string out = "x";
        append_json_number(out, c.value);
        EXPECT_EQ(out, std::string("x") + c.expected) << "value " << c.expected;
    }
}

TEST(ReportNumbers, LargestDoubleIsWrittenInFull) {
    std::string out;
    append_json_number(out, DBL_MAX);
    // 1.7976931348623157e308 has 309 integer digits.
    EXPECT_EQ(out.size(), 309u + 4u);
    EXPECT_EQ(out.substr(0, 17), "17976931348623157");
    EXPECT_EQ(out.substr(out.size() - 4), ".000");
}

struct EscapeCase {
    const char* name;
    std::string_view text;
    std::string_view expected;
};

TEST(ReportEscapes, OnlyBackslashQuoteAndLineFeed) {
    using namespace std::string_view_literals;
    const std::vector<EscapeCase> cases = {
        {"empty", "", ""},
        {"plain", "2024-03-01 08:00:00", "2024-03-01 08:00:00"},
        {"quote", "a\"b", "a\\\"b"},
        {"backslash", "a\\b", "a\\\\b"},
        {"line feed", "a\nb", "a\\nb"},
        {"backslash before quote: not doubled twice", "\\\"", "\\\\\\\""},
        {"backslash and letter n stay distinct from a line feed", "\\n", "\\\\n"},
        {"all three in a row", "\"\\\n", "\\\"\\\\\\n"},
        {"tab and carriage return copied raw", "a\tb\rc", "a\tb\rc"},
        {"other control characters copied raw", "\x01\x1f\0"sv, "\x01\x1f\0"sv},
        {"non-ASCII copied raw", "37 \xC2\xB0" "C \xE2\x80\x93 ok", "37 \xC2\xB0" "C \xE2\x80\x93 ok"},
        {"only escapes", "\n\n", "\\n\\n"},
    };
    for (const EscapeCase& c : cases) {
        EXPECT_EQ(escape_json(c.text), c.expected) << c.name;
        // Appending keeps what the buffer already holds.
        std::string appended = "<";
        append_escaped_json(appended, c.text);
        EXPECT_EQ(std::string_view(appended).substr(0, 1), "<") << c.name;
        EXPECT_EQ(std::string_view(appended).substr(1), c.expected) << c.name;
    }
}

struct LineCase {
    const char* name;
    std::function<void(std::string&)> write;
    const char* expected;
};

TEST(ReportLines, HaveIndentKeyValueCommaAndLineFeed) {
    const std::vector<std::string_view> none;
    const std::vector<std::string_view> two = {"first reason", "second \"reason\""};
    const std::vector<std::string_view> one = {"only"};
    const std::vector<LineCase> cases = {
        {"text, level 1", [](std::string& o) { push_json_line(o, 1, "channel", "HR2"); }, "  \"channel\": \"HR2\",\n"},
        {"text escaped", [](std::string& o) { push_json_line(o, 3, "window_start", "a\"b\\c\nd\te"); },
         "      \"window_start\": \"a\\\"b\\\\c\\nd\te\",\n"},
        {"option present", [](std::string& o) { push_json_option(o, 2, "start_timestamp", "2024-03-01 08:00:00"); },
         "    \"start_timestamp\": \"2024-03-01 08:00:00\",\n"},
        {"option absent", [](std::string& o) { push_json_option(o, 2, "end_timestamp", std::nullopt); },
         "    \"end_timestamp\": null,\n"},
        {"unsigned with comma", [](std::string& o) { push_json_usize(o, 4, "raw_samples", 18446744073709551615u, true); },
         "        \"raw_samples\": 18446744073709551615,\n"},
        {"unsigned without comma", [](std::string& o) { push_json_usize(o, 2, "duplicate_timestamps", 0, false); },
         "    \"duplicate_timestamps\": 0\n"},
        {"signed integer", [](std::string& o) { push_json_option_integer(o, 3, "baseline_bpm", 140, true); },
         "      \"baseline_bpm\": 140,\n"},
        {"negative integer", [](std::string& o) { push_json_option_integer(o, 3, "baseline_bpm", -5, false); },
         "      \"baseline_bpm\": -5\n"},
        {"integer absent", [](std::string& o) { push_json_option_integer(o, 1, "requested_window_minutes", std::nullopt, true); },
         "  \"requested_window_minutes\": null,\n"},
        {"true", [](std::string& o) { push_json_option_bool(o, 3, "tachysystole", true, true); },
         "      \"tachysystole\": true,\n"},
        {"false", [](std::string& o) { push_json_option_bool(o, 3, "tachysystole", false, false); },
         "      \"tachysystole\": false\n"},
        {"boolean absent", [](std::string& o) { push_json_option_bool(o, 3, "tachysystole", std::nullopt, true); },
         "      \"tachysystole\": null,\n"},
        {"number", [](std::string& o) { push_json_number(o, 3, "variability_bpm", 7.25, true); },
         "      \"variability_bpm\": 7.250,\n"},
        {"number without comma", [](std::string& o) { push_json_number(o, 4, "suspected_maternal_capture_ratio", 0.0, false); },
         "        \"suspected_maternal_capture_ratio\": 0.000\n"},
        {"option number present", [](std::string& o) { push_json_option_number(o, 4, "toco_max", -0.0001, true); },
         "        \"toco_max\": -0.000,\n"},
        {"option number absent", [](std::string& o) { push_json_option_number(o, 4, "toco_max", std::nullopt, false); },
         "        \"toco_max\": null\n"},
        {"empty list", [&](std::string& o) { push_string_array(o, "high_risk_features", none, true); },
         "      \"high_risk_features\": [],\n"},
        {"one text", [&](std::string& o) { push_string_array(o, "reasons", one, false); },
         "      \"reasons\": [\"only\"]\n"},
        {"two texts on one line", [&](std::string& o) { push_string_array(o, "reasons", two, true); },
         "      \"reasons\": [\"first reason\", \"second \\\"reason\\\"\"],\n"},
    };
    for (const LineCase& c : cases) {
        std::string out = "before\n";
        c.write(out);
        EXPECT_EQ(out, std::string("before\n") + c.expected) << c.name;
    }
}

// --------------------------------------------------------- whole documents

// The document after the settings lines when there is no sample.
const char* const empty_input_and_windows =
    "  \"input\": {\n"
    "    \"rows\": 0,\n"
    "    \"start_timestamp\": null,\n"
    "    \"end_timestamp\": null,\n"
    "    \"duration_seconds\": 0.000,\n"
    "    \"out_of_order_rows\": 0,\n"
    "    \"duplicate_timestamps\": 0\n"
    "  },\n"
    "  \"windows\": [\n"
    "  ]\n"
    "}\n";

struct EmptyCase {
    const char* name;
    AnalysisSettings settings;
    const char* head;  // the opening brace and the four settings lines
};

// A header-only export: no window, but the settings of the call.
TEST(ReportDocument, WithoutSamples) {
    AnalysisSettings rolling;
    rolling.channel = FetalChannel::HR3;
    rolling.window_minutes = 20;
    rolling.step_seconds = 1;
    rolling.gestational_age_weeks = 41;  // never printed
    const std::vector<EmptyCase> cases = {
        {"chunk defaults", AnalysisSettings{},
         "{\n"
         "  \"channel\": \"HR1\",\n"
         "  \"analysis_mode\": \"chunk\",\n"
         "  \"requested_window_minutes\": null,\n"
         "  \"step_seconds\": 60,\n"},
        {"rolling, 20 minutes", rolling,
         "{\n"
         "  \"channel\": \"HR3\",\n"
         "  \"analysis_mode\": \"rolling\",\n"
         "  \"requested_window_minutes\": 20,\n"
         "  \"step_seconds\": 1,\n"},
    };
    for (const EmptyCase& c : cases) {
        AnalysisReport report;
        report.settings = c.settings;
        EXPECT_EQ(report_as_json(report), std::string(c.head) + empty_input_and_windows) << c.name;
    }
}

// A window with every value present and distinct, so that a key bound to the
// wrong field shows.
WindowAnalysis full_window() {
    static const std::vector<std::string_view> reasons = {"minimal variability", "recurrent late decelerations"};
    static const std::vector<std::string_view> protective = {"accelerations present"};
    static const std::vector<std::string_view> limitations = {"fetal signal below 80 percent"};
    WindowAnalysis w;
    w.window_start = "2024-03-01 08:00:00";
    w.window_end = "2024-03-01 08:20:00";
    w.duration_seconds = 1200.0;
    w.classification = Classification::category_ii;
    w.alert_level = AlertLevel::warning;
    w.baseline_bpm = 140;
    w.baseline_class = BaselineClass::normal;
    w.variability_bpm = 7.25;
    w.variability_class = VariabilityClass::moderate;
    WindowFeatures& f = w.features;
    f.fetal_hr_min_bpm = 101.5;
    f.fetal_hr_p05_bpm = 120.25;
    f.fetal_hr_mean_bpm = 139.125;
    f.fetal_hr_median_bpm = 140.0;
    f.fetal_hr_p95_bpm = 155.75;
    f.fetal_hr_max_bpm = 171.0;
    f.fetal_hr_std_dev_bpm = 0.0625;
    f.baseline_delta_mean_bpm = -0.0001;
    f.fetal_hr_seconds_below_110 = 12;
    f.fetal_hr_seconds_110_to_160 = 1150;
    f.fetal_hr_seconds_above_160 = 39;
    f.fetal_hr_percent_below_110 = 1.0;
    f.fetal_hr_percent_110_to_160 = 95.75;
    f.fetal_hr_percent_above_160 = 3.25;
    f.acceleration_count = 2;
    f.deceleration_count = 3;
    f.prolonged_deceleration_count = 1;
    f.total_deceleration_seconds = 184.5;
    f.deepest_deceleration_nadir_bpm = 88.0;
    f.max_deceleration_depth_bpm = 52.0;
    f.contraction_count = 4;
    f.contractions_per_10_min = 2.0;
    f.toco_mean = 18.375;
    f.toco_max = 64.0;
    f.maternal_hr_mean_bpm = 82.5;
    f.fetal_maternal_mean_difference_bpm = 56.625;
    DataQuality& q = w.data_quality;
    q.expected_seconds = 1201;
    q.raw_samples = 4801;
    q.fetal_usable_ratio = 0.9375;
    q.maternal_usable_ratio = 0.5;
    q.toco_usable_ratio = 1.0;
    q.suspected_maternal_capture_ratio = 0.0635;
    w.toco_summary.contractions.resize(3);  // the count, not the list, is printed
    w.toco_summary.contractions_per_10_min = 1.5;
    w.toco_summary.tachysystole = false;
    w.reasons = reasons;
    w.protective_features = protective;
    w.limitations = limitations;
    return w;
}

// The 54 lines of full_window(), without the closing brace's line.
const char* const full_window_text =
    "    {\n"
    "      \"window_start\": \"2024-03-01 08:00:00\",\n"
    "      \"window_end\": \"2024-03-01 08:20:00\",\n"
    "      \"duration_seconds\": 1200.000,\n"
    "      \"classification\": \"category_ii\",\n"
    "      \"alert_level\": \"warning\",\n"
    "      \"baseline_bpm\": 140,\n"
    "      \"baseline_class\": \"normal\",\n"
    "      \"variability_bpm\": 7.250,\n"
    "      \"variability_class\": \"moderate\",\n"
    "      \"features\": {\n"
    "        \"fetal_hr_min_bpm\": 101.500,\n"
    "        \"fetal_hr_p05_bpm\": 120.250,\n"
    "        \"fetal_hr_mean_bpm\": 139.125,\n"
    "        \"fetal_hr_median_bpm\": 140.000,\n"
    "        \"fetal_hr_p95_bpm\": 155.750,\n"
    "        \"fetal_hr_max_bpm\": 171.000,\n"
    "        \"fetal_hr_std_dev_bpm\": 0.062,\n"
    "        \"baseline_delta_mean_bpm\": -0.000,\n"
    "        \"fetal_hr_seconds_below_110\": 12,\n"
    "        \"fetal_hr_seconds_110_to_160\": 1150,\n"
    "        \"fetal_hr_seconds_above_160\": 39,\n"
    "        \"fetal_hr_percent_below_110\": 1.000,\n"
    "        \"fetal_hr_percent_110_to_160\": 95.750,\n"
    "        \"fetal_hr_percent_above_160\": 3.250,\n"
    "        \"acceleration_count\": 2,\n"
    "        \"deceleration_count\": 3,\n"
    "        \"prolonged_deceleration_count\": 1,\n"
    "        \"total_deceleration_seconds\": 184.500,\n"
    "        \"deepest_deceleration_nadir_bpm\": 88.000,\n"
    "        \"max_deceleration_depth_bpm\": 52.000,\n"
    "        \"contraction_count\": 4,\n"
    "        \"contractions_per_10_min\": 2.000,\n"
    "        \"toco_mean\": 18.375,\n"
    "        \"toco_max\": 64.000,\n"
    "        \"maternal_hr_mean_bpm\": 82.500,\n"
    "        \"fetal_maternal_mean_difference_bpm\": 56.625\n"
    "      },\n"
    "      \"data_quality\": {\n"
    "        \"expected_seconds\": 1201,\n"
    "        \"raw_samples\": 4801,\n"
    "        \"fetal_usable_ratio\": 0.938,\n"
    "        \"maternal_usable_ratio\": 0.500,\n"
    "        \"toco_usable_ratio\": 1.000,\n"
    "        \"suspected_maternal_capture_ratio\": 0.064\n"
    "      },\n"
    "      \"contractions\": 3,\n"
    "      \"contractions_per_10_min\": 1.500,\n"
    "      \"tachysystole\": false,\n"
    "      \"reasons\": [\"minimal variability\", \"recurrent late decelerations\"],\n"
    "      \"high_risk_features\": [],\n"
    "      \"protective_features\": [\"accelerations present\"],\n"
    "      \"limitations\": [\"fetal signal below 80 percent\"]\n";

// A window as a stage-less analysis leaves it: every optional value absent.
// Its bound texts carry the three escaped characters and a raw tab.
WindowAnalysis bare_window() {
    WindowAnalysis w;
    w.window_start = "08:20 \"a\\b\"";
    w.window_end = "08:30\n\tend";
    w.duration_seconds = -0.0;
    w.toco_summary.tachysystole = true;
    return w;
}

const char* const bare_window_text =
    "    {\n"
    "      \"window_start\": \"08:20 \\\"a\\\\b\\\"\",\n"
    "      \"window_end\": \"08:30\\n\tend\",\n"
    "      \"duration_seconds\": -0.000,\n"
    "      \"classification\": \"unclassified\",\n"
    "      \"alert_level\": \"data_quality\",\n"
    "      \"baseline_bpm\": null,\n"
    "      \"baseline_class\": null,\n"
    "      \"variability_bpm\": null,\n"
    "      \"variability_class\": null,\n"
    "      \"features\": {\n"
    "        \"fetal_hr_min_bpm\": null,\n"
    "        \"fetal_hr_p05_bpm\": null,\n"
    "        \"fetal_hr_mean_bpm\": null,\n"
    "        \"fetal_hr_median_bpm\": null,\n"
    "        \"fetal_hr_p95_bpm\": null,\n"
    "        \"fetal_hr_max_bpm\": null,\n"
    "        \"fetal_hr_std_dev_bpm\": null,\n"
    "        \"baseline_delta_mean_bpm\": null,\n"
    "        \"fetal_hr_seconds_below_110\": 0,\n"
    "        \"fetal_hr_seconds_110_to_160\": 0,\n"
    "        \"fetal_hr_seconds_above_160\": 0,\n"
    "        \"fetal_hr_percent_below_110\": 0.000,\n"
    "        \"fetal_hr_percent_110_to_160\": 0.000,\n"
    "        \"fetal_hr_percent_above_160\": 0.000,\n"
    "        \"acceleration_count\": 0,\n"
    "        \"deceleration_count\": 0,\n"
    "        \"prolonged_deceleration_count\": 0,\n"
    "        \"total_deceleration_seconds\": 0.000,\n"
    "        \"deepest_deceleration_nadir_bpm\": null,\n"
    "        \"max_deceleration_depth_bpm\": null,\n"
    "        \"contraction_count\": 0,\n"
    "        \"contractions_per_10_min\": 0.000,\n"
    "        \"toco_mean\": null,\n"
    "        \"toco_max\": null,\n"
    "        \"maternal_hr_mean_bpm\": null,\n"
    "        \"fetal_maternal_mean_difference_bpm\": null\n"
    "      },\n"
    "      \"data_quality\": {\n"
    "        \"expected_seconds\": 0,\n"
    "        \"raw_samples\": 0,\n"
    "        \"fetal_usable_ratio\": 0.000,\n"
    "        \"maternal_usable_ratio\": 0.000,\n"
    "        \"toco_usable_ratio\": 0.000,\n"
    "        \"suspected_maternal_capture_ratio\": 0.000\n"
    "      },\n"
    "      \"contractions\": 0,\n"
    "      \"contractions_per_10_min\": 0.000,\n"
    "      \"tachysystole\": true,\n"
    "      \"reasons\": [],\n"
    "      \"high_risk_features\": [],\n"
    "      \"protective_features\": [],\n"
    "      \"limitations\": []\n";

AnalysisReport rolling_report() {
    AnalysisReport report;
    report.settings.channel = FetalChannel::HR2;
    report.settings.window_minutes = 20;
    report.settings.step_seconds = 30;
    report.settings.gestational_age_weeks = 39;  // not printed
    report.input.rows = 4801;
    report.input.start_timestamp = "2024-03-01 08:00:00";
    report.input.end_timestamp = "2024-03-01 08:20:00";
    report.input.duration_seconds = 1200.0;
    report.input.out_of_order_rows = 1;
    report.input.duplicate_timestamps = 2;
    return report;
}

const char* const rolling_frame_head =
    "{\n"
    "  \"channel\": \"HR2\",\n"
    "  \"analysis_mode\": \"rolling\",\n"
    "  \"requested_window_minutes\": 20,\n"
    "  \"step_seconds\": 30,\n"
    "  \"input\": {\n"
    "    \"rows\": 4801,\n"
    "    \"start_timestamp\": \"2024-03-01 08:00:00\",\n"
    "    \"end_timestamp\": \"2024-03-01 08:20:00\",\n"
    "    \"duration_seconds\": 1200.000,\n"
    "    \"out_of_order_rows\": 1,\n"
    "    \"duplicate_timestamps\": 2\n"
    "  },\n"
    "  \"windows\": [\n";

const char* const frame_tail =
    "  ]\n"
    "}\n";

TEST(ReportDocument, OneWindow) {
    AnalysisReport report = rolling_report();
    report.windows.push_back(full_window());
    EXPECT_EQ(report_as_json(report),
              std::string(rolling_frame_head) + full_window_text + "    }\n" + frame_tail);
}

TEST(ReportDocument, TwoWindowsCommaAfterTheFirstOnly) {
    AnalysisReport report = rolling_report();
    report.windows.push_back(full_window());
    report.windows.push_back(bare_window());
    EXPECT_EQ(report_as_json(report), std::string(rolling_frame_head) + full_window_text + "    },\n" +
                                          bare_window_text + "    }\n" + frame_tail);
}

TEST(ReportDocument, InputTextsAreEscaped) {
    AnalysisReport report;
    report.input.rows = 1;
    report.input.start_timestamp = "2024-03-01\t08:00:00 \"x\"";
    report.input.end_timestamp = "C:\\monitor\nrow";
    const std::string text = report_as_json(report);
    EXPECT_NE(text.find("    \"start_timestamp\": \"2024-03-01\t08:00:00 \\\"x\\\"\",\n"), std::string::npos);
    EXPECT_NE(text.find("    \"end_timestamp\": \"C:\\\\monitor\\nrow\",\n"), std::string::npos);
}

}  // namespace
}  // namespace fhr_core
