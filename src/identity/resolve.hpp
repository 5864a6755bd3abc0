// Identity resolution: whether a key speaks for a valid identity at a given
// time, re-derived from signed data alone (the key's registration, the signed
// lifecycle events of its identity, the registrar chain back to the trusted
// root and the key's validity window). Nothing in the agents table is trusted
// because it is there. Resolution never writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

struct ResolvedIdentity {
    std::string tenant_id;    // "*" is the wildcard scope
    std::string identity_id;
    std::string metadata;     // the key row's stored metadata JSON text
    bool active = false;      // the key was valid at the time asked about
    bool can_delegate = false;
};

// A resolved identity, std::nullopt for "no identity" (unknown key or signed
// data that does not hold together), or an error message (storage failures
// and defective lifecycle events).
Result<std::optional<ResolvedIdentity>> resolve_identity(storage::Connection& db,
                                                         std::string_view public_key,
                                                         std::uint64_t at_micros);

}  // namespace orvane
