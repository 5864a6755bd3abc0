// Agent registration. The gate is the only registrar: the first registration
// of a database must be the gate's own key, which becomes the trusted root;
// every later one needs the gate's identity to be active, allowed to delegate
// and in scope for the new agent's tenant. Everything is checked and signed
// before the one write transaction.
#include <string>

#include "events/event_stream.hpp"
#include "identity/identity_ops.hpp"
#include "identity/registration_event.hpp"
#include "identity/resolve.hpp"
#include "identity/text.hpp"
#include "policy/active_policy.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

struct Custody {
    std::string signer_uri;
    std::uint64_t key_version = 1;
    std::string algorithm = "Ed25519";
};

Custody custody_from_metadata(const Json& metadata, std::string_view public_key) {
    Custody c;
    if (const std::string* uri = find_string(metadata, "signer_uri"))
        c.signer_uri = *uri;
    else
        c.signer_uri = "local-ed25519://" + std::string(public_key);
    if (const Json* v = find_member(metadata, "key_version")) {
        if (v->is_number_unsigned())
            c.key_version = v->get<std::uint64_t>();
        else if (v->is_number_integer() && v->get<std::int64_t>() >= 0)
            c.key_version = static_cast<std::uint64_t>(v->get<std::int64_t>());
        else if (v->is_string())
            c.key_version = parse_decimal_u64(v->get_ref<const std::string&>()).value_or(1);
    }
    if (const std::string* algorithm = find_string(metadata, "algorithm")) c.algorithm = *algorithm;
    return c;
}

Result<bool> has_agents(storage::Connection& db) {
    auto stmt = storage::Statement::prepare(db, "SELECT COUNT(*) FROM agents");
    if (!stmt) return fail("Failed to count agents: " + stmt.error());
    auto row = stmt->step();
    if (!row) return fail("Failed to count agents: " + row.error());
    return *row && stmt->column_int64(0) != 0;
}

// Hex is read case-insensitively, so "AB.." and "ab.." name one key: a key
// registered under one spelling cannot be registered again under another
// (which would give one key two identities, possibly in two tenants).
Result<bool> is_registered(storage::Connection& db, std::string_view key, std::string_view prefix) {
    auto stmt = storage::Statement::prepare(db, "SELECT 1 FROM agents WHERE public_key = ?1 COLLATE NOCASE");
    if (!stmt) return fail(std::string(prefix) + stmt.error());
    if (auto b = stmt->bind_text(1, key); !b) return fail(std::string(prefix) + b.error());
    auto row = stmt->step();
    if (!row) return fail(std::string(prefix) + row.error());
    return *row;
}

struct Insert {
    std::string_view public_key;
    std::string_view alias;
    std::uint64_t registered_at;
    std::string_view metadata;
    bool can_delegate;
    std::string_view registered_by;
    const SignedDocument& registration;
    std::string_view tenant_id;
    std::uint64_t key_version;
    std::string_view signer_uri;
    std::string_view algorithm;
};

Status insert_agent(storage::Connection& db, const Insert& r) {
    auto stmt = storage::Statement::prepare(
        db,
        "INSERT INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, registered_by, "
        "registration_event_id, registration_event, registration_signature, identity_id, tenant_id, "
        "key_version, signer_uri, algorithm, valid_from) VALUES (?1, ?2, ?3, ?4, 'active', ?5, ?6, ?7, ?8, "
        "?9, ?1, ?10, ?11, ?12, ?13, ?3)");
    if (!stmt) return fail("Failed to insert agent: " + stmt.error());
    Status bound = stmt->bind_text(1, r.public_key);
    if (bound) bound = stmt->bind_text(2, r.alias);
    if (bound) bound = stmt->bind_uint64(3, r.registered_at);
    if (bound) bound = stmt->bind_text(4, r.metadata);
    if (bound) bound = stmt->bind_int64(5, r.can_delegate ? 1 : 0);
    if (bound) bound = stmt->bind_text(6, r.registered_by);
    if (bound) bound = stmt->bind_text(7, r.registration.digest);
    if (bound) bound = stmt->bind_text(8, r.registration.canonical);
    if (bound) bound = stmt->bind_text(9, r.registration.signature);
    if (bound) bound = stmt->bind_text(10, r.tenant_id);
    if (bound) bound = stmt->bind_uint64(11, r.key_version);
    if (bound) bound = stmt->bind_text(12, r.signer_uri);
    if (bound) bound = stmt->bind_text(13, r.algorithm);
    if (bound) bound = stmt->run();
    if (!bound) return fail("Failed to insert agent: " + bound.error());
    return {};
}

Status establish_root(storage::Connection& db, std::string_view key, std::uint64_t now) {
    auto stmt = storage::Statement::prepare(
        db, "INSERT OR REPLACE INTO trusted_roots (id, public_key, established_at) VALUES (1, ?1, ?2)");
    if (!stmt) return fail("Failed to establish trusted root: " + stmt.error());
    Status s = stmt->bind_text(1, key);
    if (s) s = stmt->bind_uint64(2, now);
    if (s) s = stmt->run();
    if (!s) return fail("Failed to establish trusted root: " + s.error());
    return {};
}

}  // namespace

