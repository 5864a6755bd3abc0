// The action intent: the document in which an agent asks the gate, under its
// own signature, for permission to perform one action for one tenant
// ("orvane.action-intent.v1"), the identifiers derived from it, and the rules
// of its optional money object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "primitives/json_access.hpp"

namespace orvane {

inline constexpr std::string_view kActionIntentSchema = "orvane.action-intent.v1";

// The validated core of an intent. `action_type` and `resource` are checked
// but not copied: policy evaluation reads them from the document. Strings are
// kept exactly as received (untrimmed).
struct ActionIntent {
    std::string tenant_id;
    std::string agent_id;
    std::string idempotency_key;
    std::uint64_t requested_at = 0;
};

// Checks the intent document in a fixed order and fails with the first
// message that applies ("ORVANE_INVALID_CONTRACT: ..." or
// "ORVANE_AGENT_ID_MISMATCH: ..."). `expected_agent_id` is the identifier of
// the key that signed, or is about to sign, the intent; it must match
// `agent_id` byte for byte.
Result<ActionIntent> validate_intent_contract(const Json& intent, std::string_view expected_agent_id);

// sha256_hex of the canonical intent bytes (the bytes the agent signs).
std::string intent_hash(std::string_view canonical_intent);

// The action id: lower-case hex SHA-256 of
// "orvane.action.v1" \0 tenant_id \0 agent_id \0 idempotency_key.
std::string derive_action_id(std::string_view tenant_id, std::string_view agent_id,
                             std::string_view idempotency_key);

// The amount an intent moves.
struct MoneyTerms {
    std::string asset;             // possibly empty
    std::uint64_t amount_minor = 0;  // hundredths of the major unit
};

// Resolves the `money` member (called only when it is present and not null).
Result<MoneyTerms> resolve_money(const Json& money);

}  // namespace orvane
