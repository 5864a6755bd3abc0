// Action outcomes, execution receipts and execution results: building them and
// re-checking a stored or presented result against its permit.
#include "outcomes/execution_receipt.hpp"

#include "authorization/intent.hpp"
#include "authorization/receipt_verification.hpp"
#include "primitives/json_access.hpp"
#include "identity/resolve.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

namespace orvane {

namespace {

using members::null_json;

// The receipt names the permit's authorization, action and intent, and its
// executor is not the permit's agent.
void check_bound_to_permit(const Json& receipt, const Json& permit, std::vector<std::string>& codes) {
    if (!members::optional_pair_equal(receipt, "authorization_id", permit, "authorization_id")) {
        codes.emplace_back("EXECUTION_AUTHORIZATION_ID_MISMATCH");
    }
    if (!members::optional_pair_equal(receipt, "action_id", permit, "action_id")) {
        codes.emplace_back("EXECUTION_ACTION_ID_MISMATCH");
    }
    if (!members::optional_pair_equal(receipt, "intent_hash", permit, "intent_hash")) {
        codes.emplace_back("EXECUTION_INTENT_HASH_MISMATCH");
    }
    const Json* executor_member = find_member(receipt, "executor_id");
    const Json* agent_member = find_member(permit, "agent_id");
    if (executor_member && agent_member && json_equal(*executor_member, *agent_member)) {
        codes.emplace_back("EXECUTOR_AGENT_COLLUSION");
    }
}

// The executor was an active identity at completion, in the permit's tenant
// scope, and not a proposer.
void check_executor_identity(storage::Connection& db, const TrustedRoot& root, std::string_view executor_id,
                             std::uint64_t completed_at, const Json& permit, std::vector<std::string>& codes) {
    auto identity = resolve_identity(db, root, executor_id, completed_at);
    if (!identity) {
        codes.push_back(std::move(identity.error()));
        return;
    }
    if (!identity->has_value() || !(*identity)->active) {
        codes.emplace_back("EXECUTOR_IDENTITY_NOT_TRUSTED");
        return;
    }
    const ResolvedIdentity& executor = **identity;
    const std::string* permit_tenant = find_string(permit, "tenant_id");
    const std::string_view tenant = permit_tenant ? std::string_view(*permit_tenant) : "*";
    if (executor.tenant_id != "*" && tenant != "*" && executor.tenant_id != tenant) {
        codes.emplace_back("EXECUTOR_TENANT_SCOPE_MISMATCH");
    }
    auto metadata = parse_json(executor.metadata);
    if (metadata && metadata->is_object()) {
        const std::string* role = find_string(*metadata, "role");
        if (role && *role == "proposer") codes.emplace_back("EXECUTOR_ROLE_INVALID");
    }
}

}  // namespace

Result<std::string> validate_outcome_contract(const Json& outcome,
                                              std::string_view expected_authorization_id,
                                              std::string_view expected_action_id) {
    if (!outcome.is_object()) {
        return fail("ORVANE_INVALID_CONTRACT: action outcome must be a JSON object");
    }
    ORVANE_ASSIGN_OR_RETURN(const std::string_view schema, require_non_blank(outcome, "schema_version"));
    if (schema != kActionOutcomeSchema) {
        return fail("ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-outcome.v1'");
    }
    ORVANE_ASSIGN_OR_RETURN(const std::string_view authorization_id,
                            require_non_blank(outcome, "authorization_id"));
    if (authorization_id != expected_authorization_id) {
        return fail("ORVANE_AUTHORIZATION_MISMATCH: outcome authorization_id does not match");
    }
    ORVANE_ASSIGN_OR_RETURN(const std::string_view action_id, require_non_blank(outcome, "action_id"));
    if (action_id != expected_action_id) {
        return fail("ORVANE_ACTION_ID_MISMATCH: outcome action_id does not match");
    }
    ORVANE_ASSIGN_OR_RETURN(const std::string_view status, require_non_blank(outcome, "status"));
    if (status != "SUCCEEDED" && status != "FAILED") {
        return fail("ORVANE_INVALID_CONTRACT: outcome status must be SUCCEEDED or FAILED");
    }
    return std::string(status);
}

std::string outcome_signing_bytes(const Json& outcome, std::string* signature) {
    if (!outcome.is_object()) return canonical_json(outcome);
    auto found = outcome.find("executor_signature");
    if (found == outcome.end()) return canonical_json(outcome);
    if (signature != nullptr && found->is_string()) *signature = found->get<std::string>();
    // Write the object member by member, skipping the signature, instead of
    // copying the whole outcome.
    std::string out;
    out.push_back('{');
    bool first = true;
    for (auto it = outcome.begin(); it != outcome.end(); ++it) {
        if (it.key() == "executor_signature") continue;
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, it.key());
        out.push_back(':');
        append_canonical_json(out, it.value());
    }
    out.push_back('}');
    return out;
}

