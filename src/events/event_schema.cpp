// The event stream and checkpoint tables, created on every open of the gate.
#include "events/event_ops.hpp"

namespace orvane {
namespace {

constexpr const char* kEventStreamSchema =
    "CREATE TABLE IF NOT EXISTS event_stream (\n"
    "            sequence_number INTEGER NOT NULL,\n"
    "            tenant_id TEXT NOT NULL,\n"
    "            event_id TEXT NOT NULL,\n"
    "            event_type TEXT NOT NULL,\n"
    "            payload_hash TEXT NOT NULL,\n"
    "            prev_event_hash TEXT NOT NULL,\n"
    "            timestamp INTEGER NOT NULL,\n"
    "            event_digest TEXT NOT NULL,\n"
    "            event_json TEXT NOT NULL,\n"
    "            PRIMARY KEY (tenant_id, sequence_number),\n"
    "            UNIQUE (tenant_id, event_id)\n"
    "        );\n"
    "        CREATE INDEX IF NOT EXISTS idx_event_stream_seq\n"
    "            ON event_stream (tenant_id, sequence_number ASC);\n";

constexpr const char* kCheckpointSchema =
    "CREATE TABLE IF NOT EXISTS checkpoints (\n"
    "            checkpoint_id TEXT PRIMARY KEY,\n"
    "            tenant_id TEXT NOT NULL,\n"
    "            checkpoint_sequence INTEGER NOT NULL,\n"
    "            first_sequence INTEGER NOT NULL,\n"
    "            last_sequence INTEGER NOT NULL,\n"
    "            stream_root_hash TEXT NOT NULL,\n"
    "            total_events INTEGER NOT NULL,\n"
    "            created_at INTEGER NOT NULL,\n"
    "            checkpoint_json TEXT NOT NULL,\n"
    "            UNIQUE (tenant_id, checkpoint_sequence)\n"
    "        );\n"
    "        CREATE INDEX IF NOT EXISTS idx_checkpoints_tenant\n"
    "            ON checkpoints (tenant_id, checkpoint_sequence DESC);\n";

// Added later, so it is created on every open and older files get it too:
// the latest event of one type (the tenant's current policy) is found by a
// seek into this index whatever the length of the stream.
constexpr const char* kEventTypeIndex =
    "CREATE INDEX IF NOT EXISTS idx_event_stream_type\n"
    "            ON event_stream (tenant_id, event_type, sequence_number);\n";

}  // namespace

Status create_event_stream_schema(storage::Connection& db) {
    for (const char* batch : {kEventStreamSchema, kCheckpointSchema, kEventTypeIndex}) {
        ORVANE_TRY(db.exec(batch).with_context("Failed to initialize EventStream schema: "));
    }
    return {};
}

}  // namespace orvane
