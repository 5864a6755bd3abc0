// The OrvaneDDB Python type: converts arguments, holds the object, calls the
// gate operation and converts its result. No gate logic lives here.
#include <vector>

#include "authorization/authorization_ops.hpp"
#include "evidence/evidence_ops.hpp"
#include "events/event_ops.hpp"
#include "gate/gate.hpp"
#include "identity/identity_ops.hpp"
#include "log/tree_heads.hpp"
#include "ledger/ledger_ops.hpp"
#include "module/binding.hpp"
#include "module/types.hpp"
#include "outcomes/outcome_ops.hpp"
#include "policy/policy_ops.hpp"
#include "signers/signer_ops.hpp"

namespace orvane::binding {
namespace {

constexpr const char* kTypeName = "_orvane_ddb::OrvaneDDB";

struct GateObject {
    PyObject_HEAD
    Gate* gate;
    Ownership ownership;
};

Gate& gate_of(PyObject* self) { return *reinterpret_cast<GateObject*>(self)->gate; }
Ownership& ownership_of(PyObject* self) { return reinterpret_cast<GateObject*>(self)->ownership; }

// Declares the bound argument slots of a method and binds them.
#define BIND(fname, required, ...)                                                   \
    static const char* const names_[] = {__VA_ARGS__};                               \
    constexpr int count_ = sizeof(names_) / sizeof(names_[0]);                      \
    PyObject* a[count_];                                                             \
    if (!bind_fast({fname, names_, count_, required}, args, nargs, kwnames, a)) return nullptr

#define USE(kind)                                              \
    Use use_(ownership_of(self), kTypeName, Use::kind);        \
    if (!use_) return nullptr

#define FAST_ARGS PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

PyObject* m_record(FAST_ARGS) {
    BIND("record", 2, "payload", "rules", "genesis");
    USE(Exclusive);
    std::string_view payload, rules;
    bool genesis = false;
    if (!to_str(a[0], "payload", payload) || !to_str(a[1], "rules", rules) ||
        (a[2] && !to_bool(a[2], "genesis", genesis)))
        return nullptr;
    return to_python(record_decision(gate_of(self), payload, rules, genesis), PyExc_PermissionError);
}

// Reads the (payload, rules) pairs; the tuples stay referenced in `holders`
// so that the text views stay valid for the whole call.
bool convert_decisions(PyObject* value, std::vector<DecisionInput>& out, std::vector<PyObject*>& holders) {
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
    if (hint > 0) out.reserve(static_cast<std::size_t>(hint));
    if (hint < 0) PyErr_Clear();
    PyObject* item;
    bool ok = true;
    while (ok && (item = PyIter_Next(iterator))) {
        holders.push_back(item);
        DecisionInput input;
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "argument 'decisions': each item must be a tuple of two str (payload, rules)");
            ok = false;
        } else {
            ok = to_str(PyTuple_GetItem(item, 0), "decisions", input.payload) &&
                 to_str(PyTuple_GetItem(item, 1), "decisions", input.rules);
            if (ok) out.push_back(input);
        }
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
}

PyObject* m_record_batch(FAST_ARGS) {
    BIND("record_batch", 1, "decisions", "genesis");
    USE(Exclusive);
    std::vector<DecisionInput> decisions;
    std::vector<PyObject*> holders;
    bool genesis = false;
    bool ok = convert_decisions(a[0], decisions, holders) && (!a[1] || to_bool(a[1], "genesis", genesis));
    PyObject* result =
        ok ? to_python(record_decision_batch(gate_of(self), decisions, genesis), PyExc_PermissionError) : nullptr;
    for (PyObject* holder : holders) Py_DECREF(holder);
    return result;
}

PyObject* m_validate(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(validate_ledger(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_export(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(export_decisions(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_list(FAST_ARGS) {
    BIND("list", 0, "limit", "offset");
    USE(Shared);
    std::uint32_t limit = 10, offset = 0;
    if ((a[0] && !to_u32(a[0], "limit", limit)) || (a[1] && !to_u32(a[1], "offset", offset))) return nullptr;
    return to_python(list_decisions(gate_of(self), limit, offset), PyExc_RuntimeError);
}

PyObject* m_count(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(count_decisions(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_register_agent(FAST_ARGS) {
    BIND("register_agent", 2, "public_key", "alias", "metadata");
    USE(Shared);
    std::string_view public_key, alias, metadata = "{}";
    if (!to_str(a[0], "public_key", public_key) || !to_str(a[1], "alias", alias) ||
        (a[2] && !to_str(a[2], "metadata", metadata)))
        return nullptr;
    return to_python(register_agent(gate_of(self), public_key, alias, metadata), PyExc_RuntimeError);
}

PyObject* m_list_agents(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(list_agents(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_get_agent(FAST_ARGS) {
    BIND("get_agent", 1, "public_key");
    USE(Shared);
    std::string_view public_key;
    if (!to_str(a[0], "public_key", public_key)) return nullptr;
    return to_python(get_agent(gate_of(self), public_key), PyExc_RuntimeError);
}

PyObject* m_rotate_agent(FAST_ARGS) {
    BIND("rotate_agent", 2, "current_public_key", "new_public_key");
    USE(Shared);
    std::string_view current, next;
    if (!to_str(a[0], "current_public_key", current) || !to_str(a[1], "new_public_key", next)) return nullptr;
    return to_python(rotate_agent(gate_of(self), current, next), PyExc_RuntimeError);
}

PyObject* m_revoke_agent(FAST_ARGS) {
    BIND("revoke_agent", 2, "public_key", "reason");
    USE(Shared);
    std::string_view public_key, reason;
    if (!to_str(a[0], "public_key", public_key) || !to_str(a[1], "reason", reason)) return nullptr;
    return to_python(revoke_agent(gate_of(self), public_key, reason), PyExc_RuntimeError);
}

PyObject* m_list_identity_events(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(list_identity_events(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_verify_agent(FAST_ARGS) {
    BIND("verify_agent", 1, "public_key");
    USE(Shared);
    std::string_view public_key;
    if (!to_str(a[0], "public_key", public_key)) return nullptr;
    return to_python(verify_agent(gate_of(self), public_key), PyExc_RuntimeError);
}

PyObject* m_request_action(FAST_ARGS) {
    BIND("request_action", 2, "intent", "agent_keyfile", "ttl_seconds");
    USE(Shared);
    std::string_view intent, keyfile;
    std::uint64_t ttl = 60;
    if (!to_str(a[0], "intent", intent) || !to_path(a[1], "agent_keyfile", keyfile) ||
        (a[2] && !to_u64(a[2], "ttl_seconds", ttl)))
        return nullptr;
    return to_python(request_action(gate_of(self), intent, std::string(keyfile), ttl), PyExc_RuntimeError);
}

PyObject* m_request_action_signed(FAST_ARGS) {
    BIND("request_action_signed", 3, "intent", "agent_id", "agent_signature", "ttl_seconds");
    USE(Shared);
    std::string_view intent, agent_id, signature;
    std::uint64_t ttl = 60;
    if (!to_str(a[0], "intent", intent) || !to_str(a[1], "agent_id", agent_id) ||
        !to_str(a[2], "agent_signature", signature) || (a[3] && !to_u64(a[3], "ttl_seconds", ttl)))
        return nullptr;
    return to_python(request_action_signed(gate_of(self), intent, agent_id, signature, ttl), PyExc_RuntimeError);
}

PyObject* m_commit_outcome(FAST_ARGS) {
    BIND("commit_outcome", 3, "authorization_id", "outcome", "executor_keyfile");
    USE(Shared);
    std::string_view authorization_id, outcome, keyfile;
    if (!to_str(a[0], "authorization_id", authorization_id) || !to_str(a[1], "outcome", outcome) ||
        !to_path(a[2], "executor_keyfile", keyfile))
        return nullptr;
    return to_python(commit_outcome(gate_of(self), authorization_id, outcome, std::string(keyfile)),
                     PyExc_RuntimeError);
}

PyObject* m_commit_outcome_signed(FAST_ARGS) {
    BIND("commit_outcome_signed", 2, "authorization_id", "outcome");
    USE(Shared);
    std::string_view authorization_id, outcome;
    if (!to_str(a[0], "authorization_id", authorization_id) || !to_str(a[1], "outcome", outcome)) return nullptr;
    return to_python(commit_outcome_signed(gate_of(self), authorization_id, outcome), PyExc_RuntimeError);
}

PyObject* m_get_trace(FAST_ARGS) {
    BIND("get_trace", 1, "action_id");
    USE(Shared);
    std::string_view action_id;
    if (!to_str(a[0], "action_id", action_id)) return nullptr;
    return to_python(get_trace(gate_of(self), action_id), PyExc_RuntimeError);
}

PyObject* m_verify_trace(FAST_ARGS) {
    BIND("verify_trace", 1, "action_id");
    USE(Shared);
    std::string_view action_id;
    if (!to_str(a[0], "action_id", action_id)) return nullptr;
    return to_python(verify_trace(gate_of(self), action_id), PyExc_RuntimeError);
}

PyObject* m_export_evidence(FAST_ARGS) {
    BIND("export_evidence", 1, "action_id");
    USE(Shared);
    std::string_view action_id;
    if (!to_str(a[0], "action_id", action_id)) return nullptr;
    return to_python(export_evidence(gate_of(self), action_id), PyExc_RuntimeError);
}

PyObject* m_install_policy(FAST_ARGS) {
    BIND("install_policy", 1, "policy_spec");
    USE(Shared);
    std::string_view spec;
    if (!to_str(a[0], "policy_spec", spec)) return nullptr;
    return to_python(install_policy(gate_of(self), spec), PyExc_RuntimeError);
}

PyObject* m_list_policies(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(list_policies(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_signer_conformance(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(signer_conformance(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_whoami(PyObject* self, PyObject*) {
    USE(Shared);
    return to_python(whoami(gate_of(self)), PyExc_RuntimeError);
}

PyObject* m_create_checkpoint(FAST_ARGS) {
    BIND("create_checkpoint", 0, "tenant_id");
    USE(Shared);
    std::string_view tenant = "*";
    if (a[0] && !to_str(a[0], "tenant_id", tenant)) return nullptr;
    return to_python(create_checkpoint(gate_of(self), tenant), PyExc_RuntimeError);
}

PyObject* m_export_event_stream(FAST_ARGS) {
    BIND("export_event_stream", 0, "tenant_id", "from_sequence", "limit");
    USE(Shared);
    std::string_view tenant = "*";
    std::uint64_t from = 1;
    std::uint32_t limit = 1000;
    if ((a[0] && !to_str(a[0], "tenant_id", tenant)) || (a[1] && !to_u64(a[1], "from_sequence", from)) ||
        (a[2] && !to_u32(a[2], "limit", limit)))
        return nullptr;
    return to_python(export_event_stream(gate_of(self), tenant, from, limit), PyExc_RuntimeError);
}

PyObject* m_verify_checkpoint_stream(FAST_ARGS) {
    BIND("verify_checkpoint_stream", 2, "checkpoint_json", "stream_json", "expected_public_key");
    USE(Shared);
    std::string_view checkpoint, stream;
    std::optional<std::string_view> expected;
    if (!to_str(a[0], "checkpoint_json", checkpoint) || !to_str(a[1], "stream_json", stream) ||
        !to_optional_str(a[2], "expected_public_key", expected))
        return nullptr;
    return to_python(verify_checkpoint_stream(gate_of(self), checkpoint, stream, expected), PyExc_RuntimeError);
}

PyObject* m_create_tree_head(FAST_ARGS) {
    BIND("create_tree_head", 0, "tenant_id");
    USE(Shared);
    std::string_view tenant = "*";
    if (a[0] && !to_str(a[0], "tenant_id", tenant)) return nullptr;
    return to_python(log::create_tree_head(gate_of(self), tenant), PyExc_RuntimeError);
}

PyObject* m_prove_inclusion(FAST_ARGS) {
    BIND("prove_inclusion", 3, "tenant_id", "sequence_number", "tree_size");
    USE(Shared);
    std::string_view tenant;
    std::uint64_t sequence = 0, size = 0;
    if (!to_str(a[0], "tenant_id", tenant) || !to_u64(a[1], "sequence_number", sequence) ||
        !to_u64(a[2], "tree_size", size))
        return nullptr;
    return to_python(log::prove_inclusion(gate_of(self), tenant, sequence, size), PyExc_RuntimeError);
}

PyObject* m_prove_consistency(FAST_ARGS) {
    BIND("prove_consistency", 3, "tenant_id", "old_size", "new_size");
    USE(Shared);
    std::string_view tenant;
    std::uint64_t old_size = 0, new_size = 0;
    if (!to_str(a[0], "tenant_id", tenant) || !to_u64(a[1], "old_size", old_size) ||
        !to_u64(a[2], "new_size", new_size))
        return nullptr;
    return to_python(log::prove_consistency(gate_of(self), tenant, old_size, new_size), PyExc_RuntimeError);
}

#define FAST(name, fn, sig) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n"}
#define NOARGS(name, fn, sig) {name, fn, METH_NOARGS, sig "\n--\n\n"}

PyMethodDef gate_methods[] = {
    FAST("record", m_record, "record($self, payload, rules, genesis=False)"),
    FAST("record_batch", m_record_batch, "record_batch($self, decisions, genesis=False)"),
    NOARGS("validate", m_validate, "validate($self)"),
    NOARGS("export", m_export, "export($self)"),
    FAST("list", m_list, "list($self, limit=10, offset=0)"),
    NOARGS("count", m_count, "count($self)"),
    FAST("register_agent", m_register_agent, "register_agent($self, public_key, alias, metadata='{}')"),
    NOARGS("list_agents", m_list_agents, "list_agents($self)"),
    FAST("get_agent", m_get_agent, "get_agent($self, public_key)"),
    FAST("rotate_agent", m_rotate_agent, "rotate_agent($self, current_public_key, new_public_key)"),
    FAST("revoke_agent", m_revoke_agent, "revoke_agent($self, public_key, reason)"),
    NOARGS("list_identity_events", m_list_identity_events, "list_identity_events($self)"),
    FAST("verify_agent", m_verify_agent, "verify_agent($self, public_key)"),
    FAST("request_action", m_request_action, "request_action($self, intent, agent_keyfile, ttl_seconds=60)"),
    FAST("request_action_signed", m_request_action_signed,
         "request_action_signed($self, intent, agent_id, agent_signature, ttl_seconds=60)"),
    FAST("commit_outcome", m_commit_outcome, "commit_outcome($self, authorization_id, outcome, executor_keyfile)"),
    FAST("commit_outcome_signed", m_commit_outcome_signed, "commit_outcome_signed($self, authorization_id, outcome)"),
    FAST("get_trace", m_get_trace, "get_trace($self, action_id)"),
    FAST("verify_trace", m_verify_trace, "verify_trace($self, action_id)"),
    FAST("export_evidence", m_export_evidence, "export_evidence($self, action_id)"),
    FAST("install_policy", m_install_policy, "install_policy($self, policy_spec)"),
    NOARGS("list_policies", m_list_policies, "list_policies($self)"),
    NOARGS("signer_conformance", m_signer_conformance, "signer_conformance($self)"),
    {"whoami", m_whoami, METH_NOARGS,
     "whoami($self)\n--\n\nReturn the public key of the current keyfile (\"who am I?\")."},
    FAST("create_checkpoint", m_create_checkpoint, "create_checkpoint($self, tenant_id='*')"),
    FAST("export_event_stream", m_export_event_stream,
         "export_event_stream($self, tenant_id='*', from_sequence=1, limit=1000)"),
    FAST("verify_checkpoint_stream", m_verify_checkpoint_stream,
         "verify_checkpoint_stream($self, checkpoint_json, stream_json, expected_public_key=None)"),
    FAST("create_tree_head", m_create_tree_head, "create_tree_head($self, tenant_id='*')"),
    FAST("prove_inclusion", m_prove_inclusion, "prove_inclusion($self, tenant_id, sequence_number, tree_size)"),
    FAST("prove_consistency", m_prove_consistency, "prove_consistency($self, tenant_id, old_size, new_size)"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"db_path", "keyfile"};
    PyObject* a[2];
    if (!bind_classic({"OrvaneDDB", names, 2, 2}, args, kwargs, a)) return nullptr;
    std::string_view db_path, keyfile;
    if (!to_path(a[0], "db_path", db_path) || !to_path(a[1], "keyfile", keyfile)) return nullptr;
    auto gate = open_gate(std::string(db_path), std::string(keyfile));
    if (!gate) return to_python(Result<std::string>(fail(std::move(gate.error()))), PyExc_PermissionError);
    auto* self = reinterpret_cast<GateObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->gate = gate->release();
    self->ownership = {PyThread_get_thread_ident(), 0};
    return reinterpret_cast<PyObject*>(self);
}

void gate_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<GateObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    if (self->gate) {
        // Released elsewhere, the mistake is reported; the contents are still
        // released (nothing else can reach them any more), so the connection
        // is closed and the keys are wiped rather than left in memory.
        if (PyThread_get_thread_ident() != self->ownership.owner_thread) report_foreign_release(object, kTypeName);
        delete self->gate;
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

PyType_Slot gate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
    {Py_tp_methods, gate_methods},
    {Py_tp_doc, const_cast<char*>("OrvaneDDB(db_path, keyfile)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec gate_spec = {"_orvane_ddb.OrvaneDDB", sizeof(GateObject), 0, Py_TPFLAGS_DEFAULT, gate_slots};

}  // namespace

PyObject* create_gate_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &gate_spec, nullptr); }

}  // namespace orvane::binding
