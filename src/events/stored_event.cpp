// Stored events checked against their columns.
#include "events/stored_event.hpp"

#include "primitives/digest.hpp"
#include "primitives/json.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

constexpr std::string_view kLatestOfType =
    "SELECT sequence_number, tenant_id, event_id, event_type, payload_hash, prev_event_hash, timestamp, "
    "event_digest, event_json FROM event_stream\n"
    "             WHERE tenant_id = ?1 AND event_type = ?2 ORDER BY sequence_number DESC LIMIT 1";

// Integers were bound with bind_uint64, so they are read back the same way.
std::uint64_t column_u64(const storage::Statement& stmt, int index) {
    return static_cast<std::uint64_t>(stmt.column_int64(index));
}

}  // namespace

StoredEventRow read_event_row(const storage::Statement& stmt) {
    return StoredEventRow{
        .sequence_number = column_u64(stmt, 0),
        .tenant_id = stmt.column_text(1),
        .event_id = stmt.column_text(2),
        .event_type = stmt.column_text(3),
        .payload_hash = stmt.column_text(4),
        .prev_event_hash = stmt.column_text(5),
        .timestamp = column_u64(stmt, 6),
        .event_digest = stmt.column_text(7),
        .event_json = stmt.column_text(8),
    };
}

bool event_row_consistent(const StoredEventRow& row, std::string& body) {
    // Members in canonical (bytewise) order; the stored document adds
    // event_digest, which sorts first.
    body.clear();
    body.append("{\"event_id\":");
    append_json_string(body, row.event_id);
    body.append(",\"event_type\":");
    append_json_string(body, row.event_type);
    body.append(",\"payload_hash\":");
    append_json_string(body, row.payload_hash);
    body.append(",\"prev_event_hash\":");
    append_json_string(body, row.prev_event_hash);
    body.append(",\"schema_version\":\"orvane.event-stream-event.v1\",\"sequence_number\":");
    append_json_uint(body, row.sequence_number);
    body.append(",\"tenant_id\":");
    append_json_string(body, row.tenant_id);
    body.append(",\"timestamp\":");
    append_json_uint(body, row.timestamp);
    body.push_back('}');
    if (sha256_hex(body) != row.event_digest) return false;

    // event_json = {"event_digest":"<digest>", followed by the body after its "{".
    std::string_view stored = row.event_json;
    constexpr std::string_view kHead = "{\"event_digest\":\"";
    if (!stored.starts_with(kHead)) return false;
    stored.remove_prefix(kHead.size());
    // The digest matched a SHA-256 hex text, so it needs no escaping.
    if (!stored.starts_with(row.event_digest)) return false;
    stored.remove_prefix(row.event_digest.size());
    if (!stored.starts_with("\",")) return false;
    stored.remove_prefix(2);
    return stored == std::string_view(body).substr(1);
}

std::string stream_invalid(std::uint64_t sequence_number, std::string_view tenant_id,
                           std::string_view what) {
    std::string message = "ORVANE_EVENT_STREAM_INVALID: event ";
    message.append(std::to_string(sequence_number));
    message.append(" of tenant '");
    message.append(tenant_id);
    message.append("' ");
    message.append(what);
    return message;
}

Result<std::optional<LatestEvent>> latest_event_of_type(storage::Connection& db,
                                                        std::string_view tenant_id,
                                                        std::string_view event_type) {
    static const std::string prefix = "Failed to query event stream: ";
    const storage::Queries q(db, prefix);
    ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare(kLatestOfType, tenant_id, event_type));
    ORVANE_ASSIGN_OR_RETURN(const bool found, q.step(stmt));
    if (!found) return std::optional<LatestEvent>();
    const StoredEventRow row = read_event_row(stmt);
    std::string scratch;
    if (row.tenant_id != tenant_id || row.event_type != event_type ||
        !event_row_consistent(row, scratch)) {
        return fail(stream_invalid(row.sequence_number, tenant_id, "does not match its stored document"));
    }
    return std::optional<LatestEvent>(LatestEvent{row.sequence_number, std::string(row.event_id)});
}

}  // namespace orvane
