// Appending decisions: one at a time or as a chain in one transaction. The
// parent is chosen under the write lock, so concurrent writers on the same
// file can never attach to the same latest decision.
#include <limits>
#include <optional>
#include <string>

#include "ledger/decision.hpp"
#include "ledger/ledger_ops.hpp"
#include "primitives/clock.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

namespace orvane {

namespace {

constexpr std::string_view kInsertSql =
    "INSERT INTO decisions (id, parent_id, causal_depth, actor_id, timestamp, payload, "
    "rules_evaluated, signature) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";

// The ledger key, loaded from the key file on first use and kept for the
// object's life; a failed load caches nothing.
Result<const KeyPair*> ledger_key(Gate& gate) {
    if (!gate.ledger_key) {
        ORVANE_ASSIGN_OR_RETURN(auto key, load_ledger_key(gate.keyfile_path));
        gate.ledger_key.emplace(std::move(key));
    }
    return &*gate.ledger_key;
}

struct Link {
    std::string parent_id;
    std::uint64_t depth = 0;
};

// The row with the greatest depth, and among those the latest.
Result<std::optional<ledger::Decision>> latest_decision(storage::Connection& db) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            storage::Statement::prepare(db, std::string(ledger::kSelectNewestFirst) + " LIMIT 1")
                                .with_context("Failed to prepare select statement: "));
    ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step().with_context("Error advancing row: "));
    if (!row) return std::optional<ledger::Decision>{};
    ORVANE_ASSIGN_OR_RETURN(auto decision, ledger::read_decision(stmt));
    return std::optional<ledger::Decision>(std::move(decision));
}

// Chooses where the next decision attaches; must run inside the transaction.
Result<Link> choose_parent(storage::Connection& db, bool genesis) {
    ORVANE_ASSIGN_OR_RETURN(auto latest, latest_decision(db));
    if (!genesis) {
        if (!latest)
            return fail("Database is empty. Use genesis=true to record the first decision.");
        return Link{std::move(latest->id), latest->causal_depth + 1};
    }
    ORVANE_ASSIGN_OR_RETURN(auto check, storage::Statement::prepare(
        db, "SELECT 1 FROM decisions WHERE parent_id = 'genesis' LIMIT 1").with_context("Prepare error: "));
    ORVANE_ASSIGN_OR_RETURN(auto found, check.step().with_context("Query error: "));
    if (found) return fail("A genesis decision already exists in the database.");
    return Link{std::string(ledger::kGenesisParent), 0};
}

// Digests, signs and inserts one decision; returns its id.
Result<std::string> insert_decision(storage::Statement& insert, const KeyPair& key,
                                    const std::string& actor_id, const Link& link,
                                    std::string_view payload, const Json& payload_value,
                                    std::string_view rules, const Json& rules_value) {
    // SQLite keeps a signed 64-bit integer: one more would be stored negative
    // and leave a ledger that no reader accepts.
    if (link.depth > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail("Cannot extend the ledger: causal depth " + std::to_string(link.depth - 1) +
                    " is the largest that can be stored");
    ORVANE_ASSIGN_OR_RETURN(auto timestamp, now_micros());
    Digest digest = ledger::decision_digest(link.parent_id, actor_id, timestamp, payload_value,
                                            rules_value);
    std::string id = hex_encode(digest);
    std::string signature = signature_hex(sign_message(key, digest));

    insert.reset();
    Status bound = insert.bind_text(1, id);
    if (bound) bound = insert.bind_text(2, link.parent_id);
    if (bound) bound = insert.bind_uint64(3, link.depth);
    if (bound) bound = insert.bind_text(4, actor_id);
    if (bound) bound = insert.bind_uint64(5, timestamp);
    if (bound) bound = insert.bind_text(6, payload);
    if (bound) bound = insert.bind_text(7, rules);
    if (bound) bound = insert.bind_text(8, signature);
    if (bound) bound = insert.run();
    if (!bound) return fail("Failed to insert decision into SQLite: " + bound.error());
    return id;
}

// The latest id after a commit; an empty text when it cannot be read, since
// the decisions are already stored.
std::string latest_hash(storage::Connection& db) {
    auto stmt = storage::Statement::prepare(
        db, "SELECT id FROM decisions ORDER BY causal_depth DESC, timestamp DESC LIMIT 1");
    if (!stmt) return {};
    auto row = stmt->step();
    if (!row) return {};
    if (!*row) return "GENESIS";
    auto id = stmt->column_string(0);
    return id ? std::move(*id) : std::string();
}

std::string result_text(std::string_view action, std::string_view latest) {
    std::string out = "{\"status\": \"success\", \"action\": \"";
    out += action;
    out += "\", \"latest_hash\": ";
    append_json_string(out, latest);
    out += '}';
    return out;
}

Result<storage::Transaction> begin_write(storage::Connection& db) {
    ORVANE_ASSIGN_OR_RETURN(auto tx,
                            storage::Transaction::begin(db).with_context("Failed to begin transaction: "));
    return tx;
}

Status commit_write(storage::Transaction& tx) {
    ORVANE_TRY(tx.commit().with_context("Failed to commit transaction: "));
    return {};
}

}  // namespace

