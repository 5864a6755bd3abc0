// The policy checks the executor repeats on a permit, over the gate's policy
// code: bundle verification against the trusted gate key, executor admission
// and the re-run of the evaluation whose evidence the receipt states.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane::executor {

// The bundle verifies and is signed by `gate_id`; the failure is the
// verification's message.
Status verify_bundle_from_gate(const Json& bundle, std::string_view gate_id);

// Whether the bundle admits `executor_id` among its allowed executors.
Result<bool> executor_admitted(const Json& bundle, std::string_view executor_id);

struct ReproducedEvidence {
    std::string decision;
    std::string evidence_digest;
    Json executor_constraints;
};

// Evaluates the intent under the bundle for `ttl_seconds`.
Result<ReproducedEvidence> reproduce_evidence(const Json& bundle, const Json& intent,
                                              std::uint64_t ttl_seconds);

}  // namespace orvane::executor
