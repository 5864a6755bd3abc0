// The gate's authorization service: an agent's signed action intent becomes a
// gate-signed authorization receipt (ALLOWED or BLOCKED), stored once per
// tenant, agent and idempotency key and announced on the tenant's stream.
#include "authorization/authorization_ops.hpp"

#include <limits>

#include "authorization/intent.hpp"
#include "primitives/json_access.hpp"
#include "authorization/receipt_verification.hpp"
#include "events/event_stream.hpp"
#include "identity/gate_authority.hpp"
#include "identity/resolve.hpp"
#include "policy/active_policy.hpp"
#include "policy/policy_bundle.hpp"
#include "policy/policy_evaluation.hpp"
#include "primitives/clock.hpp"
#include "primitives/digest.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

constexpr std::uint64_t kMaxTtlSeconds = 86400;

Status check_ttl(std::uint64_t ttl_seconds) {
    if (ttl_seconds < 1 || ttl_seconds > kMaxTtlSeconds) {
        return fail("ORVANE_INVALID_TTL: ttl_seconds must be between 1 and 86400");
    }
    return {};
}

// A stored answer for the action, when there is one: the stored text if it
// still verifies and answers this very request, or the refusal. The row is
// found by its action id, but only the signed receipt says which action and
// intent it answers: an authentic result of another action copied into the
// row must not be handed out.
Result<std::optional<std::string>> replay_stored(storage::Connection& db, const TrustedRoot& root,
                                                 std::string_view action_id,
                                                 std::string_view intent_hash,
                                                 std::string_view canonical_intent) {
    ORVANE_ASSIGN_OR_RETURN(auto row, storage::Queries(db, "Failed to check action idempotency: ")
                                          .query_one<std::string, std::string>(
                                              "SELECT intent_hash, authorization_json FROM action_authorizations "
                                              "WHERE action_id = ?1",
                                              action_id));
    if (!row) return std::optional<std::string>();
    auto& [stored_intent_hash, stored] = *row;
    if (stored_intent_hash != intent_hash) {
        return fail(
            "ORVANE_IDEMPOTENCY_CONFLICT: idempotency key was already used for a different intent");
    }
    ORVANE_ASSIGN_OR_RETURN(auto parsed,
                            parse_json(stored).with_context("ORVANE_STORED_AUTHORIZATION_INVALID: "));
    std::vector<std::string> codes = verify_authorization_result(db, root, parsed);
    if (codes.empty()) {
        const Json& receipt = *members::get(parsed, "authorization");  // verified: present
        if (members::string_or_empty(receipt, "action_id") != action_id) {
            codes.emplace_back("REPLAYED_ACTION_ID_MISMATCH");
        }
        if (members::string_or_empty(receipt, "intent_hash") != intent_hash) {
            codes.emplace_back("REPLAYED_INTENT_HASH_MISMATCH");
        }
        if (canonical_json(*members::get(parsed, "intent")) != canonical_intent) {
            codes.emplace_back("REPLAYED_INTENT_MISMATCH");
        }
    }
    if (!codes.empty()) {
        return fail("ORVANE_STORED_AUTHORIZATION_INVALID: " + join_reason_codes(codes));
    }
    return std::optional<std::string>(std::move(stored));
}

// Stores the answer, or returns the one another process stored for the same
// request since the first lookup: under the write lock the lookup is repeated,
// so the loser of a race replays the winner's answer as any later caller would.
Result<std::optional<std::string>> persist(storage::Connection& db, const TrustedRoot& root, const Json& receipt,
                                           const ActionIntent& intent, std::string_view canonical_intent,
                                           std::string_view result_text) {
    ORVANE_ASSIGN_OR_RETURN(auto tx,
                            storage::Transaction::begin(db)
                                .with_context("Failed to begin authorization transaction: "));
    const std::string_view action_id = members::string_or_empty(receipt, "action_id");
    const std::string_view intent_hash = members::string_or_empty(receipt, "intent_hash");
    auto raced = replay_stored(db, root, action_id, intent_hash, canonical_intent);
    if (!raced || raced->has_value()) return raced;
    const std::string_view authorization_id = members::string_or_empty(receipt, "authorization_id");
    const std::uint64_t issued_at = members::uint_or_zero(receipt, "issued_at");
    ORVANE_TRY(storage::Queries(db, "Failed to persist authorization receipt: ")
                   .execute(R"(INSERT INTO action_authorizations
                 (authorization_id, action_id, tenant_id, agent_id, idempotency_key, intent_hash,
                  decision, issued_at, expires_at, authorization_json)
                 VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10))",
                            authorization_id, action_id, intent.tenant_id, intent.agent_id, intent.idempotency_key,
                            intent_hash, members::string_or_empty(receipt, "decision"), issued_at,
                            members::uint_or_zero(receipt, "expires_at"), result_text));
    ORVANE_TRY(append_event(db, intent.tenant_id, "action.authorized", authorization_id, result_text, issued_at));
    ORVANE_TRY(tx.commit().with_context("Failed to commit authorization transaction: "));
    return std::optional<std::string>();
}

