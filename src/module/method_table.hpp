// Describing a callable once: its name, its parameters (kind and default),
// the exception its failures raise and the operation it calls. The parameter
// list that binds a call and the text signature Python shows are both read
// from that one description, and one set of trampolines serves every entry.
// Argument errors come first, then the object's use, then each conversion
// in parameter order, then the operation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binding.hpp"

namespace orvane::binding {

inline constexpr const char* kModuleName = "_orvane_ddb";

// One parameter: the C++ value `T` its argument becomes, and the default it
// takes when absent (none: the argument is required).
template <typename T, typename Default = T>
struct Param {
    using Value = T;
    const char* name;
    std::optional<Default> fallback;
};

constexpr Param<std::string_view> text(const char* name) { return {name, std::nullopt}; }
constexpr Param<std::string_view> text(const char* name, std::string_view fallback) { return {name, fallback}; }
constexpr Param<std::optional<std::string_view>> optional_text(const char* name) {
    return {name, std::optional<std::string_view>()};
}
constexpr Param<Path> path(const char* name) { return {name, std::nullopt}; }
constexpr Param<OptionalPath> optional_path(const char* name) { return {name, OptionalPath{}}; }
constexpr Param<bool> flag(const char* name, bool fallback) { return {name, fallback}; }
constexpr Param<std::uint64_t> u64(const char* name) { return {name, std::nullopt}; }
constexpr Param<std::uint64_t> u64(const char* name, std::uint64_t fallback) { return {name, fallback}; }
constexpr Param<std::uint32_t> u32(const char* name, std::uint32_t fallback) { return {name, fallback}; }
constexpr Param<Decisions, bool> decisions(const char* name) { return {name, std::nullopt}; }

// A default as Python writes it in a signature.
inline std::string shown(std::string_view value) { return "'" + std::string(value) + "'"; }
inline std::string shown(bool value) { return value ? "True" : "False"; }
inline std::string shown(std::uint64_t value) { return std::to_string(value); }
inline std::string shown(std::uint32_t value) { return std::to_string(value); }
inline std::string shown(const std::optional<std::string_view>&) { return "None"; }
inline std::string shown(const OptionalPath&) { return "None"; }
inline std::string shown(const Path& value) { return shown(value.text); }

// Converts one bound argument (null when absent) into its value.
template <typename T, typename Default>
bool convert(PyObject* argument, const Param<T, Default>& param, T& out) {
    if constexpr (std::is_same_v<T, Default>) {
        if (!argument && param.fallback) {
            out = *param.fallback;
            return true;
        }
    }
    return convert_argument(argument, param.name, out);
}

// What a description says besides its parameters and its operation.
struct Header {
    const char* name;
    PyObject** error = &PyExc_RuntimeError;  // raised with a failure's message
    Use::Kind use = Use::Shared;             // the hold a method takes on its object
    const char* doc = nullptr;               // text after the signature
};

template <typename Call, typename... Ps>
struct Method {
    static constexpr std::size_t count = sizeof...(Ps);
    Header header;
    Call call;
    std::tuple<Ps...> params;
    std::array<const char*, count> names;
    int required;

    constexpr Method(Header h, Call c, Ps... ps)
        : header(h), call(c), params(ps...), names{ps.name...}, required((0 + ... + (ps.fallback ? 0 : 1))) {
        // The binding takes the first `required` parameters as the required
        // ones: a table that puts one after a default does not compile.
        bool after_default = false;
        ((ps.fallback ? void(after_default = true)
                      : after_default ? throw "a required parameter follows one with a default" : void()),
         ...);
    }

    Params binding() const { return {header.name, names.data(), static_cast<int>(count), required}; }

    // The text signature: "name($self, a, b=1)\n--\n\n", then the text.
    std::string signature(bool bound) const {
        std::string out = std::string(header.name) + "(" + (bound ? "$self" : "");
        std::apply(
            [&](const auto&... ps) {
                bool first = !bound;
                ((out += first ? "" : ", ", first = false, out += ps.name,
                  ps.fallback ? void(out += "=" + shown(*ps.fallback)) : void()),
                 ...);
            },
            params);
        return out + ")\n--\n\n" + (header.doc ? header.doc : "");
    }

    // Converts the bound arguments in order and hands the operation's result,
    // called with `lead` before them, to `finish`.
    template <typename Finish, typename... Lead>
    PyObject* run_then(const std::array<PyObject*, count>& slots, Finish&& finish, Lead&... lead) const {
        return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
            std::tuple<typename Ps::Value...> values;
            if (!(convert(slots[I], std::get<I>(params), std::get<I>(values)) && ...)) return nullptr;
            return finish(call(lead..., std::get<I>(values)...));
        }(std::index_sequence_for<Ps...>{});
    }

    template <typename... Lead>
    PyObject* run(const std::array<PyObject*, count>& slots, Lead&... lead) const {
        return run_then(slots, [this](auto&& result) { return to_python(std::move(result), *header.error); }, lead...);
    }
};

