// Agent registration. The gate is the only registrar: the first registration
// of a database must be the gate's own key, which becomes the trusted root;
// every later one needs the gate's identity to be active, allowed to delegate
// and in scope for the new agent's tenant. Everything is checked and signed
// before the one write transaction.
#include <string>

#include "events/event_stream.hpp"
#include "identity/agent_table.hpp"
#include "identity/identity_ops.hpp"
#include "identity/registration_event.hpp"
#include "identity/resolve.hpp"
#include "primitives/utf8.hpp"
#include "policy/active_policy.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

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

Status establish_root(storage::Connection& db, std::string_view key, std::uint64_t now) {
    return storage::Queries(db, "Failed to establish trusted root: ")
        .execute("INSERT OR REPLACE INTO trusted_roots (id, public_key, established_at) VALUES (1, ?1, ?2)", key,
                 now);
}

// The custody of the new key: the gate's own signer for the gate key, else
// what the metadata says (local Ed25519 by default).
Result<Custody> custody_of(const Signer& signer, const Json& metadata, std::string_view public_key) {
    Custody custody;
    if (public_key != signer.identity().public_key) {
        custody = custody_from_metadata(metadata, public_key);
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
    return custody;
}

// The gate identity as registrar of a later (not bootstrap) registration:
// active and allowed to delegate.
Result<ResolvedIdentity> resolve_registrar(storage::Connection& db, std::string_view gate_key) {
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    ORVANE_ASSIGN_OR_RETURN(const TrustedRoot root, check_trusted_root(db, gate_key));
    ORVANE_ASSIGN_OR_RETURN(auto resolved, resolve_identity(db, root, gate_key, now));
    if (!resolved) return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED: registrar has no valid signed registration");
    if (!resolved->active || !resolved->can_delegate)
        return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED: registrar cannot delegate agent authority");
    return std::move(*resolved);
}

// What the new agent is given: whether it may delegate, and its tenant. The
// first registration is the gate key's own, which may; a later one needs the
// gate identity as registrar, in scope for the tenant.
struct Delegation {
    bool can_delegate = true;
    std::string tenant_id;
};

Result<Delegation> delegation_for(storage::Connection& db, bool bootstrap, std::string_view public_key,
                                  std::string_view gate_key, const Json& metadata) {
    Delegation delegation;
    std::optional<ResolvedIdentity> registrar;
    if (bootstrap) {
        if (public_key != gate_key)
            return fail("ORVANE_ROOT_MISMATCH: the first registration must bootstrap the gate key itself");
    } else {
        ORVANE_ASSIGN_OR_RETURN(registrar, resolve_registrar(db, gate_key));
        const Json* flag = find_member(metadata, "can_delegate");
        delegation.can_delegate = flag != nullptr && flag->is_boolean() && flag->get<bool>();
    }
    const std::string* tenant_member = find_string(metadata, "tenant_id");
    delegation.tenant_id = tenant_member != nullptr ? *tenant_member : "*";
    if (is_blank(delegation.tenant_id)) return fail("ORVANE_INVALID_AGENT: metadata.tenant_id must not be empty");
    // The gate identity resolved above stands for the scope check as well:
    // nothing has been written in between.
    if (registrar && registrar->tenant_id != "*" && registrar->tenant_id != delegation.tenant_id)
        return fail("ORVANE_DELEGATION_SCOPE_DENIED: registrar cannot delegate across tenants");
    return delegation;
}

// One transaction: the agent row, for a bootstrap the trusted root and the
// baseline policy, and the stream event.
Status write_registration(storage::Connection& db, const Signer& signer, const NewAgentRow& row, bool bootstrap) {
    ORVANE_ASSIGN_OR_RETURN(auto tx, storage::Transaction::begin(db).with_context(
                                         "Failed to begin registration transaction: "));
    auto write = [&]() -> Status {
        ORVANE_TRY(insert_agent(db, row, "Failed to insert agent: "));
        if (bootstrap) {
            ORVANE_TRY(establish_root(db, row.registered_by, row.registered_at));
            ORVANE_TRY(ensure_baseline_policy(db, signer, row.registered_at));
        }
        ORVANE_TRY(append_event(db, row.tenant_id, "agent.registered", row.registration.digest,
                                row.registration.canonical, row.registered_at));
        return {};
    };
    if (auto written = write(); !written) {
        tx.rollback();
        return fail("Failed to register agent: " + written.error());
    }
    return tx.commit().with_context("Failed to commit registration: ");
}

}  // namespace

Result<std::string> register_agent(Gate& gate, std::string_view public_key, std::string_view alias,
                                   std::string_view metadata_text) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_TRY(parse_public_key(public_key));
    if (is_blank(alias)) return fail("ORVANE_INVALID_AGENT: alias must not be empty");
    ORVANE_ASSIGN_OR_RETURN(const ParsedField metadata, parse_json_field("metadata", metadata_text));
    if (!metadata.value.is_object()) return fail("ORVANE_INVALID_AGENT: metadata must be a JSON object");

    ORVANE_ASSIGN_OR_RETURN(const auto signer_ref, gate_signer(gate));
    const Signer& signer = *signer_ref;
    const std::string& gate_key = signer.identity().public_key;

    ORVANE_ASSIGN_OR_RETURN(const bool populated,
                            storage::Queries(gate.db, "Failed to count agents: ").exists("SELECT COUNT(*) FROM agents"));
    const bool bootstrap = !populated;
    ORVANE_ASSIGN_OR_RETURN(const Custody custody, custody_of(signer, metadata.value, public_key));

    ORVANE_ASSIGN_OR_RETURN(const Delegation delegation,
                            delegation_for(gate.db, bootstrap, public_key, gate_key, metadata.value));
    const bool can_delegate = delegation.can_delegate;
    const std::string& tenant_id = delegation.tenant_id;

    ORVANE_ASSIGN_OR_RETURN(const bool exists,
                            key_registered(gate.db, public_key, "Failed to check agent registration: "));
    if (exists) return fail("ORVANE_AGENT_ALREADY_REGISTERED: registrations are immutable");

    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    ORVANE_ASSIGN_OR_RETURN(
        SignedDocument registration,
        sign_document(signer, registration_event({public_key, public_key, alias, metadata.value, can_delegate, now,
                                                  gate_key, tenant_id, custody.key_version, custody.signer_uri,
                                                  custody.algorithm, std::nullopt})));
    ORVANE_TRY(write_registration(gate.db, signer,
                                  NewAgentRow{
                                      .public_key = public_key,
                                      .alias = alias,
                                      .registered_at = now,
                                      .metadata = metadata.canonical,
                                      .can_delegate = can_delegate,
                                      .registered_by = gate_key,
                                      .registration = registration,
                                      .identity_id = public_key,
                                      .tenant_id = tenant_id,
                                      .key_version = custody.key_version,
                                      .signer_uri = custody.signer_uri,
                                      .algorithm = custody.algorithm,
                                  },
                                  bootstrap));

    Json result = Json::object();
    result["schema_version"] = "orvane.agent-registration.v1";
    result["event_id"] = std::move(registration.digest);
    result["signature"] = std::move(registration.signature);
    result["registration"] = std::move(registration.document);
    return canonical_json(result);
}

}  // namespace orvane
