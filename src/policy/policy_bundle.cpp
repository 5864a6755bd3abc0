// Verification, loading and installation of policy bundles.
#include "policy/policy_bundle.hpp"

#include <array>
#include <string>

#include "primitives/json_access.hpp"
#include "storage/query.hpp"
#include "events/event_stream.hpp"
#include "policy/policy_install.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

// Members that the digest of a bundle leaves out: its own proof and the
// listing annotations.
bool is_unsigned_member(std::string_view key) {
    return key == "policy_digest" || key == "signature" || key == "status" || key == "retired_at";
}

// sha256 hex of the canonical bundle without the unsigned members, written
// straight from the original so that no copy of the bundle is made.
std::string bundle_body_digest(const Json& bundle) {
    std::string text;
    text.push_back('{');
    bool first = true;
    for (const auto& [key, value] : bundle.items()) {
        if (is_unsigned_member(key)) continue;
        if (!first) text.push_back(',');
        first = false;
        append_json_string(text, key);
        text.push_back(':');
        append_canonical_json(text, value);
    }
    text.push_back('}');
    return sha256_hex(text);
}

}  // namespace

Json signer_identity_json(const SignerIdentity& identity) {
    return Json{{"signer_uri", identity.signer_uri},
                {"key_version", identity.key_version},
                {"algorithm", identity.algorithm},
                {"public_key", identity.public_key}};
}

Status verify_policy_bundle(const Json& bundle, std::optional<std::string_view> expected_signer_key) {
    if (!bundle.is_object()) return fail("ORVANE_POLICY_SCHEMA_UNKNOWN");
    const std::string* schema = find_string(bundle, "schema_version");
    if (schema == nullptr || *schema != kPolicyBundleSchema) return fail("ORVANE_POLICY_SCHEMA_UNKNOWN");

    const Json* digest = find_member(bundle, "policy_digest");
    if (!is_non_blank(digest)) return fail("ORVANE_POLICY_INVALID: 'policy_digest' is required");
    const Json* signature = find_member(bundle, "signature");
    if (!is_non_blank(signature)) return fail("ORVANE_POLICY_INVALID: 'signature' is required");

    const Json* signer = find_member(bundle, "signer");
    if (signer == nullptr) return fail("ORVANE_POLICY_SIGNER_MISSING");
    const Json empty = Json::object();
    const Json& signer_object = signer->is_object() ? *signer : empty;
    for (std::string_view member : {"signer_uri", "key_version", "algorithm", "public_key"}) {
        if (!is_non_blank(find_member(signer_object, member))) {
            return fail("ORVANE_POLICY_INVALID: '" + std::string(member) + "' is required");
        }
    }
    const auto& public_key = signer_object["public_key"].get_ref<const std::string&>();
    if (expected_signer_key && *expected_signer_key != public_key) {
        return fail("ORVANE_POLICY_SIGNER_UNTRUSTED");
    }
    if (signer_object["algorithm"].get_ref<const std::string&>() != "Ed25519") {
        return fail("ORVANE_POLICY_SIGNER_UNKNOWN");
    }

    const auto& digest_text = digest->get_ref<const std::string&>();
    if (bundle_body_digest(bundle) != digest_text) return fail("ORVANE_POLICY_DIGEST_MISMATCH");
    auto digest_bytes = hex_decode(digest_text);
    if (!digest_bytes) return fail("ORVANE_POLICY_DIGEST_INVALID");
    if (!verify_signature(public_key, *digest_bytes, signature->get_ref<const std::string&>())) {
        return fail("ORVANE_POLICY_SIGNATURE_INVALID");
    }
    return validate_policy_content(bundle);
}

Result<std::optional<Json>> load_policy_bundle(storage::Connection& db, std::string_view policy_version) {
    ORVANE_ASSIGN_OR_RETURN(const auto text, storage::Queries(db, "Failed to read policy: ")
                                                 .query_one<std::string>(
                                                     "SELECT bundle_json FROM policy_bundles WHERE policy_version = ?1",
                                                     policy_version));
    if (!text) return std::optional<Json>{};
    ORVANE_ASSIGN_OR_RETURN(Json bundle, parse_json(*text).with_context("Stored policy bundle is invalid JSON: "));
    return std::optional<Json>{std::move(bundle)};
}

