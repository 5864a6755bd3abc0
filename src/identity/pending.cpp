// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "identity/identity_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> rotate_agent(Gate&, std::string_view, std::string_view) { return fail(pending()); }
Result<std::string> revoke_agent(Gate&, std::string_view, std::string_view) { return fail(pending()); }
}  // namespace orvane
