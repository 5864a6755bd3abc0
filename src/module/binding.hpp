// Shared pieces of the binding layer: argument binding and conversion, the
// owner-thread and borrow guard, and the mapping of results to Python values.
// Nothing here knows what an operation does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "ledger/ledger_ops.hpp"

namespace orvane::binding {

// A parameter list: names in order; the first `required` have no default.
struct Params {
    const char* function;  // for messages, e.g. "record"
    const char* const* names;
    int count;
    int required;
};

// Binds fast-call arguments to `out` (count slots; absent optional ones stay
// null). Raises TypeError in the host's usual wording.
bool bind_fast(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// Binds a classic (tuple, dict) call, for constructors.
bool bind_classic(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// The values a parameter's argument can become besides text, flags and
// integers. A path is text the operations take as a file name.
struct Path {
    std::string_view text;
    operator std::string() const { return std::string(text); }
};
struct OptionalPath {
    std::optional<std::string_view> text;
    operator std::optional<std::string>() const {
        return text ? std::optional<std::string>(std::string(*text)) : std::nullopt;
    }
};
// (payload, rules) pairs; the tuples stay referenced until the value goes, so
// that the text views stay valid for the whole call.
struct Decisions {
    std::vector<DecisionInput> items;
    std::vector<PyObject*> holders;
    Decisions() = default;
    Decisions(const Decisions&) = delete;
    Decisions& operator=(const Decisions&) = delete;
    ~Decisions();
    operator std::span<const DecisionInput>() const { return items; }
};

// One conversion per kind of value (`name` is the parameter's, for
// messages): false with a Python exception set on failure. An absent or None
// optional value is none. A path is a str without NUL characters (the
// operating system would end the path at the first one), else ValueError as
// Python's own open() words it.
bool convert_argument(PyObject* value, const char* name, std::string_view& out);
bool convert_argument(PyObject* value, const char* name, std::optional<std::string_view>& out);
bool convert_argument(PyObject* value, const char* name, Path& out);
bool convert_argument(PyObject* value, const char* name, OptionalPath& out);
bool convert_argument(PyObject* value, const char* name, bool& out);
bool convert_argument(PyObject* value, const char* name, std::uint64_t& out);
bool convert_argument(PyObject* value, const char* name, std::uint32_t& out);
bool convert_argument(PyObject* value, const char* name, Decisions& out);

// Result conversion: the failure message becomes the exception's argument.
PyObject* to_python(Result<std::string>&& result, PyObject* exception_class);
PyObject* to_python(Result<bool>&& result, PyObject* exception_class);
PyObject* to_python(Result<std::uint64_t>&& result, PyObject* exception_class);

// The state every object of the module carries besides its own payload.
struct Ownership {
    unsigned long owner_thread;
    int uses;  // > 0 shared uses, -1 one exclusive use
};

// One call's hold on an object: checks the owner thread, then takes a shared
// or exclusive use, released when the guard goes away.
class Use {
public:
    enum Kind { Shared, Exclusive };
    Use(Ownership& ownership, const char* type_name, Kind kind);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return held_; }

private:
    Ownership& ownership_;
    Kind kind_;
    bool held_ = false;
};

// Reports, through the unraisable hook, that an object is released on a
// thread that does not own it (its contents are abandoned).
void report_foreign_release(PyObject* object, const char* type_name);

// The panic exception (derives from BaseException; not a module attribute).
PyObject* panic_exception();

}  // namespace orvane::binding
