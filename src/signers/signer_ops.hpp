// The signer-facing OrvaneDDB methods.
#pragma once

#include <string>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> whoami(Gate& gate);
Result<std::string> signer_conformance(Gate& gate);

}  // namespace orvane
