// Outcome commits and traces as the OrvaneDDB methods see them.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> commit_outcome(Gate& gate, std::string_view authorization_id,
                                   std::string_view outcome, const std::string& executor_keyfile);
Result<std::string> commit_outcome_signed(Gate& gate, std::string_view authorization_id,
                                          std::string_view outcome);
Result<std::string> get_trace(Gate& gate, std::string_view action_id);
Result<std::string> verify_trace(Gate& gate, std::string_view action_id);

}  // namespace orvane
