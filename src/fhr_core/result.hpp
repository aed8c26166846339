// Results instead of exceptions: every fallible operation of the core returns
// its value or an English message; only the Python entry functions turn a
// message into an exception.
#pragma once

#include <expected>
#include <string>

namespace fhr_core {

template <class T>
using Result = std::expected<T, std::string>;

// Builds the failure side of a Result from a message.
inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace fhr_core
