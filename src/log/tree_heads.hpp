// Signed tree heads of the tenant streams and the proofs against them, as the
// gate issues them. Callable from C++ by other parts of the gate (evidence
// files take a head and the proofs of their events in one read).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"
#include "log/merkle.hpp"
#include "primitives/json.hpp"
#include "storage/sqlite.hpp"

namespace orvane::log {

// Signs and stores the head of the tenant's stored tree, after checking that
// the tree matches the stream's last event and extends the tenant's latest
// stored head. Returns the note text. Refusals write nothing.
Result<std::string> create_tree_head(Gate& gate, std::string_view tenant_id);

// The proof documents ("orvane.inclusion-proof.v1", "orvane.consistency-proof.v1")
// as canonical JSON text, read in one read transaction.
Result<std::string> prove_inclusion(Gate& gate, std::string_view tenant_id, std::uint64_t sequence_number,
                                    std::uint64_t tree_size);
Result<std::string> prove_consistency(Gate& gate, std::string_view tenant_id, std::uint64_t old_size,
                                      std::uint64_t new_size);

// The same documents as values, over whatever transaction the caller holds.
Result<Json> inclusion_proof_document(storage::Connection& db, std::string_view tenant_id,
                                      std::uint64_t sequence_number, std::uint64_t tree_size);
Result<Json> consistency_proof_document(storage::Connection& db, std::string_view tenant_id,
                                        std::uint64_t old_size, std::uint64_t new_size);

// The tenant's latest stored head, verified under the gate key: none when the
// tenant has none; "ORVANE_TREE_HEAD_INVALID: ..." when the stored note does
// not verify or is not the tenant's.
struct StoredHead {
    std::uint64_t head_sequence = 0;
    std::uint64_t tree_size = 0;
    Hash root{};
    std::string note;
};
Result<std::optional<StoredHead>> latest_tree_head(storage::Connection& db, std::string_view tenant_id,
                                                   std::string_view gate_public_key);

// The latest stored head of the tenant and the inclusion proof of one of its
// events under it, read in one read transaction. None when no stored head
// covers that event yet (create one first).
struct HeadWithInclusion {
    StoredHead head;
    Json inclusion_proof;
};
Result<std::optional<HeadWithInclusion>> latest_head_with_inclusion(storage::Connection& db,
                                                                    std::string_view tenant_id,
                                                                    std::uint64_t sequence_number,
                                                                    std::string_view gate_public_key);

}  // namespace orvane::log
