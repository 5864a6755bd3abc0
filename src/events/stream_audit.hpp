// What the gate re-checks before it signs a checkpoint over a tenant's
// stream: the stored stream itself, and that it extends what the gate signed
// before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

// The part of a checkpoint the next one must agree with.
struct SignedCheckpoint {
    std::uint64_t checkpoint_sequence = 0;
    std::uint64_t last_sequence = 0;
    std::string stream_root_hash;
};

// The tenant's latest stored checkpoint, read from its signed document and
// verified under `gate_public_key`; none when the tenant has none. A row
// whose document does not verify, or disagrees with its columns, is refused
// ("ORVANE_CHECKPOINT_INVALID: ...").
Result<std::optional<SignedCheckpoint>> latest_signed_checkpoint(storage::Connection& db,
                                                                 std::string_view tenant_id,
                                                                 std::string_view gate_public_key);

struct StreamSummary {
    std::uint64_t first_sequence = 0;
    std::uint64_t last_sequence = 0;
    std::uint64_t total_events = 0;
    std::string root_hash;
};

// Walks the tenant's stored stream from its first event: sequence numbers
// from 1 without gaps, the chain from the genesis hash, every row's columns
// equal to its stored document and its digest recomputed. With `covered`,
// the stream must also hold that checkpoint's events unchanged (the same
// root over its first last_sequence events). Failures name the first event
// that does not hold ("ORVANE_EVENT_STREAM_INVALID: ...",
// "ORVANE_CHECKPOINT_ROLLBACK: ...") or the database error.
Result<StreamSummary> audit_stream(storage::Connection& db, std::string_view tenant_id,
                                   const std::optional<SignedCheckpoint>& covered);

}  // namespace orvane
