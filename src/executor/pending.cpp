// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "executor/executor_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

struct Executor {};
void ExecutorDeleter::operator()(Executor* e) const { delete e; }
Result<ExecutorPtr> open_executor(const std::string&, const std::string&, std::string_view, std::string_view, std::uint32_t, std::optional<std::string>) { return fail(pending()); }
Result<std::string> verify_and_consume_permit(Executor&, std::string_view) { return fail(pending()); }
Result<std::string> complete_execution(Executor&, std::string_view, std::string_view, std::string_view, std::string_view) { return fail(pending()); }
Result<std::string> mark_unknown(Executor&, std::string_view, std::string_view) { return fail(pending()); }
Result<std::string> recover_incomplete(Executor&, std::uint64_t) { return fail(pending()); }
Result<std::string> get_execution_state(Executor&, std::string_view) { return fail(pending()); }
}  // namespace orvane
