// The agents table: reads and writes of agent rows.
#include "identity/agent_table.hpp"

#include "storage/query.hpp"

namespace orvane {

Result<AgentRow> AgentRow::from_row(const storage::Statement& stmt) {
    auto text = [&](int i) { return std::string(stmt.column_text(i)); };
    auto optional_int = [&](int i) -> std::optional<std::int64_t> {
        if (stmt.column_is_null(i)) return std::nullopt;
        return stmt.column_int64(i);
    };
    return AgentRow{
        .alias = text(0),
        .registered_at = stmt.column_int64(1),
        .metadata = text(2),
        .status = text(3),
        .can_delegate = stmt.column_int64(4) != 0,
        .registered_by = text(5),
        .registration_event_id = text(6),
        .registration_event = text(7),
        .registration_signature = text(8),
        .identity_id = text(9),
        .tenant_id = text(10),
        .valid_from = stmt.column_int64(11),
        .valid_until = optional_int(12),
        .revoked_at = optional_int(13),
        .key_version = stmt.column_int64(14),
        .signer_uri = text(15),
        .algorithm = text(16),
    };
}

Result<std::optional<AgentRow>> read_agent_row(storage::Connection& db, std::string_view key) {
    return storage::Queries(db, "Failed to read agent registration: ")
        .query_one<AgentRow>(
            "SELECT alias, registered_at, metadata, status, can_delegate, registered_by, "
            "registration_event_id, registration_event, registration_signature, identity_id, tenant_id, "
            "valid_from, valid_until, revoked_at, key_version, signer_uri, algorithm FROM agents WHERE "
            "public_key = ?1",
            key);
}

Result<bool> key_registered(storage::Connection& db, std::string_view key, std::string_view failure_prefix) {
    return storage::Queries(db, failure_prefix)
        .exists("SELECT 1 FROM agents WHERE public_key = ?1 COLLATE NOCASE", key);
}

Status insert_agent(storage::Connection& db, const NewAgentRow& r, std::string_view failure_prefix) {
    return storage::Queries(db, failure_prefix)
        .execute("INSERT INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, "
                 "registered_by, registration_event_id, registration_event, registration_signature, "
                 "identity_id, tenant_id, key_version, signer_uri, algorithm, valid_from) VALUES (?1, ?2, ?3, "
                 "?4, 'active', ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?3)",
                 r.public_key, r.alias, r.registered_at, r.metadata, r.can_delegate, r.registered_by,
                 r.registration.digest, r.registration.canonical, r.registration.signature, r.identity_id,
                 r.tenant_id, r.key_version, r.signer_uri, r.algorithm);
}

}  // namespace orvane
