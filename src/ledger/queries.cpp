// Read-only views of the ledger: a page newest first, the whole ledger oldest
// first, and the number of decisions.
#include <string>

#include "ledger/decision.hpp"
#include "ledger/ledger_ops.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

// Writes every row of the statement as the decision listing. A row that cannot
// be read fails the whole call; the partial text is discarded.
Result<std::string> write_listing(storage::Statement& rows) {
    std::string out = "[";
    bool first = true;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto more, rows.step().with_context("Error reading record: "));
        if (!more) break;
        ORVANE_ASSIGN_OR_RETURN(auto decision,
                                ledger::read_decision_view(rows).with_context("Error reading record: "));
        ORVANE_TRY(ledger::check_decision_text(decision).with_context("Error reading record: "));
        if (!first) out += ',';
        first = false;
        ledger::append_decision_listing(out, decision);
    }
    out += ']';
    return out;
}

}  // namespace

namespace {

// Offsets below this are stepped over as cheaply as the runs are consulted.
constexpr std::uint32_t kRangedOffset = 256;

constexpr std::string_view kListSql =
    "SELECT id, parent_id, causal_depth, actor_id, timestamp, payload, rules_evaluated, signature "
    "FROM decisions ORDER BY causal_depth DESC, timestamp DESC LIMIT ?1 OFFSET ?2";
// The same order from a given depth down: the rows before `offset` that lie
// deeper are not read at all.
constexpr std::string_view kListFromDepthSql =
    "SELECT id, parent_id, causal_depth, actor_id, timestamp, payload, rules_evaluated, signature "
    "FROM decisions WHERE causal_depth <= ?3 ORDER BY causal_depth DESC, timestamp DESC LIMIT ?1 OFFSET ?2";

Result<std::int64_t> data_version(const storage::Connection& db) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt, storage::Statement::prepare(db, "PRAGMA data_version"));
    ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step());
    if (!row) return fail("no data version");
    return stmt.column_int64(0);
}

// The page by its depth range, inside one read transaction so that the runs
// and the rows are the same state of the table; none when the runs cannot
// serve (the caller lists the plain way, with its own failure messages).
std::optional<std::string> list_by_depth(Gate& gate, std::uint32_t limit, std::uint32_t offset) {
    auto snapshot = storage::Transaction::begin(gate.db, "BEGIN");
    if (!snapshot) return std::nullopt;
    auto version = data_version(gate.db);
    if (!version || gate.decision_ranks.unusable(*version)) return std::nullopt;
    if (!gate.decision_ranks.current(*version) && !gate.decision_ranks.rebuild(gate.db, *version))
        return std::nullopt;
    auto start = gate.decision_ranks.locate(offset);
    if (!start) return std::string("[]");
    auto rows = storage::Queries(gate.db).prepare(kListFromDepthSql, limit, start->skip, start->depth);
    if (!rows) return std::nullopt;
    auto listing = write_listing(*rows);
    if (!listing) return std::nullopt;
    rows = storage::Statement();  // reset before the snapshot ends
    if (!snapshot->commit()) return std::nullopt;
    return std::move(*listing);
}

}  // namespace

Result<std::string> list_decisions(Gate& gate, std::uint32_t limit, std::uint32_t offset) {
    if (offset >= kRangedOffset && limit > 0) {
        if (auto page = list_by_depth(gate, limit, offset)) return std::move(*page);
    }
    ORVANE_ASSIGN_OR_RETURN(auto rows,
                            storage::Statement::prepare(gate.db, kListSql)
                                .with_context("Failed to prepare select statement: "));
    ORVANE_TRY(rows.bind_int64(1, limit).with_context("Error reading record: "));
    ORVANE_TRY(rows.bind_int64(2, offset).with_context("Error reading record: "));
    return write_listing(rows);
}

Result<std::string> export_decisions(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto rows,
                            storage::Statement::prepare(gate.db, ledger::kSelectLedgerOrder)
                                .with_context("Failed to prepare select statement: "));
    return write_listing(rows);
}

Result<std::uint64_t> count_decisions(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            storage::Statement::prepare(gate.db, "SELECT COUNT(*) FROM decisions")
                                .with_context("Failed to prepare count statement: "));
    ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step().with_context("Failed to count decisions: "));
    if (!row) return fail("Failed to count decisions: no row returned");
    ORVANE_ASSIGN_OR_RETURN(auto count, stmt.column_unsigned(0).with_context("Failed to count decisions: "));
    return count;
}

}  // namespace orvane
