// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "events/event_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> export_event_stream(Gate&, std::string_view, std::uint64_t, std::uint32_t) { return fail(pending()); }
Result<std::string> create_checkpoint(Gate&, std::string_view) { return fail(pending()); }
Result<std::string> verify_checkpoint_stream(Gate&, std::string_view, std::string_view, std::optional<std::string_view>) { return fail(pending()); }
}  // namespace orvane
