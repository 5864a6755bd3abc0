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
    // effective_at of the verified, gate-signed REVOKE that ended this key;
    // empty while no revocation of the key exists.
    std::optional<std::uint64_t> revoked_at;
};

// The key every identity must chain back to. It is an input, never a row: the
// gate's loaded signer key, an executor's trusted gate id, or the key a
// verifier is given. A self-registration is accepted for this key alone.
struct TrustedRoot {
    std::string key;
    // trusted_roots holds exactly this key. False when the table is empty (a
    // database not bootstrapped yet, or one whose root row was deleted): then
    // no self-registration is accepted and nothing resolves.
    bool recorded = false;
};

// Checks the trusted_roots table against the root key the caller was given.
// Fails with "ORVANE_TRUSTED_ROOT_MISMATCH: ..." when the table holds any
// other key or more than one row, and with "Failed to read trusted root: ..."
// on a storage failure.
Result<TrustedRoot> check_trusted_root(storage::Connection& db, std::string_view root_key);

// A resolved identity, std::nullopt for "no identity" (unknown key or signed
// data that does not hold together), or an error message (storage failures,
// defective lifecycle events, and lifecycle events that the tenant's event
// stream names but the database no longer holds intact).
Result<std::optional<ResolvedIdentity>> resolve_identity(storage::Connection& db, const TrustedRoot& root,
                                                         std::string_view public_key,
                                                         std::uint64_t at_micros);

// The event stream's name for a lifecycle event: the identity id, ":", the
// lifecycle event id. Every event of one identity thus shares a prefix, and
// resolution finds them all with one range of the stream's (tenant_id,
// event_id) key.
std::string lifecycle_stream_event_id(std::string_view identity_id, std::string_view lifecycle_event_id);

}  // namespace orvane