Result<std::string> record_decision(Gate& gate, std::string_view payload, std::string_view rules,
                                    bool genesis) {
    ORVANE_ASSIGN_OR_RETURN(auto payload_value,
                            parse_json(payload).with_context("Payload is not valid JSON: "));
    ORVANE_ASSIGN_OR_RETURN(auto rules_value, parse_json(rules).with_context("Rules is not valid JSON: "));
    ORVANE_ASSIGN_OR_RETURN(auto key, ledger_key(gate));
    const std::string actor_id = key->public_key_hex();

    {
        ORVANE_ASSIGN_OR_RETURN(auto tx, begin_write(gate.db));
        ORVANE_ASSIGN_OR_RETURN(auto link, choose_parent(gate.db, genesis));
        ORVANE_ASSIGN_OR_RETURN(auto insert,
                                storage::Statement::prepare(gate.db, kInsertSql)
                                    .with_context("Failed to insert decision into SQLite: "));
        ORVANE_TRY(insert_decision(insert, *key, actor_id, link, payload, payload_value, rules,
                                  rules_value));
        insert = storage::Statement();  // finalize before COMMIT
        ORVANE_TRY(commit_write(tx));
        gate.decision_ranks.appended(link.depth, 1);
    }
    return result_text("recorded", latest_hash(gate.db));
}

Result<std::string> record_decision_batch(Gate& gate, std::span<const DecisionInput> decisions,
                                          bool genesis) {
    if (decisions.empty()) return result_text("recorded_batch", latest_hash(gate.db));
    ORVANE_ASSIGN_OR_RETURN(auto key, ledger_key(gate));
    const std::string actor_id = key->public_key_hex();

    {
        ORVANE_ASSIGN_OR_RETURN(auto tx, begin_write(gate.db));
        ORVANE_ASSIGN_OR_RETURN(auto link, choose_parent(gate.db, genesis));
        const std::uint64_t first_depth = link.depth;
        // One prepared INSERT serves the whole chain.
        ORVANE_ASSIGN_OR_RETURN(auto insert,
                                storage::Statement::prepare(gate.db, kInsertSql)
                                    .with_context("Failed to insert decision into SQLite: "));
        for (const DecisionInput& item : decisions) {
            ORVANE_ASSIGN_OR_RETURN(auto payload_value,
                                    parse_json(item.payload).with_context("Payload is not valid JSON: "));
            ORVANE_ASSIGN_OR_RETURN(auto rules_value,
                                    parse_json(item.rules).with_context("Rules is not valid JSON: "));
            ORVANE_ASSIGN_OR_RETURN(auto id, insert_decision(insert, *key, actor_id, link, item.payload,
                                      payload_value, item.rules, rules_value));
            link.parent_id = std::move(id);
            link.depth += 1;
        }
        insert = storage::Statement();
        ORVANE_TRY(commit_write(tx));
        gate.decision_ranks.appended(first_depth, decisions.size());
    }
    return result_text("recorded_batch", latest_hash(gate.db));
}

}  // namespace orvane
