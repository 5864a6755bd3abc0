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
#include "storage/sqlite.hpp"

namespace orvane {

namespace {

inline constexpr std::string_view kActionTraceSchema = "orvane.action-trace.v1";
inline constexpr std::string_view kTraceVerificationSchema = "orvane.trace-verification.v1";

Result<Json> assemble_trace(storage::Connection& db, std::string_view action_id) {
    auto stmt = storage::Statement::prepare(
        db, "SELECT authorization_json FROM action_authorizations WHERE action_id = ?1");
    if (!stmt) return fail("Failed to read action trace: " + stmt.error());
    if (auto bound = stmt->bind_text(1, action_id); !bound) {
        return fail("Failed to read action trace: " + bound.error());
    }
    auto row = stmt->step();
    if (!row) return fail("Failed to read action trace: " + row.error());
    if (!*row) return fail("ORVANE_ACTION_NOT_FOUND");
    auto authorization = parse_json(stmt->column_text(0));
    if (!authorization) return fail("Stored authorization is invalid JSON: " + authorization.error());

    auto outcome = storage::Statement::prepare(
        db, "SELECT execution_json FROM action_outcomes WHERE action_id = ?1");
    if (!outcome) return fail("Failed to read execution receipt: " + outcome.error());
    if (auto bound = outcome->bind_text(1, action_id); !bound) {
        return fail("Failed to read execution receipt: " + bound.error());
    }
    auto outcome_row = outcome->step();
    if (!outcome_row) return fail("Failed to read execution receipt: " + outcome_row.error());
    Json execution;  // null when no outcome was committed
    if (*outcome_row) {
        auto parsed = parse_json(outcome->column_text(0));
        if (!parsed) return fail("Stored execution receipt is invalid JSON: " + parsed.error());
        execution = std::move(*parsed);
    }

    Json trace = Json::object();
    trace["schema_version"] = kActionTraceSchema;
    trace["action_id"] = action_id;
    trace["authorization"] = std::move(*authorization);
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

}  // namespace

Result<std::string> get_trace(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    auto trace = assemble_trace(gate.db, action_id);
    if (!trace) return fail(std::move(trace.error()));
    return canonical_json(*trace);
}

Result<std::string> verify_trace(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    // The assembled trace is verified as it stands. Writing it out and parsing
    // it again would give the same values, except that a trace nests one level
    // deeper than the documents it holds: documents near the parser's nesting
    // limit, stored and readable, would make every verification fail.
    auto assembled = assemble_trace(gate.db, action_id);
    if (!assembled) return fail(std::move(assembled.error()));
    const Json& trace = *assembled;
    const Json* authorization = members::get(trace, "authorization");
    if (authorization == nullptr) return fail("ORVANE_AUTHORIZATION_NOT_FOUND");

    auto root = gate_trusted_root(gate);
    if (!root) return fail(std::move(root.error()));

    // Each document must be about the action asked for: rows moved under
    // another action id carry receipts that still name their own.
    std::optional<ResolvedIdentity> agent;
    std::vector<std::string> errors = verify_authorization_result(gate.db, *root, *authorization, &agent);
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
        std::vector<std::string> more = verify_execution_result(gate.db, *root, *authorization, *execution);
        const Json* execution_receipt = members::get(*execution, "receipt");
        // (A receipt bound to another permit has been reported as such already.)
        if (execution_receipt != nullptr && execution_receipt->is_object() &&
            members::string_or_empty(*execution_receipt, "action_id") != action_id &&
            std::find(more.begin(), more.end(), "EXECUTION_ACTION_ID_MISMATCH") == more.end()) {
            more.emplace_back("EXECUTION_TRACE_ACTION_ID_MISMATCH");
        }
        // The gate never commits an outcome at or after a revocation of the
        // permit's agent (by the verified REVOKE, whatever the index says).
        if (agent && agent->revoked_at && *agent->revoked_at > members::uint_or_zero(receipt, "issued_at") &&
            execution_receipt != nullptr && members::uint_or_zero(*execution_receipt, "completed_at") >= *agent->revoked_at) {
            more.emplace_back("EXECUTION_AFTER_REVOCATION");
        }
        execution_failed = !more.empty();
        errors.insert(errors.end(), std::make_move_iterator(more.begin()),
                      std::make_move_iterator(more.end()));
    }

    std::string_view phase;
    if (members::string_or_empty(receipt, "decision") == "BLOCKED") {
        phase = "BLOCKED";
    } else if (has_execution) {
        phase = "COMPLETED";
    } else {
        auto now = now_micros();
        if (!now) return fail(std::move(now.error()));
        phase = members::uint_or_zero(receipt, "expires_at") < *now ? "EXPIRED" : "AUTHORIZED";
    }

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
