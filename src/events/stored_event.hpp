// Reading the stored event stream back without trusting its columns: a row is
// used only when its stored document is exactly the event its columns
// describe and hashes to its event_digest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

inline constexpr std::string_view kEventStreamGenesisHash =
    "0000000000000000000000000000000000000000000000000000000000000000";

// The columns of one event_stream row. A query read by read_event_row selects
// sequence_number, tenant_id, event_id, event_type, payload_hash,
// prev_event_hash, timestamp, event_digest, event_json, in this order.
struct StoredEventRow {
    std::uint64_t sequence_number = 0;
    std::string_view tenant_id;
    std::string_view event_id;
    std::string_view event_type;
    std::string_view payload_hash;
    std::string_view prev_event_hash;
    std::uint64_t timestamp = 0;
    std::string_view event_digest;
    std::string_view event_json;
};

// The row under the statement's cursor; the views last until the next step.
StoredEventRow read_event_row(const storage::Statement& stmt);

// True when event_json is the canonical text of the event the columns
// describe and event_digest is the SHA-256 of that event without its digest.
// The canonical text is built from the columns rather than parsed from
// event_json, so a whole stream is checked without parsing any of it.
// `scratch` is reused between calls.
bool event_row_consistent(const StoredEventRow& row, std::string& scratch);

struct LatestEvent {
    std::uint64_t sequence_number = 0;
    std::string event_id;
};

// The tenant's latest event of `event_type`, found through the
// (tenant_id, event_type, sequence_number) index, so its cost does not grow
// with the stream. A row whose columns disagree with its stored document is
// refused ("ORVANE_EVENT_STREAM_INVALID: ...").
Result<std::optional<LatestEvent>> latest_event_of_type(storage::Connection& db,
                                                        std::string_view tenant_id,
                                                        std::string_view event_type);

// "ORVANE_EVENT_STREAM_INVALID: event <n> of tenant '<t>' <what>".
std::string stream_invalid(std::uint64_t sequence_number, std::string_view tenant_id,
                           std::string_view what);

}  // namespace orvane
