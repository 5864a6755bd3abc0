// Gate-signed checkpoints over a tenant's event stream.
#include <limits>
#include <string>

#include "events/event_ops.hpp"
#include "events/stream_audit.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

constexpr std::string_view kInsertCheckpoint =
    "INSERT INTO checkpoints (\n"
    "            checkpoint_id, tenant_id, checkpoint_sequence,\n"
    "            first_sequence, last_sequence, stream_root_hash,\n"
    "            total_events, created_at, checkpoint_json\n"
    "        ) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

Result<std::uint64_t> next_checkpoint_sequence(const std::optional<SignedCheckpoint>& latest) {
    if (!latest) return 1;
    // An SQLite integer column ends at INT64_MAX: the next one could not be stored.
    if (latest->checkpoint_sequence >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return fail("Failed to query latest checkpoint sequence: checkpoint sequence " +
                    std::to_string(latest->checkpoint_sequence) + " cannot be followed");
    }
    return latest->checkpoint_sequence + 1;
}

Json signer_identity_json(const SignerIdentity& identity) {
    Json signer = Json::object();
    signer["signer_uri"] = identity.signer_uri;
    signer["key_version"] = identity.key_version;
    signer["algorithm"] = identity.algorithm;
    signer["public_key"] = identity.public_key;
    return signer;
}

}  // namespace

Result<std::string> create_checkpoint(Gate& gate, std::string_view tenant_id) {
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    ORVANE_ASSIGN_OR_RETURN(auto created_at, now_micros());
    // The next sequence is taken, the stream verified and summed up and the
    // checkpoint stored under one write lock, so that two processes
    // checkpointing the same tenant get consecutive sequences instead of one
    // failing on the unique (tenant_id, checkpoint_sequence).
    ORVANE_ASSIGN_OR_RETURN(auto tx,
                            storage::Transaction::begin(gate.db)
                                .with_context("Failed to begin checkpoint transaction: "));
    // Before vouching for the stream, re-verify it and that it extends what
    // the gate signed last: a writer without the key could otherwise delete
    // events, re-chain the rest and have the gate sign the shorter history.
    const std::string& gate_key = signer->identity().public_key;
    ORVANE_ASSIGN_OR_RETURN(auto latest, latest_signed_checkpoint(gate.db, tenant_id, gate_key));
    ORVANE_ASSIGN_OR_RETURN(auto sequence, next_checkpoint_sequence(latest));
    ORVANE_ASSIGN_OR_RETURN(auto summary, audit_stream(gate.db, tenant_id, latest));
    if (summary.total_events == 0) {
        return fail("Cannot create checkpoint: No events recorded for tenant '" +
                    std::string(tenant_id) + "'");
    }

    std::string checkpoint_id;
    checkpoint_id.reserve(tenant_id.size() + 48);
    checkpoint_id.append("chk_").append(tenant_id).append("_");
    checkpoint_id.append(std::to_string(sequence)).append("_").append(std::to_string(created_at));

    Json checkpoint = Json::object();
    checkpoint["schema_version"] = "orvane.checkpoint.v1";
    checkpoint["checkpoint_id"] = checkpoint_id;
    checkpoint["tenant_id"] = tenant_id;
    checkpoint["checkpoint_sequence"] = sequence;
    checkpoint["first_sequence"] = summary.first_sequence;
    checkpoint["last_sequence"] = summary.last_sequence;
    checkpoint["stream_root_hash"] = summary.root_hash;
    checkpoint["total_events"] = summary.total_events;
    checkpoint["created_at"] = created_at;
    checkpoint["signer"] = signer_identity_json(signer->identity());

    const std::string signed_bytes = canonical_json(checkpoint);
    ORVANE_ASSIGN_OR_RETURN(auto signature, signer->sign(
        {reinterpret_cast<const std::uint8_t*>(signed_bytes.data()), signed_bytes.size()}));
    checkpoint["signature"] = std::move(signature);
    std::string checkpoint_json = canonical_json(checkpoint);

    static const std::string prefix = "Failed to record checkpoint: ";
    ORVANE_TRY(storage::Queries(gate.db, prefix)
                   .execute(kInsertCheckpoint, checkpoint_id, tenant_id, sequence, summary.first_sequence,
                            summary.last_sequence, summary.root_hash, summary.total_events, created_at,
                            checkpoint_json));
    ORVANE_TRY(tx.commit().with_context(prefix));
    return checkpoint_json;
}

}  // namespace orvane