// The active policy of the tenant (the baseline installed first when there
// is none) and its judgement of the intent.
struct Judgement {
    Json bundle;
    PolicyEvaluation policy;
};

Result<Judgement> judge_by_policy(storage::Connection& db, const Signer& signer, std::string_view gate_key,
                                  std::string_view tenant_id, const Json& intent, std::uint64_t ttl_seconds,
                                  std::uint64_t now) {
    ORVANE_TRY(ensure_baseline_policy(db, signer, now));
    ORVANE_ASSIGN_OR_RETURN(Json bundle, resolve_active_policy(db, gate_key, tenant_id));
    // resolve_active_policy has just verified the bundle with the gate key.
    ORVANE_ASSIGN_OR_RETURN(PolicyEvaluation policy, evaluate_verified_policy(bundle, intent, ttl_seconds));
    return Judgement{std::move(bundle), std::move(policy)};
}

// What the gate-signed receipt states; the decision's reason codes and the
// policy's evidence are moved into it.
struct ReceiptTerms {
    std::string_view action_id;
    const ActionIntent& intent;
    std::string_view intent_hash;
    AuthorizationDecision& decision;
    Judgement& judged;
    std::uint64_t issued_at;
    std::uint64_t ttl_seconds;
};

Result<Json> sign_receipt(const Signer& signer, std::string_view gate_id, const ReceiptTerms& terms) {
    if (terms.ttl_seconds > (std::numeric_limits<std::uint64_t>::max() - terms.issued_at) / 1'000'000) {
        return fail("ORVANE_INVALID_TTL: expiration overflow");
    }
    const Json& bundle = terms.judged.bundle;
    PolicyEvaluation& policy = terms.judged.policy;
    Json receipt = Json::object();
    receipt["schema_version"] = kAuthorizationReceiptSchema;
    receipt["action_id"] = terms.action_id;
    receipt["tenant_id"] = terms.intent.tenant_id;
    receipt["agent_id"] = terms.intent.agent_id;
    receipt["intent_hash"] = terms.intent_hash;
    receipt["decision"] = terms.decision.decision;
    receipt["reason_codes"] = std::move(terms.decision.reason_codes);
    if (const Json* version = members::get(bundle, "policy_version")) {
        receipt["policy_version"] = *version;
    }
    if (const Json* digest = members::get(bundle, "policy_digest")) {
        receipt["policy_digest"] = *digest;
    }
    receipt["evidence_digest"] = std::move(policy.evidence_digest);
    receipt["executor_constraints"] = std::move(policy.executor_constraints);
    receipt["issued_at"] = terms.issued_at;
    receipt["expires_at"] = terms.issued_at + terms.ttl_seconds * 1'000'000;
    receipt["gate_id"] = gate_id;
    receipt["gate_signer"] = signer_identity_json(signer.identity());
    std::string authorization_id = canonical_digest(receipt);
    ORVANE_ASSIGN_OR_RETURN(auto gate_signature, signer.sign_digest_hex(authorization_id));
    receipt["authorization_id"] = std::move(authorization_id);
    receipt["gate_signature"] = std::move(gate_signature);
    return receipt;
}

