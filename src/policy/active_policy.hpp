// The baseline policy of the fallback tenant "*" and the resolution of the
// policy that applies to a tenant, re-verified from the stored documents with
// the gate's current key.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

inline constexpr std::string_view kBaselinePolicyVersion = "orvane.baseline.v1";

// The installation document of the built-in baseline policy.
Json baseline_policy_spec();

// While the operator has installed no fallback of their own for tenant "*",
// makes sure the baseline bundle exists and is the attested policy of "*".
// Runs inside the caller's transaction when one is open (the bootstrap
// registration), otherwise in its own.
Status ensure_baseline_policy(storage::Connection& db, const Signer& signer,
                                    std::uint64_t now);

// The bundle that applies to `tenant_id`: its own attested, unretired bundle,
// or the fallback bundle of "*" (the operator's, else the baseline) for a
// tenant that never had one; re-verified with
// `gate_public_key`.
Result<Json> resolve_active_policy(storage::Connection& db, std::string_view gate_public_key,
                                   std::string_view tenant_id);

}  // namespace orvane
