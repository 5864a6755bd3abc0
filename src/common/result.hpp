// Every operation of the core returns either its value or one failure message.
// The message travels up unchanged; only the binding layer turns it into a
// Python exception.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace orvane {

template <class T>
using Result = std::expected<T, std::string>;

using Status = Result<void>;

inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace orvane

// Propagates the failure of an expression yielding a Result<void>.
#define ORVANE_TRY(expr)                                                  \
    do {                                                                  \
        auto orvane_try_result_ = (expr);                                 \
        if (!orvane_try_result_) return ::orvane::fail(std::move(orvane_try_result_.error())); \
    } while (0)
