// Outcome commits: the gate re-verifies the permit it issued, admits the
// executor, checks the executor's signature and issues a gate-signed
// execution receipt, stored once per permit and announced on the stream.
#include <cstdint>
#include <optional>

#include "authorization/intent.hpp"
#include "primitives/json_access.hpp"
#include "authorization/receipt_verification.hpp"
#include "events/event_stream.hpp"
#include "identity/gate_authority.hpp"
#include "identity/resolve.hpp"
#include "outcomes/execution_receipt.hpp"
#include "outcomes/executor_policy.hpp"
#include "outcomes/outcome_ops.hpp"
#include "primitives/clock.hpp"
#include "primitives/digest.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

namespace {

constexpr std::string_view kRevokedPermit =
    "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit";

// The stored authorization document of the permit, re-verified as the gate
// issued it; `agent` is the permit's agent when verification resolved it.
Result<Json> load_verified_authorization(storage::Connection& db, const TrustedRoot& root,
                                         std::string_view authorization_id,
                                         std::optional<ResolvedIdentity>& agent) {
    ORVANE_ASSIGN_OR_RETURN(auto stored, storage::Queries(db, "Failed to read authorization: ")
                                             .query_one<std::string>(
                                                 "SELECT authorization_json FROM action_authorizations "
                                                 "WHERE authorization_id = ?1",
                                                 authorization_id));
    if (!stored) return fail("ORVANE_AUTHORIZATION_NOT_FOUND");
    ORVANE_ASSIGN_OR_RETURN(auto authorization,
                            parse_json(*stored).with_context("Stored authorization is invalid JSON: "));
    const std::vector<std::string> codes = verify_authorization_result(db, root, authorization, &agent);
    if (!codes.empty()) return fail("ORVANE_AUTHORIZATION_INVALID: " + join_reason_codes(codes));
    return authorization;
}

// revoked_authorizations is an index of the permits a revocation listed; a row
// there refuses at once, but its absence proves nothing (see agent_revoked_at).
Status check_not_revoked(storage::Connection& db, std::string_view authorization_id) {
    ORVANE_ASSIGN_OR_RETURN(const bool revoked,
                            storage::Queries(db, "Failed to check permit revocation: ")
                                .exists("SELECT EXISTS(SELECT 1 FROM revoked_authorizations WHERE "
                                        "authorization_id = ?1)",
                                        authorization_id));
    if (revoked) return fail(std::string(kRevokedPermit));
    return {};
}

// When the permit's agent was revoked after the permit was issued and by
// `now`: the effective_at of the verified, gate-signed REVOKE that ended the
// agent's key, as identity resolution replays it (its signed type, key and
// time, never the bare columns). `agent` is the agent as receipt verification
// resolved it, when it did.
Result<std::optional<std::uint64_t>> agent_revoked_at(storage::Connection& db, const TrustedRoot& root,
                                                      const Json& permit,
                                                      std::optional<ResolvedIdentity>& agent,
                                                      std::uint64_t now) {
    const std::uint64_t issued_at = members::uint_or_zero(permit, "issued_at");
    if (!agent) {
        ORVANE_ASSIGN_OR_RETURN(agent,
                                resolve_identity(db, root, members::string_or_empty(permit, "agent_id"),
                                                        issued_at));
    }
    if (!agent || !agent->revoked_at) return std::optional<std::uint64_t>();
    const std::uint64_t at = *agent->revoked_at;
    if (at <= issued_at || at > now) return std::optional<std::uint64_t>();
    return std::optional<std::uint64_t>(at);
}

// What the permit still allows now: its action, and when its agent was
// revoked since it was issued.
struct PermitStanding {
    std::string_view action_id;
    std::optional<std::uint64_t> revoked_at;
};

Result<PermitStanding> check_permit_standing(storage::Connection& db, const TrustedRoot& root,
                                             const Json& permit, std::string_view authorization_id,
                                             std::optional<ResolvedIdentity>& agent) {
    // The row was found by its authorization id; the signed receipt must name it.
    if (members::string_or_empty(permit, "authorization_id") != authorization_id) {
        return fail("ORVANE_AUTHORIZATION_INVALID: STORED_AUTHORIZATION_ID_MISMATCH");
    }
    if (members::string_or_empty(permit, "decision") != "ALLOWED") {
        return fail("ORVANE_ACTION_BLOCKED: denied authorizations cannot be consumed");
    }
    ORVANE_TRY(check_not_revoked(db, authorization_id));
    if (!is_unsigned_integer(members::get(permit, "expires_at"))) {
        return fail("ORVANE_INVALID_CONTRACT: 'expires_at' must be an unsigned integer");
    }
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    if (members::uint_or_zero(permit, "expires_at") < now) return fail("ORVANE_PERMIT_EXPIRED");
    ORVANE_ASSIGN_OR_RETURN(const auto revoked_at, agent_revoked_at(db, root, permit, agent, now));
    ORVANE_ASSIGN_OR_RETURN(const std::string_view action_id, require_non_blank(permit, "action_id"));
    return PermitStanding{action_id, revoked_at};
}

// The executor's outcome as submitted: the document, the bytes its signature
// covers, its status and its hash.
struct SubmittedOutcome {
    Json* document = nullptr;
    std::string signature;
    std::string signed_bytes;
    std::string status;
    std::string hash;
};

// `parsed` is the outcome already parsed from `text` by the caller, or null
// to parse it here into `own`.
Result<SubmittedOutcome> read_submitted_outcome(std::string_view text, Json* parsed, Json& own,
                                                std::string_view authorization_id,
                                                std::string_view action_id) {
    if (parsed == nullptr) {
        ORVANE_ASSIGN_OR_RETURN(own, parse_json(text).with_context("outcome must be valid JSON: "));
        parsed = &own;
    }
    Json& outcome = *parsed;
    if (!outcome.is_object() || !find_string(outcome, "executor_signature")) {
        return fail("ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature");
    }
    SubmittedOutcome submitted;
    submitted.document = parsed;
    submitted.signed_bytes = outcome_signing_bytes(outcome, &submitted.signature);
    // The contract reads none of the signature member, so the outcome is
    // checked as it stands rather than through a copy.
    ORVANE_ASSIGN_OR_RETURN(submitted.status,
                            validate_outcome_contract(outcome, authorization_id, action_id));
    // The stored execution result holds the outcome one level down; an outcome
    // at the parser's limit would give a record that no replay or trace could
    // read back.
    if (!json_nests_within(outcome, kMaxJsonDepth - 1)) {
        return fail("ORVANE_INVALID_CONTRACT: action outcome is nested too deeply");
    }
    submitted.hash = sha256_hex(submitted.signed_bytes);
    return submitted;
}

// The completed_at of a stored execution result's receipt (0 when absent).
std::uint64_t stored_completed_at(const Json& execution) {
    const Json* receipt = members::get(execution, "receipt");
    return receipt != nullptr ? members::uint_or_zero(*receipt, "completed_at") : 0;
}

// What a stored outcome is judged against: the root, and when the permit's
// agent was revoked since the permit was issued (agent_revoked_at).
struct ReplayContext {
    const TrustedRoot& root;
    std::optional<std::uint64_t> revoked_at;
};

// The stored answer when the permit already has an outcome: that outcome's
// execution result when it is the same outcome (and still verifies, and was
// committed before any revocation of the agent), else the refusal; nothing
// when the permit has no outcome yet.
Result<std::optional<std::string>> replay_earlier_outcome(storage::Connection& db, const ReplayContext& context,
                                                          const Json& authorization,
                                                          std::string_view authorization_id,
                                                          std::string_view outcome_hash) {
    ORVANE_ASSIGN_OR_RETURN(auto earlier,
                            storage::Queries(db, "Failed to check permit consumption: ")
                                .query_one<std::string, std::string>(
                                    "SELECT outcome_hash, execution_json FROM action_outcomes "
                                    "WHERE authorization_id = ?1",
                                    authorization_id));
    if (!earlier) return std::optional<std::string>();
    auto& [earlier_hash, execution_json] = *earlier;
    if (earlier_hash != outcome_hash) {
        return fail("ORVANE_PERMIT_ALREADY_CONSUMED: a permit can produce only one outcome");
    }
    ORVANE_ASSIGN_OR_RETURN(auto execution,
                            parse_json(execution_json).with_context("ORVANE_STORED_EXECUTION_INVALID: "));
    std::vector<std::string> codes = verify_execution_result(db, context.root, authorization, execution);
    // Handed out only when its signed receipt names the permit asked for.
    const Json* stored_receipt = members::get(execution, "receipt");
    if (stored_receipt == nullptr ||
        members::string_or_empty(*stored_receipt, "authorization_id") != authorization_id) {
        codes.emplace_back("STORED_AUTHORIZATION_ID_MISMATCH");
    }
    if (!codes.empty()) {
        return fail("ORVANE_STORED_EXECUTION_INVALID: " + join_reason_codes(codes));
    }
    // An outcome committed before the revocation stands; one committed at or
    // after it should never have been.
    if (context.revoked_at && stored_completed_at(execution) >= *context.revoked_at) {
        return fail(std::string(kRevokedPermit));
    }
    return std::optional<std::string>(std::move(execution_json));
}

// The executor as admitted: its id, the permit's tenant, and the instant it
// was judged at, which becomes the receipt's completed_at.
struct AdmittedExecutor {
    std::string executor_id;
    std::string_view tenant_id;
    std::uint64_t completed_at = 0;
};

// Admission of the outcome's executor by the permit's policy and by the
// registry, and the check of its signature over the outcome.
Result<AdmittedExecutor> admit_executor(storage::Connection& db, const TrustedRoot& root,
                                        const Json& authorization, const Json& permit,
                                        const SubmittedOutcome& outcome) {
    ORVANE_ASSIGN_OR_RETURN(const std::string_view executor_id,
                            require_non_blank(*outcome.document, "executor_id"));
    AdmittedExecutor admitted;
    admitted.executor_id = executor_id;
    ORVANE_ASSIGN_OR_RETURN(const std::string_view agent_id, require_non_blank(permit, "agent_id"));
    if (admitted.executor_id == agent_id) {
        return fail("ORVANE_EXECUTOR_INVALID: proposer agent cannot execute its own permit");
    }

    // Admission by the policy; the bundle passed verification with the
    // permit, so it is not verified again.
    const Json* bundle = find_member(authorization, "policy_bundle");
    if (bundle == nullptr) return fail("ORVANE_POLICY_BUNDLE_MISSING");
    ORVANE_ASSIGN_OR_RETURN(const bool allowed,
                            check_verified_executor_policy(*bundle, admitted.executor_id));
    if (!allowed) return fail("ORVANE_EXECUTOR_POLICY_DENIED");

    // Admission by the registry. The executor is judged at the instant that
    // becomes the receipt's completed_at, which is where any later check of the
    // stored result judges it too: with two readings a revocation in between
    // would store a result that could never be replayed or traced as verified.
    ORVANE_ASSIGN_OR_RETURN(admitted.completed_at, now_micros());
    ORVANE_ASSIGN_OR_RETURN(const auto executor,
                            resolve_identity(db, root, admitted.executor_id, admitted.completed_at));
    if (!executor) return fail("ORVANE_EXECUTOR_NOT_REGISTERED");
    if (!executor->active) return fail("ORVANE_EXECUTOR_NOT_ACTIVE");
    ORVANE_ASSIGN_OR_RETURN(admitted.tenant_id, require_non_blank(permit, "tenant_id"));
    if (executor->tenant_id != "*" && executor->tenant_id != admitted.tenant_id) {
        return fail(
            "ORVANE_EXECUTOR_TENANT_SCOPE_DENIED: executor cannot operate outside assigned tenant");
    }
    if (auto metadata = parse_json(executor->metadata); metadata && metadata->is_object()) {
        const std::string* role = find_string(*metadata, "role");
        if (role != nullptr && *role == "proposer") {
            return fail("ORVANE_EXECUTOR_INVALID: executor agent cannot have proposer role");
        }
    }
    if (!verify_signature(admitted.executor_id, members::bytes(outcome.signed_bytes), outcome.signature)) {
        return fail("ORVANE_EXECUTOR_SIGNATURE_INVALID");
    }
    return admitted;
}

// The gate-signed execution result, as it is stored and handed out.
struct ExecutionResult {
    std::string receipt_id;
    std::string json;
};

// Signs the execution receipt and wraps it with the outcome; the outcome
// document is moved into the result.
Result<ExecutionResult> issue_execution_result(Gate& gate, const TrustedRoot& root, const Json& permit,
                                               std::string_view authorization_id, std::string_view action_id,
                                               SubmittedOutcome& outcome, const AdmittedExecutor& executor) {
    ORVANE_ASSIGN_OR_RETURN(const auto authority, require_gate_authority(gate, root));
    ORVANE_ASSIGN_OR_RETURN(const std::string_view intent_hash, require_non_blank(permit, "intent_hash"));
    ORVANE_ASSIGN_OR_RETURN(Json receipt, build_execution_receipt(*authority.signer,
                                                                  ExecutionReceiptFields{
                                                                      .authorization_id = authorization_id,
                                                                      .action_id = action_id,
                                                                      .intent_hash = intent_hash,
                                                                      .outcome_hash = outcome.hash,
                                                                      .executor_id = executor.executor_id,
                                                                      .status = outcome.status,
                                                                      .completed_at = executor.completed_at,
                                                                  }));
    std::string receipt_id(members::string_or_empty(receipt, "receipt_id"));
    return ExecutionResult{
        std::move(receipt_id),
        canonical_json(make_execution_result(std::move(receipt), std::move(*outcome.document))),
    };
}

struct OutcomeRow {
    std::string_view receipt_id;
    std::string_view authorization_id;
    std::string_view action_id;
    std::string_view executor_id;
    std::string_view outcome_hash;
    std::uint64_t completed_at;
    std::string_view execution_json;
    std::string_view tenant_id;
    std::string_view event_type;
};

// Stores the outcome, or answers as a later commit would when another process
// committed to the permit since the first lookup: the lookup is repeated
// under the write lock, so the loser of a race gets the stored answer.
Result<std::optional<std::string>> store_outcome(storage::Connection& db, const ReplayContext& context,
                                                 const Json& authorization, const OutcomeRow& row) {
    ORVANE_ASSIGN_OR_RETURN(auto tx, storage::Transaction::begin(db).with_context(
                                         "Failed to begin outcome commit transaction: "));
    auto raced = replay_earlier_outcome(db, context, authorization, row.authorization_id, row.outcome_hash);
    if (!raced || raced->has_value()) return raced;
    ORVANE_TRY(storage::Queries(db, "Failed to persist execution receipt: ")
                   .execute(R"(INSERT INTO action_outcomes
                 (receipt_id, authorization_id, action_id, executor_id, outcome_hash,
                  completed_at, execution_json)
                 VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7))",
                            row.receipt_id, row.authorization_id, row.action_id, row.executor_id,
                            row.outcome_hash, row.completed_at, row.execution_json));
    ORVANE_TRY(append_event(db, row.tenant_id, row.event_type, row.receipt_id, row.execution_json,
                            row.completed_at));
    ORVANE_TRY(tx.commit().with_context("Failed to commit outcome transaction: "));
    return std::optional<std::string>();
}

