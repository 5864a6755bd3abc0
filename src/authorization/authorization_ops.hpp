// Authorization requests as the OrvaneDDB methods see them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> request_action(Gate& gate, std::string_view intent,
                                   const std::string& agent_keyfile, std::uint64_t ttl_seconds);
Result<std::string> request_action_signed(Gate& gate, std::string_view intent,
                                          std::string_view agent_id,
                                          std::string_view agent_signature,
                                          std::uint64_t ttl_seconds);

}  // namespace orvane
