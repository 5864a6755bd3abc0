// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "outcomes/outcome_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> commit_outcome(Gate&, std::string_view, std::string_view, const std::string&) { return fail(pending()); }
Result<std::string> commit_outcome_signed(Gate&, std::string_view, std::string_view) { return fail(pending()); }
Result<std::string> get_trace(Gate&, std::string_view) { return fail(pending()); }
Result<std::string> verify_trace(Gate&, std::string_view) { return fail(pending()); }
}  // namespace orvane
