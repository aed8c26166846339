// The private extension module pulsequill._support: small services of the core
// that the Python package needs beside the two entry functions of _native, so
// that the package never re-implements a rule of the core in Python. Each
// function converts its arguments, calls the core and turns a failure message
// into ValueError. No C++ exception crosses into the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "fhr_core/time.hpp"
#include "python_binding.hpp"
#include "support_events.hpp"

namespace {

// parse_timestamp(text, /) -> int: a monitor timestamp as epoch milliseconds,
// read by the same grammar as the CSV and JSON readers, with their messages.
PyObject* parse_timestamp(PyObject*, PyObject* argument) noexcept {
    if (!PyUnicode_Check(argument)) {
        PyErr_Format(PyExc_TypeError, "parse_timestamp() argument must be str, not %.200s",
                     Py_TYPE(argument)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(argument, &size);
    if (utf8 == nullptr) return nullptr;  // lone surrogates: Python's own UnicodeEncodeError
    const auto millis = fhr_core::parse_monitor_timestamp(std::string_view(utf8, static_cast<std::size_t>(size)));
    // The message quotes the caller's text: raise_message decodes it with replacement.
    if (!millis) return pulsequill::raise_message(PyExc_ValueError, millis.error());
    return PyLong_FromLongLong(*millis);
}

PyMethodDef support_methods[] = {
    {"parse_timestamp", parse_timestamp, METH_O,
     "parse_timestamp(text, /)\n--\n\n"
     "Milliseconds since 1970-01-01T00:00:00 UTC of a monitor timestamp such as\n"
     "'2024-03-01 10:15:02', '2024-03-01T10:15:02.250Z' or '2024-03-01 10:15:02+01:00'.\n"
     "Raises ValueError with the readers' own message when the text is not one."},
    PULSEQUILL_SUPPORT_EVENTS_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

// __all__ lists every function of the method table, so adding a function is
// one line in the table.
int add_exports(PyObject* module) noexcept {
    PyObject* names = PyList_New(0);
    if (names == nullptr) return -1;
    for (const PyMethodDef* method = support_methods; method->ml_name != nullptr; ++method) {
        PyObject* name = PyUnicode_FromString(method->ml_name);
        if (name == nullptr || PyList_Append(names, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(names);
            return -1;
        }
        Py_DECREF(name);
    }
    const int status = PyModule_AddObjectRef(module, "__all__", names);
    Py_DECREF(names);
    return status;
}

PyModuleDef_Slot support_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_exports)},
    {0, nullptr},
};

PyModuleDef support_module = {
    PyModuleDef_HEAD_INIT,
    "pulsequill._support",
    "Private services of the analysis core for the pulsequill package.",
    0,
    support_methods,
    support_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__support() { return PyModuleDef_Init(&support_module); }
