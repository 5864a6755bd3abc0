// The module-level verification functions: checkpoint streams and
// authorization results checked under a key the caller gives, and the summary
// of a permit. No gate object, no database.
#include "authorization/offline_verification.hpp"
#include "events/event_ops.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"

namespace orvane::binding {
namespace {

#define FAST_ARGS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

PyObject* verify_checkpoint_stream_call(FAST_ARGS) {
    static const char* const names[] = {"checkpoint", "stream", "public_key"};
    PyObject* a[3];
    if (!bind_fast({"verify_checkpoint_stream", names, 3, 3}, args, nargs, kwnames, a)) return nullptr;
    std::string_view checkpoint, stream, public_key;
    if (!to_str(a[0], "checkpoint", checkpoint) || !to_str(a[1], "stream", stream) ||
        !to_str(a[2], "public_key", public_key))
        return nullptr;
    return to_python(verify_checkpoint_stream_with_key(checkpoint, stream, public_key), PyExc_RuntimeError);
}

PyObject* verify_authorization_call(FAST_ARGS) {
    static const char* const names[] = {"result", "public_key"};
    PyObject* a[2];
    if (!bind_fast({"verify_authorization", names, 2, 2}, args, nargs, kwnames, a)) return nullptr;
    std::string_view result, public_key;
    if (!to_str(a[0], "result", result) || !to_str(a[1], "public_key", public_key)) return nullptr;
    return to_python(verify_authorization_under_key(result, public_key), PyExc_RuntimeError);
}

PyObject* permit_info_call(FAST_ARGS) {
    static const char* const names[] = {"permit"};
    PyObject* a[1];
    if (!bind_fast({"permit_info", names, 1, 1}, args, nargs, kwnames, a)) return nullptr;
    std::string_view permit;
    if (!to_str(a[0], "permit", permit)) return nullptr;
    return to_python(permit_info(permit), PyExc_RuntimeError);
}

#define FAST(name, fn, sig) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n"}

PyMethodDef functions[] = {
    FAST("verify_checkpoint_stream", verify_checkpoint_stream_call, "verify_checkpoint_stream(checkpoint, stream, public_key)"),
    FAST("verify_authorization", verify_authorization_call, "verify_authorization(result, public_key)"),
    FAST("permit_info", permit_info_call, "permit_info(permit)"),
};

}  // namespace

int add_verification_functions(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    for (PyMethodDef& def : functions) {
        PyObject* function = PyCFunction_NewEx(&def, nullptr, module_name);
        if (!function || PyModule_AddObject(module, def.ml_name, function) < 0) {
            Py_XDECREF(function);
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    return 0;
}

}  // namespace orvane::binding
