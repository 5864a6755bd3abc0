// The evidence methods as Python sees them: OrvaneDDB.export_evidence and the
// module-level verify_evidence.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

// One self-contained evidence file ("orvane.evidence.v1", canonical JSON) for
// the action: everything needed to re-check it with no database. The gate
// verifies the file under its own key before handing it out and refuses
// ("ORVANE_EVIDENCE_NOT_VERIFIED: <check>: <codes>; ...") when it does not
// verify. "ORVANE_ACTION_NOT_FOUND" for an unknown action.
Result<std::string> export_evidence(Gate& gate, std::string_view action_id);

// The verdict ("orvane.evidence-verification.v1", canonical JSON) of an
// evidence file under the gate key the caller trusts. Input that is no
// evidence file fails with "ORVANE_EVIDENCE_MALFORMED: <detail>"; a key that
// is not 64 hex digits fails with the key parser's message.
Result<std::string> verify_evidence(std::string_view evidence_json, std::string_view trusted_gate_public_key);

}  // namespace orvane
