// Authorization results read without a gate: verified under the gate's public
// key alone, or summarised (what a permit allows) without being consumed.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane {

// Verifies an authorization result under `gate_public_key` (hex, either case)
// and returns the verdict "orvane.authorization-verification.v1": status
// VERIFIED or INVALID with the reason codes. Refuses a result that is not JSON
// and a key that is not an Ed25519 public key.
Result<std::string> verify_authorization_under_key(std::string_view result_json, std::string_view gate_public_key);

// What a permit allows, read from its members without verifying or consuming
// it ("orvane.permit-info.v1"): action, resource, tenant, agent, executor
// constraints, decision and expiry. Members the permit lacks are null.
Result<std::string> permit_info(std::string_view permit_json);

}  // namespace orvane
