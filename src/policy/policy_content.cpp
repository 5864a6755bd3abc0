// Content checks shared by policies to install and policy bundles.
#include <array>
#include <string>

#include "primitives/json_access.hpp"
#include "policy/policy_bundle.hpp"
#include "policy/policy_patterns.hpp"

namespace orvane {
namespace {

constexpr std::array<std::string_view, 8> kConstraintKeys = {
    "allowed_action_types", "allowed_resources",     "allowed_executors",
    "max_ttl_seconds",      "max_input_bytes",       "allowed_currencies",
    "allowed_beneficiaries", "max_money_amount_minor",
};

bool is_known_constraint(std::string_view key) {
    for (auto known : kConstraintKeys) {
        if (known == key) return true;
    }
    return false;
}

Status check_bounded(const Json& constraints, std::string_view key, std::uint64_t max) {
    const Json* value = find_member(constraints, key);
    if (!is_unsigned_integer(value)) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(key) + " is required");
    }
    const auto number = value->get<std::uint64_t>();
    if (number < 1 || number > max) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(key) + " must be 1.." + std::to_string(max));
    }
    return {};
}

}  // namespace

Status check_pattern_list(const Json* value, std::string_view label) {
    if (value == nullptr || !value->is_array()) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(label) + " must be an array");
    }
    if (value->empty()) {
        return fail("ORVANE_POLICY_INVALID: " + std::string(label) + " must not be empty");
    }
    for (const Json& entry : *value) {
        if (!entry.is_string() || entry.get_ref<const std::string&>().empty()) {
            return fail("ORVANE_POLICY_INVALID: " + std::string(label) + " entries must be strings");
        }
    }
    return {};
}

Status validate_policy_content(const Json& document) {
    if (!document.is_object()) return fail("ORVANE_POLICY_SCHEMA_UNKNOWN");
    const std::string* schema = find_string(document, "schema_version");
    if (schema == nullptr || *schema != kPolicyBundleSchema) return fail("ORVANE_POLICY_SCHEMA_UNKNOWN");
    if (!is_non_blank(find_member(document, "policy_version"))) {
        return fail("ORVANE_POLICY_INVALID: 'policy_version' is required");
    }
    if (!is_non_blank(find_member(document, "tenant_id"))) {
        return fail("ORVANE_POLICY_INVALID: 'tenant_id' is required");
    }
    const Json* constraints = find_member(document, "constraints");
    if (constraints == nullptr || !constraints->is_object()) {
        return fail("ORVANE_POLICY_INVALID: constraints must be an object");
    }
    // Members of a Json object iterate in ascending byte order of their names.
    for (const auto& [key, value] : constraints->items()) {
        if (!is_known_constraint(key)) {
            return fail("ORVANE_POLICY_CONSTRAINT_UNKNOWN: '" + key + "'");
        }
    }
    for (std::string_view key : {"allowed_action_types", "allowed_resources", "allowed_executors"}) {
        ORVANE_TRY(check_pattern_list(find_member(*constraints, key), key));
    }
    ORVANE_TRY(check_bounded(*constraints, "max_ttl_seconds", 86400));
    ORVANE_TRY(check_bounded(*constraints, "max_input_bytes", 10000000));
    for (std::string_view key : {"allowed_currencies", "allowed_beneficiaries"}) {
        if (const Json* list = find_member(*constraints, key)) ORVANE_TRY(check_pattern_list(list, key));
    }
    const Json* cap = find_member(*constraints, "max_money_amount_minor");
    if (cap != nullptr && !is_unsigned_integer(cap)) {
        return fail("ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer");
    }
    return {};
}

}  // namespace orvane
