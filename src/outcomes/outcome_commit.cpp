// Outcome commits: the gate re-verifies the permit it issued, admits the
// executor, checks the executor's signature and issues a gate-signed
// execution receipt, stored once per permit and announced on the stream.
#include <cstdint>
#include <optional>

#include "authorization/intent.hpp"
#include "authorization/json_members.hpp"
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
#include "storage/sqlite.hpp"

namespace orvane {

namespace {

Result<std::string_view> non_blank_member(const Json& object, std::string_view name) {
    const Json* value = members::get(object, name);
    if (!is_non_blank(value)) {
        return fail("ORVANE_INVALID_CONTRACT: '" + std::string(name) + "' must be a non-empty string");
    }
    return std::string_view(value->get_ref<const std::string&>());
}

Result<std::string> load_authorization_json(storage::Connection& db,
                                            std::string_view authorization_id) {
    auto stmt = storage::Statement::prepare(
        db, "SELECT authorization_json FROM action_authorizations WHERE authorization_id = ?1");
    if (!stmt) return fail("Failed to read authorization: " + stmt.error());
    if (auto bound = stmt->bind_text(1, authorization_id); !bound) {
        return fail("Failed to read authorization: " + bound.error());
    }
    auto row = stmt->step();
    if (!row) return fail("Failed to read authorization: " + row.error());
    if (!*row) return fail("ORVANE_AUTHORIZATION_NOT_FOUND");
    return std::string(stmt->column_text(0));
}

constexpr std::string_view kRevokedPermit =
    "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit";

// revoked_authorizations is an index of the permits a revocation listed; a row
// there refuses at once, but its absence proves nothing (see agent_revoked_at).
Status check_not_revoked(storage::Connection& db, std::string_view authorization_id) {
    auto stmt = storage::Statement::prepare(
        db, "SELECT EXISTS(SELECT 1 FROM revoked_authorizations WHERE authorization_id = ?1)");
    if (!stmt) return fail("Failed to check permit revocation: " + stmt.error());
    if (auto bound = stmt->bind_text(1, authorization_id); !bound) {
        return fail("Failed to check permit revocation: " + bound.error());
    }
    auto row = stmt->step();
    if (!row) return fail("Failed to check permit revocation: " + row.error());
    if (*row && stmt->column_int64(0) != 0) return fail(std::string(kRevokedPermit));
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
    const std::uint64_t issued_at = members::uint(permit, "issued_at");
    if (!agent) {
        auto resolved = resolve_identity(db, root, members::string(permit, "agent_id"), issued_at);
        if (!resolved) return fail(std::move(resolved.error()));
        agent = std::move(*resolved);
    }
    if (!agent || !agent->revoked_at) return std::optional<std::uint64_t>();
    const std::uint64_t at = *agent->revoked_at;
    if (at <= issued_at || at > now) return std::optional<std::uint64_t>();
    return std::optional<std::uint64_t>(at);
}

// The completed_at of a stored execution result's receipt (0 when absent).
std::uint64_t stored_completed_at(const Json& execution) {
    const Json* receipt = members::get(execution, "receipt");
    return receipt != nullptr ? members::uint(*receipt, "completed_at") : 0;
}

struct EarlierOutcome {
    std::string outcome_hash;
    std::string execution_json;
};

Result<std::optional<EarlierOutcome>> load_earlier_outcome(storage::Connection& db,
                                                           std::string_view authorization_id) {
    auto stmt = storage::Statement::prepare(
        db, "SELECT outcome_hash, execution_json FROM action_outcomes WHERE authorization_id = ?1");
    if (!stmt) return fail("Failed to check permit consumption: " + stmt.error());
    if (auto bound = stmt->bind_text(1, authorization_id); !bound) {
        return fail("Failed to check permit consumption: " + bound.error());
    }
    auto row = stmt->step();
    if (!row) return fail("Failed to check permit consumption: " + row.error());
    if (!*row) return std::optional<EarlierOutcome>();
    return std::optional<EarlierOutcome>(
        EarlierOutcome{std::string(stmt->column_text(0)), std::string(stmt->column_text(1))});
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
    auto earlier = load_earlier_outcome(db, authorization_id);
    if (!earlier) return fail(std::move(earlier.error()));
    if (!earlier->has_value()) return std::optional<std::string>();
    EarlierOutcome& row = **earlier;
    if (row.outcome_hash != outcome_hash) {
        return fail("ORVANE_PERMIT_ALREADY_CONSUMED: a permit can produce only one outcome");
    }
    auto execution = parse_json(row.execution_json);
    if (!execution) return fail("ORVANE_STORED_EXECUTION_INVALID: " + execution.error());
    std::vector<std::string> codes = verify_execution_result(db, context.root, authorization, *execution);
    // Handed out only when its signed receipt names the permit asked for.
    const Json* stored_receipt = members::get(*execution, "receipt");
    if (stored_receipt == nullptr || members::string(*stored_receipt, "authorization_id") != authorization_id) {
        codes.emplace_back("STORED_AUTHORIZATION_ID_MISMATCH");
    }
    if (!codes.empty()) {
        return fail("ORVANE_STORED_EXECUTION_INVALID: " + join_reason_codes(codes));
    }
    // An outcome committed before the revocation stands; one committed at or
    // after it should never have been.
    if (context.revoked_at && stored_completed_at(*execution) >= *context.revoked_at) {
        return fail(std::string(kRevokedPermit));
    }
    return std::optional<std::string>(std::move(row.execution_json));
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
    auto tx = storage::Transaction::begin(db);
    if (!tx) return fail("Failed to begin outcome commit transaction: " + tx.error());
    auto raced = replay_earlier_outcome(db, context, authorization, row.authorization_id, row.outcome_hash);
    if (!raced || raced->has_value()) return raced;
    auto stmt = storage::Statement::prepare(db, R"(INSERT INTO action_outcomes
                 (receipt_id, authorization_id, action_id, executor_id, outcome_hash,
                  completed_at, execution_json)
                 VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7))");
    if (!stmt) return fail("Failed to persist execution receipt: " + stmt.error());
    Status done = stmt->bind_text(1, row.receipt_id);
    if (done) done = stmt->bind_text(2, row.authorization_id);
    if (done) done = stmt->bind_text(3, row.action_id);
    if (done) done = stmt->bind_text(4, row.executor_id);
    if (done) done = stmt->bind_text(5, row.outcome_hash);
    if (done) done = stmt->bind_uint64(6, row.completed_at);
    if (done) done = stmt->bind_text(7, row.execution_json);
    if (done) done = stmt->run();
    if (!done) return fail("Failed to persist execution receipt: " + done.error());
    auto event = append_event(db, row.tenant_id, row.event_type, row.receipt_id,
                              row.execution_json, row.completed_at);
    if (!event) return fail(std::move(event.error()));
    if (auto committed = tx->commit(); !committed) {
        return fail("Failed to commit outcome transaction: " + committed.error());
    }
    return std::optional<std::string>();
}

// The commit core. `parsed_outcome` is the outcome already parsed from
// `outcome_text` by the caller, or null to parse it here.
Result<std::string> commit_core(Gate& gate, std::string_view authorization_id,
                                std::string_view outcome_text, Json* parsed_outcome) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    storage::Connection& db = gate.db;
    auto root = gate_trusted_root(gate);
    if (!root) return fail(std::move(root.error()));

