#include "outcomes/executor_policy.hpp"

#include "policy/policy_bundle.hpp"
#include "policy/policy_evaluation.hpp"

namespace orvane {

Result<bool> check_verified_executor_policy(const Json& bundle, std::string_view executor_id) {
    const Json* constraints = bundle.is_object() ? find_member(bundle, "constraints") : nullptr;
    if (constraints == nullptr) return fail("ORVANE_POLICY_INVALID: constraints are missing");
    const Json* allowed =
        constraints->is_object() ? find_member(*constraints, "allowed_executors") : nullptr;
    return match_patterns(allowed, executor_id);
}

Result<bool> check_executor_policy(const Json& bundle, std::string_view executor_id) {
    ORVANE_TRY(verify_policy_bundle(bundle));
    return check_verified_executor_policy(bundle, executor_id);
}

}  // namespace orvane
