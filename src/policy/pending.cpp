// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "policy/policy_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> install_policy(Gate&, std::string_view) { return fail(pending()); }
Result<std::string> list_policies(Gate&) { return fail(pending()); }
}  // namespace orvane
