// The executor's read-only look into the gate database before it consumes a
// permit: revoked permits, outcomes already committed, and whether the
// permit's agent still verifies and was never revoked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane::executor {

// Opens the gate database read-only, runs the checks in order and closes it
// again, whatever the result. The agent is judged under the executor's
// trusted gate key, as the root every identity must chain back to, at `now`.
Status check_gate_database(const std::string& gate_db_path, std::string_view trusted_gate_id,
                           std::string_view authorization_id, std::string_view agent_id,
                           std::uint64_t now);

}  // namespace orvane::executor
