// Key rotation and revocation: both decided and signed by the gate, both
// leave a signed lifecycle event "orvane.identity-lifecycle-event.v1" that
// identity resolution replays, and both mirror it into the identity's tenant
// stream ("identity.rotated", "identity.revoked") so that deleting the event
// row cannot undo them. All checks and signatures happen before the one write
// transaction.
#include <string>

#include "identity/agent_table.hpp"
#include "identity/gate_authority.hpp"
#include "identity/identity_ops.hpp"
#include "identity/registration_event.hpp"
#include "identity/resolve.hpp"
#include "events/event_stream.hpp"
#include "primitives/utf8.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {
namespace {

Json lifecycle_event(std::string_view type, const ResolvedIdentity& identity, std::string_view public_key,
                     std::uint64_t effective_at, const SignerIdentity& gate) {
    Json event = Json::object();
    event["schema_version"] = "orvane.identity-lifecycle-event.v1";
    event["event_type"] = type;
    event["identity_id"] = identity.identity_id;
    event["tenant_id"] = identity.tenant_id;
    event["public_key"] = public_key;
    event["effective_at"] = effective_at;
    event["authorized_by"] = gate.public_key;
    event["signer"] = Json{{"signer_uri", gate.signer_uri},
                           {"key_version", gate.key_version},
                           {"algorithm", gate.algorithm},
                           {"public_key", gate.public_key}};
    return event;
}

Json envelope(const SignedDocument& event) {
    return Json{{"event", event.document}, {"event_id", event.digest}, {"signature", event.signature}};
}

// Resolves `key` now and requires an active identity, else `inactive`.
Result<ResolvedIdentity> active_identity(Gate& gate, const TrustedRoot& root, std::string_view key,
                                         std::uint64_t now, const char* inactive) {
    ORVANE_ASSIGN_OR_RETURN(auto resolved, resolve_identity(gate.db, root, key, now));
    if (!resolved || !resolved->active) return fail(inactive);
    return std::move(*resolved);
}

// The lifecycle event row and its mirror in the identity's tenant stream:
// named by identity and event id, the stored envelope text as its payload.
// `event_type` is the row's ("ROTATE", "REVOKE"), `stream_type` the stream's.
Status store_lifecycle_event(storage::Connection& db, std::string_view event_type, std::string_view stream_type,
                             const SignedDocument& event, const ResolvedIdentity& identity,
                             std::string_view public_key, std::uint64_t effective_at,
                             std::string_view envelope_text, std::string_view failure_prefix) {
    ORVANE_TRY(storage::Queries(db, failure_prefix)
                   .execute("INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, "
                            "effective_at, event_json) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                            event.digest, identity.identity_id, public_key, event_type, effective_at,
                            envelope_text));
    ORVANE_TRY(append_event(db, identity.tenant_id, stream_type,
                            lifecycle_stream_event_id(identity.identity_id, event.digest), envelope_text,
                            effective_at));
    return {};
}

// Who a rotation is about and who decides it.
struct RotationParties {
    TrustedRoot root;
    ResolvedIdentity current;
    GateAuthority authority;
};

Result<RotationParties> rotation_parties(Gate& gate, std::string_view current_key, std::string_view new_key) {
    ORVANE_TRY(parse_public_key(new_key));
    if (current_key == new_key) return fail("ORVANE_ROTATION_INVALID: new key must differ from current key");

    ORVANE_ASSIGN_OR_RETURN(TrustedRoot root, gate_trusted_root(gate));
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t clock, now_micros());
    ORVANE_ASSIGN_OR_RETURN(ResolvedIdentity current,
                            active_identity(gate, root, current_key, clock,
                                            "ORVANE_ROTATION_INVALID: current identity is not active"));
    ORVANE_ASSIGN_OR_RETURN(GateAuthority authority, require_gate_authority(gate, root));
    if (current_key == authority.public_key)
        return fail("ORVANE_ROTATION_INVALID: gate signer rotation requires an offline root ceremony");

