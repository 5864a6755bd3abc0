// Judging an action intent under a policy bundle, with the evidence digest.
#include "policy/policy_evaluation.hpp"

#include <cstdint>
#include <limits>

#include "authorization/intent.hpp"  // the money rules of an intent
#include "primitives/json_access.hpp"
#include "policy/policy_bundle.hpp"
#include "policy/policy_patterns.hpp"
#include "primitives/digest.hpp"

namespace orvane {
namespace {

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

bool matches(const Json& patterns, std::string_view candidate) {
    for (const Json& entry : patterns) {
        const auto& pattern = entry.get_ref<const std::string&>();
        if (pattern == "*" || pattern == candidate) return true;
        if (pattern.ends_with('*') &&
            candidate.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1))) {
            return true;
        }
    }
    return false;
}

// Floating-point numbers and integers beyond the signed 64-bit range do not
// survive every JSON reader unchanged, so they make an input non-deterministic.
bool is_deterministic(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_float:
            return false;
        case Json::value_t::number_unsigned:
            return value.get<std::uint64_t>() <= kInt64Max;
        case Json::value_t::array:
        case Json::value_t::object:
            for (const Json& child : value) {
                if (!is_deterministic(child)) return false;
            }
            return true;
        default:
            return true;
    }
}

Result<std::string_view> required_string(const Json& document, std::string_view member) {
    const Json* value = find_member(document, member);
    if (!is_non_blank(value)) return fail("ORVANE_POLICY_INVALID: '" + std::string(member) + "' is required");
    return std::string_view(value->get_ref<const std::string&>());
}

// Matches `candidate` against the constraint `key`; adds `code` when nothing matches.
Status check_allowed(const Json& constraints, std::string_view key, std::string_view candidate,
                     std::string_view code, std::vector<std::string>& reasons) {
    ORVANE_ASSIGN_OR_RETURN(auto matched, match_patterns(find_member(constraints, key), candidate));
    if (!matched) reasons.emplace_back(code);
    return {};
}

// The digest of the canonical evidence object, written member by member in
// byte order so the intent is not copied:
// {"intent":..,"policy_digest":..,"schema_version":..,"ttl_seconds":..}.
std::string evidence_digest(const Json& intent, std::string_view policy_digest, std::uint64_t ttl_seconds,
                            std::size_t input_size) {
    std::string evidence;
    evidence.reserve(input_size + 256);
    evidence.append("{\"intent\":");
    append_canonical_json(evidence, intent);
    evidence.append(",\"policy_digest\":");
    append_json_string(evidence, policy_digest);
    evidence.append(",\"schema_version\":");
    append_json_string(evidence, kPolicyEvidenceSchema);
    evidence.append(",\"ttl_seconds\":");
    append_json_uint(evidence, ttl_seconds);
    evidence.push_back('}');
    return sha256_hex(evidence);
}

}  // namespace

Result<bool> match_patterns(const Json* patterns, std::string_view candidate) {
    ORVANE_TRY(check_pattern_list(patterns, "pattern list"));
    return matches(*patterns, candidate);
}

Result<bool> evaluate_money(const Json& constraints, const Json& money) {
    ORVANE_ASSIGN_OR_RETURN(auto terms, resolve_money(money));

    if (const Json* currencies = find_member(constraints, "allowed_currencies")) {
        ORVANE_ASSIGN_OR_RETURN(auto matched, match_patterns(currencies, terms.asset));
        if (!matched) return false;
    }
    if (const Json* beneficiaries = find_member(constraints, "allowed_beneficiaries")) {
        const std::string* beneficiary = find_string(money, "beneficiary");
        if (beneficiary == nullptr) {
            return fail("ORVANE_INVALID_CONTRACT: money.beneficiary is required when allowed_beneficiaries is constrained");
        }
        ORVANE_ASSIGN_OR_RETURN(auto matched, match_patterns(beneficiaries, *beneficiary));
        if (!matched) return false;
    }
    if (const Json* cap = find_member(constraints, "max_money_amount_minor")) {
        if (!is_unsigned_integer(cap)) {
            return fail("ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer");
        }
        if (terms.amount_minor > cap->get<std::uint64_t>()) return false;
    }
    return true;
}