// The storage of every object of the module: the payload the core hands out
// and the owner-thread state. `Host` names the payload, its deleter and the
// type's name, e.g. "OrvaneDDB".
template <typename Host>
struct Holder {
    PyObject_HEAD
    typename Host::Payload* payload;
    Ownership ownership;
};

template <typename Host>
Holder<Host>& holder(PyObject* self) {
    return *reinterpret_cast<Holder<Host>*>(self);
}

// The name the owner-thread messages give the type: "_orvane_ddb::OrvaneDDB".
template <typename Host>
const char* owner_name() {
    static const std::string name = std::string(kModuleName) + "::" + Host::name;
    return name.c_str();
}

template <const auto& M, bool Bound>
const char* signature_of() {
    static const std::string text = M.signature(Bound);
    return text.c_str();
}

template <typename Host, const auto& M>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, std::remove_cvref_t<decltype(M)>::count> slots;
    if (!bind_fast(M.binding(), args, nargs, kwnames, slots.data())) return nullptr;
    Use use(holder<Host>(self).ownership, owner_name<Host>(), M.header.use);
    if (!use) return nullptr;
    return M.run(slots, *holder<Host>(self).payload);
}

template <typename Host, const auto& M>
PyObject* call_method_without_arguments(PyObject* self, PyObject*) {
    Use use(holder<Host>(self).ownership, owner_name<Host>(), M.header.use);
    if (!use) return nullptr;
    return to_python(M.call(*holder<Host>(self).payload), *M.header.error);
}

template <const auto& M>
PyObject* call_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, std::remove_cvref_t<decltype(M)>::count> slots;
    if (!bind_fast(M.binding(), args, nargs, kwnames, slots.data())) return nullptr;
    return M.run(slots);
}

template <typename F>
PyCFunction as_function(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A method of `Host`'s type; one without parameters takes no arguments at all.
template <typename Host, const auto& M>
PyMethodDef method() {
    if constexpr (std::remove_cvref_t<decltype(M)>::count == 0)
        return {M.header.name, call_method_without_arguments<Host, M>, METH_NOARGS, signature_of<M, true>()};
    else
        return {M.header.name, as_function(call_method<Host, M>), METH_FASTCALL | METH_KEYWORDS,
                signature_of<M, true>()};
}

// A module-level function.
template <const auto& M>
PyMethodDef function() {
    return {M.header.name, as_function(call_function<M>), METH_FASTCALL | METH_KEYWORDS, signature_of<M, false>()};
}

// The method table of `Host`'s type, ended by a null entry as Python wants.
template <typename Host, const auto&... Ms>
PyMethodDef* methods() {
    static PyMethodDef table[] = {method<Host, Ms>()..., {nullptr, nullptr, 0, nullptr}};
    return table;
}

template <const auto&... Ms>
PyMethodDef* functions() {
    static PyMethodDef table[] = {function<Ms>()..., {nullptr, nullptr, 0, nullptr}};
    return table;
}

// The constructor `M` opens the payload; its failure raises M's exception.
template <typename Host, const auto& M>
PyObject* new_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, std::remove_cvref_t<decltype(M)>::count> slots;
    if (!bind_classic(M.binding(), args, kwargs, slots.data())) return nullptr;
    return M.run_then(slots, [type](auto&& opened) -> PyObject* {
        if (!opened) return to_python(Result<std::string>(fail(std::move(opened.error()))), *M.header.error);
        auto* self = reinterpret_cast<Holder<Host>*>(PyType_GenericAlloc(type, 0));
        if (!self) return nullptr;
        self->payload = opened->release();
        self->ownership = {PyThread_get_thread_ident(), 0};
        return reinterpret_cast<PyObject*>(self);
    });
}

template <typename Host>
void release_object(PyObject* object) {
    Holder<Host>& self = holder<Host>(object);
    PyTypeObject* type = Py_TYPE(object);
    if (self.payload) {
        // Released on another thread, the mistake is reported; the contents
        // are still released (nothing else can reach them any more), so
        // connections are closed, pool threads ended and keys wiped rather
        // than left in memory.
        if (PyThread_get_thread_ident() != self.ownership.owner_thread)
            report_foreign_release(object, owner_name<Host>());
        typename Host::Deleter{}(self.payload);
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

// Creates `Host`'s type: constructed by `Constructor`, with `methods` (ended
// by a null entry) and the constructor's signature as its text.
template <typename Host, const auto& Constructor>
PyObject* create_type(PyObject* module, PyMethodDef* methods) {
    static const std::string qualified = std::string(kModuleName) + "." + Host::name;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(new_object<Host, Constructor>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(release_object<Host>)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(signature_of<Constructor, false>())},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        .name = qualified.c_str(),
        .basicsize = static_cast<int>(sizeof(Holder<Host>)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace orvane::binding
