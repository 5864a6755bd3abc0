// The read-only identity queries: verify_agent, list_agents, get_agent and
// list_identity_events. None of them writes; every agent record re-derives
// its `trusted` flag from signed data.
#include <optional>
#include <string>

#include "identity/gate_authority.hpp"
#include "identity/identity_ops.hpp"
#include "identity/resolve.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

Json integer(std::int64_t v) {
    return v >= 0 ? Json(static_cast<std::uint64_t>(v)) : Json(v);
}

Json optional_integer(const storage::Statement& stmt, int i) {
    return stmt.column_is_null(i) ? Json(nullptr) : integer(stmt.column_int64(i));
}

Result<Json> agent_records(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto now, now_micros());
    ORVANE_ASSIGN_OR_RETURN(
        auto stmt, storage::Statement::prepare(
                       gate.db,
                       "SELECT public_key, alias, registered_at, metadata, status, can_delegate, registered_by, "
                       "registration_event_id, identity_id, tenant_id, key_version, signer_uri, algorithm, "
                       "valid_from, valid_until, revoked_at FROM agents ORDER BY registered_at ASC")
                       .with_context("Failed to prepare agents query: "));

    Json records = Json::array();
    std::optional<TrustedRoot> root;  // taken with the first row: an empty registry needs none
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step().with_context("Failed to query agents: "));
        if (!row) break;
        Json record = Json::object();
        static constexpr std::pair<int, const char*> kText[] = {
            {0, "public_key"}, {1, "alias"},     {4, "status"},     {6, "registered_by"},
            {7, "registration_event_id"},        {8, "identity_id"}, {9, "tenant_id"},
            {11, "signer_uri"}, {12, "algorithm"}};
        for (const auto& [i, name] : kText) {
            ORVANE_ASSIGN_OR_RETURN(auto text, stmt.column_string(i).with_context("Error reading agent: "));
            record[name] = std::move(text);
        }
        static constexpr std::pair<int, const char*> kNumbers[] = {
            {2, "registered_at"}, {10, "key_version"}, {13, "valid_from"}};
        for (const auto& [i, name] : kNumbers) {
            ORVANE_ASSIGN_OR_RETURN(auto value, stmt.column_integer(i).with_context("Error reading agent: "));
            record[name] = integer(value);
        }
        record["valid_until"] = optional_integer(stmt, 14);
        record["revoked_at"] = optional_integer(stmt, 15);
        ORVANE_ASSIGN_OR_RETURN(auto delegate, stmt.column_integer(5).with_context("Error reading agent: "));
        record["can_delegate"] = delegate != 0;
        auto metadata = parse_json(stmt.column_text(3));
        record["metadata"] = metadata ? std::move(*metadata) : Json::object();

        if (!root) {
            ORVANE_ASSIGN_OR_RETURN(root, gate_trusted_root(gate));
        }
        const std::string& key = record["public_key"].get_ref<const std::string&>();
        ORVANE_ASSIGN_OR_RETURN(const auto resolved, resolve_identity(gate.db, *root, key, now));
        record["trusted"] = resolved.has_value();
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace

Result<bool> verify_agent(Gate& gate, std::string_view public_key) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(auto now, now_micros());
    ORVANE_ASSIGN_OR_RETURN(auto root, gate_trusted_root(gate));
    ORVANE_ASSIGN_OR_RETURN(auto resolved, resolve_identity(gate.db, root, public_key, now));
    return resolved.has_value() && resolved->active;
}

Result<std::string> list_agents(Gate& gate) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(auto records, agent_records(gate));
    return canonical_json(records);
}

Result<std::string> get_agent(Gate& gate, std::string_view public_key) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(auto records, agent_records(gate));
    for (const Json& record : records) {
        const std::string* key = find_string(record, "public_key");
        if (key != nullptr && *key == public_key) return canonical_json(record);
    }
    return fail("ORVANE_AGENT_NOT_FOUND");
}

Result<std::string> list_identity_events(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(
        auto stmt,
        storage::Statement::prepare(gate.db, "SELECT event_json FROM identity_lifecycle_events ORDER BY effective_at ASC")
            .with_context("Failed to prepare identity event list: "));
    Json events = Json::array();
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step().with_context("Failed to list identity events: "));
        if (!row) break;
        ORVANE_ASSIGN_OR_RETURN(auto text,
                                stmt.column_string(0).with_context("Failed to read identity event: "));
        ORVANE_ASSIGN_OR_RETURN(auto event,
                                parse_json(text).with_context("Stored identity event is invalid JSON: "));
        events.push_back(std::move(event));
    }
    return canonical_json(events);
}

}  // namespace orvane
