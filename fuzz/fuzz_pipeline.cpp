// The whole analysis on any recording: CSV or JSON text, with the settings
// taken from the first input bytes, through the window driver to the report.
#include <boost/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "checks.hpp"
#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/csv_input.hpp"
#include "fhr_core/json_input.hpp"

namespace {

using fuzz::require;

// More windows than this make an input slow without reaching new code (the
// extension refuses reports above a far larger bound the same way, up front).
constexpr std::uint64_t max_windows = 64;
constexpr std::size_t settings_bytes = 4;

// Byte 0: bit 0 JSON text, bit 1 last window only, bits 2-3 the channel.
// Byte 1: 0 chunk mode, else a window of 10 to 30 minutes. Byte 2: the step.
// Byte 3: 0 no gestational age, else the weeks. A JSON request brings its own
// settings and keeps only the last-window bit.
struct Choice {
    bool json = false;
    bool last_only = false;
    fhr_core::AnalysisSettings settings;
};

Choice choice_of(const unsigned char* bytes) {
    Choice choice;
    choice.json = (bytes[0] & 1) != 0;
    choice.last_only = (bytes[0] & 2) != 0;
    const unsigned channel = (bytes[0] >> 2) & 3;
    choice.settings.channel = channel == 1 ? fhr_core::FetalChannel::HR2
                              : channel == 2 ? fhr_core::FetalChannel::HR3
                                             : fhr_core::FetalChannel::HR1;
    if (bytes[1] != 0) choice.settings.window_minutes = 10 + bytes[1] % 21;
    choice.settings.step_seconds = 1 + bytes[2] * 15u;
    if (bytes[3] != 0) choice.settings.gestational_age_weeks = bytes[3];
    return choice;
}

std::string number_text(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return {buffer, end};
}

// The JSON request carrying the same samples and chunk-mode settings, or
// nothing when a request cannot say the same (no samples, non-finite values,
// texts the request would display differently or that are not plain ASCII).
std::optional<std::string> equivalent_request(const fhr_core::InputData& data,
                                              const fhr_core::AnalysisSettings& settings) {
    if (data.samples.empty()) return std::nullopt;
    std::string out = R"({"episode_id":"fuzz","sent_at":"fuzz","samples":[)";
    for (const fhr_core::MonitorSample& sample : data.samples) {
        const std::string_view text = data.all().text_of(sample);
        if (fhr_core::strip_timestamp_text(text) != text) return std::nullopt;
        out += R"({"t":")";
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\' || c == 'T') return std::nullopt;
            out += c;
        }
        out += '"';
        const std::pair<const char*, std::optional<double>> values[] = {{"hr1", sample.hr1.get()},
                                                                        {"hr2", sample.hr2.get()},
                                                                        {"hr3", sample.hr3.get()},
                                                                        {"hrm", sample.hrm.get()},
                                                                        {"toco", sample.toco.get()}};
        for (const auto& [name, value] : values) {
            if (!value) continue;
            if (!std::isfinite(*value)) return std::nullopt;
            out += std::string(",\"") + name + "\":" + number_text(*value);
        }
        out += "},";
    }
    out.back() = ']';
    out += R"(,"analysis_options":{"fetal_channel":")" + std::string(fhr_core::to_text(settings.channel)) + "\"}";
    if (settings.gestational_age_weeks) {
        out += R"(,"metadata":{"gestational_age_weeks":)" + std::to_string(*settings.gestational_age_weeks) + "}";
    }
    out += '}';
    return out;
}

// `utf8`: the input was UTF-8, as a Python caller's always is; the report
// quotes input texts, so only then must it be valid JSON.
void check_report(const fhr_core::InputData& data, const fhr_core::AnalysisSettings& settings, bool last_only,
                  bool utf8) {
    if (last_only) {
        // The last window alone must be exactly the last window of the whole report.
        const fhr_core::AnalysisReport last = fhr_core::analyze_last_window(data, settings);
        require(last.windows.size() == (data.samples.empty() ? 0U : 1U), "a last-window report holds one window");
        fhr_core::AnalysisReport whole = fhr_core::analyze_rolling_windows(data, settings);
        if (whole.windows.size() > 1) whole.windows.erase(whole.windows.begin(), whole.windows.end() - 1);
        require(fhr_core::report_as_json(last) == fhr_core::report_as_json(whole),
                "the last window alone equals the last window of the whole report");
        return;
    }
    const std::uint64_t windows = fhr_core::count_windows(data, settings);
    const fhr_core::AnalysisReport report = fhr_core::analyze_rolling_windows(data, settings);
    require(report.windows.size() == windows, "the report has count_windows windows");
    if (!utf8) return;
    std::string text = fhr_core::report_as_json(report);
    // Timestamp texts are copied as written, so a control character after the
    // seconds stands raw in a string, which JSON refuses: it is blanked for the
    // check. The report's own line feeds are the only raw ones outside strings.
    std::replace_if(text.begin(), text.end(), [](char c) { return c != '\n' && static_cast<unsigned char>(c) < 0x20; }, ' ');
    boost::system::error_code ec;
    const boost::json::value parsed = boost::json::parse(text, ec);
    require(!ec && parsed.is_object(), "the report is a JSON object");
    const boost::json::value* listed = parsed.as_object().if_contains("windows");
    require(listed && listed->is_array() && listed->as_array().size() == windows,
            "the report's text lists every window");
}

// A CSV recording and the JSON request with its samples give one report
// (but for the rows out of order, which the sorted request cannot have).
void check_same_as_request(const fhr_core::InputData& data, const fhr_core::AnalysisSettings& settings) {
    const std::optional<std::string> request_text = equivalent_request(data, settings);
    if (!request_text) return;
    const auto request = fhr_core::read_analysis_request_json(*request_text);
    require(request.has_value(), "the reader accepts the request equivalent to a CSV recording");
    fhr_core::AnalysisSettings chunk = settings;
    chunk.window_minutes.reset();
    chunk.step_seconds = 60;
    fhr_core::AnalysisReport from_request = fhr_core::analyze_rolling_windows(request->data, request->settings);
    const fhr_core::AnalysisReport from_csv = fhr_core::analyze_rolling_windows(data, chunk);
    from_request.input.out_of_order_rows = from_csv.input.out_of_order_rows;
    require(fhr_core::report_as_json(from_request) == fhr_core::report_as_json(from_csv),
            "a CSV recording and its JSON request give the same report");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* bytes, std::size_t size) {
    if (size < settings_bytes) return 0;
    Choice choice = choice_of(bytes);
    const std::string_view text = fuzz::as_text(bytes + settings_bytes, size - settings_bytes);

    if (choice.json) {
        const auto request = fhr_core::read_analysis_request_json(text);
        if (!request) return 0;
        check_report(request->data, request->settings, choice.last_only, true);  // the reader takes UTF-8 only
        return 0;
    }
    const auto data = fhr_core::read_monitor_csv_str(text);
    if (!data) return 0;
    if (fhr_core::count_windows(*data, choice.settings) > max_windows) return 0;
    check_report(*data, choice.settings, choice.last_only, fuzz::is_utf8(text));
    if (!choice.settings.window_minutes) check_same_as_request(*data, choice.settings);
    return 0;
}
