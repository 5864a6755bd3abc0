// Pattern lists of a policy: arrays of non-empty strings.
#pragma once

#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane {

// "ORVANE_POLICY_INVALID: <label> must be an array" / "... must not be empty" /
// "... entries must be strings". `value` is null when the member is absent.
Status check_pattern_list(const Json* value, std::string_view label);

}  // namespace orvane