Result<Json> build_policy_bundle(const Signer& signer, const Json& spec, std::uint64_t now) {
    ORVANE_TRY(validate_policy_content(spec));
    const SignerIdentity& identity = signer.identity();
    Json bundle = {{"schema_version", kPolicyBundleSchema},
                   {"policy_version", spec["policy_version"]},
                   {"tenant_id", spec["tenant_id"]},
                   {"constraints", spec["constraints"]},
                   {"issued_at", now},
                   {"signer", signer_identity_json(identity)}};
    std::string policy_digest = canonical_digest(bundle);
    ORVANE_ASSIGN_OR_RETURN(auto digest_bytes,
                            hex_decode(policy_digest).with_context("Invalid policy digest: "));
    ORVANE_ASSIGN_OR_RETURN(auto signature, signer.sign(digest_bytes));
    bundle["policy_digest"] = std::move(policy_digest);
    bundle["signature"] = std::move(signature);

    // A signer that returns a wrong signature must not get a bundle stored.
    ORVANE_TRY(verify_policy_bundle(bundle, std::string_view(identity.public_key)));
    return bundle;
}

Result<InstalledPolicy> install_policy_bundle_text(storage::Connection& db, const Signer& signer,
                                                   const Json& spec, std::uint64_t now) {
    ORVANE_ASSIGN_OR_RETURN(auto built, build_policy_bundle(signer, spec, now));
    Json& bundle = built;
    const SignerIdentity& identity = signer.identity();
    const auto& policy_version = bundle["policy_version"].get_ref<const std::string&>();
    const auto& tenant_id = bundle["tenant_id"].get_ref<const std::string&>();
    const auto& policy_digest = bundle["policy_digest"].get_ref<const std::string&>();
    std::string bundle_text = canonical_json(bundle);

    ORVANE_ASSIGN_OR_RETURN(auto stored, load_policy_bundle(db, policy_version));
    if (stored) {
        const std::string* stored_digest = find_string(*stored, "policy_digest");
        if (stored_digest != nullptr && *stored_digest == policy_digest) {
            std::string stored_text = canonical_json(*stored);
            return InstalledPolicy{std::move(*stored), std::move(stored_text)};
        }
        return fail("ORVANE_POLICY_VERSION_CONFLICT: '" + policy_version + "' already identifies different bytes");
    }

    const Json attestation = {{"schema_version", kActivePolicyAttestationSchema},
                              {"tenant_id", tenant_id},
                              {"policy_version", policy_version},
                              {"policy_digest", policy_digest},
                              {"activated_at", now},
                              {"signer", bundle["signer"]}};
    const std::string attestation_text = canonical_json(attestation);
    const Digest attestation_digest = sha256(attestation_text);
    ORVANE_ASSIGN_OR_RETURN(auto attestation_signature, signer.sign(attestation_digest));

    // Inside a caller's transaction (the bootstrap registration) the caller
    // owns commit and rollback.
    std::optional<storage::Transaction> own;
    if (!db.in_transaction()) {
        ORVANE_ASSIGN_OR_RETURN(auto begun,
                                storage::Transaction::begin(db)
                                    .with_context("Failed to begin policy installation transaction: "));
        own.emplace(std::move(begun));
    }

    ORVANE_TRY(storage::Queries(db, "Failed to retire previous policy: ")
                   .execute("UPDATE policy_bundles SET retired_at = ?1\n             WHERE tenant_id = ?2 AND "
                            "retired_at IS NULL",
                            now, tenant_id));
    ORVANE_TRY(storage::Queries(db, "Failed to install policy: ")
                   .execute("INSERT INTO policy_bundles\n             (policy_version, tenant_id, policy_digest, "
                            "issued_at, bundle_json)\n             VALUES (?1, ?2, ?3, ?4, ?5)",
                            policy_version, tenant_id, policy_digest, now, bundle_text));
    ORVANE_TRY(storage::Queries(db, "Failed to record active policy attestation: ")
                   .execute("INSERT OR REPLACE INTO active_policy_attestations\n             (tenant_id, "
                            "policy_version, policy_digest, activated_at, signer_public_key, signature, "
                            "attestation_json)\n             VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                            tenant_id, policy_version, policy_digest, now, identity.public_key,
                            attestation_signature, attestation_text));
    ORVANE_TRY(append_event(db, tenant_id, "policy.published", policy_digest, bundle_text, now));

    if (own) {
        ORVANE_TRY(own->commit().with_context("Failed to commit policy installation: "));
    }
    return InstalledPolicy{std::move(bundle), std::move(bundle_text)};
}

Result<Json> install_policy_bundle(storage::Connection& db, const Signer& signer, const Json& spec,
                                   std::uint64_t now) {
    ORVANE_ASSIGN_OR_RETURN(auto installed, install_policy_bundle_text(db, signer, spec, now));
    return std::move(installed.bundle);
}

}  // namespace orvane
