// The per-tenant, hash-chained event stream that mirrors every committed record.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

// Appends one event to the tenant's stream, inside the write transaction the
// caller has already begun (the caller rolls back on failure). `payload` is
// hashed exactly as given. Returns the stored event object.
Result<Json> append_event(storage::Connection& db, std::string_view tenant_id,
                          std::string_view event_type, std::string_view event_id,
                          std::string_view payload, std::uint64_t timestamp);

}  // namespace orvane
