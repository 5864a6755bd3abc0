// Bridges to the policy subsystem; bodies land with its evaluation code.
#include "executor/policy_recheck.hpp"

namespace orvane::executor {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Status verify_bundle_from_gate(const Json&, std::string_view) { return fail(pending()); }
Result<bool> executor_admitted(const Json&, std::string_view) { return fail(pending()); }
Result<ReproducedEvidence> reproduce_evidence(const Json&, const Json&, std::uint64_t) {
    return fail(pending());
}

}  // namespace orvane::executor
