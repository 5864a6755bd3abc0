// Typed queries over a connection: prepare, bind the arguments to ?1..?N in
// order, step and read, with one failure prefix for every SQLite error on
// the way.
//
//   storage::Queries q{db, "Failed to read authorization: "};
//   ORVANE_ASSIGN_OR_RETURN(auto json, q.query_one<std::string>(
//       "SELECT authorization_json FROM action_authorizations WHERE authorization_id = ?1", id));
//
// Arguments: text (std::string, std::string_view, const char*), integers
// (signed ones as SQLite integers, unsigned ones as their two's complement
// image, as Statement::bind_uint64), std::nullptr_t for NULL and
// std::optional<T> for "NULL when absent". Columns read by query_one: text as
// std::string (NULL reads as ""), std::int64_t, std::uint64_t (the image read
// back), bool (non-zero), std::optional<std::string> (NULL reads as nullopt),
// or a named row struct with `static Result<Row> from_row(const Statement&)`
// (its failures are the struct's own, unprefixed).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane::storage {

namespace query_detail {

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
Status bind_one(Statement& stmt, int index, const T& value) {
    if constexpr (std::is_same_v<T, std::nullptr_t>) {
        return stmt.bind_null(index);
    } else if constexpr (is_optional<T>::value) {
        if (!value) return stmt.bind_null(index);
        return bind_one(stmt, index, *value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return stmt.bind_int64(index, value ? 1 : 0);
    } else if constexpr (std::signed_integral<T>) {
        return stmt.bind_int64(index, static_cast<std::int64_t>(value));
    } else if constexpr (std::unsigned_integral<T>) {
        return stmt.bind_uint64(index, static_cast<std::uint64_t>(value));
    } else {
        static_assert(std::is_convertible_v<const T&, std::string_view>, "unsupported SQL argument type");
        return stmt.bind_text(index, std::string_view(value));
    }
}

template <class T>
concept RowStruct = requires(const Statement& stmt) {
    { T::from_row(stmt) } -> std::convertible_to<Result<T>>;
};

template <class T>
T read_column(const Statement& stmt, int index) {
    if constexpr (std::is_same_v<T, std::string>) {
        return std::string(stmt.column_text(index));
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        if (stmt.column_is_null(index)) return std::nullopt;
        return std::string(stmt.column_text(index));
    } else if constexpr (std::is_same_v<T, bool>) {
        return stmt.column_int64(index) != 0;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return stmt.column_int64(index);
    } else {
        static_assert(std::is_same_v<T, std::uint64_t>, "unsupported column type");
        return static_cast<std::uint64_t>(stmt.column_int64(index));
    }
}

template <class... Ts, std::size_t... I>
std::tuple<Ts...> read_columns(const Statement& stmt, std::index_sequence<I...>) {
    return std::tuple<Ts...>(read_column<Ts>(stmt, static_cast<int>(I))...);
}

}  // namespace query_detail

// Binds `args` to the parameters ?1..?N of `stmt`; the failure is SQLite's text.
template <class... Args>
Status bind_all(Statement& stmt, const Args&... args) {
    int index = 0;
    Status bound;
    // Stops at the first failure.
    (void)((bound = query_detail::bind_one(stmt, ++index, args), bool(bound)) && ...);
    return bound;
}

// The queries of one connection under one failure prefix. Cheap to make:
// make one where it is used.
class Queries {
public:
    Queries(const Connection& db, std::string_view failure_prefix) : db_(db), prefix_(failure_prefix) {}
    // Failures are SQLite's text alone.
    explicit Queries(const Connection& db) : db_(db) {}

    // The statement prepared with its arguments bound, for callers that step
    // through rows themselves (with `step`).
    template <class... Args>
    [[nodiscard]] Result<Statement> prepare(std::string_view sql, const Args&... args) const {
        auto stmt = Statement::prepare(db_, sql);
        if (!stmt) return failed(std::move(stmt.error()));
        if (auto bound = bind_all(*stmt, args...); !bound) return failed(std::move(bound.error()));
        return stmt;
    }

    // The next row of a statement from `prepare`: true while there is one.
    [[nodiscard]] Result<bool> step(Statement& stmt) const {
        auto row = stmt.step();
        if (!row) return failed(std::move(row.error()));
        return *row;
    }

    // Runs a statement that returns no rows.
    template <class... Args>
    [[nodiscard]] Status execute(std::string_view sql, const Args&... args) const {
        ORVANE_ASSIGN_OR_RETURN(auto stmt, prepare(sql, args...));
        if (auto done = stmt.run(); !done) return failed(std::move(done.error()));
        return {};
    }

    // Whether the query returns a row whose first column is not 0: fits
    // "SELECT EXISTS(...)" and "SELECT 1 FROM ... WHERE ...".
    template <class... Args>
    [[nodiscard]] Result<bool> exists(std::string_view sql, const Args&... args) const {
        ORVANE_ASSIGN_OR_RETURN(auto stmt, prepare(sql, args...));
        ORVANE_ASSIGN_OR_RETURN(const bool row, step(stmt));
        return row && stmt.column_int64(0) != 0;
    }

    // The first row, read as one value (one type) or a tuple (several);
    // nullopt when there is none.
    template <class... Ts, class... Args>
    [[nodiscard]] auto query_one(std::string_view sql, const Args&... args) const {
        using Value = std::conditional_t<sizeof...(Ts) == 1, std::tuple_element_t<0, std::tuple<Ts...>>,
                                         std::tuple<Ts...>>;
        using Out = Result<std::optional<Value>>;
        auto stmt = prepare(sql, args...);
        if (!stmt) return Out(fail(std::move(stmt.error())));
        auto row = step(*stmt);
        if (!row) return Out(fail(std::move(row.error())));
        if (!*row) return Out(std::optional<Value>());
        if constexpr (sizeof...(Ts) == 1 && query_detail::RowStruct<Value>) {
            auto read = Value::from_row(*stmt);
            if (!read) return Out(fail(std::move(read.error())));
            return Out(std::optional<Value>(std::move(*read)));
        } else if constexpr (sizeof...(Ts) == 1) {
            return Out(std::optional<Value>(query_detail::read_column<Value>(*stmt, 0)));
        } else {
            return Out(std::optional<Value>(
                query_detail::read_columns<Ts...>(*stmt, std::index_sequence_for<Ts...>{})));
        }
    }

private:
    std::unexpected<std::string> failed(std::string message) const {
        message.insert(0, prefix_);
        return fail(std::move(message));
    }

    const Connection& db_;
    std::string_view prefix_;
};

}  // namespace orvane::storage
