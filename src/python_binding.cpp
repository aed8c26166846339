#include "python_binding.hpp"

#include <algorithm>
#include <new>

namespace pulsequill {
namespace {

constexpr std::size_t no_parameter = static_cast<std::size_t>(-1);

std::size_t parameter_index(const FunctionSignature& signature, PyObject* keyword) noexcept {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) return i;
    }
    return no_parameter;
}

// A conversion that refused the value's type raised TypeError with its own
// message; the caller sees which argument it was: "argument 'name': " + that
// message. The new error keeps the original's cause but is not chained to the
// original itself. Any other error (overflow, encoding) passes unchanged.
void name_argument_in_type_error(const char* name) noexcept {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type != PyExc_TypeError) {
        PyErr_Restore(raw_type, raw_value, raw_traceback);
        return;
    }
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    const PyRef type(raw_type);
    const PyRef value(raw_value);
    const PyRef traceback(raw_traceback);

    const PyRef original_message(PyObject_Str(value.get()));
    if (!original_message) return;
    const PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, original_message.get()));
    if (!message) return;
    PyRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    if (PyObject* cause = PyException_GetCause(value.get())) PyException_SetCause(error.get(), cause);
    PyErr_SetObject(PyExc_TypeError, error.get());
}

void raise_wrong_type(PyObject* value, const char* name, const char* expected) noexcept {
    const PyRef type_name(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name, type_name.get(),
                 expected);
}

bool is_text(PyObject* object, const char* text) noexcept {
    return PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, text) == 0;
}

// NumPy's boolean scalar is numpy.bool_ (numpy.bool since NumPy 2). Matched
// by name so that the module works without NumPy installed.
Converted<bool> is_numpy_bool(PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    const PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) return std::nullopt;
    if (!is_text(module.get(), "numpy")) return false;
    const PyRef type_name(PyType_GetName(type));
    if (!type_name) return std::nullopt;
    return is_text(type_name.get(), "bool_") || is_text(type_name.get(), "bool");
}

}  // namespace

bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) noexcept {
    const std::size_t count = signature.parameters.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > count) {
        const char* verb = given == 1 ? "was" : "were";
        if (signature.required == count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", signature.name,
                         count, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                         signature.name, signature.required, count, nargs, verb);
        }
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) bound[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = parameter_index(signature, keyword);
        if (index == no_parameter) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                         signature.parameters[index]);
            return false;
        }
        bound[index] = args[nargs + k];
    }

    // Both entry functions have a single required parameter, so a missing one
    // is always reported alone.
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", signature.name,
                         signature.parameters[i]);
            return false;
        }
    }
    return true;
}

namespace {

// UTF-8 bytes of the code points of one str representation, or nothing when
// one of them is a lone surrogate (which UTF-8 cannot carry).
template <class CodeUnit>
std::optional<std::size_t> utf8_size(const CodeUnit* units, std::size_t length) noexcept {
    std::size_t size = length;
    for (std::size_t i = 0; i < length; ++i) {
        const Py_UCS4 c = units[i];
        if (c < 0x80) continue;
        if (c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
        size += c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    }
    return size;
}

template <class CodeUnit>
void encode_utf8(const CodeUnit* units, std::size_t length, char* out) noexcept {
    const auto put = [&out](Py_UCS4 byte) { *out++ = static_cast<char>(byte); };
    for (std::size_t i = 0; i < length; ++i) {
        const Py_UCS4 c = units[i];
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
}

template <class CodeUnit>
Converted<Utf8Text> encoded(PyObject* value) noexcept {
    const auto* units = static_cast<const CodeUnit*>(PyUnicode_DATA(value));
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    const std::optional<std::size_t> size = utf8_size(units, length);
    if (!size) {
        // CPython's own encoder raises its UnicodeEncodeError for the surrogate.
        Py_ssize_t ignored = 0;
        if (PyUnicode_AsUTF8AndSize(value, &ignored) == nullptr) return std::nullopt;
        PyErr_SetString(PyExc_SystemError, "a lone surrogate went unreported");
        return std::nullopt;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[std::max<std::size_t>(*size, 1)]);
    if (!buffer) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    encode_utf8(units, length, buffer.get());
    return Utf8Text(std::move(buffer), *size);
}

}  // namespace

Converted<Utf8Text> convert_text(PyObject* value, const char* name) noexcept {
    if (!PyUnicode_Check(value)) {
        raise_wrong_type(value, name, "PyString");
        return std::nullopt;
    }
    if (PyUnicode_IS_ASCII(value)) {
        return Utf8Text(std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))));
    }
    switch (PyUnicode_KIND(value)) {
        case PyUnicode_1BYTE_KIND: return encoded<Py_UCS1>(value);
        case PyUnicode_2BYTE_KIND: return encoded<Py_UCS2>(value);
        default: return encoded<Py_UCS4>(value);
    }
}

Converted<std::uint64_t> convert_whole_number(PyObject* value, const char* name, std::uint64_t largest) noexcept {
    const PyRef index(PyNumber_Index(value));
    if (!index) {
        name_argument_in_type_error(name);
        return std::nullopt;
    }
    const long number = PyLong_AsLong(index.get());
    if (number == -1 && PyErr_Occurred()) return std::nullopt;  // beyond 64 bits: Python's own OverflowError
    if (number < 0 || static_cast<unsigned long>(number) > largest) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(number);
}

Converted<bool> convert_flag(PyObject* value, const char* name) noexcept {
    if (PyBool_Check(value)) return value == Py_True;
    const Converted<bool> numpy_bool = is_numpy_bool(value);
    if (!numpy_bool) return std::nullopt;
    if (!*numpy_bool) {
        raise_wrong_type(value, name, "PyBool");
        return std::nullopt;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

Converted<std::optional<std::uint64_t>> convert_optional_whole_number(PyObject* value, const char* name,
                                                                      std::uint64_t largest) noexcept {
    if (value == nullptr || value == Py_None) return std::optional<std::uint64_t>();
    const Converted<std::uint64_t> number = convert_whole_number(value, name, largest);
    if (!number) return std::nullopt;
    return std::optional<std::uint64_t>(*number);
}

bool check_window_count(std::uint64_t windows) noexcept {
    constexpr std::uint64_t max_report_windows = 1'000'000;
    if (windows <= max_report_windows) return true;
    PyErr_Format(PyExc_MemoryError, "the report would hold %llu analysis windows; at most %llu can be built",
                 static_cast<unsigned long long>(windows), static_cast<unsigned long long>(max_report_windows));
    return false;
}

PyObject* raise_message(PyObject* type, std::string_view message) noexcept {
    const PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace pulsequill
