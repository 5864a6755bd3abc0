// The executor's policy checks, on the gate's own policy code so that the gate
// and the executor cannot judge one permit differently.
#include "executor/policy_recheck.hpp"

#include "outcomes/executor_policy.hpp"
#include "policy/policy_bundle.hpp"
#include "policy/policy_evaluation.hpp"

namespace orvane::executor {

Status verify_bundle_from_gate(const Json& bundle, std::string_view gate_id) {
    return verify_policy_bundle(bundle, gate_id);
}

// The bundle was verified against the gate key just before; nothing can change
// it in between, so its signature is not checked a second time.
Result<bool> executor_admitted(const Json& bundle, std::string_view executor_id) {
    return check_verified_executor_policy(bundle, executor_id);
}

Result<ReproducedEvidence> reproduce_evidence(const Json& bundle, const Json& intent,
                                              std::uint64_t ttl_seconds) {
    ORVANE_ASSIGN_OR_RETURN(auto evaluation, evaluate_verified_policy(bundle, intent, ttl_seconds));
    return ReproducedEvidence{std::move(evaluation.decision),
                              std::move(evaluation.evidence_digest),
                              std::move(evaluation.executor_constraints)};
}

}  // namespace orvane::executor
