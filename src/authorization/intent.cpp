// Validation of action intents, their identifiers and the money object.
#include "authorization/intent.hpp"

#include <limits>
#include <string>

#include "primitives/digest.hpp"

namespace orvane {
namespace {

// The action id joins tenant, agent and idempotency key with zero bytes, so a
// zero byte inside one of them could make two different requests one action.
Status check_no_nul(const Json& value, std::string_view member) {
    if (value.get_ref<const std::string&>().find('\0') == std::string::npos) return {};
    std::string message = "ORVANE_INVALID_CONTRACT: '";
    message.append(member);
    message.append("' must not contain NUL characters");
    return fail(std::move(message));
}

constexpr const char* kAmountFormat =
    "ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two fractional "
    "digits";
constexpr const char* kAmountTooLarge = "ORVANE_INVALID_CONTRACT: money.amount is too large";

bool all_digits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

Result<std::uint64_t> parse_decimal_amount(std::string_view text) {
    const auto dot = text.find('.');
    const std::string_view integer = text.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    if (integer.empty() || !all_digits(integer) || fraction.size() > 2 || !all_digits(fraction)) {
        return fail(kAmountFormat);
    }
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t major = 0;
    for (char c : integer) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (major > (kMax - digit) / 10) return fail(kAmountTooLarge);
        major = major * 10 + digit;
    }
    std::uint64_t minor = 0;
    if (fraction.size() == 1) minor = static_cast<std::uint64_t>(fraction[0] - '0') * 10;
    if (fraction.size() == 2) {
        minor = static_cast<std::uint64_t>(fraction[0] - '0') * 10 +
                static_cast<std::uint64_t>(fraction[1] - '0');
    }
    if (major > kMax / 100) return fail(kAmountTooLarge);
    const std::uint64_t scaled = major * 100;
    if (scaled > kMax - minor) return fail(kAmountTooLarge);
    return scaled + minor;
}

}  // namespace

Result<ActionIntent> validate_intent_contract(const Json& intent, std::string_view expected_agent_id) {
    if (!intent.is_object()) {
        return fail("ORVANE_INVALID_CONTRACT: action intent must be a JSON object");
    }
    const Json* schema = find_member(intent, "schema_version");
    if (!is_non_blank(schema)) return fail(non_empty_string_message("schema_version"));
    if (schema->get_ref<const std::string&>() != kActionIntentSchema) {
        return fail("ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-intent.v1'");
    }

    const Json* tenant = find_member(intent, "tenant_id");
    if (!is_non_blank(tenant)) return fail(non_empty_string_message("tenant_id"));
    ORVANE_TRY(check_no_nul(*tenant, "tenant_id"));

    const Json* agent = find_member(intent, "agent_id");
    if (!is_non_blank(agent)) return fail(non_empty_string_message("agent_id"));
    if (agent->get_ref<const std::string&>() != expected_agent_id) {
        return fail("ORVANE_AGENT_ID_MISMATCH: intent agent_id does not match the signing key");
    }

    const Json* idempotency_key = find_member(intent, "idempotency_key");
    if (!is_non_blank(idempotency_key)) return fail(non_empty_string_message("idempotency_key"));
    ORVANE_TRY(check_no_nul(*idempotency_key, "idempotency_key"));
    if (!is_non_blank(find_member(intent, "action_type"))) return fail(non_empty_string_message("action_type"));
    if (!is_non_blank(find_member(intent, "resource"))) return fail(non_empty_string_message("resource"));

    const Json* requested_at = find_member(intent, "requested_at");
    if (!is_unsigned_integer(requested_at)) {
        return fail("ORVANE_INVALID_CONTRACT: 'requested_at' must be an unsigned integer");
    }

    const Json* money = find_member(intent, "money");
    if (money != nullptr && !money->is_object() && !money->is_null()) {
        return fail("ORVANE_INVALID_CONTRACT: money must be an object or null");
    }

    return ActionIntent{
        tenant->get<std::string>(),
        agent->get<std::string>(),
        idempotency_key->get<std::string>(),
        requested_at->get<std::uint64_t>(),
    };
}

std::string intent_hash(std::string_view canonical_intent) { return sha256_hex(canonical_intent); }

std::string derive_action_id(std::string_view tenant_id, std::string_view agent_id,
                             std::string_view idempotency_key) {
    constexpr std::string_view kDomain = "orvane.action.v1";
    std::string material;
    material.reserve(kDomain.size() + tenant_id.size() + agent_id.size() + idempotency_key.size() + 3);
    material.append(kDomain);
    material.push_back('\0');
    material.append(tenant_id);
    material.push_back('\0');
    material.append(agent_id);
    material.push_back('\0');
    material.append(idempotency_key);
    return sha256_hex(material);
}

Result<MoneyTerms> resolve_money(const Json& money) {
    constexpr const char* kAssetRequired = "ORVANE_INVALID_CONTRACT: money.asset is required";
    if (!money.is_object()) return fail(kAssetRequired);
    const Json* asset = find_member(money, "currency");
    if (asset == nullptr) asset = find_member(money, "asset");
    if (asset == nullptr || !asset->is_string()) return fail(kAssetRequired);

    MoneyTerms terms;
    terms.asset = asset->get<std::string>();

    const Json* amount_minor = find_member(money, "amount_minor");
    if (is_unsigned_integer(amount_minor)) {
        terms.amount_minor = amount_minor->get<std::uint64_t>();
        return terms;
    }
    const std::string* amount = find_string(money, "amount");
    if (amount == nullptr) {
        return fail("ORVANE_INVALID_CONTRACT: money.amount must be a decimal string");
    }
    ORVANE_ASSIGN_OR_RETURN(auto minor, parse_decimal_amount(*amount));
    terms.amount_minor = minor;
    return terms;
}

}  // namespace orvane
