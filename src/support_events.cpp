// The event times and the sample trace behind a report, for charts and pages
// that mark events on the trace. The report prints only counts; the window
// records of the core keep the events themselves, which are handed out here as
// plain dicts and lists (JSON-friendly: texts, ints, floats, None).
#include "support_events.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/csv_input.hpp"
#include "fhr_core/json_input.hpp"
#include "fhr_core/time.hpp"
#include "python_binding.hpp"

namespace pulsequill {
namespace {

using fhr_core::AnalysisSettings;
using fhr_core::InputData;
using fhr_core::WindowAnalysis;
using fhr_core::WindowBounds;

// ------------------------------------------------------------ Python values

PyObject* text_value(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Floats that JSON cannot carry (NaN, infinities) become None.
PyObject* number_value(std::optional<double> value) noexcept {
    if (!value || !std::isfinite(*value)) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

PyObject* time_value(std::optional<std::int64_t> ms) noexcept {
    if (!ms) Py_RETURN_NONE;
    return PyLong_FromLongLong(*ms);
}

// Takes over `value` (a new reference or nullptr after a failed call).
bool set_item(PyObject* dict, const char* key, PyObject* value) noexcept {
    const PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// An event's time as epoch milliseconds: its text read back with the monitor
// grammar, or, for a second in which no sample fell, the milliseconds its
// "<ms>ms" text carries. Nothing for any other text.
std::optional<std::int64_t> event_time_ms(std::string_view text) {
    if (const auto parsed = fhr_core::parse_monitor_timestamp(text)) return *parsed;
    if (!text.ends_with("ms")) return std::nullopt;
    const std::string_view digits = text.substr(0, text.size() - 2);
    std::int64_t ms = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return ms;
}

std::string_view kind_text(fhr_core::DecelerationKind kind) noexcept {
    switch (kind) {
        case fhr_core::DecelerationKind::variable: return "variable";
        case fhr_core::DecelerationKind::early: return "early";
        case fhr_core::DecelerationKind::late: return "late";
        case fhr_core::DecelerationKind::prolonged: return "prolonged";
        case fhr_core::DecelerationKind::gradual: return "gradual";
    }
    return "gradual";
}

// A text field and its epoch milliseconds: "start" and "start_ms".
bool set_time(PyObject* dict, const char* key, const char* ms_key, std::string_view text) {
    return set_item(dict, key, text_value(text)) && set_item(dict, ms_key, time_value(event_time_ms(text)));
}

PyObject* acceleration_value(const fhr_core::AccelerationEvent& event) {
    PyRef dict(PyDict_New());
    if (!dict || !set_time(dict.get(), "start", "start_ms", event.start) ||
        !set_time(dict.get(), "end", "end_ms", event.end) ||
        !set_item(dict.get(), "duration_seconds", number_value(event.duration_seconds)) ||
        !set_item(dict.get(), "peak_bpm", number_value(event.peak_bpm))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* deceleration_value(const fhr_core::DecelerationEvent& event) {
    PyRef dict(PyDict_New());
    std::optional<std::int64_t> nadir_ms = event_time_ms(event.start);
    // The nadir lies time_to_nadir after the onset, to the millisecond.
    if (nadir_ms) *nadir_ms += std::llround(event.time_to_nadir_seconds * 1000.0);
    if (!dict || !set_time(dict.get(), "start", "start_ms", event.start) ||
        !set_time(dict.get(), "end", "end_ms", event.end) ||
        !set_item(dict.get(), "nadir_ms", time_value(nadir_ms)) ||
        !set_item(dict.get(), "kind", text_value(kind_text(event.kind))) ||
        !set_item(dict.get(), "duration_seconds", number_value(event.duration_seconds)) ||
        !set_item(dict.get(), "nadir_bpm", number_value(event.nadir_bpm)) ||
        !set_item(dict.get(), "depth_bpm", number_value(event.depth_bpm)) ||
        !set_item(dict.get(), "time_to_nadir_seconds", number_value(event.time_to_nadir_seconds))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* contraction_value(const fhr_core::ContractionEvent& event) {
    PyRef dict(PyDict_New());
    if (!dict || !set_time(dict.get(), "start", "start_ms", event.start) ||
        !set_time(dict.get(), "peak", "peak_ms", event.peak) || !set_time(dict.get(), "end", "end_ms", event.end) ||
        !set_item(dict.get(), "duration_seconds", number_value(event.duration_seconds)) ||
        !set_item(dict.get(), "peak_toco", number_value(event.peak_toco))) {
        return nullptr;
    }
    return dict.release();
}

template <class Event, class Convert>
PyObject* list_value(const std::vector<Event>& events, Convert convert) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
        PyObject* item = convert(events[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

PyObject* window_value(const WindowAnalysis& window, const WindowBounds& bounds) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "window_start", text_value(window.window_start)) ||
        !set_item(dict.get(), "window_end", text_value(window.window_end)) ||
        !set_item(dict.get(), "start_ms", time_value(bounds.start_ms)) ||
        !set_item(dict.get(), "end_ms", time_value(bounds.end_ms)) ||
        !set_item(dict.get(), "accelerations", list_value(window.accelerations, acceleration_value)) ||
        !set_item(dict.get(), "decelerations", list_value(window.decelerations, deceleration_value)) ||
        !set_item(dict.get(), "contractions", list_value(window.toco_summary.contractions, contraction_value))) {
        return nullptr;
    }
    return dict.release();
}

// ------------------------------------------------------------------ reading

enum class InputKind { csv, json };

Converted<InputKind> convert_kind(PyObject* value) noexcept {
    if (value == nullptr) return InputKind::csv;
    const Converted<Utf8Text> text = convert_text(value, "kind");
    if (!text) return std::nullopt;
    if (text->view() == "csv") return InputKind::csv;
    if (text->view() == "json") return InputKind::json;
    raise_message(PyExc_ValueError, "kind must be \"csv\" or \"json\": " + std::string(text->view()));
    return std::nullopt;
}

struct Recording {
    InputData data;
    AnalysisSettings settings;
};

// Reads the text with the reader of its kind. A CSV export's settings come
// from the options with _native's rules and in its order of checks (the
// recording, then the window length, then the channel); an analysis request
// carries its own.
// The CSV options in order: channel, ga_weeks, window_min, step_sec, last_only
// (nullptr or None when left out).
using CsvOptions = std::array<PyObject*, 5>;

std::optional<Recording> read_recording(std::string_view text, InputKind kind, const CsvOptions& options) {
    if (kind == InputKind::json) {
        for (PyObject* option : options) {
            if (option != nullptr && option != Py_None) {
                raise_message(PyExc_ValueError, "a JSON analysis request carries its own options");
                return std::nullopt;
            }
        }
        auto request = fhr_core::read_analysis_request_json(text);
        if (!request) {
            raise_message(PyExc_ValueError, request.error());
            return std::nullopt;
        }
        return Recording{std::move(request->data), request->settings};
    }

    PyObject* channel_arg = options[0];
    const Converted<Utf8Text> channel_text =
        channel_arg == nullptr || channel_arg == Py_None ? Converted<Utf8Text>(Utf8Text("HR1"))
                                                         : convert_text(channel_arg, "channel");
    if (!channel_text) return std::nullopt;
    const auto ga_weeks = convert_optional_whole_number(options[1], "ga_weeks", largest_u8);
    if (!ga_weeks) return std::nullopt;
    const auto window_min = convert_optional_whole_number(options[2], "window_min", largest_u32);
    if (!window_min) return std::nullopt;
    const auto step_sec = convert_optional_whole_number(options[3], "step_sec", largest_u32);
    if (!step_sec) return std::nullopt;

    auto data = fhr_core::read_monitor_csv_str(text);
    if (!data) {
        raise_message(PyExc_ValueError, data.error());
        return std::nullopt;
    }
    if (*window_min && (**window_min < 10 || **window_min > 30)) {
        raise_message(PyExc_ValueError, "window_min must be between 10 and 30");
        return std::nullopt;
    }
    const auto channel = fhr_core::FetalChannel::parse(channel_text->view());
    if (!channel) {
        raise_message(PyExc_ValueError, channel.error());
        return std::nullopt;
    }
    AnalysisSettings settings;
    if (*window_min) settings.window_minutes = static_cast<std::uint32_t>(**window_min);
    if (*step_sec) settings.step_seconds = std::max(static_cast<std::uint32_t>(**step_sec), std::uint32_t{1});
    if (*ga_weeks) settings.gestational_age_weeks = static_cast<std::uint8_t>(**ga_weeks);
    settings.channel = *channel;
    return Recording{std::move(*data), settings};
}

constexpr std::array<const char*, 7> events_parameters = {"text",       "kind",     "channel",  "ga_weeks",
                                                          "window_min", "step_sec", "last_only"};
constexpr FunctionSignature events_signature = {"window_events", events_parameters, 1};

constexpr std::array<const char*, 2> trace_parameters = {"text", "kind"};
constexpr FunctionSignature trace_signature = {"recording_trace", trace_parameters, 1};

PyObject* column_list(const InputData& data, fhr_core::OptionalValue fhr_core::MonitorSample::* channel) {
    return list_value(data.samples,
                      [channel](const fhr_core::MonitorSample& sample) { return number_value((sample.*channel).get()); });
}

PyObject* times_list(const InputData& data) {
    return list_value(data.samples,
                      [](const fhr_core::MonitorSample& sample) { return PyLong_FromLongLong(sample.timestamp_ms); });
}

}  // namespace

PyObject* window_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_entry(PyExc_RuntimeError, [&]() -> PyObject* {
        std::array<PyObject*, events_parameters.size()> bound{};
        if (!bind_arguments(events_signature, args, nargs, kwnames, bound)) return nullptr;
        const Converted<Utf8Text> text = convert_text(bound[0], "text");
        if (!text) return nullptr;
        const Converted<InputKind> kind = convert_kind(bound[1]);
        if (!kind) return nullptr;
        bool last_only = false;
        PyObject* last_only_arg = bound[6] == Py_None ? nullptr : bound[6];
        if (last_only_arg != nullptr) {
            const Converted<bool> flag = convert_flag(last_only_arg, "last_only");
            if (!flag) return nullptr;
            last_only = *flag;
        }
        // A False last_only is no option at all for an analysis request.
        const CsvOptions options = {bound[2], bound[3], bound[4], bound[5],
                                                  last_only ? last_only_arg : nullptr};
        const std::optional<Recording> recording = read_recording(text->view(), *kind, options);
        if (!recording) return nullptr;
        const InputData& data = recording->data;

        // The windows of the report, analysed as the report analyses them:
        // a rolling run shares the work of overlapping windows.
        std::vector<WindowBounds> plan;
        std::vector<WindowAnalysis> analyses;
        if (!data.samples.empty()) {
            const std::int64_t first_ms = data.samples.front().timestamp_ms;
            const std::int64_t last_ms = data.samples.back().timestamp_ms;
            if (last_only) {
                plan.push_back(fhr_core::last_window_bounds(first_ms, last_ms, recording->settings));
                analyses = fhr_core::analyze_last_window(data, recording->settings).windows;
            } else {
                if (!check_window_count(fhr_core::count_windows(data, recording->settings))) return nullptr;
                plan = fhr_core::plan_windows(first_ms, last_ms, recording->settings);
                analyses = fhr_core::analyze_rolling_windows(data, recording->settings).windows;
            }
        }

        PyRef windows(PyList_New(static_cast<Py_ssize_t>(plan.size())));
        if (!windows) return nullptr;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            PyObject* item = window_value(analyses[i], plan[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(windows.get(), static_cast<Py_ssize_t>(i), item);
        }
        return windows.release();
    });
}

PyObject* recording_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_entry(PyExc_RuntimeError, [&]() -> PyObject* {
        std::array<PyObject*, trace_parameters.size()> bound{};
        if (!bind_arguments(trace_signature, args, nargs, kwnames, bound)) return nullptr;
        const Converted<Utf8Text> text = convert_text(bound[0], "text");
        if (!text) return nullptr;
        const Converted<InputKind> kind = convert_kind(bound[1]);
        if (!kind) return nullptr;
        const std::optional<Recording> recording = read_recording(text->view(), *kind, CsvOptions{});
        if (!recording) return nullptr;
        const InputData& data = recording->data;

        using fhr_core::MonitorSample;
        PyRef trace(PyDict_New());
        if (!trace || !set_item(trace.get(), "timestamp_ms", times_list(data)) ||
            !set_item(trace.get(), "hr1", column_list(data, &MonitorSample::hr1)) ||
            !set_item(trace.get(), "hr2", column_list(data, &MonitorSample::hr2)) ||
            !set_item(trace.get(), "hr3", column_list(data, &MonitorSample::hr3)) ||
            !set_item(trace.get(), "hrm", column_list(data, &MonitorSample::hrm)) ||
            !set_item(trace.get(), "toco", column_list(data, &MonitorSample::toco))) {
            return nullptr;
        }
        return trace.release();
    });
}

}  // namespace pulsequill
