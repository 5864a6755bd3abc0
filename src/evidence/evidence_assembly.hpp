// What an evidence file holds, read from the gate's tables as they stand: the
// stored documents of the action, the identities they rest on, the stream
// events that announced them, and the tenants' signed tree heads with an
// inclusion proof per event. Nothing here judges; the export verifies the
// assembled file before it leaves the gate.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"
#include "primitives/json.hpp"

namespace orvane::evidence {

// The evidence file of the action under the gate key `gate_key`:
// "ORVANE_ACTION_NOT_FOUND" for an unknown action; the tree head refusals of
// create_tree_head when a tenant's log needs a new head that cannot be signed.
Result<Json> assemble_evidence(Gate& gate, std::string_view action_id, const std::string& gate_key);

}  // namespace orvane::evidence
