// The in-memory identity registry built from an evidence file.
#include "evidence/evidence_registry.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "primitives/json_access.hpp"
#include "storage/query.hpp"

namespace orvane::evidence {
namespace {

constexpr std::uint64_t kInt64Max = 9223372036854775807ULL;

// The gate's tables that identity resolution reads, with the gate's keys (so
// that the first row of each key is kept, as the gate keeps it) and the index
// whose order lifecycle replay follows. Only these: creating the whole gate
// schema would cost more than verifying the file.
constexpr const char* kRegistrySchema = R"sql(
CREATE TABLE agents (
    public_key TEXT PRIMARY KEY, alias TEXT NOT NULL, registered_at INTEGER NOT NULL, metadata TEXT NOT NULL,
    status TEXT NOT NULL, can_delegate INTEGER NOT NULL, registered_by TEXT NOT NULL,
    registration_event_id TEXT NOT NULL, registration_event TEXT NOT NULL, registration_signature TEXT NOT NULL,
    identity_id TEXT NOT NULL, tenant_id TEXT NOT NULL, valid_from INTEGER NOT NULL, valid_until INTEGER,
    revoked_at INTEGER, key_version INTEGER NOT NULL, signer_uri TEXT NOT NULL, algorithm TEXT NOT NULL);
CREATE TABLE identity_lifecycle_events (
    event_id TEXT PRIMARY KEY, identity_id TEXT NOT NULL, public_key TEXT NOT NULL, event_type TEXT NOT NULL,
    effective_at INTEGER NOT NULL, event_json TEXT NOT NULL);
CREATE INDEX idx_identity_events_identity ON identity_lifecycle_events (identity_id, effective_at ASC);
CREATE TABLE event_stream (
    sequence_number INTEGER NOT NULL, tenant_id TEXT NOT NULL, event_id TEXT NOT NULL, event_type TEXT NOT NULL,
    payload_hash TEXT NOT NULL, prev_event_hash TEXT NOT NULL, timestamp INTEGER NOT NULL,
    event_digest TEXT NOT NULL, event_json TEXT NOT NULL,
    PRIMARY KEY (tenant_id, sequence_number), UNIQUE (tenant_id, event_id));
)sql";

const std::string* string_member(const Json& object, std::string_view name) {
    return object.is_object() ? find_string(object, name) : nullptr;
}

const Json& member_or_null(const Json& object, std::string_view name) {
    static const Json null_value;
    const Json* found = object.is_object() ? find_member(object, name) : nullptr;
    return found ? *found : null_value;
}

std::uint64_t unsigned_or(const Json& value, std::uint64_t fallback) {
    return is_unsigned_integer(&value) ? value.get<std::uint64_t>() : fallback;
}

// One lifecycle envelope as the gate's table keeps it.
struct LifecycleRow {
    std::string event_id;
    std::string identity_id;
    std::uint64_t effective_at = 0;  // the column the table is ordered by
    const Json* envelope = nullptr;
};

// The first envelope of each event id, then grouped by identity in the order
// the gate's (identity_id, effective_at) index returns them.
std::map<std::string, std::vector<LifecycleRow>> lifecycle_rows(const Json& envelopes) {
    std::map<std::string, std::vector<LifecycleRow>> by_identity;
    std::unordered_set<std::string> seen;
    for (const Json& envelope : envelopes) {
        const Json& id = member_or_null(envelope, "event_id");
        std::string key = id.is_string() ? id.get<std::string>() : canonical_json(id);
        if (!seen.insert(key).second) continue;
        const Json& event = member_or_null(envelope, "event");
        const std::string* identity = string_member(event, "identity_id");
        if (identity == nullptr) continue;
        std::uint64_t effective_at = unsigned_or(member_or_null(event, "effective_at"), 0);
        if (effective_at > kInt64Max) effective_at = 0;
        by_identity[*identity].push_back(LifecycleRow{std::move(key), *identity, effective_at, &envelope});
    }
    for (auto& [identity, rows] : by_identity) {
        std::stable_sort(rows.begin(), rows.end(), [](const LifecycleRow& a, const LifecycleRow& b) {
            return a.effective_at < b.effective_at;
        });
    }
    return by_identity;
}

struct Ending {
    bool rotate = false;
    std::uint64_t effective_at = 0;
};

// The last event of the identity (not yet verified) that ended `key`.
std::optional<Ending> ending_of(const std::vector<LifecycleRow>* rows, std::string_view key) {
    std::optional<Ending> ending;
    if (rows == nullptr) return ending;
    for (const LifecycleRow& row : *rows) {
        const Json& event = member_or_null(*row.envelope, "event");
        const std::string* type = string_member(event, "event_type");
        if (type == nullptr) continue;
        if (*type == "ROTATE") {
            const std::string* previous = string_member(event, "previous_public_key");
            if (previous && *previous == key) ending = Ending{true, row.effective_at};
        } else if (*type == "REVOKE") {
            const std::string* subject = string_member(event, "public_key");
            if (subject && *subject == key) ending = Ending{false, row.effective_at};
        }
    }
    return ending;
}

std::string_view text_or(const std::string* s, std::string_view fallback = {}) {
    return s ? std::string_view(*s) : fallback;
}

Status insert_registration(const storage::Queries& q, const Json& entry,
                           const std::map<std::string, std::vector<LifecycleRow>>& lifecycle) {
    const Json& registration = member_or_null(entry, "registration");
    const std::string* key = string_member(registration, "agent_id");
    if (key == nullptr) return {};
    const Json* metadata = find_member(registration, "metadata");
    const std::string* identity_member = string_member(registration, "identity_id");
    const std::string identity = identity_member ? *identity_member : *key;
    const Json& signer = member_or_null(registration, "signer");
    const Json& can_delegate = member_or_null(registration, "can_delegate");

    auto found = lifecycle.find(identity);
    const std::optional<Ending> ending = ending_of(found == lifecycle.end() ? nullptr : &found->second, *key);
    std::optional<std::uint64_t> valid_until, revoked_at;
    if (ending) valid_until = ending->effective_at;
    if (ending && !ending->rotate) revoked_at = ending->effective_at;

    return q.execute(
        "INSERT OR IGNORE INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, "
        "registered_by, registration_event_id, registration_event, registration_signature, identity_id, "
        "tenant_id, valid_from, valid_until, revoked_at, key_version, signer_uri, algorithm) VALUES "
        "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?3, ?13, ?14, ?15, ?16, ?17)",
        *key, text_or(string_member(registration, "alias")),
        unsigned_or(member_or_null(registration, "registered_at"), 0),
        canonical_json(metadata ? *metadata : Json::object()),
        std::string_view(!ending ? "active" : ending->rotate ? "rotated" : "revoked"),
        can_delegate.is_boolean() && can_delegate.get<bool>(), text_or(string_member(registration, "registered_by")),
        text_or(string_member(entry, "event_id")), canonical_json(registration),
        text_or(string_member(entry, "signature")), identity, text_or(string_member(registration, "tenant_id"), "*"),
        valid_until, revoked_at, unsigned_or(member_or_null(registration, "key_version"), 1),
        text_or(string_member(signer, "signer_uri")), text_or(string_member(signer, "algorithm"), "Ed25519"));
}

Status insert_lifecycle(const storage::Queries& q, const LifecycleRow& row) {
    return q.execute(
        "INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, effective_at, "
        "event_json) VALUES (?1, ?2, '', '', ?3, ?4)",
        row.event_id, row.identity_id, row.effective_at, canonical_json(*row.envelope));
}

// The stream columns resolution reads; the first of each tenant and sequence
// number and of each tenant and event id (the table's two keys) is kept.
Status insert_stream_event(const storage::Queries& q, const Json& event) {
    const std::string* tenant = string_member(event, "tenant_id");
    const std::string* event_id = string_member(event, "event_id");
    const std::string* type = string_member(event, "event_type");
    const std::string* payload_hash = string_member(event, "payload_hash");
    const Json& sequence = member_or_null(event, "sequence_number");
    if (!tenant || !event_id || !type || !payload_hash || !is_unsigned_integer(&sequence)) return {};
    return q.execute(
        "INSERT OR IGNORE INTO event_stream (sequence_number, tenant_id, event_id, event_type, payload_hash, "
        "prev_event_hash, timestamp, event_digest, event_json) VALUES (?1, ?2, ?3, ?4, ?5, '', 0, '', '')",
        sequence.get<std::uint64_t>(), *tenant, *event_id, *type, *payload_hash);
}

}  // namespace

