// The JSON report writer: the whole report, written by hand line by line into
// one buffer, in a layout fixed to the character.
#include "report.hpp"

#include <charconv>
#include <cmath>

#include "analysis.hpp"

namespace fhr_core {
namespace {

// The start of a key's line: indentation, the quoted key, colon and space.
// Keys are fixed lower-case identifiers and need no escaping.
void begin_line(std::string& out, std::size_t level, std::string_view key) {
    out.append(2 * level, ' ');
    out += '"';
    out += key;
    out += "\": ";
}

void end_line(std::string& out, bool comma) { out += comma ? ",\n" : "\n"; }

// A line without a key: an opening or closing bracket.
void push_bracket(std::string& out, std::size_t level, std::string_view bracket) {
    out.append(2 * level, ' ');
    out += bracket;
    out += '\n';
}

// The opening line of a nested object or array: "key": { or "key": [
void push_open(std::string& out, std::size_t level, std::string_view key, char bracket) {
    begin_line(out, level, key);
    out += bracket;
    out += '\n';
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    append_escaped_json(out, text);
    out += '"';
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

// A window takes about 2 KB of report (54 lines of key and value); the margin
// covers the verdict sentences, so the buffer is reserved once per report.
constexpr std::size_t frame_bytes = 512;
constexpr std::size_t window_bytes = 2560;

void push_window(std::string& out, const WindowAnalysis& window, bool last) {
    push_bracket(out, 2, "{");
    push_json_line(out, 3, "window_start", window.window_start);
    push_json_line(out, 3, "window_end", window.window_end);
    push_json_number(out, 3, "duration_seconds", window.duration_seconds, true);
    push_json_line(out, 3, "classification", to_text(window.classification));
    push_json_line(out, 3, "alert_level", to_text(window.alert_level));
    push_json_option_integer(out, 3, "baseline_bpm", window.baseline_bpm, true);
    push_json_option(out, 3, "baseline_class",
                     window.baseline_class ? std::optional(to_text(*window.baseline_class)) : std::nullopt);
    push_json_option_number(out, 3, "variability_bpm", window.variability_bpm, true);
    push_json_option(out, 3, "variability_class",
                     window.variability_class ? std::optional(to_text(*window.variability_class)) : std::nullopt);

    const WindowFeatures& f = window.features;
    push_open(out, 3, "features", '{');
    push_json_option_number(out, 4, "fetal_hr_min_bpm", f.fetal_hr_min_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_p05_bpm", f.fetal_hr_p05_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_mean_bpm", f.fetal_hr_mean_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_median_bpm", f.fetal_hr_median_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_p95_bpm", f.fetal_hr_p95_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_max_bpm", f.fetal_hr_max_bpm, true);
    push_json_option_number(out, 4, "fetal_hr_std_dev_bpm", f.fetal_hr_std_dev_bpm, true);
    push_json_option_number(out, 4, "baseline_delta_mean_bpm", f.baseline_delta_mean_bpm, true);
    push_json_usize(out, 4, "fetal_hr_seconds_below_110", f.fetal_hr_seconds_below_110, true);
    push_json_usize(out, 4, "fetal_hr_seconds_110_to_160", f.fetal_hr_seconds_110_to_160, true);
    push_json_usize(out, 4, "fetal_hr_seconds_above_160", f.fetal_hr_seconds_above_160, true);
    push_json_number(out, 4, "fetal_hr_percent_below_110", f.fetal_hr_percent_below_110, true);
    push_json_number(out, 4, "fetal_hr_percent_110_to_160", f.fetal_hr_percent_110_to_160, true);
    push_json_number(out, 4, "fetal_hr_percent_above_160", f.fetal_hr_percent_above_160, true);
    push_json_usize(out, 4, "acceleration_count", f.acceleration_count, true);
    push_json_usize(out, 4, "deceleration_count", f.deceleration_count, true);
    push_json_usize(out, 4, "prolonged_deceleration_count", f.prolonged_deceleration_count, true);
    push_json_number(out, 4, "total_deceleration_seconds", f.total_deceleration_seconds, true);
    push_json_option_number(out, 4, "deepest_deceleration_nadir_bpm", f.deepest_deceleration_nadir_bpm, true);
    push_json_option_number(out, 4, "max_deceleration_depth_bpm", f.max_deceleration_depth_bpm, true);
    push_json_usize(out, 4, "contraction_count", f.contraction_count, true);
    push_json_number(out, 4, "contractions_per_10_min", f.contractions_per_10_min, true);
    push_json_option_number(out, 4, "toco_mean", f.toco_mean, true);
    push_json_option_number(out, 4, "toco_max", f.toco_max, true);
    push_json_option_number(out, 4, "maternal_hr_mean_bpm", f.maternal_hr_mean_bpm, true);
    push_json_option_number(out, 4, "fetal_maternal_mean_difference_bpm", f.fetal_maternal_mean_difference_bpm,
                            false);
    push_bracket(out, 3, "},");

    const DataQuality& q = window.data_quality;
    push_open(out, 3, "data_quality", '{');
    push_json_usize(out, 4, "expected_seconds", q.expected_seconds, true);
    push_json_usize(out, 4, "raw_samples", q.raw_samples, true);
    push_json_number(out, 4, "fetal_usable_ratio", q.fetal_usable_ratio, true);
    push_json_number(out, 4, "maternal_usable_ratio", q.maternal_usable_ratio, true);
    push_json_number(out, 4, "toco_usable_ratio", q.toco_usable_ratio, true);
    push_json_number(out, 4, "suspected_maternal_capture_ratio", q.suspected_maternal_capture_ratio, false);
    push_bracket(out, 3, "},");

    // The contraction events themselves stay inside the analysis; the report
    // shows how many there were.
    const TocoSummary& toco = window.toco_summary;
    push_json_usize(out, 3, "contractions", toco.contractions.size(), true);
    push_json_number(out, 3, "contractions_per_10_min", toco.contractions_per_10_min, true);
    push_json_option_bool(out, 3, "tachysystole", toco.tachysystole, true);
    push_string_array(out, "reasons", window.reasons, true);
    push_string_array(out, "high_risk_features", window.high_risk_features, true);
    push_string_array(out, "protective_features", window.protective_features, true);
    push_string_array(out, "limitations", window.limitations, false);
    push_bracket(out, 2, last ? "}" : "},");
}

}  // namespace

void append_escaped_json(std::string& out, std::string_view text) {
    // One pass gives what the three replacements in turn (backslashes first,
    // then quotes, then line feeds) give: each character maps on its own.
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' && c != '"' && c != '\n') continue;
        out.append(text, plain_from, i - plain_from);
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : "\\n";
        plain_from = i + 1;
    }
    out.append(text, plain_from);
}

std::string escape_json(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    append_escaped_json(escaped, text);
    return escaped;
}

void append_json_number(std::string& out, double value) {
    // The analysis hands over finite numbers only; should one slip through it
    // shows as NaN, inf or -inf rather than as a plausible number.
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    // to_chars in fixed notation with a precision rounds the exact binary
    // value once, ties to even, independent of the locale. The largest double
    // has 309 integer digits.
    char digits[320];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 3);
    out.append(digits, end);
}

void push_json_line(std::string& out, std::size_t level, std::string_view key, std::string_view value) {
    begin_line(out, level, key);
    append_quoted(out, value);
    end_line(out, true);
}

void push_json_option(std::string& out, std::size_t level, std::string_view key,
                      std::optional<std::string_view> value) {
    begin_line(out, level, key);
    if (value) {
        append_quoted(out, *value);
    } else {
        out += "null";
    }
    end_line(out, true);
}

void push_json_usize(std::string& out, std::size_t level, std::string_view key, std::uint64_t value, bool comma) {
    begin_line(out, level, key);
    append_integer(out, value);
    end_line(out, comma);
}

void push_json_option_integer(std::string& out, std::size_t level, std::string_view key,
                              std::optional<std::int64_t> value, bool comma) {
    begin_line(out, level, key);
    if (value) {
        append_integer(out, *value);
    } else {
        out += "null";
    }
    end_line(out, comma);
}

void push_json_option_bool(std::string& out, std::size_t level, std::string_view key, std::optional<bool> value,
                           bool comma) {
    begin_line(out, level, key);
    out += !value ? "null" : *value ? "true" : "false";
    end_line(out, comma);
}

void push_json_number(std::string& out, std::size_t level, std::string_view key, double value, bool comma) {
    begin_line(out, level, key);
    append_json_number(out, value);
    end_line(out, comma);
}

void push_json_option_number(std::string& out, std::size_t level, std::string_view key,
                             std::optional<double> value, bool comma) {
    begin_line(out, level, key);
    if (value) {
        append_json_number(out, *value);
    } else {
        out += "null";
    }
    end_line(out, comma);
}

void push_string_array(std::string& out, std::string_view key, std::span<const std::string_view> values,
                       bool comma) {
    begin_line(out, 3, key);
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ", ";
        append_quoted(out, values[i]);
    }
    out += ']';
    end_line(out, comma);
}

