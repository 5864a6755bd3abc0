// Agent registration, rotation, revocation and identity queries as the
// OrvaneDDB methods see them.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> register_agent(Gate& gate, std::string_view public_key, std::string_view alias,
                                   std::string_view metadata);
Result<std::string> list_agents(Gate& gate);
Result<std::string> get_agent(Gate& gate, std::string_view public_key);
Result<std::string> rotate_agent(Gate& gate, std::string_view current_public_key,
                                 std::string_view new_public_key);
Result<std::string> revoke_agent(Gate& gate, std::string_view public_key, std::string_view reason);
Result<std::string> list_identity_events(Gate& gate);
Result<bool> verify_agent(Gate& gate, std::string_view public_key);

}  // namespace orvane
