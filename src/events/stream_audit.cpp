// Re-verification of a tenant's stored stream and its latest checkpoint.
#include "events/stream_audit.hpp"

#include "events/running_hash.hpp"
#include "events/stored_event.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

constexpr std::string_view kLatestCheckpoint =
    "SELECT checkpoint_sequence, last_sequence, stream_root_hash, checkpoint_json FROM checkpoints\n"
    "             WHERE tenant_id = ?1 ORDER BY checkpoint_sequence DESC LIMIT 1";

constexpr std::string_view kStoredStream =
    "SELECT sequence_number, tenant_id, event_id, event_type, payload_hash, prev_event_hash, timestamp, "
    "event_digest, event_json FROM event_stream\n"
    "             WHERE tenant_id = ?1 ORDER BY sequence_number ASC";

std::string rollback(std::string_view tenant_id, const SignedCheckpoint& covered) {
    return "ORVANE_CHECKPOINT_ROLLBACK: the stored stream of tenant '" + std::string(tenant_id) +
           "' does not extend its latest checkpoint " + std::to_string(covered.checkpoint_sequence);
}

}  // namespace

Result<std::optional<SignedCheckpoint>> latest_signed_checkpoint(storage::Connection& db,
                                                                 std::string_view tenant_id,
                                                                 std::string_view gate_public_key) {
    static const std::string prefix = "Failed to query latest checkpoint sequence: ";
    const storage::Queries q(db, prefix);
    ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare(kLatestCheckpoint, tenant_id));
    ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
    if (!row) return std::optional<SignedCheckpoint>();

    const std::string refused = "ORVANE_CHECKPOINT_INVALID: the latest stored checkpoint of tenant '" +
                                std::string(tenant_id) + "' does not verify under the gate key";
    auto checkpoint = parse_json(stmt.column_text(3));
    if (!checkpoint || !checkpoint->is_object()) return fail(refused);
    const std::string* signature = find_string(*checkpoint, "signature");
    const Json* signer = find_member(*checkpoint, "signer");
    const std::string* signer_key = signer != nullptr && signer->is_object()
                                        ? find_string(*signer, "public_key")
                                        : nullptr;
    if (signature == nullptr || signer_key == nullptr || *signer_key != gate_public_key) return fail(refused);
    const std::string signed_bytes = canonical_json_without(*checkpoint, {"signature"});
    if (!verify_signature(gate_public_key,
                          {reinterpret_cast<const std::uint8_t*>(signed_bytes.data()), signed_bytes.size()},
                          *signature)) {
        return fail(refused);
    }

    // The signed document decides; the columns must only agree with it, since
    // the next checkpoint's sequence is found through them.
    const std::string* tenant = find_string(*checkpoint, "tenant_id");
    const auto sequence = find_unsigned(*checkpoint, "checkpoint_sequence");
    const auto first = find_unsigned(*checkpoint, "first_sequence");
    const auto last = find_unsigned(*checkpoint, "last_sequence");
    const auto total = find_unsigned(*checkpoint, "total_events");
    const std::string* root = find_string(*checkpoint, "stream_root_hash");
    if (tenant == nullptr || *tenant != tenant_id || !sequence || !first || *first != 1 || !last ||
        !total || *total != *last || root == nullptr ||
        static_cast<std::uint64_t>(stmt.column_int64(0)) != *sequence ||
        static_cast<std::uint64_t>(stmt.column_int64(1)) != *last || stmt.column_text(2) != *root) {
        return fail(refused);
    }
    return std::optional<SignedCheckpoint>(SignedCheckpoint{*sequence, *last, *root});
}

Result<StreamSummary> audit_stream(storage::Connection& db, std::string_view tenant_id,
                                   const std::optional<SignedCheckpoint>& covered) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            storage::Statement::prepare(db, kStoredStream)
                                .with_context("Failed to prepare event stream query: "));
    ORVANE_TRY(stmt.bind_text(1, tenant_id).with_context("Failed to query event stream: "));
    static const std::string row_prefix = "Failed reading event row: ";
    StreamSummary summary;
    RunningHash hash;
    // The root over the covered prefix, finished at its last event.
    RunningHash prefix_hash;
    std::string previous_digest(kEventStreamGenesisHash);
    std::string scratch;
    for (;;) {
        auto found = stmt.step();
        if (!found) return fail(row_prefix + found.error());
        if (!*found) break;
        const StoredEventRow row = read_event_row(stmt);
        const std::uint64_t expected = summary.total_events + 1;
        if (row.sequence_number != expected) {
            return fail(stream_invalid(expected, tenant_id, "is missing"));
        }
        if (row.prev_event_hash != previous_digest) {
            return fail(stream_invalid(expected, tenant_id, "does not link to the event before it"));
        }
        if (!event_row_consistent(row, scratch)) {
            return fail(stream_invalid(expected, tenant_id, "does not match its stored document"));
        }
        hash.update(row.event_digest);
        if (covered && expected <= covered->last_sequence) {
            prefix_hash.update(row.event_digest);
            if (expected == covered->last_sequence &&
                prefix_hash.finish_hex() != covered->stream_root_hash) {
                return fail(rollback(tenant_id, *covered));
            }
        }
        previous_digest.assign(row.event_digest);
        if (summary.total_events == 0) summary.first_sequence = row.sequence_number;
        summary.last_sequence = row.sequence_number;
        ++summary.total_events;
    }
    if (covered && summary.total_events < covered->last_sequence) return fail(rollback(tenant_id, *covered));
    summary.root_hash = hash.finish_hex();
    return summary;
}

}  // namespace orvane
