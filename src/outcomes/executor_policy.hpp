// Policy admission of an executor: whether a tenant's policy bundle lets an
// executor key run its actions (the bundle's `constraints.allowed_executors`).
#pragma once

#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane {

// Verifies the bundle (without an expected signer key), then matches the
// executor id against its allowed executors. A failure message for a bundle
// that does not verify, has no constraints or holds a malformed pattern list.
Result<bool> check_executor_policy(const Json& bundle, std::string_view executor_id);

// The same for a bundle the caller has already verified; skips the repeated
// signature check.
Result<bool> check_verified_executor_policy(const Json& bundle, std::string_view executor_id);

}  // namespace orvane