// The request once the intent is parsed and its contract holds.
Result<std::string> authorize_validated(Gate& gate, const ParsedField& parsed,
                                        const ActionIntent& intent, std::string_view agent_id,
                                        std::string_view agent_signature,
                                        std::uint64_t ttl_seconds) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    // The authorization result holds the intent one level down; an intent at
    // the parser's limit would give a permit that nobody could read back.
    if (!json_nests_within(parsed.value, kMaxJsonDepth - 1)) {
        return fail("ORVANE_INVALID_CONTRACT: intent is nested too deeply");
    }
    storage::Connection& db = gate.db;
    const std::string hash = intent_hash(parsed.canonical);
    const std::string action_id = derive_action_id(intent.tenant_id, intent.agent_id, intent.idempotency_key);
    ORVANE_ASSIGN_OR_RETURN(auto root, gate_trusted_root(gate));
    ORVANE_ASSIGN_OR_RETURN(auto stored, replay_stored(db, root, action_id, hash, parsed.canonical));
    if (stored.has_value()) return std::move(*stored);

    ORVANE_ASSIGN_OR_RETURN(auto authority, require_gate_authority(gate, root));
    const Signer& signer = *authority.signer;
    ORVANE_ASSIGN_OR_RETURN(auto issued_at, now_micros());
    ORVANE_ASSIGN_OR_RETURN(Judgement judged,
                            judge_by_policy(db, signer, authority.public_key, intent.tenant_id, parsed.value,
                                            ttl_seconds, issued_at));
    const bool signature_valid =
        verify_signature(agent_id, members::bytes(parsed.canonical), agent_signature);
    // The agent's standing is judged at the instant the receipt names, as
    // receipt verification judges it: a change that another process writes
    // while this request runs cannot make the stored answer unreproducible.
    ORVANE_ASSIGN_OR_RETURN(const auto agent, resolve_identity(db, root, agent_id, issued_at));
    AuthorizationDecision decision = decide_authorization(DecisionInputs{
        .agent_signature_valid = signature_valid,
        .agent = agent.has_value() ? &*agent : nullptr,
        .intent_tenant_id = intent.tenant_id,
        .requested_at = intent.requested_at,
        .issued_at = issued_at,
        .policy = &judged.policy,
    });
    ORVANE_ASSIGN_OR_RETURN(Json receipt, sign_receipt(signer, authority.public_key,
                                                       ReceiptTerms{
                                                           .action_id = action_id,
                                                           .intent = intent,
                                                           .intent_hash = hash,
                                                           .decision = decision,
                                                           .judged = judged,
                                                           .issued_at = issued_at,
                                                           .ttl_seconds = ttl_seconds,
                                                       }));

    Json result = Json::object();
    result["schema_version"] = kAuthorizationResultSchema;
    result["intent"] = parsed.value;
    result["agent_signature"] = agent_signature;
    result["policy_bundle"] = std::move(judged.bundle);
    result["authorization"] = std::move(receipt);
    std::string text = canonical_json(result);
    // Only a request that authenticates (its signature verifies under a key
    // that resolves to an active identity) is stored, bound to its action id
    // and announced. Anyone else gets the signed refusal but can neither
    // take an agent's idempotency key nor fill the database.
    if (!signature_valid || !agent.has_value() || !agent->active) return text;
    ORVANE_ASSIGN_OR_RETURN(auto raced, persist(db, root, result["authorization"], intent, parsed.canonical, text));
    if (raced.has_value()) return std::move(*raced);
    return text;
}

Result<ParsedField> parse_intent(std::string_view text) { return parse_json_field("intent", text); }

}  // namespace

Result<std::string> request_action(Gate& gate, std::string_view intent_text,
                                   const std::string& agent_keyfile, std::uint64_t ttl_seconds) {
    ORVANE_ASSIGN_OR_RETURN(auto key, load_signing_key(agent_keyfile));
    const std::string agent_id = key.public_key_hex();
    ORVANE_ASSIGN_OR_RETURN(auto parsed, parse_intent(intent_text));
    // Never sign an intent in another agent's name.
    ORVANE_ASSIGN_OR_RETURN(auto intent, validate_intent_contract(parsed.value, agent_id));
    const std::string signature = signature_hex(sign_message(key, members::bytes(parsed.canonical)));
    // The canonical text parses back to the same value, so the request goes
    // on with the parsed intent instead of parsing it a second time.
    ORVANE_TRY(check_ttl(ttl_seconds));
    return authorize_validated(gate, parsed, intent, agent_id, signature, ttl_seconds);
}

Result<std::string> request_action_signed(Gate& gate, std::string_view intent_text,
                                          std::string_view agent_id,
                                          std::string_view agent_signature,
                                          std::uint64_t ttl_seconds) {
    ORVANE_TRY(check_ttl(ttl_seconds));
    ORVANE_ASSIGN_OR_RETURN(auto parsed, parse_intent(intent_text));
    ORVANE_ASSIGN_OR_RETURN(auto intent, validate_intent_contract(parsed.value, agent_id));
    return authorize_validated(gate, parsed, intent, agent_id, agent_signature, ttl_seconds);
}

}  // namespace orvane
