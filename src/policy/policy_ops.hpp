// Policy installation and listing as the OrvaneDDB methods see them.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> install_policy(Gate& gate, std::string_view policy_spec);
Result<std::string> list_policies(Gate& gate);

}  // namespace orvane
