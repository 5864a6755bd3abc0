// The OrvaneWitness Python type: argument conversion around the witness
// operations.
#include "log/witness.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"

namespace orvane::binding {
namespace {

constexpr const char* kTypeName = "_orvane_ddb::OrvaneWitness";

struct WitnessObject {
    PyObject_HEAD
    log::Witness* witness;
    Ownership ownership;
};

log::Witness& witness_of(PyObject* self) { return *reinterpret_cast<WitnessObject*>(self)->witness; }

#define USE()                                                                                 \
    Use use_(reinterpret_cast<WitnessObject*>(self)->ownership, kTypeName, Use::Shared);   \
    if (!use_) return nullptr

PyObject* m_add_tree_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"note", "public_key", "consistency_proof_json"};
    PyObject* a[3];
    if (!bind_fast({"add_tree_head", names, 3, 3}, args, nargs, kwnames, a)) return nullptr;
    USE();
    std::string_view note, key, proof;
    if (!to_str(a[0], "note", note) || !to_str(a[1], "public_key", key) ||
        !to_str(a[2], "consistency_proof_json", proof))
        return nullptr;
    return to_python(log::add_tree_head(witness_of(self), note, key, proof), PyExc_RuntimeError);
}

PyObject* m_split_views(PyObject* self, PyObject*) {
    USE();
    return to_python(log::split_views(witness_of(self)), PyExc_RuntimeError);
}

PyMethodDef witness_methods[] = {
    {"add_tree_head", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_add_tree_head)),
     METH_FASTCALL | METH_KEYWORDS, "add_tree_head($self, note, public_key, consistency_proof_json)\n--\n\n"},
    {"split_views", m_split_views, METH_NOARGS, "split_views($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* witness_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"db_path", "keyfile"};
    PyObject* a[2];
    if (!bind_classic({"OrvaneWitness", names, 2, 2}, args, kwargs, a)) return nullptr;
    std::string_view db_path, keyfile;
    if (!to_path(a[0], "db_path", db_path) || !to_path(a[1], "keyfile", keyfile)) return nullptr;
    auto witness = log::open_witness(std::string(db_path), std::string(keyfile));
    if (!witness) return to_python(Result<std::string>(fail(std::move(witness.error()))), PyExc_RuntimeError);
    auto* self = reinterpret_cast<WitnessObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->witness = witness->release();
    self->ownership = {PyThread_get_thread_ident(), 0};
    return reinterpret_cast<PyObject*>(self);
}

void witness_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<WitnessObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    if (self->witness) {
        if (PyThread_get_thread_ident() != self->ownership.owner_thread) report_foreign_release(object, kTypeName);
        delete self->witness;
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

PyType_Slot witness_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(witness_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(witness_dealloc)},
    {Py_tp_methods, witness_methods},
    {Py_tp_doc, const_cast<char*>("OrvaneWitness(db_path, keyfile)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec witness_spec = {"_orvane_ddb.OrvaneWitness", sizeof(WitnessObject), 0, Py_TPFLAGS_DEFAULT,
                            witness_slots};

}  // namespace

PyObject* create_witness_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &witness_spec, nullptr); }

}  // namespace orvane::binding