Result<std::string> register_agent(Gate& gate, std::string_view public_key, std::string_view alias,
                                   std::string_view metadata_text) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    if (auto parsed = parse_public_key(public_key); !parsed) return fail(std::move(parsed.error()));
    if (is_blank(alias)) return fail("ORVANE_INVALID_AGENT: alias must not be empty");
    auto metadata = parse_json_field("metadata", metadata_text);
    if (!metadata) return fail(std::move(metadata.error()));
    if (!metadata->value.is_object()) return fail("ORVANE_INVALID_AGENT: metadata must be a JSON object");

    auto signer_ref = gate_signer(gate);
    if (!signer_ref) return fail(std::move(signer_ref.error()));
    const Signer& signer = **signer_ref;
    const std::string& gate_key = signer.identity().public_key;

    auto populated = has_agents(gate.db);
    if (!populated) return fail(std::move(populated.error()));
    const bool bootstrap = !*populated;

    Custody custody;
    if (public_key != gate_key) {
        custody = custody_from_metadata(metadata->value, public_key);
    } else {
        auto version = parse_decimal_u64(signer.identity().key_version);
        if (!version) return fail("ORVANE_INVALID_AGENT: signer key_version must be numeric");
        custody = Custody{signer.identity().signer_uri, *version, signer.identity().algorithm};
    }
    if (is_blank(custody.signer_uri) || custody.key_version == 0 || custody.algorithm != "Ed25519")
        return fail("ORVANE_INVALID_AGENT: signer_uri, positive key_version, and Ed25519 are required");
    // The agents table keeps a signed 64-bit integer; a larger version would
    // be stored negative and never match the signed registration again.
    if (custody.key_version > kMaxKeyVersion)
        return fail("ORVANE_INVALID_AGENT: key_version must be at most " + std::to_string(kMaxKeyVersion));

    bool can_delegate = true;
    std::optional<ResolvedIdentity> registrar;
    if (bootstrap) {
        if (public_key != gate_key)
            return fail("ORVANE_ROOT_MISMATCH: the first registration must bootstrap the gate key itself");
    } else {
        auto now = now_micros();
        if (!now) return fail(std::move(now.error()));
        auto root = check_trusted_root(gate.db, gate_key);
        if (!root) return fail(std::move(root.error()));
        auto resolved = resolve_identity(gate.db, *root, gate_key, *now);
        if (!resolved) return fail(std::move(resolved.error()));
        if (!*resolved) return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED: registrar has no valid signed registration");
        if (!(*resolved)->active || !(*resolved)->can_delegate)
            return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED: registrar cannot delegate agent authority");
        registrar = std::move(*resolved);
        const Json* flag = find_member(metadata->value, "can_delegate");
        can_delegate = flag != nullptr && flag->is_boolean() && flag->get<bool>();
    }

    const std::string* tenant_member = find_string(metadata->value, "tenant_id");
    const std::string tenant_id = tenant_member != nullptr ? *tenant_member : "*";
    if (is_blank(tenant_id)) return fail("ORVANE_INVALID_AGENT: metadata.tenant_id must not be empty");
    // The gate identity resolved above stands for the scope check as well:
    // nothing has been written in between.
    if (registrar && registrar->tenant_id != "*" && registrar->tenant_id != tenant_id)
        return fail("ORVANE_DELEGATION_SCOPE_DENIED: registrar cannot delegate across tenants");

    auto exists = is_registered(gate.db, public_key, "Failed to check agent registration: ");
    if (!exists) return fail(std::move(exists.error()));
    if (*exists) return fail("ORVANE_AGENT_ALREADY_REGISTERED: registrations are immutable");

    auto clock = now_micros();
    if (!clock) return fail(std::move(clock.error()));
    const std::uint64_t now = *clock;
    auto registration = sign_document(
        signer, registration_event({public_key, public_key, alias, metadata->value, can_delegate, now, gate_key,
                                    tenant_id, custody.key_version, custody.signer_uri, custody.algorithm,
                                    std::nullopt}));
    if (!registration) return fail(std::move(registration.error()));

    auto tx = storage::Transaction::begin(gate.db);
    if (!tx) return fail("Failed to begin registration transaction: " + tx.error());
    auto write = [&]() -> Status {
        ORVANE_TRY(insert_agent(gate.db, {public_key, alias, now, metadata->canonical, can_delegate, gate_key,
                                          *registration, tenant_id, custody.key_version, custody.signer_uri,
                                          custody.algorithm}));
        if (bootstrap) {
            ORVANE_TRY(establish_root(gate.db, gate_key, now));
            auto baseline = ensure_baseline_policy(gate.db, signer, now);
            if (!baseline) return fail(std::move(baseline.error()));
        }
        auto appended = append_event(gate.db, tenant_id, "agent.registered", registration->digest,
                                     registration->canonical, now);
        if (!appended) return fail(std::move(appended.error()));
        return {};
    };
    if (auto written = write(); !written) {
        tx->rollback();
        return fail("Failed to register agent: " + written.error());
    }
    if (auto committed = tx->commit(); !committed) return fail("Failed to commit registration: " + committed.error());

    Json result = Json::object();
    result["schema_version"] = "orvane.agent-registration.v1";
    result["event_id"] = std::move(registration->digest);
    result["signature"] = std::move(registration->signature);
    result["registration"] = std::move(registration->document);
    return canonical_json(result);
}

}  // namespace orvane
