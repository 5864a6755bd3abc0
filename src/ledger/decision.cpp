#include "ledger/decision.hpp"

#include <utility>

#include "primitives/utf8.hpp"

namespace orvane::ledger {

namespace {

Result<std::string_view> text_column(const storage::Statement& row, int index) {
    if (row.column_type(index) == SQLITE_TEXT) return row.column_text(index);
    // Let the strict reader word the refusal.
    ORVANE_TRY(row.column_string(index));
    return fail("column " + std::to_string(index) + " does not hold text");
}

}  // namespace

Result<DecisionView> read_decision_view(const storage::Statement& row) {
    DecisionView d;
    ORVANE_ASSIGN_OR_RETURN(auto id, text_column(row, 0));
    d.id = id;
    ORVANE_ASSIGN_OR_RETURN(auto parent, text_column(row, 1));
    d.parent_id = parent;
    ORVANE_ASSIGN_OR_RETURN(auto depth, row.column_unsigned(2));
    d.causal_depth = depth;
    ORVANE_ASSIGN_OR_RETURN(auto actor, text_column(row, 3));
    d.actor_id = actor;
    ORVANE_ASSIGN_OR_RETURN(auto timestamp, row.column_unsigned(4));
    d.timestamp = timestamp;
    ORVANE_ASSIGN_OR_RETURN(auto payload, text_column(row, 5));
    d.payload = payload;
    ORVANE_ASSIGN_OR_RETURN(auto rules, text_column(row, 6));
    d.rules_evaluated = rules;
    ORVANE_ASSIGN_OR_RETURN(auto signature, text_column(row, 7));
    d.signature = signature;
    return d;
}

Status check_decision_text(const DecisionView& d) {
    const std::pair<std::string_view, std::string_view> texts[] = {
        {"id", d.id},         {"parent_id", d.parent_id},          {"actor_id", d.actor_id},
        {"payload", d.payload}, {"rules_evaluated", d.rules_evaluated}, {"signature", d.signature}};
    for (const auto& [name, text] : texts)
        if (!is_valid_utf8(text)) return fail("Invalid UTF-8 text in column " + std::string(name));
    return {};
}

Result<Decision> read_decision(const storage::Statement& row) {
    ORVANE_ASSIGN_OR_RETURN(auto view, read_decision_view(row));
    return Decision{std::string(view.id),      std::string(view.parent_id),
                    view.causal_depth,         std::string(view.actor_id),
                    view.timestamp,            std::string(view.payload),
                    std::string(view.rules_evaluated), std::string(view.signature)};
}

void append_decision_preimage(std::string& out, std::string_view parent_id,
                              std::string_view actor_id, std::uint64_t timestamp,
                              const Json& payload, const Json& rules) {
    out += "{\"parent_id\":";
    append_json_string(out, parent_id);
    out += ",\"actor_id\":";
    append_json_string(out, actor_id);
    out += ",\"timestamp\":";
    append_json_uint(out, timestamp);
    out += ",\"payload\":";
    append_canonical_json(out, payload);
    out += ",\"rules_evaluated\":";
    append_canonical_json(out, rules);
    out += '}';
}

Digest decision_digest(std::string_view parent_id, std::string_view actor_id,
                       std::uint64_t timestamp, const Json& payload, const Json& rules) {
    std::string preimage;
    preimage.reserve(160 + parent_id.size());
    append_decision_preimage(preimage, parent_id, actor_id, timestamp, payload, rules);
    return sha256(preimage);
}

Result<Digest> decision_hash(std::string_view parent_id, std::string_view actor_id,
                             std::uint64_t timestamp, std::string_view payload,
                             std::string_view rules) {
    ORVANE_ASSIGN_OR_RETURN(auto payload_value, parse_json(payload).with_context("Invalid payload JSON: "));
    ORVANE_ASSIGN_OR_RETURN(auto rules_value, parse_json(rules).with_context("Invalid rules JSON: "));
    return decision_digest(parent_id, actor_id, timestamp, payload_value, rules_value);
}

void append_decision_listing(std::string& out, const DecisionView& d) {
    out += "{\"id\":";
    append_json_string(out, d.id);
    out += ",\"parent_id\":";
    append_json_string(out, d.parent_id);
    out += ",\"causal_depth\":";
    append_json_uint(out, d.causal_depth);
    out += ",\"actor_id\":";
    append_json_string(out, d.actor_id);
    out += ",\"timestamp\":";
    append_json_uint(out, d.timestamp);
    out += ",\"payload\":";
    append_json_string(out, d.payload);
    out += ",\"rules_evaluated\":";
    append_json_string(out, d.rules_evaluated);
    out += ",\"signature\":";
    append_json_string(out, d.signature);
    out += '}';
}

}  // namespace orvane::ledger
