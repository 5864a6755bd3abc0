// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "ledger/ledger_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> record_decision(Gate&, std::string_view, std::string_view, bool) { return fail(pending()); }
Result<std::string> record_decision_batch(Gate&, std::span<const DecisionInput>, bool) { return fail(pending()); }
Result<std::string> validate_ledger(Gate&) { return fail(pending()); }
Result<std::string> export_decisions(Gate&) { return fail(pending()); }
Result<std::string> list_decisions(Gate&, std::uint32_t, std::uint32_t) { return fail(pending()); }
Result<std::uint64_t> count_decisions(Gate&) { return fail(pending()); }
}  // namespace orvane
