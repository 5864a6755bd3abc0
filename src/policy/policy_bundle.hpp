// Policy bundles: the gate-signed documents that fix, for one tenant, the
// constraints under which action intents are judged, and the gate-signed
// attestations that point a tenant at its current bundle.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

inline constexpr std::string_view kPolicyBundleSchema = "orvane.policy-bundle.v1";
inline constexpr std::string_view kActivePolicyAttestationSchema =
    "orvane.active-policy-attestation.v1";

// Content checks of a policy document (at installation) or of a bundle (at
// verification): schema, version, tenant and the constraints object.
Status validate_policy_content(const Json& document);

// Checks a bundle from its own contents: schema, signer, digest, the gate
// signature over the digest, then its content. When `expected_signer_key` is
// given, the bundle must be signed by exactly that key.
Status verify_policy_bundle(const Json& bundle,
                            std::optional<std::string_view> expected_signer_key = std::nullopt);

// The stored bundle of a version (across all tenants), if any.
Result<std::optional<Json>> load_policy_bundle(storage::Connection& db,
                                               std::string_view policy_version);

// Builds, signs and stores a bundle from a policy document at time `now` (microseconds):
// retires the tenant's previous bundle, attests the new one as active and
// appends "policy.published". Opens its own "BEGIN IMMEDIATE" transaction
// unless the connection is already inside one, in which case the caller owns
// commit and rollback. Returns the stored bundle (an identical version already
// stored is returned without writing anything).
Result<Json> install_policy_bundle(storage::Connection& db, const Signer& signer,
                                   const Json& spec, std::uint64_t now);

// The signer identity as it appears in signed policy documents.
Json signer_identity_json(const SignerIdentity& identity);

}  // namespace orvane
