// Every callable of the module, each described once: the three types with
// their constructors and methods, and the module-level functions. The
// operations live in the core; nothing here decides anything.
#include "authorization/authorization_ops.hpp"
#include "authorization/offline_verification.hpp"
#include "events/event_ops.hpp"
#include "evidence/evidence_ops.hpp"
#include "executor/executor_ops.hpp"
#include "gate/gate.hpp"
#include "identity/identity_ops.hpp"
#include "ledger/ledger_ops.hpp"
#include "log/tree_heads.hpp"
#include "log/verify.hpp"
#include "log/witness.hpp"
#include "module/method_table.hpp"
#include "module/types.hpp"
#include "outcomes/outcome_ops.hpp"
#include "policy/policy_ops.hpp"
#include "primitives/keys.hpp"
#include "signers/signer_ops.hpp"

namespace orvane::binding {
namespace {

constexpr PyObject** kPermission = &PyExc_PermissionError;

// OrvaneDDB: the gate.
struct GateHost {
    using Payload = Gate;
    using Deleter = std::default_delete<Gate>;
    static constexpr const char* name = "OrvaneDDB";
};

constexpr Method open_gate_entry{{.name = GateHost::name, .error = kPermission}, open_gate, path("db_path"),
                                 path("keyfile")};
constexpr Method record_entry{{.name = "record", .error = kPermission, .use = Use::Exclusive}, record_decision,
                        text("payload"), text("rules"), flag("genesis", false)};
constexpr Method record_batch_entry{{.name = "record_batch", .error = kPermission, .use = Use::Exclusive},
                              record_decision_batch, decisions("decisions"), flag("genesis", false)};
constexpr Method validate_entry{{.name = "validate"}, validate_ledger};
constexpr Method export_entry{{.name = "export"}, export_decisions};
constexpr Method list_entry{{.name = "list"}, list_decisions, u32("limit", 10), u32("offset", 0)};
constexpr Method count_entry{{.name = "count"}, count_decisions};
constexpr Method register_agent_entry{{.name = "register_agent"}, register_agent, text("public_key"), text("alias"),
                                      text("metadata", "{}")};
constexpr Method list_agents_entry{{.name = "list_agents"}, list_agents};
constexpr Method get_agent_entry{{.name = "get_agent"}, get_agent, text("public_key")};
constexpr Method rotate_agent_entry{{.name = "rotate_agent"}, rotate_agent, text("current_public_key"),
                                    text("new_public_key")};
constexpr Method revoke_agent_entry{{.name = "revoke_agent"}, revoke_agent, text("public_key"), text("reason")};
constexpr Method list_identity_events_entry{{.name = "list_identity_events"}, list_identity_events};
constexpr Method verify_agent_entry{{.name = "verify_agent"}, verify_agent, text("public_key")};
constexpr Method request_action_entry{{.name = "request_action"}, request_action, text("intent"),
                                      path("agent_keyfile"), u64("ttl_seconds", 60)};
constexpr Method request_action_signed_entry{{.name = "request_action_signed"}, request_action_signed,
                                             text("intent"), text("agent_id"), text("agent_signature"),
                                             u64("ttl_seconds", 60)};
constexpr Method commit_outcome_entry{{.name = "commit_outcome"}, commit_outcome, text("authorization_id"),
                                      text("outcome"), path("executor_keyfile")};
constexpr Method commit_outcome_signed_entry{{.name = "commit_outcome_signed"}, commit_outcome_signed,
                                             text("authorization_id"), text("outcome")};
constexpr Method get_trace_entry{{.name = "get_trace"}, get_trace, text("action_id")};
constexpr Method verify_trace_entry{{.name = "verify_trace"}, verify_trace, text("action_id")};
constexpr Method export_evidence_entry{{.name = "export_evidence"}, export_evidence, text("action_id")};
constexpr Method install_policy_entry{{.name = "install_policy"}, install_policy, text("policy_spec")};
constexpr Method list_policies_entry{{.name = "list_policies"}, list_policies};
constexpr Method signer_conformance_entry{{.name = "signer_conformance"}, signer_conformance};
constexpr Method whoami_entry{
    {.name = "whoami", .doc = "Return the public key of the current keyfile (\"who am I?\")."}, whoami};
constexpr Method create_checkpoint_entry{{.name = "create_checkpoint"}, create_checkpoint, text("tenant_id", "*")};
constexpr Method export_event_stream_entry{{.name = "export_event_stream"}, export_event_stream,
                                           text("tenant_id", "*"), u64("from_sequence", 1), u32("limit", 1000)};
constexpr Method verify_checkpoint_stream_entry{{.name = "verify_checkpoint_stream"}, verify_checkpoint_stream,
                                                text("checkpoint_json"), text("stream_json"),
                                                optional_text("expected_public_key")};
constexpr Method create_tree_head_entry{{.name = "create_tree_head"}, log::create_tree_head, text("tenant_id", "*")};
constexpr Method prove_inclusion_entry{{.name = "prove_inclusion"}, log::prove_inclusion, text("tenant_id"),
                                       u64("sequence_number"), u64("tree_size")};
constexpr Method prove_consistency_entry{{.name = "prove_consistency"}, log::prove_consistency, text("tenant_id"),
                                         u64("old_size"), u64("new_size")};


// OrvaneExecutor: runs an action once under a permit.
struct ExecutorHost {
    using Payload = Executor;
    using Deleter = ExecutorDeleter;
    static constexpr const char* name = "OrvaneExecutor";
};

constexpr Method open_executor_entry{{.name = ExecutorHost::name},
                                     open_executor,
                                     path("db_path"),
                                     path("keyfile"),
                                     text("trusted_gate_id"),
                                     text("trusted_tenant_id"),
                                     u32("pool_size", 8),
                                     optional_path("gate_db")};
constexpr Method verify_and_consume_permit_entry{{.name = "verify_and_consume_permit", .error = kPermission},
                                                 verify_and_consume_permit, text("permit_json")};
constexpr Method complete_execution_entry{{.name = "complete_execution"}, complete_execution,
                                          text("authorization_id"), text("action_id"), text("status"),
                                          text("output_json")};
constexpr Method mark_unknown_entry{{.name = "mark_unknown"}, mark_unknown, text("authorization_id"),
                                    text("reason")};
constexpr Method recover_incomplete_entry{{.name = "recover_incomplete"}, recover_incomplete,
                                          u64("older_than_seconds", 0)};
constexpr Method get_execution_state_entry{{.name = "get_execution_state"}, get_execution_state,
                                           text("authorization_id")};


// OrvaneWitness: keeps the tree heads it has seen.
struct WitnessHost {
    using Payload = log::Witness;
    using Deleter = std::default_delete<log::Witness>;
    static constexpr const char* name = "OrvaneWitness";
};

constexpr Method open_witness_entry{{.name = WitnessHost::name}, log::open_witness, path("db_path"),
                                    path("keyfile")};
constexpr Method add_tree_head_entry{{.name = "add_tree_head"}, log::add_tree_head, text("note"),
                                     text("public_key"), text("consistency_proof_json")};
constexpr Method split_views_entry{{.name = "split_views"}, log::split_views};


// The module-level functions: no object, no database. The proof checks share
// their names with the tree's own, so they are taken at their text signature.
using FourTexts = Result<std::string> (*)(std::string_view, std::string_view, std::string_view, std::string_view);
constexpr Method gen_keys_entry{{.name = "gen_keys"}, gen_keys, path("output")};
constexpr Method verify_evidence_entry{{.name = "verify_evidence"}, verify_evidence, text("evidence_json"),
                                       text("trusted_gate_public_key")};
constexpr Method verify_stream_entry{{.name = "verify_checkpoint_stream"}, verify_checkpoint_stream_with_key,
                                     text("checkpoint"), text("stream"), text("public_key")};
constexpr Method verify_authorization_entry{{.name = "verify_authorization"}, verify_authorization_under_key,
                                            text("result"), text("public_key")};
constexpr Method permit_info_entry{{.name = "permit_info"}, permit_info, text("permit")};
constexpr Method verify_tree_head_entry{{.name = "verify_tree_head"}, log::verify_tree_head, text("note"),
                                        text("public_key")};
constexpr Method verify_inclusion_entry{{.name = "verify_inclusion"}, static_cast<FourTexts>(log::verify_inclusion),
                                        text("note"), text("public_key"), text("event_json"), text("proof_json")};
constexpr Method verify_consistency_entry{{.name = "verify_consistency"},
                                          static_cast<FourTexts>(log::verify_consistency), text("old_note"),
                                          text("new_note"), text("public_key"), text("proof_json")};


}  // namespace

// The methods in the order Python lists them.
PyObject* create_gate_type(PyObject* module) {
    PyMethodDef* table = methods<GateHost, record_entry, record_batch_entry, validate_entry, export_entry,
                                 list_entry, count_entry, register_agent_entry, list_agents_entry, get_agent_entry,
                                 rotate_agent_entry, revoke_agent_entry, list_identity_events_entry,
                                 verify_agent_entry, request_action_entry, request_action_signed_entry,
                                 commit_outcome_entry, commit_outcome_signed_entry, get_trace_entry,
                                 verify_trace_entry, export_evidence_entry, install_policy_entry,
                                 list_policies_entry, signer_conformance_entry, whoami_entry,
                                 create_checkpoint_entry, export_event_stream_entry,
                                 verify_checkpoint_stream_entry, create_tree_head_entry, prove_inclusion_entry,
                                 prove_consistency_entry>();
    return create_type<GateHost, open_gate_entry>(module, table);
}

PyObject* create_executor_type(PyObject* module) {
    PyMethodDef* table = methods<ExecutorHost, verify_and_consume_permit_entry, complete_execution_entry,
                                 mark_unknown_entry, recover_incomplete_entry, get_execution_state_entry>();
    return create_type<ExecutorHost, open_executor_entry>(module, table);
}

PyObject* create_witness_type(PyObject* module) {
    return create_type<WitnessHost, open_witness_entry>(module,
                                                        methods<WitnessHost, add_tree_head_entry, split_views_entry>());
}

int add_functions(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyMethodDef* table = functions<gen_keys_entry, verify_evidence_entry, verify_stream_entry,
                                   verify_authorization_entry, permit_info_entry, verify_tree_head_entry,
                                   verify_inclusion_entry, verify_consistency_entry>();
    for (PyMethodDef* def = table; def->ml_name; ++def) {
        PyObject* function = PyCFunction_NewEx(def, nullptr, module_name);
        if (!function || PyModule_AddObject(module, def->ml_name, function) < 0) {
            Py_XDECREF(function);
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    return 0;
}

}  // namespace orvane::binding
