// The log section of an evidence file: each announced document's stream event,
// its inclusion proof, and the signed tree head of the tenant's log the proof
// leads to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "primitives/json.hpp"

namespace orvane::evidence {

// For each announcement, in order: LOG_ENTRY_MISSING, LOG_EVENT_INVALID,
// LOG_PAYLOAD_MISMATCH and LOG_INCLUSION_INVALID, each ": <event type>".
std::vector<std::string> log_inclusion_codes(const Json& evidence);

// For the first log of each tenant, in file order: TREE_HEAD_MISSING,
// TREE_HEAD_MALFORMED, TREE_HEAD_SIGNATURE_INVALID or
// TREE_HEAD_ORIGIN_MISMATCH, each ": <tenant>"; TREE_HEAD_MISSING alone when
// the file has no log at all. `trusted_key` is lower-case hex.
std::vector<std::string> tree_head_codes(const Json& evidence, std::string_view trusted_key);

}  // namespace orvane::evidence
