// The executor's read-only look into the gate database before it consumes a
// permit: revoked permits, revoked agents and outcomes already committed.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane::executor {

// Opens the gate database read-only, runs the three checks in order and
// closes it again, whatever the result.
Status check_gate_database(const std::string& gate_db_path, std::string_view authorization_id,
                           std::string_view agent_id);

}  // namespace orvane::executor
