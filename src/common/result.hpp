// Every operation of the core returns either its value or one failure message.
// The message travels up unchanged; only the binding layer turns it into a
// Python exception.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

// std::expected with the failure message as its error. The type is
// [[nodiscard]], so every function returning a Result is too: a failure can
// be passed up or deliberately ignored (with the reason at the call), never
// dropped by accident.
template <class T>
class [[nodiscard]] Result : public std::expected<T, std::string> {
    using Base = std::expected<T, std::string>;

public:
    using Base::Base;
    Result() = default;
    Result(Base other) : Base(std::move(other)) {}

    // The same result with `prefix` put in front of a failure's message; a
    // value passes unchanged:
    //   ORVANE_TRY(tx.commit().with_context("Failed to commit outcome transaction: "));
    Result with_context(std::string_view prefix) && {
        if (!this->has_value()) this->error().insert(0, prefix);
        return std::move(*this);
    }
};

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

#define ORVANE_RESULT_CONCAT_INNER_(a, b) a##b
#define ORVANE_RESULT_CONCAT_(a, b) ORVANE_RESULT_CONCAT_INNER_(a, b)

// Evaluates an expression yielding a Result<T>: on failure returns the
// failure from the enclosing function, else moves the value into `lhs`
// (a declaration such as `auto x` or `const std::string x`, or an lvalue):
//   ORVANE_ASSIGN_OR_RETURN(auto stmt, Statement::prepare(db, sql));
// The expression may hold commas; the declaration may not.
#define ORVANE_ASSIGN_OR_RETURN(lhs, ...) \
    ORVANE_ASSIGN_OR_RETURN_IMPL_(ORVANE_RESULT_CONCAT_(orvane_assigned_, __LINE__), lhs, __VA_ARGS__)

#define ORVANE_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, ...)                       \
    auto tmp = (__VA_ARGS__);                                             \
    if (!tmp) return ::orvane::fail(std::move(tmp.error()));              \
    lhs = std::move(*tmp)
