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

const Json* member(const Json& object, std::string_view name) {
    return object.is_object() ? find_member(object, name) : nullptr;
}

const std::string* string_member(const Json& object, std::string_view name) {
    return object.is_object() ? find_string(object, name) : nullptr;
}

const Json* unsigned_member(const Json& object, std::string_view name) {
    const Json* value = member(object, name);
    return value != nullptr && value->is_number_unsigned() ? value : nullptr;
}

// Both absent, or both present and equal.
bool optional_pair_equal(const Json* a, const Json* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return json_equal(*a, *b);
}

}  // namespace

Result<std::string> verify_and_consume_permit(Executor& executor, std::string_view permit_json) {
    VerificationScope remember_checks(  // the same checks recur below and in later calls
        executor.verified, executor.trusted_gate_key_valid ? std::string_view(executor.trusted_gate_id) : std::string_view());
    auto parsed = parse_json(permit_json);
    if (!parsed) return fail(std::move(parsed.error()));
    const Json& permit = *parsed;

    const std::string* schema = string_member(permit, "schema_version");
    if (schema == nullptr || *schema != kAuthorizationResultSchema) return fail("Invalid permit schema");
    const Json* receipt_ptr = member(permit, "authorization");
    if (receipt_ptr == nullptr) return fail("Missing authorization");
    const Json* intent_ptr = member(permit, "intent");
    if (intent_ptr == nullptr) return fail("Missing intent");
    const Json& receipt = *receipt_ptr;
    const Json& intent = *intent_ptr;

    // Tenant and gate, before any signature is looked at.
    const std::string* tenant_id = string_member(intent, "tenant_id");
    if (tenant_id == nullptr) return fail("Missing tenant_id in intent");
    if (*tenant_id != executor.trusted_tenant_id) return fail("Cross-tenant permit rejected");
    const std::string* gate_signature = string_member(receipt, "gate_signature");
    if (gate_signature == nullptr) return fail("Missing gate_signature");
    const std::string* gate_id = string_member(receipt, "gate_id");
    if (gate_id == nullptr) return fail("Missing gate_id");
    if (*gate_id != executor.trusted_gate_id) return fail("Untrusted gate ID");

    auto gate_key = decode_exact<32>(*gate_id);
    if (!gate_key) return fail(std::move(gate_key.error()));
    if (!parse_public_key(*gate_id)) return fail("Invalid gate pk");
    auto signature = decode_exact<64>(*gate_signature);
    if (!signature) return fail(std::move(signature.error()));

    // The receipt identifier is the digest of everything else it says.
    const std::string* authorization_id = string_member(receipt, "authorization_id");
    if (authorization_id == nullptr) return fail("Missing authorization_id");
    if (sha256_hex(canonical_json_without(receipt, {"authorization_id", "gate_signature"})) !=
        *authorization_id)
        return fail("Authorization ID mismatch");
    auto digest = hex_decode(*authorization_id);
    if (!digest) return fail(std::move(digest.error()));
    if (!verify_raw(*gate_key, *digest, *signature)) return fail("Invalid gate signature");

    const std::string* decision = string_member(receipt, "decision");
    if (decision == nullptr || *decision != "ALLOWED") return fail("Permit is not ALLOWED");

    // Policy binding and executor admission.
    const Json* bundle = member(permit, "policy_bundle");
    if (bundle == nullptr) return fail("Missing signed policy bundle");
    if (auto verified = executor::verify_bundle_from_gate(*bundle, *gate_id); !verified)
        return fail("Invalid policy bundle: " + verified.error());
    const Json* policy_version = member(receipt, "policy_version");
    const Json* policy_digest = member(receipt, "policy_digest");
    if (!optional_pair_equal(policy_version, member(*bundle, "policy_version")) ||
        !optional_pair_equal(policy_digest, member(*bundle, "policy_digest")))
        return fail("Authorization policy binding mismatch");
    auto admitted = executor::executor_admitted(*bundle, executor.executor_id);
    if (!admitted) return fail(std::move(admitted.error()));
    if (!*admitted) return fail("Executor is denied by policy");

    const std::string* intent_hash = string_member(receipt, "intent_hash");
    if (intent_hash == nullptr) return fail("Missing intent_hash in permit");
    if (*intent_hash != canonical_digest(intent)) return fail("Intent hash mismatch");

    const Json* expires_at = unsigned_member(receipt, "expires_at");
    if (expires_at == nullptr) return fail("Missing expires_at");
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));
    const auto expires = expires_at->get<std::uint64_t>();
    if (expires < *now) return fail("Permit has expired");

    // The evidence must come out the same when the evaluation is run again.
    const Json* issued_at = unsigned_member(receipt, "issued_at");
    if (issued_at == nullptr) return fail("Missing issued_at");
    const auto issued = issued_at->get<std::uint64_t>();
    const std::uint64_t ttl_seconds = expires > issued ? (expires - issued) / 1'000'000 : 0;
    auto evidence = executor::reproduce_evidence(*bundle, intent, ttl_seconds);
    if (!evidence) return fail(std::move(evidence.error()));
    const std::string* evidence_digest = string_member(receipt, "evidence_digest");
    const Json* constraints = member(receipt, "executor_constraints");
    if (evidence->decision != "ALLOWED" || evidence_digest == nullptr ||
        *evidence_digest != evidence->evidence_digest || constraints == nullptr ||
        !json_equal(*constraints, evidence->executor_constraints))
        return fail("Policy evidence is not reproducible");

    if (executor.gate_db_path) {
        const std::string* agent_id = string_member(receipt, "agent_id");
        ORVANE_TRY(executor::check_gate_database(executor.gate_db, *executor.gate_db_path,
                                                 executor.trusted_gate_id, *authorization_id,
                                                 agent_id != nullptr ? *agent_id : std::string(), *now));
    }

    const std::string* action_id = string_member(receipt, "action_id");
    if (action_id == nullptr) return fail("Missing action_id");

    Json details = Json::object();
    details["policy_version"] = policy_version != nullptr ? *policy_version : Json(nullptr);
    details["policy_digest"] = policy_digest != nullptr ? *policy_digest : Json(nullptr);
    auto observation = executor::sign_observation(executor, *authorization_id, *action_id,
                                                  "STARTED", std::move(details));
    if (!observation) return fail(std::move(observation.error()));
    ORVANE_TRY(executor.store->consume_permit(*authorization_id, *action_id, *observation));
    return canonical_json(receipt);
}

}  // namespace orvane