    // The gate identity, for the tenant scope of the identity being rotated.
    ORVANE_ASSIGN_OR_RETURN(const auto gate_identity,
                            resolve_identity(gate.db, root, authority.public_key, clock));
    if (!gate_identity) return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED");
    if (gate_identity->tenant_id != "*" && gate_identity->tenant_id != current.tenant_id)
        return fail("ORVANE_DELEGATION_SCOPE_DENIED");

    // Hex is read in either case: the new key must not exist under any
    // spelling, or one key would end up with two identities.
    ORVANE_ASSIGN_OR_RETURN(const bool taken,
                            key_registered(gate.db, new_key, "Failed to check rotation key: "));
    if (taken) return fail("ORVANE_AGENT_ALREADY_REGISTERED");
    return RotationParties{std::move(root), std::move(current), std::move(authority)};
}

// What the new key's registration carries over from the current key's row.
struct CarriedOver {
    std::string alias;  // as it stands
    std::string metadata_text;
    bool can_delegate = false;
    std::uint64_t key_version = 0;

    static Result<CarriedOver> from_row(const storage::Statement& row) {
        ORVANE_ASSIGN_OR_RETURN(const std::string_view alias,
                                row.column_text_checked(0).with_context("Failed to read identity for rotation: "));
        return CarriedOver{std::string(alias), std::string(row.column_text(1)), row.column_int64(2) != 0,
                           static_cast<std::uint64_t>(row.column_int64(3))};
    }
};

Result<CarriedOver> read_carried_over(storage::Connection& db, std::string_view current_key) {
    ORVANE_ASSIGN_OR_RETURN(auto row, storage::Queries(db, "Failed to read identity for rotation: ")
                                          .query_one<CarriedOver>("SELECT alias, metadata, can_delegate, "
                                                                  "key_version FROM agents WHERE public_key = ?1",
                                                                  current_key));
    if (!row) return fail("Failed to read identity for rotation: no agent row for the current key");
    return std::move(*row);
}

// One transaction: the current key retired, the new key installed, the
// ROTATE event stored and mirrored.
Status write_rotation(storage::Connection& db, const RotationParties& parties, std::string_view current_key,
                      const NewAgentRow& new_key, const SignedDocument& rotation, std::string_view envelope_text) {
    ORVANE_ASSIGN_OR_RETURN(auto tx,
                            storage::Transaction::begin(db).with_context("Failed to begin identity rotation: "));
    ORVANE_TRY(storage::Queries(db, "Failed to retire previous key: ")
                   .execute("UPDATE agents SET status = 'rotated', valid_until = ?1 WHERE public_key = ?2 AND "
                            "status = 'active'",
                            new_key.registered_at, current_key));
    ORVANE_TRY(insert_agent(db, new_key, "Failed to install rotated key: "));
    ORVANE_TRY(store_lifecycle_event(db, "ROTATE", "identity.rotated", rotation, parties.current,
                                     new_key.public_key, new_key.registered_at, envelope_text,
                                     "Failed to persist rotation event: "));
    ORVANE_TRY(tx.commit().with_context("Failed to commit identity rotation: "));
    return {};
}

}  // namespace

