// The OrvaneExecutor Python type: argument conversion around the executor
// operations.
#include "executor/executor_ops.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"

namespace orvane::binding {
namespace {

constexpr const char* kTypeName = "_orvane_ddb::OrvaneExecutor";

struct ExecutorObject {
    PyObject_HEAD
    Executor* executor;
    Ownership ownership;
};

Executor& executor_of(PyObject* self) { return *reinterpret_cast<ExecutorObject*>(self)->executor; }

#define BIND(fname, required, ...)                                                   \
    static const char* const names_[] = {__VA_ARGS__};                               \
    constexpr int count_ = sizeof(names_) / sizeof(names_[0]);                      \
    PyObject* a[count_];                                                             \
    if (!bind_fast({fname, names_, count_, required}, args, nargs, kwnames, a)) return nullptr

#define USE()                                                                                 \
    Use use_(reinterpret_cast<ExecutorObject*>(self)->ownership, kTypeName, Use::Shared);  \
    if (!use_) return nullptr

#define FAST_ARGS PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

PyObject* m_verify_and_consume_permit(FAST_ARGS) {
    BIND("verify_and_consume_permit", 1, "permit_json");
    USE();
    std::string_view permit;
    if (!to_str(a[0], "permit_json", permit)) return nullptr;
    return to_python(verify_and_consume_permit(executor_of(self), permit), PyExc_PermissionError);
}

PyObject* m_complete_execution(FAST_ARGS) {
    BIND("complete_execution", 4, "authorization_id", "action_id", "status", "output_json");
    USE();
    std::string_view authorization_id, action_id, status, output;
    if (!to_str(a[0], "authorization_id", authorization_id) || !to_str(a[1], "action_id", action_id) ||
        !to_str(a[2], "status", status) || !to_str(a[3], "output_json", output))
        return nullptr;
    return to_python(complete_execution(executor_of(self), authorization_id, action_id, status, output),
                     PyExc_RuntimeError);
}

PyObject* m_mark_unknown(FAST_ARGS) {
    BIND("mark_unknown", 2, "authorization_id", "reason");
    USE();
    std::string_view authorization_id, reason;
    if (!to_str(a[0], "authorization_id", authorization_id) || !to_str(a[1], "reason", reason)) return nullptr;
    return to_python(mark_unknown(executor_of(self), authorization_id, reason), PyExc_RuntimeError);
}

PyObject* m_recover_incomplete(FAST_ARGS) {
    BIND("recover_incomplete", 0, "older_than_seconds");
    USE();
    std::uint64_t older = 0;
    if (a[0] && !to_u64(a[0], "older_than_seconds", older)) return nullptr;
    return to_python(recover_incomplete(executor_of(self), older), PyExc_RuntimeError);
}

PyObject* m_get_execution_state(FAST_ARGS) {
    BIND("get_execution_state", 1, "authorization_id");
    USE();
    std::string_view authorization_id;
    if (!to_str(a[0], "authorization_id", authorization_id)) return nullptr;
    return to_python(get_execution_state(executor_of(self), authorization_id), PyExc_RuntimeError);
}

#define FAST(name, fn, sig) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n"}

PyMethodDef executor_methods[] = {
    FAST("verify_and_consume_permit", m_verify_and_consume_permit, "verify_and_consume_permit($self, permit_json)"),
    FAST("complete_execution", m_complete_execution,
         "complete_execution($self, authorization_id, action_id, status, output_json)"),
    FAST("mark_unknown", m_mark_unknown, "mark_unknown($self, authorization_id, reason)"),
    FAST("recover_incomplete", m_recover_incomplete, "recover_incomplete($self, older_than_seconds=0)"),
    FAST("get_execution_state", m_get_execution_state, "get_execution_state($self, authorization_id)"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* executor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"db_path", "keyfile", "trusted_gate_id", "trusted_tenant_id",
                                        "pool_size", "gate_db"};
    PyObject* a[6];
    if (!bind_classic({"OrvaneExecutor", names, 6, 4}, args, kwargs, a)) return nullptr;
    std::string_view db_path, keyfile, gate_id, tenant_id;
    std::uint32_t pool_size = 8;
    std::optional<std::string_view> gate_db;
    if (!to_path(a[0], "db_path", db_path) || !to_path(a[1], "keyfile", keyfile) ||
        !to_str(a[2], "trusted_gate_id", gate_id) || !to_str(a[3], "trusted_tenant_id", tenant_id) ||
        (a[4] && !to_u32(a[4], "pool_size", pool_size)) || !to_optional_path(a[5], "gate_db", gate_db))
        return nullptr;
    auto executor = open_executor(std::string(db_path), std::string(keyfile), gate_id, tenant_id, pool_size,
                                  gate_db ? std::optional<std::string>(std::string(*gate_db)) : std::nullopt);
    if (!executor) return to_python(Result<std::string>(fail(std::move(executor.error()))), PyExc_RuntimeError);
    auto* self = reinterpret_cast<ExecutorObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->executor = executor->release();
    self->ownership = {PyThread_get_thread_ident(), 0};
    return reinterpret_cast<PyObject*>(self);
}

void executor_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<ExecutorObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    if (self->executor) {
        // As for the gate: report a release on another thread, but still end
        // the pool's threads and close its connections instead of leaking them.
        if (PyThread_get_thread_ident() != self->ownership.owner_thread) report_foreign_release(object, kTypeName);
        ExecutorDeleter{}(self->executor);
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

PyType_Slot executor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(executor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(executor_dealloc)},
    {Py_tp_methods, executor_methods},
    {Py_tp_doc, const_cast<char*>("OrvaneExecutor(db_path, keyfile, trusted_gate_id, trusted_tenant_id, "
                                  "pool_size=8, gate_db=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec executor_spec = {"_orvane_ddb.OrvaneExecutor", sizeof(ExecutorObject), 0, Py_TPFLAGS_DEFAULT,
                             executor_slots};

}  // namespace

PyObject* create_executor_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &executor_spec, nullptr);
}

}  // namespace orvane::binding
