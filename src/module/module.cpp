// Module entry: multi-phase initialisation with one execution step that adds
// OrvaneDDB, OrvaneExecutor, gen_keys and the module-level functions.
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
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* function = PyCFunction_NewEx(&gen_keys_def, nullptr, module_name);
    Py_DECREF(module_name);
    if (add_attribute(module, gen_keys_def.ml_name, function) < 0) return -1;
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
