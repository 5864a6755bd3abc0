#pragma once

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

// Creates every gate table or brings an older layout up to date. Idempotent:
// run on every open.
Status initialize_gate_schema(storage::Connection& db);

}  // namespace orvane
