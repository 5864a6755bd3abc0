// What happens to a consumed permit: completion with a signed action outcome,
// marking an execution whose result will never be known, recovery of stale
// executions, and the state report.
#include <limits>

#include "executor/executor.hpp"
#include "executor/observation.hpp"
#include "primitives/clock.hpp"
#include "primitives/digest.hpp"

namespace orvane {
namespace {

constexpr std::string_view kActionOutcomeSchema = "orvane.action-outcome.v1";
constexpr std::string_view kRecoveryReason = "EXECUTOR_RECOVERY_TIMEOUT";

Result<executor::ConsumptionRecord> load_existing(Executor& executor,
                                                  std::string_view authorization_id) {
    ORVANE_ASSIGN_OR_RETURN(auto record, executor.store->load_consumption(authorization_id));
    if (!record) return fail("Consumption not found");
    return std::move(*record);
}

Json parsed_or_null(std::string_view text) {
    auto value = parse_json(text);
    return value ? std::move(*value) : Json(nullptr);
}

}  // namespace

Result<std::string> complete_execution(Executor& executor, std::string_view authorization_id,
                                       std::string_view action_id, std::string_view status,
                                       std::string_view output_json) {
    ORVANE_ASSIGN_OR_RETURN(auto output, parse_json(output_json).with_context("Invalid output JSON: "));
    if (status != "SUCCEEDED" && status != "FAILED")
        return fail("Execution status must be SUCCEEDED or FAILED");
    ORVANE_ASSIGN_OR_RETURN(auto record, load_existing(executor, authorization_id));
    if (record.action_id != action_id || record.status != "STARTED")
        return fail("Consumption does not match a STARTED action");

    Json outcome = Json::object();
    outcome["schema_version"] = kActionOutcomeSchema;
    outcome["authorization_id"] = authorization_id;
    outcome["action_id"] = action_id;
    outcome["status"] = status;
    outcome["executor_id"] = executor.executor_id;
    outcome["output"] = std::move(output);
    const std::string unsigned_text = canonical_json(outcome);
    ORVANE_ASSIGN_OR_RETURN(auto signature, executor.signer->sign(std::span(
        reinterpret_cast<const std::uint8_t*>(unsigned_text.data()), unsigned_text.size())));
    outcome["executor_signature"] = std::move(signature);
    std::string outcome_text = canonical_json(outcome);

    Json details = Json::object();
    details["outcome_hash"] = sha256_hex(outcome_text);
    ORVANE_ASSIGN_OR_RETURN(auto observation,
                            executor::sign_observation(executor, authorization_id, action_id, status, std::move(details)));
    ORVANE_TRY(executor.store->complete_consumption(authorization_id, status, outcome_text,
                                                    observation));
    return outcome_text;
}

Result<std::string> mark_unknown(Executor& executor, std::string_view authorization_id,
                                 std::string_view reason) {
    ORVANE_ASSIGN_OR_RETURN(auto record, load_existing(executor, authorization_id));
    if (record.status != "STARTED") return fail("Execution is not in STARTED state");
    Json details = Json::object();
    details["reason"] = reason;
    ORVANE_ASSIGN_OR_RETURN(auto observation,
                            executor::sign_observation(executor, authorization_id, record.action_id,
                                                  "UNKNOWN", std::move(details)));
    ORVANE_TRY(executor.store->mark_consumption_unknown(authorization_id, observation));
    return observation;
}

Result<std::string> recover_incomplete(Executor& executor, std::uint64_t older_than_seconds) {
    constexpr std::uint64_t kMicrosPerSecond = 1'000'000;
    const std::uint64_t age_limit =
        older_than_seconds > std::numeric_limits<std::uint64_t>::max() / kMicrosPerSecond
            ? std::numeric_limits<std::uint64_t>::max()
            : older_than_seconds * kMicrosPerSecond;
    ORVANE_ASSIGN_OR_RETURN(auto now, now_micros());
    const std::uint64_t cutoff = age_limit > now ? 0 : now - age_limit;

    ORVANE_ASSIGN_OR_RETURN(auto rows, executor.store->list_started_before(cutoff));
    Json recovered = Json::array();
    for (const auto& row : rows) {
        Json details = Json::object();
        details["reason"] = kRecoveryReason;
        ORVANE_ASSIGN_OR_RETURN(auto observation,
                                executor::sign_observation(executor, row.authorization_id, row.action_id,
                                                      "UNKNOWN", std::move(details)));
        ORVANE_TRY(executor.store->mark_consumption_unknown(row.authorization_id, observation));
        ORVANE_ASSIGN_OR_RETURN(auto parsed, parse_json(observation));
        recovered.push_back(std::move(parsed));
    }
    return canonical_json(recovered);
}

Result<std::string> get_execution_state(Executor& executor, std::string_view authorization_id) {
    ORVANE_ASSIGN_OR_RETURN(auto record, load_existing(executor, authorization_id));
    Json report = Json::object();
    report["authorization_id"] = std::move(record.authorization_id);
    report["action_id"] = std::move(record.action_id);
    report["status"] = std::move(record.status);
    report["started_at"] = record.started_at;
    report["completed_at"] = record.completed_at ? Json(*record.completed_at) : Json(nullptr);
    report["outcome"] = record.outcome ? parsed_or_null(*record.outcome) : Json(nullptr);
    report["observation"] = parsed_or_null(record.observation_json);
    return canonical_json(report);
}

}  // namespace orvane
