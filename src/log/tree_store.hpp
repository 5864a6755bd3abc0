// The stored trees of the tenant streams: every complete subtree by (level,
// index), kept up to date inside each append's transaction, rebuilt once for
// a database written before trees were kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "log/merkle.hpp"
#include "storage/sqlite.hpp"

namespace orvane::log {

// Creates the tree tables; when they did not exist yet, builds the tree of
// every stored stream (one transaction, O(n)). Failures: "Failed to
// initialize tree schema: <reason>", "Failed to build the stream trees: <reason>".
Status create_tree_schema(storage::Connection& db);

// Adds the event with `sequence_number` and `event_digest` (hex) as leaf
// sequence_number - 1 of its tenant's tree, inside the caller's transaction.
// A tree that lags behind the stream is first caught up from the stored
// events; a tree that the stream no longer matches (a writer removed events
// under it) is left as it is, and the gate then refuses to sign heads over it.
Status append_leaf(storage::Connection& db, std::string_view tenant_id, std::uint64_t sequence_number,
                   std::string_view event_digest);

// The number of leaves of the tenant's stored tree.
Result<std::uint64_t> stored_tree_size(storage::Connection& db, std::string_view tenant_id);

// Reads complete subtrees of the tenant's stored tree; a missing or malformed
// node is a failure naming it. The reader keeps a copy of the tenant id and a
// reference to the connection.
SubtreeReader stored_subtrees(storage::Connection& db, std::string_view tenant_id);

// The tenant's stream head: its highest sequence number and that event's
// digest (0 and empty when the tenant has no events).
struct StreamTip {
    std::uint64_t sequence = 0;
    std::string event_digest;
};
Result<StreamTip> stream_tip(storage::Connection& db, std::string_view tenant_id);

// Adds the stored events after the tree's last leaf, up to `sequence`
// (inclusive), as long as they follow one another without a gap.
Status catch_up(storage::Connection& db, std::string_view tenant_id, std::uint64_t sequence);

}  // namespace orvane::log