Result<std::string> rotate_agent(Gate& gate, std::string_view current_key, std::string_view new_key) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(const RotationParties parties, rotation_parties(gate, current_key, new_key));
    const ResolvedIdentity& current = parties.current;
    ORVANE_ASSIGN_OR_RETURN(const CarriedOver carried, read_carried_over(gate.db, current_key));
    ORVANE_ASSIGN_OR_RETURN(const Json metadata,
                            parse_json(carried.metadata_text).with_context("Stored agent metadata is invalid: "));

    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    if (carried.key_version >= kMaxKeyVersion) return fail("ORVANE_ROTATION_INVALID: key version overflow");
    const std::uint64_t new_version = carried.key_version + 1;

    const Signer& signer = *parties.authority.signer;
    Json event = lifecycle_event("ROTATE", current, new_key, now, signer.identity());
    event["previous_public_key"] = current_key;
    event["previous_key_version"] = carried.key_version;
    event["key_version"] = new_version;
    ORVANE_ASSIGN_OR_RETURN(const SignedDocument rotation, sign_document(signer, std::move(event)));
    const std::string envelope_text = canonical_json(envelope(rotation));

    const std::string signer_uri = "local-ed25519://" + std::string(new_key);
    const std::string& registrar = parties.authority.public_key;
    ORVANE_ASSIGN_OR_RETURN(
        const SignedDocument registration,
        sign_document(signer, registration_event({new_key, current.identity_id, carried.alias, metadata,
                                                  carried.can_delegate, now, registrar, current.tenant_id,
                                                  new_version, signer_uri, "Ed25519",
                                                  std::string_view(rotation.digest)})));
    ORVANE_TRY(write_rotation(gate.db, parties, current_key,
                              NewAgentRow{
                                  .public_key = new_key,
                                  .alias = carried.alias,
                                  .registered_at = now,
                                  .metadata = carried.metadata_text,
                                  .can_delegate = carried.can_delegate,
                                  .registered_by = registrar,
                                  .registration = registration,
                                  .identity_id = current.identity_id,
                                  .tenant_id = current.tenant_id,
                                  .key_version = new_version,
                                  .signer_uri = signer_uri,
                                  .algorithm = "Ed25519",
                              },
                              rotation, envelope_text));
    return envelope_text;
}

Result<std::string> revoke_agent(Gate& gate, std::string_view public_key, std::string_view reason) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    if (is_blank(reason)) return fail("ORVANE_REVOCATION_INVALID: reason must not be empty");
    ORVANE_ASSIGN_OR_RETURN(const TrustedRoot root, gate_trusted_root(gate));
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t clock, now_micros());
    ORVANE_ASSIGN_OR_RETURN(const ResolvedIdentity identity,
                            active_identity(gate, root, public_key, clock,
                                            "ORVANE_REVOCATION_INVALID: identity key is not active"));
    ORVANE_ASSIGN_OR_RETURN(const GateAuthority authority, require_gate_authority(gate, root));
    if (public_key == authority.public_key)
        return fail("ORVANE_REVOCATION_INVALID: rotate the active gate signer before revoking it");

    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    const Signer& signer = *authority.signer;
    Json event = lifecycle_event("REVOKE", identity, public_key, now, signer.identity());
    event["reason"] = reason;
    ORVANE_ASSIGN_OR_RETURN(const SignedDocument revocation, sign_document(signer, std::move(event)));
    Json result = envelope(revocation);
    const std::string envelope_text = canonical_json(result);

    ORVANE_ASSIGN_OR_RETURN(auto tx,
                            storage::Transaction::begin(gate.db).with_context("Failed to begin identity revocation: "));
    ORVANE_TRY(storage::Queries(gate.db, "Failed to revoke identity: ")
                   .execute("UPDATE agents SET status = 'revoked', valid_until = ?1, revoked_at = ?1 WHERE "
                            "public_key = ?2 AND status = 'active'",
                            now, public_key));
    ORVANE_TRY(store_lifecycle_event(gate.db, "REVOKE", "identity.revoked", revocation, identity, public_key, now,
                                     envelope_text, "Failed to persist revocation event: "));
    ORVANE_TRY(storage::Queries(gate.db, "Failed to revoke unconsumed permits: ")
                   .execute("INSERT OR IGNORE INTO revoked_authorizations (authorization_id, revoked_at, reason, "
                            "identity_event_id) SELECT a.authorization_id, ?1, ?2, ?3 FROM action_authorizations a "
                            "LEFT JOIN action_outcomes o ON o.authorization_id = a.authorization_id WHERE "
                            "a.agent_id = ?4 AND a.decision = 'ALLOWED' AND a.expires_at > ?1 AND "
                            "o.authorization_id IS NULL",
                            now, reason, revocation.digest, public_key));
    const auto revoked_permits = static_cast<std::uint64_t>(sqlite3_changes(gate.db.handle()));
    ORVANE_TRY(tx.commit().with_context("Failed to commit identity revocation: "));
    result["revoked_unconsumed_permits"] = revoked_permits;
    return canonical_json(result);
}

}  // namespace orvane
