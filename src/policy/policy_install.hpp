// Installation that also hands back the stored canonical text, so callers
// that return it do not write the bundle a second time.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

struct InstalledPolicy {
    Json bundle;
    std::string text;  // canonical JSON, byte-equal to the stored bundle_json
};

// Validates the policy to install and builds the signed bundle (nothing is stored); the
// bundle is verified against the signer's key before it is returned.
Result<Json> build_policy_bundle(const Signer& signer, const Json& spec, std::uint64_t now);

Result<InstalledPolicy> install_policy_bundle_text(storage::Connection& db, const Signer& signer,
                                                   const Json& spec, std::uint64_t now);

}  // namespace orvane
