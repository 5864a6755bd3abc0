// Verification of one evidence file from its own contents and the gate key
// the auditor trusts: the gate's decision procedure run again over the
// documents the file carries (the same one verify_trace runs over the gate's
// tables), the policy attestation, the standing of the agent and the
// executor, and the stream events that announced each document.
#pragma once

#include <string>
#include <vector>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane::evidence {

// One document the gate announces in a tenant's stream: its event type, the
// tenant, the event id, and the document whose canonical text the event's
// payload_hash covers.
struct Announcement {
    std::string_view type;
    std::string tenant;
    std::string event_id;
    const Json* document;
};

// Every announcement of the file's documents, in verdict order: the
// authorization, the execution, the policy bundle, each registration made
// without a rotation, each lifecycle envelope. Points into `evidence`.
std::vector<Announcement> announcements(const Json& evidence);

// The container's shape; fails with "ORVANE_EVIDENCE_MALFORMED: <detail>".
// The documents inside are judged by the checks, never here.
Status check_structure(const Json& evidence);

// The verdict document for a structurally checked file. `trusted_key` is the
// gate key in lower-case hex. Fails only when the in-memory registry cannot
// be built.
Result<Json> verify_evidence_document(const Json& evidence, std::string_view trusted_key);

}  // namespace orvane::evidence