Result<Json> sign_action_outcome(const Signer& executor, Json outcome) {
    const std::string bytes = outcome_signing_bytes(outcome);
    ORVANE_ASSIGN_OR_RETURN(auto signature, executor.sign(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
    outcome["executor_signature"] = std::move(signature);
    return outcome;
}

Result<Json> build_execution_receipt(const Signer& gate, const ExecutionReceiptFields& fields) {
    Json receipt = Json::object();
    receipt["schema_version"] = kExecutionReceiptSchema;
    receipt["authorization_id"] = fields.authorization_id;
    receipt["action_id"] = fields.action_id;
    receipt["intent_hash"] = fields.intent_hash;
    receipt["outcome_hash"] = fields.outcome_hash;
    receipt["executor_id"] = fields.executor_id;
    receipt["status"] = fields.status;
    receipt["completed_at"] = fields.completed_at;
    receipt["gate_id"] = gate.identity().public_key;
    std::string receipt_id = canonical_digest(receipt);
    ORVANE_ASSIGN_OR_RETURN(auto signature, gate.sign_digest_hex(receipt_id));
    receipt["receipt_id"] = std::move(receipt_id);
    receipt["gate_signature"] = std::move(signature);
    return receipt;
}

Json make_execution_result(Json receipt, Json outcome) {
    Json result = Json::object();
    result["schema_version"] = kExecutionResultSchema;
    result["receipt"] = std::move(receipt);
    result["outcome"] = std::move(outcome);
    return result;
}

std::vector<std::string> verify_execution_result(storage::Connection& db, const TrustedRoot& root,
                                                 const Json& authorization_result,
                                                 const Json& execution_result) {
    std::vector<std::string> codes;

    constexpr SealedReceiptKind kExecutionReceipt{
        .result_schema = kExecutionResultSchema,
        .receipt_member = "receipt",
        .id_member = "receipt_id",
        .receipt_schema = kExecutionReceiptSchema,
        .time_member = "completed_at",
        .codes = {"EXECUTION_RESULT_SCHEMA_MISMATCH", "EXECUTION_RECEIPT_MISSING", "EXECUTION_RECEIPT_INVALID",
                  "EXECUTION_RECEIPT_ID_MISSING", "EXECUTION_GATE_SIGNATURE_MISSING",
                  "EXECUTION_RECEIPT_ID_MISMATCH", "EXECUTION_RECEIPT_SCHEMA_MISMATCH",
                  "EXECUTION_GATE_SIGNATURE_INVALID", "EXECUTION_GATE_NOT_TRUSTED"},
    };
    const std::optional<Json> sealed = check_sealed_receipt(&db, root, execution_result, kExecutionReceipt, codes);
    if (!sealed) return codes;
    const Json& receipt = *sealed;

    const Json* permit_member = find_member(authorization_result, "authorization");
    const Json& permit = permit_member ? *permit_member : null_json();
    check_bound_to_permit(receipt, permit, codes);

    const Json* outcome = find_member(execution_result, "outcome");
    if (outcome == nullptr) {
        codes.emplace_back("OUTCOME_MISSING");
        return codes;
    }
    std::string executor_signature;
    const std::string signed_bytes = outcome_signing_bytes(*outcome, &executor_signature);
    if (sha256_hex(signed_bytes) != members::string_or_empty(receipt, "outcome_hash")) {
        codes.emplace_back("OUTCOME_HASH_MISMATCH");
    }
    const std::string_view executor_id = members::string_or_empty(receipt, "executor_id");
    if (!verify_signature(executor_id, members::bytes(signed_bytes), executor_signature)) {
        codes.emplace_back("EXECUTOR_SIGNATURE_INVALID");
    }
    check_executor_identity(db, root, executor_id, members::uint_or_zero(receipt, "completed_at"), permit, codes);

    auto contract = validate_outcome_contract(*outcome, members::string_or_empty(permit, "authorization_id"),
                                              members::string_or_empty(permit, "action_id"));
    if (!contract) codes.push_back(std::move(contract.error()));

    if (!members::optional_pair_equal(receipt, "status", *outcome, "status")) {
        codes.emplace_back("EXECUTION_STATUS_MISMATCH");
    }
    return codes;
}

}  // namespace orvane