Result<PolicyEvaluation> evaluate_policy(const Json& bundle, const Json& intent, std::uint64_t ttl_seconds) {
    ORVANE_TRY(verify_policy_bundle(bundle));
    return evaluate_verified_policy(bundle, intent, ttl_seconds);
}

Result<PolicyEvaluation> evaluate_verified_policy(const Json& bundle, const Json& intent,
                                                  std::uint64_t ttl_seconds) {
    const Json* constraints_member = find_member(bundle, "constraints");
    if (constraints_member == nullptr || !constraints_member->is_object()) {
        return fail("ORVANE_POLICY_INVALID: constraints must be an object");
    }
    const Json& constraints = *constraints_member;
    PolicyEvaluation evaluation;
    auto& reasons = evaluation.reason_codes;

    ORVANE_ASSIGN_OR_RETURN(auto intent_tenant, required_string(intent, "tenant_id"));
    ORVANE_ASSIGN_OR_RETURN(auto bundle_tenant, required_string(bundle, "tenant_id"));
    if (bundle_tenant != "*" && bundle_tenant != intent_tenant) reasons.emplace_back("POLICY_TENANT_DENIED");

    ORVANE_ASSIGN_OR_RETURN(auto action_type, required_string(intent, "action_type"));
    ORVANE_TRY(check_allowed(constraints, "allowed_action_types", action_type, "POLICY_ACTION_DENIED", reasons));

    ORVANE_ASSIGN_OR_RETURN(auto resource, required_string(intent, "resource"));
    ORVANE_TRY(check_allowed(constraints, "allowed_resources", resource, "POLICY_RESOURCE_DENIED", reasons));

    const Json* max_ttl = find_member(constraints, "max_ttl_seconds");
    if (!is_unsigned_integer(max_ttl)) return fail("ORVANE_POLICY_INVALID: max_ttl_seconds is required");
    if (max_ttl->get<std::uint64_t>() < ttl_seconds) reasons.emplace_back("POLICY_TTL_DENIED");

    // An absent input is the empty object; an explicit null stays null.
    static const Json kEmptyInput = Json::object();
    const Json* input = find_member(intent, "input");
    if (input == nullptr) input = &kEmptyInput;
    if (!is_deterministic(*input)) reasons.emplace_back("POLICY_NON_DETERMINISTIC_INPUT");

    const Json* max_input = find_member(constraints, "max_input_bytes");
    if (!is_unsigned_integer(max_input)) return fail("ORVANE_POLICY_INVALID: max_input_bytes is required");
    std::string canonical_input;
    append_canonical_json(canonical_input, *input);
    if (max_input->get<std::uint64_t>() < canonical_input.size()) reasons.emplace_back("POLICY_INPUT_TOO_LARGE");

    const Json* money = find_member(intent, "money");
    if (money != nullptr && !money->is_null()) {
        ORVANE_ASSIGN_OR_RETURN(auto allowed, evaluate_money(constraints, *money));
        if (!allowed) reasons.emplace_back("POLICY_MONEY_DENIED");
    }

    const bool allowed = reasons.empty();
    if (allowed) reasons.emplace_back("POLICY_ALLOWED");

    ORVANE_ASSIGN_OR_RETURN(auto policy_digest, required_string(bundle, "policy_digest"));
    evaluation.evidence_digest = evidence_digest(intent, policy_digest, ttl_seconds, canonical_input.size());

    evaluation.decision = allowed ? "ALLOWED" : "BLOCKED";
    const Json* executors = find_member(constraints, "allowed_executors");
    evaluation.executor_constraints =
        Json{{"allowed_executors", executors != nullptr ? *executors : Json::array()}};
    return evaluation;
}

}  // namespace orvane
