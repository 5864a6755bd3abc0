// Policy evaluation: a pure judgement of one action intent under one policy
// bundle for a requested time-to-live. It reads no table and no clock, so the
// gate, receipt verification and the executor reach the same answer from the
// same documents.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane {

inline constexpr std::string_view kPolicyEvidenceSchema = "orvane.policy-evidence.v1";

struct PolicyEvaluation {
    std::string decision;                   // "ALLOWED" or "BLOCKED"
    std::vector<std::string> reason_codes;  // in check order; ["POLICY_ALLOWED"] when nothing is denied
    std::string evidence_digest;            // canonical digest of the evidence object
    Json executor_constraints;              // {"allowed_executors": [...]}
};

// Verifies the bundle (without an expected signer key), then judges the intent.
// Intents that break a rule give a BLOCKED evaluation; malformed inputs give an
// error message.
Result<PolicyEvaluation> evaluate_policy(const Json& bundle, const Json& intent,
                                         std::uint64_t ttl_seconds);

// The same judgement for a bundle that the caller has just verified with
// verify_policy_bundle; skips the repeated signature check on hot paths.
Result<PolicyEvaluation> evaluate_verified_policy(const Json& bundle, const Json& intent,
                                                  std::uint64_t ttl_seconds);

// Matches a candidate against a pattern list ("*" matches everything, a
// trailing "*" matches by prefix, anything else exactly). `patterns` may be
// null (absent); a malformed list is an error.
Result<bool> match_patterns(const Json* patterns, std::string_view candidate);

// Checks a (non-null) money object against the money constraints of a policy.
Result<bool> evaluate_money(const Json& constraints, const Json& money);

}  // namespace orvane
