// The agents table: one key's row read as a named struct, the case-blind
// lookup of a key, and the insert of a new active key. Every reader and
// writer of an agent row goes through here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "identity/registration_event.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

// A key's row as stored; nothing in it is trusted until resolution has
// matched it against the signed registration and lifecycle events.
struct AgentRow {
    std::string alias;
    std::int64_t registered_at = 0;
    std::string metadata;
    std::string status;
    bool can_delegate = false;
    std::string registered_by;
    std::string registration_event_id;
    std::string registration_event;
    std::string registration_signature;
    std::string identity_id;
    std::string tenant_id;
    std::int64_t valid_from = 0;
    std::optional<std::int64_t> valid_until;
    std::optional<std::int64_t> revoked_at;
    std::int64_t key_version = 0;
    std::string signer_uri;
    std::string algorithm;

    static Result<AgentRow> from_row(const storage::Statement& row);
};

// The row of `key` (exact spelling); nullopt when there is none. Failures:
// "Failed to read agent registration: <SQLite text>".
Result<std::optional<AgentRow>> read_agent_row(storage::Connection& db, std::string_view key);

// Whether `key` is in the table under any spelling: hex is read
// case-insensitively, so "AB.." and "ab.." name one key, and a key registered
// under one spelling cannot be registered again under another (which would
// give one key two identities). Failures: `failure_prefix` + SQLite's text.
Result<bool> key_registered(storage::Connection& db, std::string_view key, std::string_view failure_prefix);

// A new active key: registered at `registered_at`, valid from then on.
struct NewAgentRow {
    std::string_view public_key;
    std::string_view alias;
    std::uint64_t registered_at;
    std::string_view metadata;
    bool can_delegate;
    std::string_view registered_by;
    const SignedDocument& registration;
    std::string_view identity_id;
    std::string_view tenant_id;
    std::uint64_t key_version;
    std::string_view signer_uri;
    std::string_view algorithm;
};

// Failures: `failure_prefix` + SQLite's text.
Status insert_agent(storage::Connection& db, const NewAgentRow& row, std::string_view failure_prefix);

}  // namespace orvane