Result<storage::Connection> build_registry(const Json& evidence) {
    auto db = storage::Connection::open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                        SQLITE_OPEN_MEMORY | SQLITE_OPEN_NOMUTEX);
    if (!db) return fail("Failed to open the evidence registry: " + db.error());
    static constexpr std::string_view kFailure = "Failed to build the evidence registry: ";
    ORVANE_TRY(db->exec(kRegistrySchema).with_context(kFailure));
    auto transaction = storage::Transaction::begin(*db);
    if (!transaction) return fail(std::string(kFailure) + transaction.error());
    const storage::Queries q(*db, kFailure);

    const auto lifecycle = lifecycle_rows(evidence["lifecycle_events"]);
    for (const Json& entry : evidence["registrations"]) ORVANE_TRY(insert_registration(q, entry, lifecycle));
    for (const auto& [identity, rows] : lifecycle) {
        for (const LifecycleRow& row : rows) ORVANE_TRY(insert_lifecycle(q, row));
    }
    for (const Json& log : evidence["logs"]) {
        for (const Json& entry : log["entries"]) ORVANE_TRY(insert_stream_event(q, entry["event"]));
    }
    ORVANE_TRY(transaction->commit().with_context(kFailure));
    return std::move(*db);
}

}  // namespace orvane::evidence