    // The permit, as issued and still usable.
    auto stored = load_authorization_json(db, authorization_id);
    if (!stored) return fail(std::move(stored.error()));
    auto authorization = parse_json(*stored);
    if (!authorization) return fail("Stored authorization is invalid JSON: " + authorization.error());
    std::optional<ResolvedIdentity> agent;
    const std::vector<std::string> permit_codes = verify_authorization_result(db, *root, *authorization, &agent);
    if (!permit_codes.empty()) {
        return fail("ORVANE_AUTHORIZATION_INVALID: " + join_reason_codes(permit_codes));
    }
    const Json& permit = (*authorization)["authorization"];
    // The row was found by its authorization id; the signed receipt must name it.
    if (members::string(permit, "authorization_id") != authorization_id) {
        return fail("ORVANE_AUTHORIZATION_INVALID: STORED_AUTHORIZATION_ID_MISMATCH");
    }
    if (members::string(permit, "decision") != "ALLOWED") {
        return fail("ORVANE_ACTION_BLOCKED: denied authorizations cannot be consumed");
    }
    ORVANE_TRY(check_not_revoked(db, authorization_id));
    if (!is_unsigned_integer(members::get(permit, "expires_at"))) {
        return fail("ORVANE_INVALID_CONTRACT: 'expires_at' must be an unsigned integer");
    }
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));
    if (members::uint(permit, "expires_at") < *now) return fail("ORVANE_PERMIT_EXPIRED");
    auto revoked_at = agent_revoked_at(db, *root, permit, agent, *now);
    if (!revoked_at) return fail(std::move(revoked_at.error()));
    auto action_id = non_blank_member(permit, "action_id");
    if (!action_id) return fail(std::move(action_id.error()));

    // The outcome.
    Json own_outcome;
    if (parsed_outcome == nullptr) {
        auto parsed = parse_json(outcome_text);
        if (!parsed) return fail("outcome must be valid JSON: " + parsed.error());
        own_outcome = std::move(*parsed);
        parsed_outcome = &own_outcome;
    }
    Json& outcome = *parsed_outcome;
    if (!outcome.is_object() || !find_string(outcome, "executor_signature")) {
        return fail("ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature");
    }
    std::string executor_signature;
    const std::string signed_bytes = outcome_signing_bytes(outcome, &executor_signature);
    // The contract reads none of the signature member, so the outcome is
    // checked as it stands rather than through a copy.
    auto status = validate_outcome_contract(outcome, authorization_id, *action_id);
    if (!status) return fail(std::move(status.error()));
    // The stored execution result holds the outcome one level down; an outcome
    // at the parser's limit would give a record that no replay or trace could
    // read back.
    if (!json_nests_within(outcome, kMaxJsonDepth - 1)) {
        return fail("ORVANE_INVALID_CONTRACT: action outcome is nested too deeply");
    }
    const std::string outcome_hash = sha256_hex(signed_bytes);

    const ReplayContext replay{*root, *revoked_at};
    auto earlier = replay_earlier_outcome(db, replay, *authorization, authorization_id, outcome_hash);
    if (!earlier) return fail(std::move(earlier.error()));
    if (earlier->has_value()) return std::move(**earlier);
    if (revoked_at->has_value()) return fail(std::string(kRevokedPermit));

    // The parties.
    auto executor_id_member = non_blank_member(outcome, "executor_id");
    if (!executor_id_member) return fail(std::move(executor_id_member.error()));
    const std::string executor_id(*executor_id_member);
    auto agent_id = non_blank_member(permit, "agent_id");
    if (!agent_id) return fail(std::move(agent_id.error()));
    if (executor_id == *agent_id) {
        return fail("ORVANE_EXECUTOR_INVALID: proposer agent cannot execute its own permit");
    }

    // Admission by the policy; the bundle passed verification with the
    // permit, so it is not verified again.
    const Json* bundle = find_member(*authorization, "policy_bundle");
    if (bundle == nullptr) return fail("ORVANE_POLICY_BUNDLE_MISSING");
    auto admitted = check_verified_executor_policy(*bundle, executor_id);
    if (!admitted) return fail(std::move(admitted.error()));
    if (!*admitted) return fail("ORVANE_EXECUTOR_POLICY_DENIED");

    // Admission by the registry. The executor is judged at the instant that
    // becomes the receipt's completed_at, which is where any later check of the
    // stored result judges it too: with two readings a revocation in between
    // would store a result that could never be replayed or traced as verified.
    auto resolved_at = now_micros();
    if (!resolved_at) return fail(std::move(resolved_at.error()));
    auto executor = resolve_identity(db, *root, executor_id, *resolved_at);
    if (!executor) return fail(std::move(executor.error()));
    if (!executor->has_value()) return fail("ORVANE_EXECUTOR_NOT_REGISTERED");
    if (!(*executor)->active) return fail("ORVANE_EXECUTOR_NOT_ACTIVE");
    auto tenant_id = non_blank_member(permit, "tenant_id");
    if (!tenant_id) return fail(std::move(tenant_id.error()));
    if ((*executor)->tenant_id != "*" && (*executor)->tenant_id != *tenant_id) {
        return fail(
            "ORVANE_EXECUTOR_TENANT_SCOPE_DENIED: executor cannot operate outside assigned tenant");
    }
    if (auto metadata = parse_json((*executor)->metadata); metadata && metadata->is_object()) {
        const std::string* role = find_string(*metadata, "role");
        if (role != nullptr && *role == "proposer") {
            return fail("ORVANE_EXECUTOR_INVALID: executor agent cannot have proposer role");
        }
    }
    if (!verify_signature(executor_id, members::bytes(signed_bytes), executor_signature)) {
        return fail("ORVANE_EXECUTOR_SIGNATURE_INVALID");
    }

    // The receipt.
    auto authority = require_gate_authority(gate, *root);
    if (!authority) return fail(std::move(authority.error()));
    const auto& completed_at = resolved_at;
    auto intent_hash = non_blank_member(permit, "intent_hash");
    if (!intent_hash) return fail(std::move(intent_hash.error()));
    auto receipt = build_execution_receipt(*authority->signer,
                                           ExecutionReceiptFields{
                                               .authorization_id = authorization_id,
                                               .action_id = *action_id,
                                               .intent_hash = *intent_hash,
                                               .outcome_hash = outcome_hash,
                                               .executor_id = executor_id,
                                               .status = *status,
                                               .completed_at = *completed_at,
                                           });
    if (!receipt) return fail(std::move(receipt.error()));
    const std::string receipt_id(members::string(*receipt, "receipt_id"));
    const std::string execution_json =
        canonical_json(make_execution_result(std::move(*receipt), std::move(outcome)));

    auto raced = store_outcome(db, replay, *authorization,
                               OutcomeRow{
                                   .receipt_id = receipt_id,
                                   .authorization_id = authorization_id,
                                   .action_id = *action_id,
                                   .executor_id = executor_id,
                                   .outcome_hash = outcome_hash,
                                   .completed_at = *completed_at,
                                   .execution_json = execution_json,
                                   .tenant_id = *tenant_id,
                                   .event_type = *status == "SUCCEEDED" ? "action.executed" : "action.failed",
                               });
    if (!raced) return fail(std::move(raced.error()));
    if (raced->has_value()) return std::move(**raced);
    return execution_json;
}

}  // namespace

Result<std::string> commit_outcome_signed(Gate& gate, std::string_view authorization_id,
                                          std::string_view outcome) {
    return commit_core(gate, authorization_id, outcome, nullptr);
}

Result<std::string> commit_outcome(Gate& gate, std::string_view authorization_id,
                                   std::string_view outcome_text,
                                   const std::string& executor_keyfile) {
    auto key = load_signing_key(executor_keyfile);
    if (!key) return fail(std::move(key.error()));
    auto parsed = parse_json(outcome_text);
    if (!parsed) return fail("outcome must be valid JSON: " + parsed.error());
    Json& outcome = *parsed;
    if (outcome.is_object()) outcome["executor_id"] = key->public_key_hex();
    // Signed as it stands: a signature member already present is covered too,
    // and the commit then refuses the outcome.
    const std::string bytes = canonical_json(outcome);
    const std::string signature = signature_hex(sign_message(*key, members::bytes(bytes)));
    if (outcome.is_object()) outcome["executor_signature"] = signature;
    return commit_core(gate, authorization_id, {}, &outcome);
}

}  // namespace orvane