std::string report_as_json(const AnalysisReport& report) {
    std::string out;
    out.reserve(frame_bytes + report.windows.size() * window_bytes);
    push_bracket(out, 0, "{");

    const AnalysisSettings& settings = report.settings;
    push_json_line(out, 1, "channel", to_text(settings.channel));
    push_json_line(out, 1, "analysis_mode", settings.window_minutes ? "rolling" : "chunk");
    push_json_option_integer(out, 1, "requested_window_minutes", settings.window_minutes, true);
    push_json_usize(out, 1, "step_seconds", settings.step_seconds, true);

    const InputSummary& input = report.input;
    push_open(out, 1, "input", '{');
    push_json_usize(out, 2, "rows", input.rows, true);
    push_json_option(out, 2, "start_timestamp", input.start_timestamp);
    push_json_option(out, 2, "end_timestamp", input.end_timestamp);
    push_json_number(out, 2, "duration_seconds", input.duration_seconds, true);
    push_json_usize(out, 2, "out_of_order_rows", input.out_of_order_rows, true);
    push_json_usize(out, 2, "duplicate_timestamps", input.duplicate_timestamps, false);
    push_bracket(out, 1, "},");

    push_open(out, 1, "windows", '[');
    for (std::size_t i = 0; i < report.windows.size(); ++i) {
        push_window(out, report.windows[i], i + 1 == report.windows.size());
    }
    push_bracket(out, 1, "]");
    push_bracket(out, 0, "}");
    return out;
}

}  // namespace fhr_core
