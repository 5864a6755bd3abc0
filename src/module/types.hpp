#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvane::binding {

PyObject* create_gate_type(PyObject* module);
PyObject* create_executor_type(PyObject* module);
PyObject* create_witness_type(PyObject* module);
PyObject* create_gen_keys_function(PyObject* module);
// Adds verify_checkpoint_stream, verify_authorization and permit_info.
int add_verification_functions(PyObject* module);
// Adds the tree head and proof verification functions to the module.
int add_log_functions(PyObject* module);

}  // namespace orvane::binding
