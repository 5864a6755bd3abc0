// Read-only views of the ledger: a page newest first, the whole ledger oldest
// first, and the number of decisions.
#include <string>

#include "ledger/decision.hpp"
#include "ledger/ledger_ops.hpp"

namespace orvane {

namespace {

// Writes every row of the statement as the decision listing. A row that cannot
// be read fails the whole call; the partial text is discarded.
Result<std::string> write_listing(storage::Statement& rows) {
    std::string out = "[";
    bool first = true;
    for (;;) {
        auto more = rows.step();
        if (!more) return fail("Error reading record: " + more.error());
        if (!*more) break;
        auto decision = ledger::read_decision_view(rows);
        if (!decision) return fail("Error reading record: " + decision.error());
        if (auto text = ledger::check_decision_text(*decision); !text)
            return fail("Error reading record: " + text.error());
        if (!first) out += ',';
        first = false;
        ledger::append_decision_listing(out, *decision);
    }
    out += ']';
    return out;
}

}  // namespace

Result<std::string> list_decisions(Gate& gate, std::uint32_t limit, std::uint32_t offset) {
    static constexpr std::string_view kSql =
        "SELECT id, parent_id, causal_depth, actor_id, timestamp, payload, rules_evaluated, signature "
        "FROM decisions ORDER BY causal_depth DESC, timestamp DESC LIMIT ?1 OFFSET ?2";
    auto rows = storage::Statement::prepare(gate.db, kSql);
    if (!rows) return fail("Failed to prepare select statement: " + rows.error());
    if (auto r = rows->bind_int64(1, limit); !r) return fail("Error reading record: " + r.error());
    if (auto r = rows->bind_int64(2, offset); !r) return fail("Error reading record: " + r.error());
    return write_listing(*rows);
}

Result<std::string> export_decisions(Gate& gate) {
    auto rows = storage::Statement::prepare(gate.db, ledger::kSelectLedgerOrder);
    if (!rows) return fail("Failed to prepare select statement: " + rows.error());
    return write_listing(*rows);
}

Result<std::uint64_t> count_decisions(Gate& gate) {
    auto stmt = storage::Statement::prepare(gate.db, "SELECT COUNT(*) FROM decisions");
    if (!stmt) return fail("Failed to prepare count statement: " + stmt.error());
    auto row = stmt->step();
    if (!row) return fail("Failed to count decisions: " + row.error());
    if (!*row) return fail("Failed to count decisions: no row returned");
    auto count = stmt->column_unsigned(0);
    if (!count) return fail("Failed to count decisions: " + count.error());
    return *count;
}

}  // namespace orvane
