// The baseline policy and the resolution of the policy that applies to a tenant.
#include "policy/active_policy.hpp"

#include <string>

#include "primitives/json_access.hpp"
#include "events/stored_event.hpp"
#include "policy/policy_bundle.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {
namespace {

// The attested, unretired bundle of a tenant ("*" for the fallback).
constexpr const char* kAttestedBundleSql =
    "SELECT a.policy_version, a.policy_digest, a.signature, a.attestation_json, b.bundle_json\n"
    "             FROM active_policy_attestations a\n"
    "             JOIN policy_bundles b ON b.policy_version = a.policy_version\n"
    "             WHERE a.tenant_id = ?1 AND b.retired_at IS NULL";

bool string_member_is(const Json& object, std::string_view name, std::string_view expected) {
    const std::string* value = find_string(object, name);
    return value != nullptr && *value == expected;
}

// Re-verifies an attested row: the attestation under the gate key, then the
// bundle under the gate key, then the binding of the two. A genuine
// attestation proves only what it names, so it must name the tenant being
// resolved and the very version and digest of its row and of the bundle
// joined to it; otherwise another tenant's attestation, or an older one of
// the same tenant, could be copied into the row.
Result<Json> check_attested_row(const storage::Statement& row, std::string_view gate_public_key,
                                std::string_view kind, std::string_view tenant_id) {
    ORVANE_ASSIGN_OR_RETURN(auto attestation,
                            parse_json_field("active policy attestation", row.column_text(3)));
    const Digest attestation_id = sha256(attestation.canonical);
    if (!verify_signature(gate_public_key, attestation_id, row.column_text(2))) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(kind) + " policy attestation signature invalid");
    }
    ORVANE_ASSIGN_OR_RETURN(auto bundle,
                            parse_json(row.column_text(4))
                                .with_context("Stored policy bundle is invalid JSON: "));
    ORVANE_TRY(verify_policy_bundle(bundle, gate_public_key));
    const std::string* digest = find_string(bundle, "policy_digest");
    if (digest == nullptr || *digest != row.column_text(1)) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(kind) + " policy digest mismatch");
    }
    const Json& attested = attestation.value;
    const std::string* version = find_string(bundle, "policy_version");
    if (!string_member_is(attested, "schema_version", kActivePolicyAttestationSchema) ||
        !string_member_is(attested, "tenant_id", tenant_id) ||
        !string_member_is(bundle, "tenant_id", tenant_id) ||
        !string_member_is(attested, "policy_digest", *digest) || version == nullptr ||
        *version != row.column_text(0) || !string_member_is(attested, "policy_version", *version)) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(kind) + " policy attestation does not match its row");
    }
    return bundle;
}

// The tenant's latest "policy.published" event: every installation appends
// one in the transaction that writes the attestation, so it names the bundle
// that must be active. Rows can be deleted or restored from an older copy;
// the hash-chained stream can only be rewritten as a whole, which every
// checkpoint handed out exposes.
Result<std::optional<LatestEvent>> latest_published(storage::Connection& db, std::string_view tenant_id) {
    return latest_event_of_type(db, tenant_id, "policy.published");
}

Status check_latest_published(const std::optional<LatestEvent>& published, const Json& bundle,
                              std::string_view kind, std::string_view tenant_id) {
    if (!published || !string_member_is(bundle, "policy_digest", published->event_id)) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(kind) +
                    " policy is not the latest published policy of tenant '" + std::string(tenant_id) + "'");
    }
    return {};
}

// Points the "*" attestation back at the stored baseline. Its failure is not
// reported: the verification that follows decides the result.
Status reattest_baseline(storage::Connection& db, const Signer& signer, const Json& baseline,
                         std::uint64_t now) {
    const Json* digest = find_member(baseline, "policy_digest");
    if (!is_non_blank(digest)) return fail("ORVANE_POLICY_INVALID: 'policy_digest' is required");
    const SignerIdentity& identity = signer.identity();
    const Json attestation = {{"schema_version", kActivePolicyAttestationSchema},
                              {"tenant_id", "*"},
                              {"policy_version", kBaselinePolicyVersion},
                              {"policy_digest", *digest},
                              {"activated_at", now},
                              {"signer", signer_identity_json(identity)}};
    const std::string text = canonical_json(attestation);
    ORVANE_ASSIGN_OR_RETURN(auto signature, signer.sign(sha256(text)));

    // Deliberately ignored: a re-attestation that cannot be written leaves the
    // row as it was, and the verification that follows decides the result.
    (void)storage::Queries(db).execute(
        "INSERT OR REPLACE INTO active_policy_attestations\n"
        "                 (tenant_id, policy_version, policy_digest, activated_at, signer_public_key, signature, "
        "attestation_json)\n                 VALUES ('*', ?1, ?2, ?3, ?4, ?5, ?6)",
        kBaselinePolicyVersion, digest->get_ref<const std::string&>(), now, identity.public_key, signature, text);
    return {};
}

}  // namespace

