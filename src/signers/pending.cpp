// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "signers/signer_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> whoami(Gate&) { return fail(pending()); }
Result<std::string> signer_conformance(Gate&) { return fail(pending()); }
}  // namespace orvane
