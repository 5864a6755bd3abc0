// The identity registry of an evidence file: the registrations, lifecycle
// envelopes and logged stream events the file carries, laid out as the gate
// stores them, in a private in-memory database. Identities are then resolved
// by the gate's own resolution over it, so a file is judged by exactly the
// rules the gate applies to its tables. Nothing in the file makes a key
// trusted: the root is the key the auditor passes.
#pragma once

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "storage/sqlite.hpp"

namespace orvane::evidence {

// Builds the registry from a structurally checked file. Registrations: the
// first of each `registration.agent_id`; lifecycle envelopes: the first of
// each `event_id`; stream events: the first of each tenant and sequence
// number and of each tenant and event id. A key's state columns follow from
// the last lifecycle event (by `effective_at`, then file order) that ended it;
// resolution then checks that event like every other. Fails only when the
// in-memory database does.
Result<storage::Connection> build_registry(const Json& evidence);

}  // namespace orvane::evidence
