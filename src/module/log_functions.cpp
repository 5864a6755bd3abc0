// The module-level checks of tree heads and proofs: they need no gate object
// and no database. Argument conversion only; the checks live in src/log.
#include "log/verify.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"

namespace orvane::binding {
namespace {

#define FAST_FN PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

PyObject* verify_tree_head_call(FAST_FN) {
    static const char* const names[] = {"note", "public_key"};
    PyObject* a[2];
    if (!bind_fast({"verify_tree_head", names, 2, 2}, args, nargs, kwnames, a)) return nullptr;
    std::string_view note, key;
    if (!to_str(a[0], "note", note) || !to_str(a[1], "public_key", key)) return nullptr;
    return to_python(log::verify_tree_head(note, key), PyExc_RuntimeError);
}

PyObject* verify_inclusion_call(FAST_FN) {
    static const char* const names[] = {"note", "public_key", "event_json", "proof_json"};
    PyObject* a[4];
    if (!bind_fast({"verify_inclusion", names, 4, 4}, args, nargs, kwnames, a)) return nullptr;
    std::string_view note, key, event, proof;
    if (!to_str(a[0], "note", note) || !to_str(a[1], "public_key", key) || !to_str(a[2], "event_json", event) ||
        !to_str(a[3], "proof_json", proof))
        return nullptr;
    return to_python(log::verify_inclusion(note, key, event, proof), PyExc_RuntimeError);
}

PyObject* verify_consistency_call(FAST_FN) {
    static const char* const names[] = {"old_note", "new_note", "public_key", "proof_json"};
    PyObject* a[4];
    if (!bind_fast({"verify_consistency", names, 4, 4}, args, nargs, kwnames, a)) return nullptr;
    std::string_view old_note, new_note, key, proof;
    if (!to_str(a[0], "old_note", old_note) || !to_str(a[1], "new_note", new_note) ||
        !to_str(a[2], "public_key", key) || !to_str(a[3], "proof_json", proof))
        return nullptr;
    return to_python(log::verify_consistency(old_note, new_note, key, proof), PyExc_RuntimeError);
}

#define FUNCTION(name, fn, sig) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n"}

PyMethodDef log_functions[] = {
    FUNCTION("verify_tree_head", verify_tree_head_call, "verify_tree_head(note, public_key)"),
    FUNCTION("verify_inclusion", verify_inclusion_call, "verify_inclusion(note, public_key, event_json, proof_json)"),
    FUNCTION("verify_consistency", verify_consistency_call,
             "verify_consistency(old_note, new_note, public_key, proof_json)"),
};

}  // namespace

int add_log_functions(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    for (PyMethodDef& def : log_functions) {
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
