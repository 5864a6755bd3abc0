// The module's types and functions, as the module's initialisation adds them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvane::binding {

PyObject* create_gate_type(PyObject* module);
PyObject* create_executor_type(PyObject* module);
PyObject* create_witness_type(PyObject* module);
// Adds gen_keys, verify_evidence and the verification functions of
// checkpoint streams, authorizations, permits, tree heads and proofs.
int add_functions(PyObject* module);

}  // namespace orvane::binding
