// Action traces: the authorization result and execution result of one action,
// assembled from storage and re-verified.
#include <algorithm>
#include <optional>
#include <string>

#include "primitives/json_access.hpp"
#include "authorization/receipt_verification.hpp"
#include "identity/gate_authority.hpp"
#include "outcomes/execution_receipt.hpp"
#include "outcomes/outcome_ops.hpp"
#include "primitives/clock.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

inline constexpr std::string_view kActionTraceSchema = "orvane.action-trace.v1";
inline constexpr std::string_view kTraceVerificationSchema = "orvane.trace-verification.v1";

Result<Json> assemble_trace(storage::Connection& db, std::string_view action_id) {
    ORVANE_ASSIGN_OR_RETURN(const auto stored, storage::Queries(db, "Failed to read action trace: ")
                                                   .query_one<std::string>(
                                                       "SELECT authorization_json FROM action_authorizations "
                                                       "WHERE action_id = ?1",
                                                       action_id));
    if (!stored) return fail("ORVANE_ACTION_NOT_FOUND");
    ORVANE_ASSIGN_OR_RETURN(Json authorization,
                            parse_json(*stored).with_context("Stored authorization is invalid JSON: "));

    ORVANE_ASSIGN_OR_RETURN(const auto stored_execution,
                            storage::Queries(db, "Failed to read execution receipt: ")
                                .query_one<std::string>(
                                    "SELECT execution_json FROM action_outcomes WHERE action_id = ?1", action_id));
    Json execution;  // null when no outcome was committed
    if (stored_execution) {
        ORVANE_ASSIGN_OR_RETURN(execution, parse_json(*stored_execution)
                                               .with_context("Stored execution receipt is invalid JSON: "));
    }

    Json trace = Json::object();
    trace["schema_version"] = kActionTraceSchema;
    trace["action_id"] = action_id;
    trace["authorization"] = std::move(authorization);
    trace["execution"] = std::move(execution);
    return trace;
}

bool any_contains(const std::vector<std::string>& codes,
                  std::initializer_list<std::string_view> words) {
    for (const std::string& code : codes) {
        for (std::string_view word : words) {
            if (code.find(word) != std::string::npos) return true;
        }
    }
    return false;
}

// The execution of a trace: its result verified against the permit, about
// the action asked for, and committed before any revocation of the agent.
std::vector<std::string> check_trace_execution(storage::Connection& db, const TrustedRoot& root,
                                               const Json& authorization, const Json& execution,
                                               const std::optional<ResolvedIdentity>& agent,
                                               std::string_view action_id) {
    std::vector<std::string> codes = verify_execution_result(db, root, authorization, execution);
    const Json* receipt_member = members::get(authorization, "authorization");
    const Json& receipt = receipt_member ? *receipt_member : members::null_json();
    const Json* execution_receipt = members::get(execution, "receipt");
    // (A receipt bound to another permit has been reported as such already.)
    if (execution_receipt != nullptr && execution_receipt->is_object() &&
        members::string_or_empty(*execution_receipt, "action_id") != action_id &&
        std::find(codes.begin(), codes.end(), "EXECUTION_ACTION_ID_MISMATCH") == codes.end()) {
        codes.emplace_back("EXECUTION_TRACE_ACTION_ID_MISMATCH");
    }
    // The gate never commits an outcome at or after a revocation of the
    // permit's agent (by the verified REVOKE, whatever the index says).
    if (agent && agent->revoked_at && *agent->revoked_at > members::uint_or_zero(receipt, "issued_at") &&
        execution_receipt != nullptr &&
        members::uint_or_zero(*execution_receipt, "completed_at") >= *agent->revoked_at) {
        codes.emplace_back("EXECUTION_AFTER_REVOCATION");
    }
    return codes;
}

Result<std::string_view> trace_phase(const Json& receipt, bool has_execution) {
    if (members::string_or_empty(receipt, "decision") == "BLOCKED") return std::string_view("BLOCKED");
    if (has_execution) return std::string_view("COMPLETED");
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    return std::string_view(members::uint_or_zero(receipt, "expires_at") < now ? "EXPIRED" : "AUTHORIZED");
}

}  // namespace

Result<std::string> get_trace(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(auto trace, assemble_trace(gate.db, action_id));
    return canonical_json(trace);
}

Result<std::string> verify_trace(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    // The assembled trace is verified as it stands. Writing it out and parsing
    // it again would give the same values, except that a trace nests one level
    // deeper than the documents it holds: documents near the parser's nesting
    // limit, stored and readable, would make every verification fail.
    ORVANE_ASSIGN_OR_RETURN(auto assembled, assemble_trace(gate.db, action_id));
    const Json& trace = assembled;
    const Json* authorization = members::get(trace, "authorization");
    if (authorization == nullptr) return fail("ORVANE_AUTHORIZATION_NOT_FOUND");

    ORVANE_ASSIGN_OR_RETURN(auto root, gate_trusted_root(gate));

    // Each document must be about the action asked for: rows moved under
    // another action id carry receipts that still name their own.
    std::optional<ResolvedIdentity> agent;
    std::vector<std::string> errors = verify_authorization_result(gate.db, root, *authorization, &agent);
    const Json* receipt_member = members::get(*authorization, "authorization");
    const Json& receipt = receipt_member ? *receipt_member : members::null_json();
    if (receipt.is_object() && members::string_or_empty(receipt, "action_id") != action_id) {
        errors.emplace_back("AUTHORIZATION_TRACE_ACTION_ID_MISMATCH");
    }
    const bool authorization_failed = !errors.empty();
    const Json* execution = members::get(trace, "execution");
    const bool has_execution = execution != nullptr && !execution->is_null();
    bool execution_failed = false;
    if (has_execution) {
        std::vector<std::string> more =
            check_trace_execution(gate.db, root, *authorization, *execution, agent, action_id);
        execution_failed = !more.empty();
        errors.insert(errors.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    ORVANE_ASSIGN_OR_RETURN(const std::string_view phase, trace_phase(receipt, has_execution));

    // A check fails when its own verification listed anything, or when any
    // code names its subject ("EXECUTOR_AGENT_COLLUSION" marks both). The
    // words alone would pass a check whose verification failed with a message
    // that names none of them ("ORVANE_POLICY_SIGNATURE_INVALID",
    // "ORVANE_INVALID_CONTRACT: outcome status ...").
    Json checks = Json::object();
    checks["authorization"] =
        authorization_failed || any_contains(errors, {"AUTHORIZATION", "INTENT", "AGENT", "GATE"})
            ? "FAILED"
            : "VERIFIED";
    checks["execution"] = !has_execution ? "NOT_PRESENT"
                          : execution_failed ||
                                  any_contains(errors, {"EXECUTION", "OUTCOME", "EXECUTOR"})
                              ? "FAILED"
                              : "VERIFIED";

    Json report = Json::object();
    report["schema_version"] = kTraceVerificationSchema;
    report["status"] = errors.empty() ? "VERIFIED" : "INVALID";
    report["action_id"] = action_id;
    report["phase"] = phase;
    report["checks"] = std::move(checks);
    report["errors"] = std::move(errors);
    return canonical_json(report);
}

}  // namespace orvane
