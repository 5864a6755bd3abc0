// Argument binding and conversion, shared by every callable of the module,
// and the mapping of results to Python values.
#include <cstring>

#include "module/binding.hpp"

namespace orvane::binding {
namespace {

// The type name of an object, for messages (no PyType_GetName on 3.10).
std::string type_name(PyObject* value) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
    std::string text = "object";
    if (name) {
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr)) text = utf8;
        Py_DECREF(name);
    }
    PyErr_Clear();
    return text;
}

int find_param(const Params& params, PyObject* key) {
    for (int i = 0; i < params.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) return i;
    return -1;
}

bool too_many(const Params& params, Py_ssize_t given) {
    if (params.required == params.count)
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd were given",
                     params.function, params.count, given);
    else
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given",
                     params.function, params.required, params.count, given);
    return false;
}

bool place_keyword(const Params& params, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    const int index = find_param(params, key);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", params.function, key);
        return false;
    }
    if (index < nargs || out[index]) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                     params.function, params.names[index], index + 1);
        return false;
    }
    out[index] = value;
    return true;
}

bool check_required(const Params& params, PyObject** out) {
    for (int i = 0; i < params.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", params.function,
                         params.names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_fast(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    if (nargs > params.count) return too_many(params, nargs);
    for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(params, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
    return check_required(params, out);
}

bool bind_classic(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs > params.count) return too_many(params, nargs);
    for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(params, key, value, nargs, out)) return false;
    }
    return check_required(params, out);
}

bool convert_argument(PyObject* value, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'", name,
                     type_name(value).c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // UnicodeEncodeError for lone surrogates
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_argument(PyObject* value, const char* name, std::optional<std::string_view>& out) {
    if (!value || value == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!convert_argument(value, name, text)) return false;
    out = text;
    return true;
}

namespace {
bool free_of_nul(std::string_view path) {
    if (path.find('\0') == std::string_view::npos) return true;
    PyErr_SetString(PyExc_ValueError, "embedded null character in path");
    return false;
}
}  // namespace

bool convert_argument(PyObject* value, const char* name, Path& out) {
    return convert_argument(value, name, out.text) && free_of_nul(out.text);
}

bool convert_argument(PyObject* value, const char* name, OptionalPath& out) {
    return convert_argument(value, name, out.text) && (!out.text || free_of_nul(*out.text));
}

bool convert_argument(PyObject* value, const char* name, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    // Numeric libraries' boolean scalars (numpy.bool_) convert by truth value.
    const std::string type = type_name(value);
    if (type == "bool_" || type == "bool") {
        PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__module__");
        const bool numeric = module && PyUnicode_Check(module) &&
                             PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
        Py_XDECREF(module);
        PyErr_Clear();
        if (numeric) {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) return false;
            out = truth == 1;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBool'", name,
                 type.c_str());
    return false;
}

bool convert_argument(PyObject* value, const char* name, std::uint64_t& out) {
    if (!PyLong_Check(value) && !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer", name,
                     type_name(value).c_str());
        return false;
    }
    PyObject* number = PyNumber_Index(value);
    if (!number) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(number);  // OverflowError out of range
    Py_DECREF(number);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_argument(PyObject* value, const char* name, std::uint32_t& out) {
    std::uint64_t wide = 0;
    if (!convert_argument(value, name, wide)) return false;
    if (wide > 0xFFFFFFFFULL) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

Decisions::~Decisions() {
    for (PyObject* holder : holders) Py_DECREF(holder);
}

bool convert_argument(PyObject* value, const char*, Decisions& out) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "argument 'decisions': object cannot be converted to 'Sequence'");
        return false;
    }
    PyObject* iterator = PyObject_GetIter(value);
    if (!iterator) return false;
    const Py_ssize_t hint = PySequence_Size(value);
    if (hint > 0) out.items.reserve(static_cast<std::size_t>(hint));
    if (hint < 0) PyErr_Clear();
    PyObject* item;
    bool ok = true;
    while (ok && (item = PyIter_Next(iterator))) {
        out.holders.push_back(item);
        DecisionInput input;
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "argument 'decisions': each item must be a tuple of two str (payload, rules)");
            ok = false;
        } else {
            ok = convert_argument(PyTuple_GetItem(item, 0), "decisions", input.payload) &&
                 convert_argument(PyTuple_GetItem(item, 1), "decisions", input.rules);
            if (ok) out.items.push_back(input);
        }
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
}

namespace {
// Sets the exception with the message as its single argument; the text is
// decoded leniently so that no byte of a message can fail the raise itself.
void raise(PyObject* exception_class, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(exception_class, text);
    Py_DECREF(text);
}
}  // namespace

PyObject* to_python(Result<std::string>&& result, PyObject* exception_class) {
    if (!result) {
        raise(exception_class, result.error());
        return nullptr;
    }
    PyObject* text = PyUnicode_FromStringAndSize(result->data(), static_cast<Py_ssize_t>(result->size()));
    // The operations check the stored text they hand out; should bytes that
    // are not UTF-8 still get through, the call fails as the operation would,
    // not with a decoding error the caller cannot expect.
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        raise(exception_class, "Result text is not valid UTF-8");
    }
    return text;
}

PyObject* to_python(Result<bool>&& result, PyObject* exception_class) {
    if (!result) {
        raise(exception_class, result.error());
        return nullptr;
    }
    return PyBool_FromLong(*result ? 1 : 0);
}

PyObject* to_python(Result<std::uint64_t>&& result, PyObject* exception_class) {
    if (!result) {
        raise(exception_class, result.error());
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*result);
}

}  // namespace orvane::binding
