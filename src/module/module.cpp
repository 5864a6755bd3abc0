// Module entry: multi-phase initialisation with one execution step that adds
// the three types and the module-level functions.
#include "module/method_table.hpp"
#include "module/types.hpp"

namespace orvane::binding {
namespace {

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
    return add_functions(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName,
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace orvane::binding

PyMODINIT_FUNC PyInit__orvane_ddb() { return PyModuleDef_Init(&orvane::binding::module_def); }
