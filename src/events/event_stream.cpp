// Appending to and exporting a tenant's hash-chained event stream.
#include "events/event_stream.hpp"

#include <limits>
#include <string>

#include "events/event_ops.hpp"
#include "log/tree_store.hpp"
#include "primitives/digest.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

constexpr std::string_view kEventSchema = "orvane.event-stream-event.v1";
constexpr std::string_view kGenesisHash =
    "0000000000000000000000000000000000000000000000000000000000000000";


constexpr std::string_view kHeadQuery =
    "SELECT sequence_number, event_digest FROM event_stream\n"
    "             WHERE tenant_id = ?1 ORDER BY sequence_number DESC LIMIT 1";

constexpr std::string_view kInsertEvent =
    "INSERT INTO event_stream (\n"
    "            sequence_number, tenant_id, event_id, event_type,\n"
    "            payload_hash, prev_event_hash, timestamp, event_digest, event_json\n"
    "        ) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

constexpr std::string_view kExportQuery =
    "SELECT event_json FROM event_stream\n"
    "             WHERE tenant_id = ?1 AND sequence_number >= ?2\n"
    "             ORDER BY sequence_number ASC LIMIT ?3";

struct StreamHead {
    std::uint64_t next_sequence = 1;
    std::string prev_hash{kGenesisHash};
};

Result<StreamHead> read_head(storage::Connection& db, std::string_view tenant_id) {
    static const std::string prefix = "Failed to query latest event stream state: ";
    const storage::Queries q(db, prefix);
    ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare(kHeadQuery, tenant_id));
    ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
    StreamHead head;
    if (row) {
        ORVANE_ASSIGN_OR_RETURN(const std::uint64_t sequence, stmt.column_unsigned(0).with_context(prefix));
        ORVANE_ASSIGN_OR_RETURN(std::string digest, stmt.column_string(1).with_context(prefix));
        // An SQLite integer column ends at INT64_MAX: the next one could not be stored.
        if (sequence >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return fail(prefix + "sequence number " + std::to_string(sequence) + " cannot be followed");
        head.next_sequence = sequence + 1;
        head.prev_hash = std::move(digest);
    }
    return head;
}

}  // namespace

Result<Json> append_event(storage::Connection& db, std::string_view tenant_id,
                          std::string_view event_type, std::string_view event_id,
                          std::string_view payload, std::uint64_t timestamp) {
    ORVANE_ASSIGN_OR_RETURN(auto head, read_head(db, tenant_id));

    Json event = Json::object();
    event["schema_version"] = kEventSchema;
    event["tenant_id"] = tenant_id;
    event["sequence_number"] = head.next_sequence;
    event["event_id"] = event_id;
    event["event_type"] = event_type;
    event["payload_hash"] = sha256_hex(payload);
    event["prev_event_hash"] = head.prev_hash;
    event["timestamp"] = timestamp;
    const std::string event_digest = canonical_digest(event);
    event["event_digest"] = event_digest;
    const std::string event_json = canonical_json(event);

    static const std::string prefix = "Failed to insert event into stream: ";
    ORVANE_TRY(storage::Queries(db, prefix)
                   .execute(kInsertEvent, head.next_sequence, tenant_id, event_id, event_type,
                            event["payload_hash"].get_ref<const std::string&>(), head.prev_hash, timestamp,
                            event_digest, event_json));
    // The tenant's tree grows with its stream, in the same transaction.
    ORVANE_TRY(log::append_leaf(db, tenant_id, head.next_sequence, event_digest).with_context(prefix));
    return event;
}

Result<std::string> export_event_stream(Gate& gate, std::string_view tenant_id,
                                        std::uint64_t from_sequence, std::uint32_t limit) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            storage::Statement::prepare(gate.db, kExportQuery)
                                .with_context("Failed to prepare export stream query: "));
    // Sequence numbers are stored as SQLite integers, so no stored event lies
    // beyond INT64_MAX; clamping keeps a huge start from wrapping negative and
    // selecting the whole stream.
    constexpr auto kMaxStored = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t start = from_sequence > kMaxStored ? kMaxStored : from_sequence;
    ORVANE_TRY(storage::bind_all(stmt, tenant_id, start, static_cast<std::int64_t>(limit))
                   .with_context("Failed to query export events: "));
    if (from_sequence > kMaxStored) return std::string("[]");

    // Each stored event is parsed and written back canonically, straight into
    // the array text.
    std::string out = "[";
    bool first = true;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step().with_context("Failed reading event json: "));
        if (!row) break;
        ORVANE_ASSIGN_OR_RETURN(auto text, stmt.column_string(0).with_context("Failed reading event json: "));
        ORVANE_ASSIGN_OR_RETURN(auto value,
                                parse_json(text).with_context("Corrupt event JSON in database: "));
        if (!first) out.push_back(',');
        first = false;
        append_canonical_json(out, value);
    }
    out.push_back(']');
    return out;
}

}  // namespace orvane
