// The extension module pulsequill._native: its initialiser and the two entry
// functions. Each function binds and converts its arguments, runs one whole
// analysis (reader, window driver, report writer) and returns the report as a
// str. The core reports failures as messages; here they become ValueError.
// No C++ exception crosses into the interpreter.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/csv_input.hpp"
#include "fhr_core/json_input.hpp"
#include "python_binding.hpp"

namespace {

using pulsequill::bind_arguments;
using pulsequill::Converted;
using pulsequill::convert_flag;
using pulsequill::check_window_count;
using pulsequill::convert_text;
using pulsequill::guard_entry;
using pulsequill::Utf8Text;
using pulsequill::convert_whole_number;
using pulsequill::convert_optional_whole_number;
using pulsequill::largest_u8;
using pulsequill::largest_u32;
using pulsequill::raise_message;
using pulsequill::FunctionSignature;
using pulsequill::PyRef;

// The module's PanicException class: an internal fault, deliberately not an
// Exception so that a broad `except Exception` does not swallow it.
PyObject* panic_exception = nullptr;

PyObject* report_text(const fhr_core::AnalysisReport& report) {
    const std::string json = fhr_core::report_as_json(report);
    return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
}

// ------------------------------------------------------------ entry functions

constexpr std::array<const char*, 1> json_parameters = {"request_json"};
constexpr FunctionSignature json_signature = {"analyze_json_string", json_parameters, 1};

PyObject* analyze_json_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_entry(panic_exception, [&]() -> PyObject* {
        std::array<PyObject*, json_parameters.size()> bound{};
        if (!bind_arguments(json_signature, args, nargs, kwnames, bound)) return nullptr;
        const Converted<Utf8Text> request_json = convert_text(bound[0], "request_json");
        if (!request_json) return nullptr;

        const auto request = fhr_core::read_analysis_request_json(request_json->view());
        if (!request) return raise_message(PyExc_ValueError, request.error());
        return report_text(fhr_core::analyze_rolling_windows(request->data, request->settings));
    });
}

constexpr std::array<const char*, 6> csv_parameters = {"csv_text", "channel",  "ga_weeks",
                                                       "window_min", "step_sec", "last_only"};
constexpr FunctionSignature csv_signature = {"analyze_csv_string", csv_parameters, 1};

PyObject* analyze_csv_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_entry(panic_exception, [&]() -> PyObject* {
        std::array<PyObject*, csv_parameters.size()> bound{};
        if (!bind_arguments(csv_signature, args, nargs, kwnames, bound)) return nullptr;

        // Conversion in parameter order: the first refused argument is reported.
        const Converted<Utf8Text> csv_text = convert_text(bound[0], "csv_text");
        if (!csv_text) return nullptr;
        const Converted<Utf8Text> channel_text =
            bound[1] == nullptr ? Converted<Utf8Text>(Utf8Text("HR1")) : convert_text(bound[1], "channel");
        if (!channel_text) return nullptr;
        const auto ga_weeks = convert_optional_whole_number(bound[2], "ga_weeks", largest_u8);
        if (!ga_weeks) return nullptr;
        const auto window_min = convert_optional_whole_number(bound[3], "window_min", largest_u32);
        if (!window_min) return nullptr;
        const Converted<std::uint64_t> step_sec = bound[4] == nullptr
                                                      ? Converted<std::uint64_t>(60)
                                                      : convert_whole_number(bound[4], "step_sec", largest_u32);
        if (!step_sec) return nullptr;
        const Converted<bool> last_only =
            bound[5] == nullptr ? Converted<bool>(false) : convert_flag(bound[5], "last_only");
        if (!last_only) return nullptr;

        // A bad recording is reported before a bad window length, which is
        // reported before a bad channel name.
        const auto data = fhr_core::read_monitor_csv_str(csv_text->view());
        if (!data) return raise_message(PyExc_ValueError, data.error());
        if (*window_min && (**window_min < 10 || **window_min > 30)) {
            return raise_message(PyExc_ValueError, "window_min must be between 10 and 30");
        }
        const auto channel = fhr_core::FetalChannel::parse(channel_text->view());
        if (!channel) return raise_message(PyExc_ValueError, channel.error());

        fhr_core::AnalysisSettings settings;
        if (*window_min) settings.window_minutes = static_cast<std::uint32_t>(**window_min);
        settings.step_seconds = std::max(static_cast<std::uint32_t>(*step_sec), std::uint32_t{1});
        if (*ga_weeks) settings.gestational_age_weeks = static_cast<std::uint8_t>(**ga_weeks);
        settings.channel = *channel;

        // Windows are independent, so the last one alone is analysed directly.
        if (*last_only) return report_text(fhr_core::analyze_last_window(*data, settings));
        if (!check_window_count(fhr_core::count_windows(*data, settings))) return nullptr;
        return report_text(fhr_core::analyze_rolling_windows(*data, settings));
    });
}

// ------------------------------------------------------------------- module

// The text before "\n--\n\n" is the signature Python's introspection shows;
// nothing follows it, so the functions' __doc__ is None.
PyMethodDef entry_functions[] = {
    {"analyze_json_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyze_json_string)),
     METH_FASTCALL | METH_KEYWORDS, "analyze_json_string(request_json)\n--\n\n"},
    {"analyze_csv_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyze_csv_string)),
     METH_FASTCALL | METH_KEYWORDS,
     "analyze_csv_string(csv_text, channel=\"HR1\", ga_weeks=None, window_min=None, step_sec=60, "
     "last_only=False)\n--\n\n"},
};

// m_size 0 rather than -1: CPython then calls the initialiser again for an
// import from another interpreter instead of copying this module's dict
// there, which lets the initialiser refuse it.
PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, set once by the first initialisation. All interpreters of a
// CPython 3.11 process share one GIL, so the initialiser never races itself.
struct LoadedModule {
    std::int64_t interpreter_id;
    PyObject* module;  // a strong reference, kept for the life of the process
};
std::optional<LoadedModule> loaded_module;

PyObject* create_module() noexcept {
    PyRef module(PyModule_Create(&native_module));
    if (!module) return nullptr;
    const PyRef module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    const PyRef all(PyList_New(0));
    if (!all) return nullptr;

    for (PyMethodDef& definition : entry_functions) {
        const PyRef function(PyCFunction_NewEx(&definition, module.get(), module_name.get()));
        if (!function) return nullptr;
        if (PyModule_AddObjectRef(module.get(), definition.ml_name, function.get()) < 0) return nullptr;
        const PyRef name(PyUnicode_FromString(definition.ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;

    PyRef panic(PyErr_NewExceptionWithDoc(
        "pulsequill._native.PanicException",
        "An internal fault of the analysis: a broken invariant, never a problem with the input.",
        PyExc_BaseException, nullptr));
    if (!panic) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic.get()) < 0) return nullptr;
    panic_exception = panic.release();
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1 && PyErr_Occurred()) return nullptr;

    if (loaded_module) {
        if (loaded_module->interpreter_id != interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "subinterpreters are not supported: pulsequill._native is already loaded in another "
                            "interpreter of this process");
            return nullptr;
        }
        return Py_NewRef(loaded_module->module);
    }

    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    loaded_module = LoadedModule{interpreter_id, Py_NewRef(module)};
    return module;
}
