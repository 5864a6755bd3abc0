// Module entry: multi-phase initialisation with one execution step that adds
// OrvaneDDB, OrvaneExecutor, gen_keys, verify_evidence and the module-level
// verification functions.
#include "evidence/evidence_ops.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"
#include "primitives/keys.hpp"

namespace orvane::binding {
namespace {

PyObject* gen_keys_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"output"};
    PyObject* a[1];
    if (!bind_fast({"gen_keys", names, 1, 1}, args, nargs, kwnames, a)) return nullptr;
    std::string_view output;
    if (!to_path(a[0], "output", output)) return nullptr;
    return to_python(gen_keys(std::string(output)), PyExc_RuntimeError);
}

PyMethodDef gen_keys_def = {"gen_keys",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_keys_call)),
                            METH_FASTCALL | METH_KEYWORDS, "gen_keys(output)\n--\n\n"};

PyObject* verify_evidence_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"evidence_json", "trusted_gate_public_key"};
    PyObject* a[2];
    if (!bind_fast({"verify_evidence", names, 2, 2}, args, nargs, kwnames, a)) return nullptr;
    std::string_view evidence, key;
    if (!to_str(a[0], "evidence_json", evidence) || !to_str(a[1], "trusted_gate_public_key", key)) return nullptr;
    return to_python(verify_evidence(evidence, key), PyExc_RuntimeError);
}

PyMethodDef verify_evidence_def = {
    "verify_evidence", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_evidence_call)),
    METH_FASTCALL | METH_KEYWORDS, "verify_evidence(evidence_json, trusted_gate_public_key)\n--\n\n"};

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* function = PyCFunction_NewEx(def, nullptr, module_name);
    Py_DECREF(module_name);
    if (!function) return -1;
    if (PyModule_AddObject(module, def->ml_name, function) < 0) {
        Py_DECREF(function);
        return -1;
    }
    return 0;
}

int add_attribute(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    if (!panic_exception()) return -1;
    if (add_attribute(module, "OrvaneDDB", create_gate_type(module)) < 0) return -1;
    if (add_attribute(module, "OrvaneExecutor", create_executor_type(module)) < 0) return -1;
    if (add_attribute(module, "OrvaneWitness", create_witness_type(module)) < 0) return -1;
    if (add_function(module, &gen_keys_def) < 0) return -1;
    if (add_function(module, &verify_evidence_def) < 0) return -1;
    if (add_verification_functions(module) < 0) return -1;
    return add_log_functions(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_orvane_ddb", "", 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace
}  // namespace orvane::binding

PyMODINIT_FUNC PyInit__orvane_ddb() { return PyModuleDef_Init(&orvane::binding::module_def); }
