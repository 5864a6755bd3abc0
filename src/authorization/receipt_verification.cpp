// The authorization decision procedure and the re-verification of
// authorization results.
#include "authorization/receipt_verification.hpp"

#include <array>

#include "authorization/intent.hpp"
#include "primitives/json_access.hpp"
#include "policy/policy_bundle.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

namespace orvane {

namespace {

constexpr std::array<std::string_view, 5> kRequestLevelDenials = {
    "INVALID_AGENT_SIGNATURE", "AGENT_NOT_REGISTERED", "AGENT_TENANT_SCOPE_DENIED",
    "REQUEST_STALE", "REQUEST_FROM_FUTURE"};

AuthorizationDecision blocked(std::string code) {
    AuthorizationDecision decision{"BLOCKED", {}};
    decision.reason_codes.push_back(std::move(code));
    return decision;
}

bool array_contains(const Json* array, std::string_view code) {
    if (array == nullptr || !array->is_array()) return false;
    for (const Json& entry : *array) {
        if (entry.is_string() && entry.get_ref<const std::string&>() == code) return true;
    }
    return false;
}

bool array_contains_request_denial(const Json* array) {
    if (array == nullptr || !array->is_array()) return false;
    for (const Json& entry : *array) {
        if (entry.is_string() && is_request_level_denial(entry.get_ref<const std::string&>())) {
            return true;
        }
    }
    return false;
}

// The receipt's codes against the expected ones: same strings, same order.
bool codes_equal(const Json* stated, const std::vector<std::string>& expected) {
    if (stated == nullptr || !stated->is_array() || stated->size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Json& entry = (*stated)[i];
        if (!entry.is_string() || entry.get_ref<const std::string&>() != expected[i]) return false;
    }
    return true;
}

// (expires_at - issued_at) / 1,000,000, rounded down; 0 when expires_at is
// earlier or not an unsigned integer.
std::uint64_t receipt_ttl_seconds(const Json& receipt) {
    if (!is_unsigned_integer(members::get(receipt, "expires_at"))) return 0;
    const std::uint64_t expires_at = members::uint_or_zero(receipt, "expires_at");
    const std::uint64_t issued_at = members::uint_or_zero(receipt, "issued_at");
    return expires_at < issued_at ? 0 : (expires_at - issued_at) / 1'000'000;
}

}  // namespace

bool is_request_level_denial(std::string_view code) {
    for (std::string_view denial : kRequestLevelDenials) {
        if (code == denial) return true;
    }
    return false;
}

AuthorizationDecision decide_authorization(const DecisionInputs& in) {
    if (!in.agent_signature_valid) return blocked("INVALID_AGENT_SIGNATURE");
    if (in.agent == nullptr || !in.agent->active) return blocked("AGENT_NOT_REGISTERED");
    if (in.agent->tenant_id != "*" && in.agent->tenant_id != in.intent_tenant_id) {
        return blocked("AGENT_TENANT_SCOPE_DENIED");
    }
    const std::uint64_t age = in.issued_at > in.requested_at ? in.issued_at - in.requested_at : 0;
    if (age > kMaxRequestAgeMicros) return blocked("REQUEST_STALE");
    const std::uint64_t lead = in.requested_at > in.issued_at ? in.requested_at - in.issued_at : 0;
    if (lead > kMaxRequestLeadMicros) return blocked("REQUEST_FROM_FUTURE");
    if (in.policy->decision == "BLOCKED") return {"BLOCKED", in.policy->reason_codes};
    return {"ALLOWED", {"IDENTITY_VERIFIED", "POLICY_ALLOWED"}};
}

std::string join_reason_codes(const std::vector<std::string>& codes) {
    std::string joined;
    for (const std::string& code : codes) {
        if (!joined.empty()) joined.push_back(',');
        joined += code;
    }
    return joined;
}

std::optional<Json> check_sealed_receipt(storage::Connection* db, const TrustedRoot& root, const Json& result,
                                         const SealedReceiptKind& kind, std::vector<std::string>& codes) {
    if (members::string_or_empty(result, "schema_version") != kind.result_schema) {
        codes.emplace_back(kind.codes.result_schema_mismatch);
    }
    const Json* stated = find_member(result, kind.receipt_member);
    if (stated == nullptr) {
        codes.emplace_back(kind.codes.missing);
        return std::nullopt;
    }
    if (!stated->is_object()) {
        codes.emplace_back(kind.codes.invalid);
        return std::nullopt;
    }
    const std::string* id = find_string(*stated, kind.id_member);
    const std::string* gate_signature = find_string(*stated, "gate_signature");
    if (id == nullptr) {
        codes.emplace_back(kind.codes.id_missing);
        return std::nullopt;
    }
    if (gate_signature == nullptr) {
        codes.emplace_back(kind.codes.signature_missing);
        return std::nullopt;
    }
    Json receipt = *stated;
    receipt.erase(std::string(kind.id_member));
    receipt.erase("gate_signature");

    // What the gate signed, and who the gate was. A valid signature says only
    // that some key sealed the receipt: that key must have stood for the gate
    // when the receipt says it was made.
    if (canonical_digest(receipt) != *id) codes.emplace_back(kind.codes.id_mismatch);
    if (members::string_or_empty(receipt, "schema_version") != kind.receipt_schema) {
        codes.emplace_back(kind.codes.schema_mismatch);
    }
    const std::string_view gate_id = members::string_or_empty(receipt, "gate_id");
    auto digest = hex_decode(*id);
    if (!digest || !verify_signature(gate_id, *digest, *gate_signature)) {
        codes.emplace_back(kind.codes.signature_invalid);
    }
    if (db == nullptr) {
        if (gate_id != root.key) codes.emplace_back(kind.codes.gate_not_trusted);
    } else if (auto gate = resolve_identity(*db, root, gate_id, members::uint_or_zero(receipt, kind.time_member));
               !gate) {
        codes.push_back(std::move(gate.error()));
    } else if (!gate->has_value() || !(*gate)->active || !(*gate)->can_delegate) {
        codes.emplace_back(kind.codes.gate_not_trusted);
    }
    return receipt;
}

namespace {

// The policy the decision rested on: the bundle, verified under the gate's
// key and bound to the receipt. Returns whether the bundle verified.
bool check_policy_binding(const Json& receipt, const Json* bundle, std::string_view gate_id,
                          std::vector<std::string>& codes) {
    if (bundle == nullptr) {
        if (members::string_or_empty(receipt, "policy_version") != kIdentityGatePolicyVersion) {
            codes.emplace_back("AUTHORIZATION_POLICY_BUNDLE_MISSING");
        }
        return false;
    }
    auto verified = verify_policy_bundle(*bundle, gate_id);
    if (!verified) codes.push_back(std::move(verified.error()));
    if (!members::optional_pair_equal(receipt, "policy_version", *bundle, "policy_version")) {
        codes.emplace_back("AUTHORIZATION_POLICY_VERSION_MISMATCH");
    }
    if (!members::optional_pair_equal(receipt, "policy_digest", *bundle, "policy_digest")) {
        codes.emplace_back("AUTHORIZATION_POLICY_DIGEST_MISMATCH");
    }
    if (!members::optional_pair_equal(receipt, "gate_signer", *bundle, "signer")) {
        codes.emplace_back("AUTHORIZATION_SIGNER_METADATA_MISMATCH");
    }
    return verified.has_value();
}

// The policy's judgement, evaluated once: the evaluation is pure, so the
// decision reproduction uses the same answer. A bundle that has just passed
// verification is not verified a second time.
Result<PolicyEvaluation> check_policy_judgement(const Json& receipt, const Json& bundle, bool bundle_verified,
                                                const Json& intent, std::vector<std::string>& codes) {
    const std::uint64_t ttl = receipt_ttl_seconds(receipt);
    Result<PolicyEvaluation> evaluation =
        bundle_verified ? evaluate_verified_policy(bundle, intent, ttl) : evaluate_policy(bundle, intent, ttl);
    if (!evaluation) {
        codes.push_back(evaluation.error());
        return evaluation;
    }
    const PolicyEvaluation& policy = *evaluation;
    const Json* evidence = find_member(receipt, "evidence_digest");
    if (evidence == nullptr || !evidence->is_string() ||
        evidence->get_ref<const std::string&>() != policy.evidence_digest) {
        codes.emplace_back("AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH");
    }
    const Json* constraints = find_member(receipt, "executor_constraints");
    if (constraints == nullptr || !json_equal(*constraints, policy.executor_constraints)) {
        codes.emplace_back("AUTHORIZATION_EXECUTOR_CONSTRAINTS_MISMATCH");
    }
    if (!array_contains_request_denial(find_member(receipt, "reason_codes"))) {
        const Json* decision = find_member(receipt, "decision");
        if (decision == nullptr || !decision->is_string() ||
            decision->get_ref<const std::string&>() != policy.decision) {
            codes.emplace_back("AUTHORIZATION_POLICY_DECISION_MISMATCH");
        }
    }
    return evaluation;
}

// The intent's contract and the identifiers the receipt derives from it;
// nullopt when the contract fails.
std::optional<ActionIntent> check_intent_contract(const Json& receipt, const Json& intent, std::string_view agent_id,
                                                  std::vector<std::string>& codes) {
    auto validated = validate_intent_contract(intent, agent_id);
    if (!validated) {
        codes.push_back(std::move(validated.error()));
        return std::nullopt;
    }
    const Json* action_id = find_member(receipt, "action_id");
    if (action_id == nullptr || !action_id->is_string() ||
        action_id->get_ref<const std::string&>() !=
            derive_action_id(validated->tenant_id, validated->agent_id, validated->idempotency_key)) {
        codes.emplace_back("AUTHORIZATION_ACTION_ID_MISMATCH");
    }
    const Json* tenant_id = find_member(receipt, "tenant_id");
    if (tenant_id == nullptr || !tenant_id->is_string() ||
        tenant_id->get_ref<const std::string&>() != validated->tenant_id) {
        codes.emplace_back("AUTHORIZATION_TENANT_ID_MISMATCH");
    }
    return std::move(*validated);
}

// The decision, reproduced from the stored inputs and the agent's identity
// at issued_at.
struct DecisionReplay {
    const Json& receipt;
    std::string_view agent_id;
    std::uint64_t issued_at;
    bool signature_valid;
    const ActionIntent& intent;
    const std::optional<Result<PolicyEvaluation>>& evaluation;
};

void check_decision_reproduced(storage::Connection& db, const TrustedRoot& root, const DecisionReplay& replay,
                               std::optional<ResolvedIdentity>* agent_out, std::vector<std::string>& codes) {
    auto agent = resolve_identity(db, root, replay.agent_id, replay.issued_at);
    if (!agent) {
        codes.push_back(std::move(agent.error()));
        return;
    }
    if (agent_out != nullptr) *agent_out = *agent;
    if (!*replay.evaluation) {
        codes.push_back(replay.evaluation->error());
        return;
    }
    const AuthorizationDecision expected = decide_authorization(DecisionInputs{
        .agent_signature_valid = replay.signature_valid,
        .agent = agent->has_value() ? &**agent : nullptr,
        .intent_tenant_id = replay.intent.tenant_id,
        .requested_at = replay.intent.requested_at,
        .issued_at = replay.issued_at,
        .policy = &**replay.evaluation,
    });
    const Json* decision = find_member(replay.receipt, "decision");
    if (decision == nullptr || !decision->is_string() ||
        decision->get_ref<const std::string&>() != expected.decision) {
        codes.emplace_back("AUTHORIZATION_DECISION_NOT_REPRODUCIBLE");
    }
    if (!codes_equal(find_member(replay.receipt, "reason_codes"), expected.reason_codes)) {
        codes.emplace_back("AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE");
    }
}

// The checks of verify_authorization_result. Without a registry (`db` null)
// the gate must be the root key itself, and what only the registry knows (the
// identities at issued_at, and so the reproduction of the decision) is left out.
std::vector<std::string> verify_result(storage::Connection* db, const TrustedRoot& root, const Json& result,
                                       std::optional<ResolvedIdentity>* agent_out) {
    std::vector<std::string> codes;
    constexpr SealedReceiptKind kAuthorizationReceipt{
        .result_schema = kAuthorizationResultSchema,
        .receipt_member = "authorization",
        .id_member = "authorization_id",
        .receipt_schema = kAuthorizationReceiptSchema,
        .time_member = "issued_at",
        .codes = {"AUTHORIZATION_RESULT_SCHEMA_MISMATCH", "AUTHORIZATION_RECEIPT_MISSING",
                  "AUTHORIZATION_RECEIPT_INVALID", "AUTHORIZATION_ID_MISSING", "GATE_SIGNATURE_MISSING",
                  "AUTHORIZATION_ID_MISMATCH", "AUTHORIZATION_RECEIPT_SCHEMA_MISMATCH", "GATE_SIGNATURE_INVALID",
                  "GATE_IDENTITY_NOT_TRUSTED"},
    };
    const std::optional<Json> sealed = check_sealed_receipt(db, root, result, kAuthorizationReceipt, codes);
    if (!sealed) return codes;
    const Json& receipt = *sealed;
    const Json* bundle = find_member(result, "policy_bundle");
    const bool bundle_verified =
        check_policy_binding(receipt, bundle, members::string_or_empty(receipt, "gate_id"), codes);

    const Json* intent = find_member(result, "intent");
    if (intent == nullptr) {
        codes.emplace_back("INTENT_MISSING");
        return codes;
    }
    const std::string intent_bytes = canonical_json(*intent);
    if (sha256_hex(intent_bytes) != members::string_or_empty(receipt, "intent_hash")) {
        codes.emplace_back("INTENT_HASH_MISMATCH");
    }
    std::optional<Result<PolicyEvaluation>> evaluation;
    if (bundle != nullptr) evaluation = check_policy_judgement(receipt, *bundle, bundle_verified, *intent, codes);

    // The agent's signature, unless the receipt is the refusal of that very signature.
    const std::string_view agent_id = members::string_or_empty(receipt, "agent_id");
    const bool signature_valid = verify_signature(agent_id, members::bytes(intent_bytes),
                                                  members::string_or_empty(result, "agent_signature"));
    if (!signature_valid &&
        !(members::string_or_empty(receipt, "decision") == "BLOCKED" &&
          array_contains(find_member(receipt, "reason_codes"), "INVALID_AGENT_SIGNATURE"))) {
        codes.emplace_back("AGENT_SIGNATURE_INVALID");
    }
    const std::optional<ActionIntent> validated = check_intent_contract(receipt, *intent, agent_id, codes);
    if (!validated || bundle == nullptr || db == nullptr) return codes;
    check_decision_reproduced(*db, root,
                              DecisionReplay{receipt, agent_id, members::uint_or_zero(receipt, "issued_at"),
                                             signature_valid, *validated, evaluation},
                              agent_out, codes);
    return codes;
}

}  // namespace

std::vector<std::string> verify_authorization_result(storage::Connection& db, const TrustedRoot& root,
                                                     const Json& result,
                                                     std::optional<ResolvedIdentity>* agent_out) {
    return verify_result(&db, root, result, agent_out);
}

std::vector<std::string> verify_authorization_result_under_key(const Json& result, std::string_view gate_public_key) {
    return verify_result(nullptr, TrustedRoot{std::string(gate_public_key), true}, result, nullptr);
}

}  // namespace orvane
