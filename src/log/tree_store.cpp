// The log_nodes table: reading and writing complete subtrees, the per-event
// append and the one-time rebuild of older databases.
#include "log/tree_store.hpp"

#include <cstring>
#include <optional>

#include "primitives/hex.hpp"

namespace orvane::log {

namespace {

constexpr const char* kTreeSchema =
    "CREATE TABLE IF NOT EXISTS log_nodes (\n"
    "            tenant_id TEXT NOT NULL,\n"
    "            level INTEGER NOT NULL,\n"
    "            node_index INTEGER NOT NULL,\n"
    "            hash BLOB NOT NULL,\n"
    "            PRIMARY KEY (tenant_id, level, node_index)\n"
    "        ) WITHOUT ROWID;\n"
    "        CREATE TABLE IF NOT EXISTS tree_heads (\n"
    "            tenant_id TEXT NOT NULL,\n"
    "            head_sequence INTEGER NOT NULL,\n"
    "            tree_size INTEGER NOT NULL,\n"
    "            root_hash TEXT NOT NULL,\n"
    "            created_at INTEGER NOT NULL,\n"
    "            note TEXT NOT NULL,\n"
    "            PRIMARY KEY (tenant_id, head_sequence)\n"
    "        );\n";

constexpr std::string_view kTreeTableExists =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'log_nodes'";
constexpr std::string_view kReadNode =
    "SELECT hash FROM log_nodes WHERE tenant_id = ?1 AND level = ?2 AND node_index = ?3";
constexpr std::string_view kInsertNode =
    "INSERT INTO log_nodes (tenant_id, level, node_index, hash) VALUES (?1, ?2, ?3, ?4)";
constexpr std::string_view kLastLeaf =
    "SELECT node_index FROM log_nodes WHERE tenant_id = ?1 AND level = 0 ORDER BY node_index DESC LIMIT 1";
constexpr std::string_view kStreamTip =
    "SELECT sequence_number, event_digest FROM event_stream\n"
    "             WHERE tenant_id = ?1 ORDER BY sequence_number DESC LIMIT 1";
constexpr std::string_view kStreamAfter =
    "SELECT sequence_number, event_digest FROM event_stream\n"
    "             WHERE tenant_id = ?1 AND sequence_number > ?2 AND sequence_number <= ?3\n"
    "             ORDER BY sequence_number ASC";
constexpr std::string_view kWholeStreams =
    "SELECT tenant_id, sequence_number, event_digest FROM event_stream ORDER BY tenant_id, sequence_number";

// The leaf data of an event: the 32 bytes of its digest.
std::optional<Hash> leaf_of(std::string_view event_digest) {
    Hash digest{};
    bool right = false;
    if (event_digest.size() != 64 || !hex_decode_into(event_digest, digest, right) || !right) return std::nullopt;
    return leaf_hash(digest);
}

Status insert_nodes(storage::Connection& db, std::string_view tenant_id, const std::vector<Node>& nodes) {
    static const std::string prefix = "Failed to store tree node: ";
    for (const Node& node : nodes) {
        auto stmt = storage::Statement::prepare(db, kInsertNode);
        if (!stmt) return fail(prefix + stmt.error());
        Status bound = stmt->bind_text(1, tenant_id);
        if (bound) bound = stmt->bind_int64(2, node.level);
        if (bound) bound = stmt->bind_uint64(3, node.index);
        if (bound && sqlite3_bind_blob(stmt->handle(), 4, node.hash.data(), 32, SQLITE_STATIC) != SQLITE_OK)
            bound = fail(db.error_message());
        if (!bound) return fail(prefix + bound.error());
        if (auto done = stmt->run(); !done) return fail(prefix + done.error());
    }
    return {};
}

Result<Hash> read_node(storage::Connection& db, std::string_view tenant_id, unsigned level, std::uint64_t index) {
    static const std::string prefix = "Failed to read tree node: ";
    auto stmt = storage::Statement::prepare(db, kReadNode);
    if (!stmt) return fail(prefix + stmt.error());
    Status bound = stmt->bind_text(1, tenant_id);
    if (bound) bound = stmt->bind_int64(2, level);
    if (bound) bound = stmt->bind_uint64(3, index);
    if (!bound) return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    auto where = [&] {
        return "node (" + std::to_string(level) + ", " + std::to_string(index) + ") of the tree of tenant '" +
               std::string(tenant_id) + "'";
    };
    if (!*row) return fail("ORVANE_TREE_INCOMPLETE: " + where() + " is missing");
    if (sqlite3_column_type(stmt->handle(), 0) != SQLITE_BLOB || sqlite3_column_bytes(stmt->handle(), 0) != 32)
        return fail("ORVANE_TREE_INCOMPLETE: " + where() + " is not a 32-byte hash");
    Hash out{};
    std::memcpy(out.data(), sqlite3_column_blob(stmt->handle(), 0), 32);
    return out;
}

Status build_all_trees(storage::Connection& db) {
    auto stmt = storage::Statement::prepare(db, kWholeStreams);
    if (!stmt) return fail(stmt.error());
    std::string tenant;
    TreeBuilder builder;
    bool stopped = false;  // the tenant's stream has a gap or a bad digest: its tree ends there
    for (bool first = true;; first = false) {
        auto row = stmt->step();
        if (!row) return fail(row.error());
        if (!*row) break;
        auto row_tenant = stmt->column_text(0);
        if (first || row_tenant != tenant) {
            tenant = std::string(row_tenant);
            builder = TreeBuilder();
            stopped = false;
        }
        if (stopped) continue;
        const std::int64_t sequence = stmt->column_int64(1);
        const auto leaf = leaf_of(stmt->column_text(2));
        if (!leaf || sequence < 1 || static_cast<std::uint64_t>(sequence) != builder.size() + 1) {
            stopped = true;
            continue;
        }
        ORVANE_TRY(insert_nodes(db, tenant, builder.append(*leaf)));
    }
    return {};
}

}  // namespace

Status create_tree_schema(storage::Connection& db) {
    bool existed = false;
    {
        auto stmt = storage::Statement::prepare(db, kTreeTableExists);
        if (!stmt) return fail("Failed to initialize tree schema: " + stmt.error());
        auto row = stmt->step();
        if (!row) return fail("Failed to initialize tree schema: " + row.error());
        existed = *row;
    }
    if (existed) return {};
    auto tx = storage::Transaction::begin(db);
    if (!tx) return fail("Failed to initialize tree schema: " + tx.error());
    if (auto done = db.exec(kTreeSchema); !done) return fail("Failed to initialize tree schema: " + done.error());
    if (auto built = build_all_trees(db); !built) return fail("Failed to build the stream trees: " + built.error());
    if (auto done = tx->commit(); !done) return fail("Failed to build the stream trees: " + done.error());
    return {};
}

Result<std::uint64_t> stored_tree_size(storage::Connection& db, std::string_view tenant_id) {
    static const std::string prefix = "Failed to read tree size: ";
    auto stmt = storage::Statement::prepare(db, kLastLeaf);
    if (!stmt) return fail(prefix + stmt.error());
    if (auto bound = stmt->bind_text(1, tenant_id); !bound) return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    if (!*row) return std::uint64_t{0};
    auto last = stmt->column_unsigned(0);
    if (!last) return fail(prefix + last.error());
    return *last + 1;
}

SubtreeReader stored_subtrees(storage::Connection& db, std::string_view tenant_id) {
    return [&db, tenant = std::string(tenant_id)](unsigned level, std::uint64_t index) {
        return read_node(db, tenant, level, index);
    };
}

Result<StreamTip> stream_tip(storage::Connection& db, std::string_view tenant_id) {
    static const std::string prefix = "Failed to query latest event stream state: ";
    auto stmt = storage::Statement::prepare(db, kStreamTip);
    if (!stmt) return fail(prefix + stmt.error());
    if (auto bound = stmt->bind_text(1, tenant_id); !bound) return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    StreamTip tip;
    if (!*row) return tip;
    auto sequence = stmt->column_unsigned(0);
    if (!sequence) return fail(prefix + sequence.error());
    tip.sequence = *sequence;
    tip.event_digest = std::string(stmt->column_text(1));
    return tip;
}

Status catch_up(storage::Connection& db, std::string_view tenant_id, std::uint64_t sequence) {
    auto size = stored_tree_size(db, tenant_id);
    if (!size) return fail(std::move(size.error()));
    if (*size >= sequence) return {};
    static const std::string prefix = "Failed to read the stream for its tree: ";
    std::vector<std::pair<std::uint64_t, std::string>> rows;
    {
        auto stmt = storage::Statement::prepare(db, kStreamAfter);
        if (!stmt) return fail(prefix + stmt.error());
        Status bound = stmt->bind_text(1, tenant_id);
        if (bound) bound = stmt->bind_uint64(2, *size);
        if (bound) bound = stmt->bind_uint64(3, sequence);
        if (!bound) return fail(prefix + bound.error());
        for (;;) {
            auto row = stmt->step();
            if (!row) return fail(prefix + row.error());
            if (!*row) break;
            rows.emplace_back(static_cast<std::uint64_t>(stmt->column_int64(0)), std::string(stmt->column_text(1)));
        }
    }
    std::uint64_t next = *size;
    const auto read = stored_subtrees(db, tenant_id);
    for (const auto& [number, digest] : rows) {
        const auto leaf = leaf_of(digest);
        if (number != next + 1 || !leaf) break;
        auto nodes = nodes_for_append(next, *leaf, read);
        if (!nodes) return fail(std::move(nodes.error()));
        ORVANE_TRY(insert_nodes(db, tenant_id, *nodes));
        ++next;
    }
    return {};
}

Status append_leaf(storage::Connection& db, std::string_view tenant_id, std::uint64_t sequence_number,
                   std::string_view event_digest) {
    const auto leaf = leaf_of(event_digest);
    if (!leaf || sequence_number == 0) return fail("Failed to store tree node: event digest is not 64 hex digits");
    auto size = stored_tree_size(db, tenant_id);
    if (!size) return fail(std::move(size.error()));
    const std::uint64_t index = sequence_number - 1;
    if (*size < index) {
        ORVANE_TRY(catch_up(db, tenant_id, index));
        size = stored_tree_size(db, tenant_id);
        if (!size) return fail(std::move(size.error()));
    }
    if (*size != index) return {};  // the stream no longer matches the tree under it
    auto nodes = nodes_for_append(index, *leaf, stored_subtrees(db, tenant_id));
    if (!nodes) return fail(std::move(nodes.error()));
    return insert_nodes(db, tenant_id, *nodes);
}

}  // namespace orvane::log