// The commit core: the permit, the outcome, the parties, the receipt, in
// that order. `parsed_outcome` is the outcome already parsed from
// `outcome_text` by the caller, or null to parse it here.
Result<std::string> commit_core(Gate& gate, std::string_view authorization_id,
                                std::string_view outcome_text, Json* parsed_outcome) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    storage::Connection& db = gate.db;
    ORVANE_ASSIGN_OR_RETURN(const TrustedRoot root, gate_trusted_root(gate));

    std::optional<ResolvedIdentity> agent;
    ORVANE_ASSIGN_OR_RETURN(Json authorization,
                            load_verified_authorization(db, root, authorization_id, agent));
    const Json& permit = authorization["authorization"];
    ORVANE_ASSIGN_OR_RETURN(const PermitStanding standing,
                            check_permit_standing(db, root, permit, authorization_id, agent));

    Json own_outcome;
    ORVANE_ASSIGN_OR_RETURN(SubmittedOutcome outcome,
                            read_submitted_outcome(outcome_text, parsed_outcome, own_outcome, authorization_id,
                                                   standing.action_id));

    const ReplayContext replay{root, standing.revoked_at};
    ORVANE_ASSIGN_OR_RETURN(auto earlier,
                            replay_earlier_outcome(db, replay, authorization, authorization_id, outcome.hash));
    if (earlier) return std::move(*earlier);
    if (standing.revoked_at) return fail(std::string(kRevokedPermit));

    ORVANE_ASSIGN_OR_RETURN(const AdmittedExecutor executor,
                            admit_executor(db, root, authorization, permit, outcome));
    ORVANE_ASSIGN_OR_RETURN(const ExecutionResult result,
                            issue_execution_result(gate, root, permit, authorization_id, standing.action_id,
                                                   outcome, executor));
    ORVANE_ASSIGN_OR_RETURN(auto raced,
                            store_outcome(db, replay, authorization,
                                          OutcomeRow{
                                              .receipt_id = result.receipt_id,
                                              .authorization_id = authorization_id,
                                              .action_id = standing.action_id,
                                              .executor_id = executor.executor_id,
                                              .outcome_hash = outcome.hash,
                                              .completed_at = executor.completed_at,
                                              .execution_json = result.json,
                                              .tenant_id = executor.tenant_id,
                                              .event_type = outcome.status == "SUCCEEDED" ? "action.executed"
                                                                                          : "action.failed",
                                          }));
    if (raced) return std::move(*raced);
    return result.json;
}

}  // namespace

Result<std::string> commit_outcome_signed(Gate& gate, std::string_view authorization_id,
                                          std::string_view outcome) {
    return commit_core(gate, authorization_id, outcome, nullptr);
}

Result<std::string> commit_outcome(Gate& gate, std::string_view authorization_id,
                                   std::string_view outcome_text,
                                   const std::string& executor_keyfile) {
    ORVANE_ASSIGN_OR_RETURN(auto key, load_signing_key(executor_keyfile));
    ORVANE_ASSIGN_OR_RETURN(Json outcome, parse_json(outcome_text).with_context("outcome must be valid JSON: "));
    if (outcome.is_object()) outcome["executor_id"] = key.public_key_hex();
    // Signed as it stands: a signature member already present is covered too,
    // and the commit then refuses the outcome.
    const std::string bytes = canonical_json(outcome);
    const std::string signature = signature_hex(sign_message(key, members::bytes(bytes)));
    if (outcome.is_object()) outcome["executor_signature"] = signature;
    return commit_core(gate, authorization_id, {}, &outcome);
}

}  // namespace orvane
