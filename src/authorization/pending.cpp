// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "authorization/authorization_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> request_action(Gate&, std::string_view, const std::string&, std::uint64_t) { return fail(pending()); }
Result<std::string> request_action_signed(Gate&, std::string_view, std::string_view, std::string_view, std::uint64_t) { return fail(pending()); }
}  // namespace orvane
