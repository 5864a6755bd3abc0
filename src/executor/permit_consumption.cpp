// verify_and_consume_permit: every check runs on the permit and the
// executor's configuration first (and on the gate database when one is
// configured); only then is the permit consumed, at most once.
#include <array>

#include "executor/executor.hpp"
#include "executor/gate_checks.hpp"
#include "executor/observation.hpp"
#include "executor/policy_recheck.hpp"
#include "primitives/clock.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/json_access.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

constexpr std::string_view kAuthorizationResultSchema = "orvane.authorization-result.v1";

// Fixed-size hex decoding: odd length first, then the length, then the digits.
template <std::size_t N>
Result<std::array<std::uint8_t, N>> decode_exact(std::string_view text) {
    if (text.size() % 2 != 0) return fail("Odd number of digits");
    if (text.size() != 2 * N) return fail("Invalid string length");
    std::array<std::uint8_t, N> out{};
    bool right_size = false;
    ORVANE_TRY(hex_decode_into(text, out, right_size));
    if (!right_size) return fail("Invalid string length");
    return out;
}

// Tenant and gate, before any signature is looked at; then the gate's
// signature over the receipt, whose identifier is the digest of everything
// else it says.
Status check_gate_signature(const Executor& executor, const Json& receipt, const Json& intent) {
    const std::string* tenant_id = find_string(intent, "tenant_id");
    if (tenant_id == nullptr) return fail("Missing tenant_id in intent");
    if (*tenant_id != executor.trusted_tenant_id) return fail("Cross-tenant permit rejected");
    const std::string* gate_signature = find_string(receipt, "gate_signature");
    if (gate_signature == nullptr) return fail("Missing gate_signature");
    const std::string* gate_id = find_string(receipt, "gate_id");
    if (gate_id == nullptr) return fail("Missing gate_id");
    if (*gate_id != executor.trusted_gate_id) return fail("Untrusted gate ID");

    ORVANE_ASSIGN_OR_RETURN(const PublicKey gate_key, decode_exact<kPublicKeySize>(*gate_id));
    if (!parse_public_key(*gate_id)) return fail("Invalid gate pk");
    ORVANE_ASSIGN_OR_RETURN(const Signature signature, decode_exact<kSignatureSize>(*gate_signature));

    const std::string* authorization_id = find_string(receipt, "authorization_id");
    if (authorization_id == nullptr) return fail("Missing authorization_id");
    if (sha256_hex(canonical_json_without(receipt, {"authorization_id", "gate_signature"})) != *authorization_id)
        return fail("Authorization ID mismatch");
    ORVANE_ASSIGN_OR_RETURN(const auto digest, hex_decode(*authorization_id));
    if (!verify_raw(gate_key, digest, signature)) return fail("Invalid gate signature");
    return {};
}

// The permit's policy: the bundle signed by the gate, bound to the receipt,
// admitting this executor.
Status check_policy_binding(const Executor& executor, const Json& receipt, const Json& bundle) {
    ORVANE_TRY(executor::verify_bundle_from_gate(bundle, executor.trusted_gate_id)
                   .with_context("Invalid policy bundle: "));
    if (!members::optional_pair_equal(receipt, "policy_version", bundle, "policy_version") ||
        !members::optional_pair_equal(receipt, "policy_digest", bundle, "policy_digest"))
        return fail("Authorization policy binding mismatch");
    ORVANE_ASSIGN_OR_RETURN(const bool admitted, executor::executor_admitted(bundle, executor.executor_id));
    if (!admitted) return fail("Executor is denied by policy");
    return {};
}

