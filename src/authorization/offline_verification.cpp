// Authorization results without a gate: the verdict under a given gate key,
// and the summary of what a permit allows.
#include "authorization/offline_verification.hpp"

#include "authorization/receipt_verification.hpp"
#include "primitives/clock.hpp"
#include "primitives/hex.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

constexpr std::string_view kVerificationSchema = "orvane.authorization-verification.v1";
constexpr std::string_view kPermitInfoSchema = "orvane.permit-info.v1";

const Json* object_member(const Json& value, std::string_view name) {
    const Json* member = value.is_object() ? find_member(value, name) : nullptr;
    return member != nullptr && member->is_object() ? member : nullptr;
}

// The member's value, or null when the object lacks it.
Json member_or_null(const Json* object, std::string_view name) {
    const Json* member = object != nullptr ? find_member(*object, name) : nullptr;
    return member != nullptr ? *member : Json();
}

}  // namespace

Result<std::string> verify_authorization_under_key(std::string_view result_json, std::string_view gate_public_key) {
    auto key = parse_public_key(gate_public_key);
    if (!key) return fail(std::move(key.error()));
    auto result = parse_json(result_json);
    if (!result) return fail("authorization result must be valid JSON: " + result.error());
    const std::vector<std::string> codes = verify_authorization_result_under_key(*result, hex_encode(*key));

    const Json* receipt = object_member(*result, "authorization");
    Json verdict = Json::object();
    verdict["schema_version"] = kVerificationSchema;
    verdict["status"] = codes.empty() ? "VERIFIED" : "INVALID";
    verdict["reason_codes"] = codes;
    verdict["authorization_id"] = member_or_null(receipt, "authorization_id");
    verdict["action_id"] = member_or_null(receipt, "action_id");
    verdict["decision"] = member_or_null(receipt, "decision");
    return canonical_json(verdict);
}

Result<std::string> permit_info(std::string_view permit_json) {
    auto permit = parse_json(permit_json);
    if (!permit) return fail("permit must be valid JSON: " + permit.error());
    const Json* receipt = object_member(*permit, "authorization");
    if (receipt == nullptr) return fail("ORVANE_PERMIT_MALFORMED: the permit has no 'authorization' object");
    const Json* intent = object_member(*permit, "intent");

    Json info = Json::object();
    info["schema_version"] = kPermitInfoSchema;
    for (std::string_view name : {"authorization_id", "action_id", "tenant_id", "agent_id", "gate_id", "decision",
                                  "reason_codes", "executor_constraints", "policy_version", "issued_at",
                                  "expires_at"}) {
        info[std::string(name)] = member_or_null(receipt, name);
    }
    for (std::string_view name : {"action_type", "resource"}) {
        info[std::string(name)] = member_or_null(intent, name);
    }
    const Json* expires_at = find_member(*receipt, "expires_at");
    if (expires_at != nullptr && expires_at->is_number_unsigned()) {
        auto now = now_micros();
        if (!now) return fail(std::move(now.error()));
        info["expired"] = expires_at->get<std::uint64_t>() < *now;
    } else {
        info["expired"] = Json();
    }
    return canonical_json(info);
}

}  // namespace orvane
