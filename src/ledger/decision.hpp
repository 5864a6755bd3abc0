// One row of the decisions table, its digest and its listing form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/digest.hpp"
#include "primitives/json.hpp"
#include "storage/sqlite.hpp"

namespace orvane::ledger {

// The eight columns in table order; every reader selects them in this order.
inline constexpr std::string_view kSelectNewestFirst =
    "SELECT id, parent_id, causal_depth, actor_id, timestamp, payload, rules_evaluated, signature "
    "FROM decisions ORDER BY causal_depth DESC, timestamp DESC";
inline constexpr std::string_view kSelectLedgerOrder =
    "SELECT id, parent_id, causal_depth, actor_id, timestamp, payload, rules_evaluated, signature "
    "FROM decisions ORDER BY causal_depth ASC, timestamp ASC";

inline constexpr std::string_view kGenesisParent = "genesis";

struct Decision {
    std::string id;
    std::string parent_id;
    std::uint64_t causal_depth = 0;
    std::string actor_id;
    std::uint64_t timestamp = 0;
    std::string payload;
    std::string rules_evaluated;
    std::string signature;
};

// A row read in place: the texts point into the statement and stay valid only
// until its next step or reset.
struct DecisionView {
    std::string_view id;
    std::string_view parent_id;
    std::uint64_t causal_depth = 0;
    std::string_view actor_id;
    std::uint64_t timestamp = 0;
    std::string_view payload;
    std::string_view rules_evaluated;
    std::string_view signature;
};

// Reads the current row of a statement selecting the eight columns. Text
// columns must hold text, the two numbers non-negative integers; the failure
// is the column reader's reason alone.
Result<DecisionView> read_decision_view(const storage::Statement& row);
Result<Decision> read_decision(const storage::Statement& row);
// Whether every text of the row is valid UTF-8, as a listing handed to
// Python must be; the failure names the first column that is not.
Status check_decision_text(const DecisionView& decision);

// The digest preimage: members in fixed order, payload and rules embedded as
// canonical JSON values.
void append_decision_preimage(std::string& out, std::string_view parent_id,
                              std::string_view actor_id, std::uint64_t timestamp,
                              const Json& payload, const Json& rules);

Digest decision_digest(std::string_view parent_id, std::string_view actor_id,
                       std::uint64_t timestamp, const Json& payload, const Json& rules);

// Parses the stored texts first: "Invalid payload JSON: <reason>" or
// "Invalid rules JSON: <reason>".
Result<Digest> decision_hash(std::string_view parent_id, std::string_view actor_id,
                             std::uint64_t timestamp, std::string_view payload,
                             std::string_view rules);

// One listing object, members in table order, payload and rules as strings.
void append_decision_listing(std::string& out, const DecisionView& decision);

}  // namespace orvane::ledger
