// The Python side of an entry function: owning references, binding the fast
// call's arguments to a parameter table, and converting each bound value. Every
// function here that can fail leaves a Python exception set and says so by its
// result; none throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace pulsequill {

// Owns one strong reference (or none) and drops it when it goes.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference; nullptr (a failed call) is allowed.
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (to return it, or to a stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// The parameters of an entry function, all positional-or-keyword; the first
// `required` of them have no default.
struct FunctionSignature {
    const char* name;
    std::span<const char* const> parameters;
    std::size_t required;
};

// Binds positional arguments from the left and keywords by exact name into
// `bound` (one borrowed reference per parameter, nullptr when omitted), with
// the TypeError messages of Python's own functions: too many positionals, an
// unknown keyword, a keyword for a filled parameter, a missing required one.
[[nodiscard]] bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::span<PyObject*> bound) noexcept;

// A converted argument; empty when the conversion raised.
template <class T>
using Converted = std::optional<T>;

// A `str` as UTF-8 for the length of one call. ASCII text (the usual case) is
// viewed in place; other text is encoded once into a buffer of exactly its
// UTF-8 length that goes with this value, instead of the copy CPython would
// build and then keep on the caller's str for as long as it lives.
class Utf8Text {
public:
    explicit Utf8Text(std::string_view borrowed) noexcept : view_(borrowed) {}
    Utf8Text(std::unique_ptr<char[]> owned, std::size_t size) noexcept
        : owned_(std::move(owned)), view_(owned_.get(), size) {}

    [[nodiscard]] std::string_view view() const noexcept { return view_; }

private:
    std::unique_ptr<char[]> owned_;
    std::string_view view_;
};

// A `str` argument as UTF-8; valid while `value` lives.
[[nodiscard]] Converted<Utf8Text> convert_text(PyObject* value, const char* name) noexcept;

// Any object Python can use as an index, from 0 to `largest`.
[[nodiscard]] Converted<std::uint64_t> convert_whole_number(PyObject* value, const char* name,
                                                            std::uint64_t largest) noexcept;

// Any object Python can use as an index, from 0 to `largest`; omitted (nullptr)
// and None both mean absent.
[[nodiscard]] Converted<std::optional<std::uint64_t>> convert_optional_whole_number(PyObject* value, const char* name,
                                                                                    std::uint64_t largest) noexcept;

// The largest values of the unsigned options.
inline constexpr std::uint64_t largest_u8 = 255;
inline constexpr std::uint64_t largest_u32 = 4'294'967'295;

// Raises `type` with the message as its only argument and returns nullptr.
// Messages may quote the caller's input, so they are decoded with replacement
// rather than trusted to be valid UTF-8, and never cut at an embedded NUL.
PyObject* raise_message(PyObject* type, std::string_view message) noexcept;

// Runs an entry function's body; whatever C++ throws below it (only an
// invariant the core failed to keep, or an exhausted heap) becomes a Python
// exception here, of `fault_type` unless it is MemoryError. No C++ exception
// crosses into the interpreter.
template <class Body>
PyObject* guard_entry(PyObject* fault_type, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return raise_message(fault_type, fault.what());
    } catch (...) {
        return raise_message(fault_type, "unknown internal fault");
    }
}

// A rolling report holds one record per window. Two samples decades apart
// with a one-second step would ask for billions of them: such a call is
// refused up front instead of hanging and exhausting memory. Raises
// MemoryError and returns false when `windows` is past the ceiling.
[[nodiscard]] bool check_window_count(std::uint64_t windows) noexcept;

// A `bool`, or a NumPy boolean scalar.
[[nodiscard]] Converted<bool> convert_flag(PyObject* value, const char* name) noexcept;

}  // namespace pulsequill