Json baseline_policy_spec() {
    return Json{{"schema_version", kPolicyBundleSchema},
                {"policy_version", kBaselinePolicyVersion},
                {"tenant_id", "*"},
                {"constraints",
                 {{"allowed_action_types", Json::array({"*"})},
                  {"allowed_resources", Json::array({"*"})},
                  {"allowed_executors", Json::array({"*"})},
                  {"allowed_currencies", Json::array({"*"})},
                  {"max_ttl_seconds", 86400ULL},
                  {"max_input_bytes", 65536ULL}}}};
}

Status ensure_baseline_policy(storage::Connection& db, const Signer& signer, std::uint64_t now) {
    ORVANE_ASSIGN_OR_RETURN(auto stored, load_policy_bundle(db, kBaselinePolicyVersion));

    if (stored) {
        // A failed query reads as "not attested": the baseline is then
        // re-attested, which is harmless, and verified either way.
        const bool attested = storage::Queries(db)
                                  .exists("SELECT EXISTS(SELECT 1 FROM active_policy_attestations WHERE tenant_id "
                                          "= '*' AND policy_version = ?1)",
                                          kBaselinePolicyVersion)
                                  .value_or(false);
        if (attested) return verify_policy_bundle(*stored);
    }

    // The operator's own fallback for "*" judges every tenant without a policy
    // of its own; the baseline is then neither installed nor re-attested over
    // it. The stream says which policy was published for "*" last: a deleted
    // or redirected attestation row cannot bring the baseline back.
    ORVANE_ASSIGN_OR_RETURN(auto published, latest_published(db, "*"));
    if (published && (!stored || !string_member_is(*stored, "policy_digest", published->event_id))) {
        return {};
    }

    if (!stored) {
        ORVANE_TRY(install_policy_bundle(db, signer, baseline_policy_spec(), now));
        return {};
    }
    ORVANE_TRY(reattest_baseline(db, signer, *stored, now));
    return verify_policy_bundle(*stored);
}

Result<Json> resolve_active_policy(storage::Connection& db, std::string_view gate_public_key,
                                   std::string_view tenant_id) {
    if (tenant_id != "*") {
        const storage::Queries q(db, "Failed to resolve active policy: ");
        ORVANE_ASSIGN_OR_RETURN(const auto published, latest_published(db, tenant_id));
        ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare(kAttestedBundleSql, tenant_id));
        ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
        if (row) {
            ORVANE_ASSIGN_OR_RETURN(Json bundle, check_attested_row(stmt, gate_public_key, "active", tenant_id));
            ORVANE_TRY(check_latest_published(published, bundle, "active", tenant_id));
            return bundle;
        }

        // A tenant that once published a policy never falls back to "*", even
        // when its policy rows are gone: the stream still holds the event.
        bool had_policy = published.has_value();
        if (!had_policy) {
            ORVANE_ASSIGN_OR_RETURN(
                had_policy, q.exists("SELECT EXISTS(SELECT 1 FROM policy_bundles WHERE tenant_id = ?1)", tenant_id));
        }
        if (had_policy) {
            return fail("ORVANE_POLICY_NOT_FOUND: no active policy applies to tenant '" + std::string(tenant_id) +
                        "' (previous policy was retired)");
        }
    }

    const storage::Queries q(db, "Failed to resolve fallback policy: ");
    ORVANE_ASSIGN_OR_RETURN(const auto published, latest_published(db, "*"));
    ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare(kAttestedBundleSql, "*"));
    ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
    if (!row) return fail("ORVANE_POLICY_NOT_FOUND: no active policy applies");
    ORVANE_ASSIGN_OR_RETURN(Json bundle, check_attested_row(stmt, gate_public_key, "fallback", "*"));
    ORVANE_TRY(check_latest_published(published, bundle, "fallback", "*"));
    return bundle;
}

}  // namespace orvane