// The permit is unexpired at the returned time, and its evidence comes out
// the same when the evaluation is run again.
Result<std::uint64_t> check_lifetime_and_evidence(const Json& receipt, const Json& bundle, const Json& intent) {
    const std::optional<std::uint64_t> expires = find_unsigned(receipt, "expires_at");
    if (!expires) return fail("Missing expires_at");
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());
    if (*expires < now) return fail("Permit has expired");

    const std::optional<std::uint64_t> issued = find_unsigned(receipt, "issued_at");
    if (!issued) return fail("Missing issued_at");
    const std::uint64_t ttl_seconds = *expires > *issued ? (*expires - *issued) / 1'000'000 : 0;
    ORVANE_ASSIGN_OR_RETURN(const auto evidence, executor::reproduce_evidence(bundle, intent, ttl_seconds));
    const std::string* evidence_digest = find_string(receipt, "evidence_digest");
    const Json* constraints = find_member(receipt, "executor_constraints");
    if (evidence.decision != "ALLOWED" || evidence_digest == nullptr ||
        *evidence_digest != evidence.evidence_digest || constraints == nullptr ||
        !json_equal(*constraints, evidence.executor_constraints))
        return fail("Policy evidence is not reproducible");
    return now;
}

}  // namespace

Result<std::string> verify_and_consume_permit(Executor& executor, std::string_view permit_json) {
    VerificationScope remember_checks(  // the same checks recur below and in later calls
        executor.verified,
        executor.trusted_gate_key_valid ? std::string_view(executor.trusted_gate_id) : std::string_view());
    ORVANE_ASSIGN_OR_RETURN(const Json permit, parse_json(permit_json));

    const std::string* schema = find_string(permit, "schema_version");
    if (schema == nullptr || *schema != kAuthorizationResultSchema) return fail("Invalid permit schema");
    const Json* receipt_ptr = find_member(permit, "authorization");
    if (receipt_ptr == nullptr) return fail("Missing authorization");
    const Json* intent_ptr = find_member(permit, "intent");
    if (intent_ptr == nullptr) return fail("Missing intent");
    const Json& receipt = *receipt_ptr;
    const Json& intent = *intent_ptr;

    ORVANE_TRY(check_gate_signature(executor, receipt, intent));
    const std::string& authorization_id = *find_string(receipt, "authorization_id");  // checked just above
    const std::string* decision = find_string(receipt, "decision");
    if (decision == nullptr || *decision != "ALLOWED") return fail("Permit is not ALLOWED");

    const Json* bundle = find_member(permit, "policy_bundle");
    if (bundle == nullptr) return fail("Missing signed policy bundle");
    ORVANE_TRY(check_policy_binding(executor, receipt, *bundle));

    const std::string* intent_hash = find_string(receipt, "intent_hash");
    if (intent_hash == nullptr) return fail("Missing intent_hash in permit");
    if (*intent_hash != canonical_digest(intent)) return fail("Intent hash mismatch");
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, check_lifetime_and_evidence(receipt, *bundle, intent));

    if (executor.gate_db_path) {
        const std::string* agent_id = find_string(receipt, "agent_id");
        ORVANE_TRY(executor::check_gate_database(executor.gate_db, *executor.gate_db_path,
                                                 executor.trusted_gate_id, authorization_id,
                                                 agent_id != nullptr ? *agent_id : std::string(), now));
    }

    const std::string* action_id = find_string(receipt, "action_id");
    if (action_id == nullptr) return fail("Missing action_id");

    const Json* policy_version = find_member(receipt, "policy_version");
    const Json* policy_digest = find_member(receipt, "policy_digest");
    Json details = Json::object();
    details["policy_version"] = policy_version != nullptr ? *policy_version : Json(nullptr);
    details["policy_digest"] = policy_digest != nullptr ? *policy_digest : Json(nullptr);
    ORVANE_ASSIGN_OR_RETURN(const std::string observation,
                            executor::sign_observation(executor, authorization_id, *action_id, "STARTED",
                                                       std::move(details)));
    ORVANE_TRY(executor.store->consume_permit(authorization_id, *action_id, observation));
    return canonical_json(receipt);
}

}  // namespace orvane
