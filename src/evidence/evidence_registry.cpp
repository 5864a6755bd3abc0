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
#include "gate/schema.hpp"

namespace orvane::evidence {
namespace {

constexpr std::uint64_t kInt64Max = 9223372036854775807ULL;

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

std::string text_or_empty(const std::string* s) { return s ? *s : std::string(); }

Status insert_registration(storage::Connection& db, const Json& entry,
                           const std::map<std::string, std::vector<LifecycleRow>>& lifecycle) {
    static const std::string prefix = "Failed to build the evidence registry: ";
    const Json& registration = member_or_null(entry, "registration");
    const std::string* key = string_member(registration, "agent_id");
    if (key == nullptr) return {};
    const Json* metadata = find_member(registration, "metadata");
    const std::uint64_t registered_at = unsigned_or(member_or_null(registration, "registered_at"), 0);
    const std::string* identity_member = string_member(registration, "identity_id");
    const std::string identity = identity_member ? *identity_member : *key;
    const std::string* tenant = string_member(registration, "tenant_id");
    const Json& signer = member_or_null(registration, "signer");
    const std::string* algorithm = string_member(signer, "algorithm");
    const Json& can_delegate = member_or_null(registration, "can_delegate");

    auto found = lifecycle.find(identity);
    const std::optional<Ending> ending = ending_of(found == lifecycle.end() ? nullptr : &found->second, *key);

    auto stmt = storage::Statement::prepare(
        db,
        "INSERT OR IGNORE INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, "
        "registered_by, registration_event_id, registration_event, registration_signature, identity_id, "
        "tenant_id, valid_from, valid_until, revoked_at, key_version, signer_uri, algorithm) VALUES "
        "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?3, ?13, ?14, ?15, ?16, ?17)");
    if (!stmt) return fail(prefix + stmt.error());
    Status s = stmt->bind_text(1, *key);
    if (s) s = stmt->bind_text(2, text_or_empty(string_member(registration, "alias")));
    if (s) s = stmt->bind_uint64(3, registered_at);
    if (s) s = stmt->bind_text(4, canonical_json(metadata ? *metadata : Json::object()));
    if (s) s = stmt->bind_text(5, !ending ? "active" : ending->rotate ? "rotated" : "revoked");
    if (s) s = stmt->bind_int64(6, can_delegate.is_boolean() && can_delegate.get<bool>() ? 1 : 0);
    if (s) s = stmt->bind_text(7, text_or_empty(string_member(registration, "registered_by")));
    if (s) s = stmt->bind_text(8, text_or_empty(string_member(entry, "event_id")));
    if (s) s = stmt->bind_text(9, canonical_json(registration));
    if (s) s = stmt->bind_text(10, text_or_empty(string_member(entry, "signature")));
    if (s) s = stmt->bind_text(11, identity);
    if (s) s = stmt->bind_text(12, tenant ? std::string_view(*tenant) : std::string_view("*"));
    if (s) s = ending ? stmt->bind_uint64(13, ending->effective_at) : stmt->bind_null(13);
    if (s) s = ending && !ending->rotate ? stmt->bind_uint64(14, ending->effective_at) : stmt->bind_null(14);
    if (s) s = stmt->bind_uint64(15, unsigned_or(member_or_null(registration, "key_version"), 1));
    if (s) s = stmt->bind_text(16, text_or_empty(string_member(signer, "signer_uri")));
    if (s) s = stmt->bind_text(17, algorithm ? std::string_view(*algorithm) : std::string_view("Ed25519"));
    if (s) s = stmt->run();
    if (!s) return fail(prefix + s.error());
    return {};
}

Status insert_lifecycle(storage::Connection& db, const LifecycleRow& row) {
    static const std::string prefix = "Failed to build the evidence registry: ";
    auto stmt = storage::Statement::prepare(
        db,
        "INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, effective_at, "
        "event_json) VALUES (?1, ?2, '', '', ?3, ?4)");
    if (!stmt) return fail(prefix + stmt.error());
    Status s = stmt->bind_text(1, row.event_id);
    if (s) s = stmt->bind_text(2, row.identity_id);
    if (s) s = stmt->bind_uint64(3, row.effective_at);
    if (s) s = stmt->bind_text(4, canonical_json(*row.envelope));
    if (s) s = stmt->run();
    if (!s) return fail(prefix + s.error());
    return {};
}

// The stream columns resolution reads; the first of each tenant and sequence
// number and of each tenant and event id (the table's two keys) is kept.
Status insert_stream_event(storage::Connection& db, const Json& event) {
    static const std::string prefix = "Failed to build the evidence registry: ";
    const std::string* tenant = string_member(event, "tenant_id");
    const std::string* event_id = string_member(event, "event_id");
    const std::string* type = string_member(event, "event_type");
    const std::string* payload_hash = string_member(event, "payload_hash");
    const Json& sequence = member_or_null(event, "sequence_number");
    if (!tenant || !event_id || !type || !payload_hash || !is_unsigned_integer(&sequence)) return {};
    auto stmt = storage::Statement::prepare(
        db,
        "INSERT OR IGNORE INTO event_stream (sequence_number, tenant_id, event_id, event_type, payload_hash, "
        "prev_event_hash, timestamp, event_digest, event_json) VALUES (?1, ?2, ?3, ?4, ?5, '', 0, '', '')");
    if (!stmt) return fail(prefix + stmt.error());
    Status s = stmt->bind_uint64(1, sequence.get<std::uint64_t>());
    if (s) s = stmt->bind_text(2, *tenant);
    if (s) s = stmt->bind_text(3, *event_id);
    if (s) s = stmt->bind_text(4, *type);
    if (s) s = stmt->bind_text(5, *payload_hash);
    if (s) s = stmt->run();
    if (!s) return fail(prefix + s.error());
    return {};
}

}  // namespace

Result<storage::Connection> build_registry(const Json& evidence) {
    auto db = storage::Connection::open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                        SQLITE_OPEN_MEMORY | SQLITE_OPEN_NOMUTEX);
    if (!db) return fail("Failed to open the evidence registry: " + db.error());
    ORVANE_TRY(initialize_gate_schema(*db));
    auto transaction = storage::Transaction::begin(*db);
    if (!transaction) return fail("Failed to build the evidence registry: " + transaction.error());

    const auto lifecycle = lifecycle_rows(evidence["lifecycle_events"]);
    for (const Json& entry : evidence["registrations"]) ORVANE_TRY(insert_registration(*db, entry, lifecycle));
    for (const auto& [identity, rows] : lifecycle) {
        for (const LifecycleRow& row : rows) ORVANE_TRY(insert_lifecycle(*db, row));
    }
    for (const Json& log : evidence["logs"]) {
        for (const Json& entry : log["entries"]) ORVANE_TRY(insert_stream_event(*db, entry["event"]));
    }
    if (auto committed = transaction->commit(); !committed)
        return fail("Failed to build the evidence registry: " + committed.error());
    return std::move(*db);
}

}  // namespace orvane::evidence
