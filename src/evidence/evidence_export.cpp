// Exporting one action's evidence file from the gate's tables. The file is
// assembled from the stored documents as they stand and verified under the
// gate's own key before it leaves: the gate never hands out evidence it could
// not stand behind.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "primitives/json_access.hpp"
#include "evidence/evidence_format.hpp"
#include "evidence/evidence_ops.hpp"
#include "evidence/evidence_verify.hpp"
#include "identity/gate_authority.hpp"
#include "identity/resolve.hpp"
#include "primitives/clock.hpp"
#include "primitives/keys.hpp"
#include "storage/sqlite.hpp"

namespace orvane {
namespace {

using evidence::Announcement;

const Json& member(const Json& object, std::string_view name) {
    const Json* found = members::get(object, name);
    return found ? *found : members::null_json();
}

Result<Json> parse_stored(std::string_view what, std::string_view text) {
    auto parsed = parse_json(text);
    if (!parsed) return fail("Stored " + std::string(what) + " is invalid JSON: " + parsed.error());
    return std::move(*parsed);
}

// The stored document of one row found by a one-text key, or null.
Result<Json> stored_document(storage::Connection& db, std::string_view sql, std::string_view key,
                             std::string_view what) {
    const std::string prefix = "Failed to read " + std::string(what) + ": ";
    auto stmt = storage::Statement::prepare(db, sql);
    if (!stmt) return fail(prefix + stmt.error());
    if (auto bound = stmt->bind_text(1, key); !bound) return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    if (!*row) return Json();
    return parse_stored(what, stmt->column_text(0));
}

Result<Json> policy_attestation(storage::Connection& db, const Json& authorization) {
    const Json* bundle = members::get(authorization, "policy_bundle");
    if (bundle == nullptr) return Json();
    static const std::string prefix = "Failed to read policy attestation: ";
    auto stmt = storage::Statement::prepare(
        db, "SELECT signature, attestation_json FROM active_policy_attestations WHERE tenant_id = ?1");
    if (!stmt) return fail(prefix + stmt.error());
    if (auto bound = stmt->bind_text(1, members::string_or_empty(*bundle, "tenant_id")); !bound)
        return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    if (!*row) return Json();
    auto attestation = parse_stored("policy attestation", stmt->column_text(1));
    if (!attestation) return fail(std::move(attestation.error()));
    Json envelope = Json::object();
    envelope["attestation"] = std::move(*attestation);
    envelope["signature"] = stmt->column_text(0);
    return envelope;
}

// The registrations and lifecycle envelopes the file's identities rest on:
// every key named by a receipt, every key of their identities, every
// registrar and every authority of a lifecycle event, up to the gate's
// self-registration.
struct Identities {
    std::vector<std::pair<std::uint64_t, Json>> registrations;  // by registered_at
    struct Lifecycle {
        std::int64_t effective_at;
        std::int64_t rowid;
        Json envelope;
    };
    std::vector<Lifecycle> lifecycle;
    // (tenant, identity) of every identity: the stream names each lifecycle
    // event of an identity in its tenant's log, and the file carries those
    // events so that a lifecycle event missing from the file is noticed.
    std::vector<std::pair<std::string, std::string>> streams;
};

Result<Identities> collect_identities(storage::Connection& db, std::deque<std::string> pending) {
    static const std::string prefix = "Failed to read identities for evidence: ";
    auto agent = storage::Statement::prepare(
        db,
        "SELECT registered_at, registration_event_id, registration_event, registration_signature, identity_id, "
        "registered_by, tenant_id FROM agents WHERE public_key = ?1");
    if (!agent) return fail(prefix + agent.error());
    Identities out;
    std::set<std::string> keys_seen, identities_seen;
    while (!pending.empty()) {
        const std::string key = std::move(pending.front());
        pending.pop_front();
        if (key.empty() || !keys_seen.insert(key).second) continue;
        agent->reset();
        if (auto bound = agent->bind_text(1, key); !bound) return fail(prefix + bound.error());
        auto row = agent->step();
        if (!row) return fail(prefix + row.error());
        if (!*row) continue;
        auto registration = parse_stored("registration event", agent->column_text(2));
        if (!registration) return fail(std::move(registration.error()));
        Json entry = Json::object();
        entry["schema_version"] = evidence::kRegistrationSchema;
        entry["event_id"] = agent->column_text(1);
        entry["registration"] = std::move(*registration);
        entry["signature"] = agent->column_text(3);
        out.registrations.emplace_back(static_cast<std::uint64_t>(agent->column_int64(0)), std::move(entry));
        const std::string identity(agent->column_text(4));
        pending.emplace_back(agent->column_text(5));
        if (!identities_seen.insert(identity).second) continue;
        out.streams.emplace_back(agent->column_text(6), identity);

        auto keys = storage::Statement::prepare(db, "SELECT public_key FROM agents WHERE identity_id = ?1");
        if (!keys) return fail(prefix + keys.error());
        if (auto bound = keys->bind_text(1, identity); !bound) return fail(prefix + bound.error());
        for (;;) {
            auto next = keys->step();
            if (!next) return fail(prefix + next.error());
            if (!*next) break;
            pending.emplace_back(keys->column_text(0));
        }
        auto events = storage::Statement::prepare(
            db, "SELECT effective_at, rowid, event_json FROM identity_lifecycle_events WHERE identity_id = ?1");
        if (!events) return fail(prefix + events.error());
        if (auto bound = events->bind_text(1, identity); !bound) return fail(prefix + bound.error());
        for (;;) {
            auto next = events->step();
            if (!next) return fail(prefix + next.error());
            if (!*next) break;
            auto envelope = parse_stored("identity lifecycle event", events->column_text(2));
            if (!envelope) return fail(std::move(envelope.error()));
            pending.emplace_back(members::string_or_empty(member(*envelope, "event"), "authorized_by"));
            out.lifecycle.push_back({events->column_int64(0), events->column_int64(1), std::move(*envelope)});
        }
    }
    std::stable_sort(out.registrations.begin(), out.registrations.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // The order the gate replays them in: by effective_at, then as stored.
    std::sort(out.lifecycle.begin(), out.lifecycle.end(), [](const auto& a, const auto& b) {
        return a.effective_at != b.effective_at ? a.effective_at < b.effective_at : a.rowid < b.rowid;
    });
    return out;
}

// The stream events gathered for the file, one log per tenant in the order
// the tenants are first named, each event once.
class Logs {
public:
    // Adds the rows of a statement selecting sequence_number, event_json.
    Status add_rows(storage::Statement& stmt, std::string_view tenant) {
        static const std::string prefix = "Failed to read the event stream for evidence: ";
        for (;;) {
            auto row = stmt.step();
            if (!row) return fail(prefix + row.error());
            if (!*row) return {};
            const std::int64_t sequence = stmt.column_int64(0);
            auto& list = log_of(tenant);
            if (std::any_of(list.begin(), list.end(), [&](const auto& e) { return e.first == sequence; })) continue;
            auto event = parse_stored("stream event", stmt.column_text(1));
            if (!event) return fail(std::move(event.error()));
            list.emplace_back(sequence, std::move(*event));
        }
    }

    Json take();

private:
    std::vector<std::pair<std::int64_t, Json>>& log_of(std::string_view tenant) {
        auto at = std::find(tenants_.begin(), tenants_.end(), tenant);
        if (at != tenants_.end()) return entries_[static_cast<std::size_t>(at - tenants_.begin())];
        tenants_.emplace_back(tenant);
        return entries_.emplace_back();
    }

    std::vector<std::string> tenants_;
    std::vector<std::vector<std::pair<std::int64_t, Json>>> entries_;
};

// The stream events that announced the file's documents, and every event that
// names a lifecycle event of one of its identities.
Result<Json> stream_logs(storage::Connection& db, const Json& file, const Identities& identities) {
    static const std::string prefix = "Failed to read the event stream for evidence: ";
    Logs logs;
    auto stmt = storage::Statement::prepare(
        db,
        "SELECT sequence_number, event_json FROM event_stream WHERE tenant_id = ?1 AND event_id = ?2 AND "
        "event_type = ?3");
    if (!stmt) return fail(prefix + stmt.error());
    for (const Announcement& wanted : evidence::announcements(file)) {
        stmt->reset();
        Status bound = stmt->bind_text(1, wanted.tenant);
        if (bound) bound = stmt->bind_text(2, wanted.event_id);
        if (bound) bound = stmt->bind_text(3, wanted.type);
        if (!bound) return fail(prefix + bound.error());
        ORVANE_TRY(logs.add_rows(*stmt, wanted.tenant));  // a missing one is reported by the verification
    }
    auto named = storage::Statement::prepare(
        db,
        "SELECT sequence_number, event_json FROM event_stream WHERE tenant_id = ?1 AND event_id > ?2 AND "
        "event_id < ?3");
    if (!named) return fail(prefix + named.error());
    for (const auto& [tenant, identity] : identities.streams) {
        const std::string from = lifecycle_stream_event_id(identity, "");
        std::string to = from;
        to.back() = ':' + 1;  // just past every id that starts with `from`
        named->reset();
        Status bound = named->bind_text(1, tenant);
        if (bound) bound = named->bind_text(2, from);
        if (bound) bound = named->bind_text(3, to);
        if (!bound) return fail(prefix + bound.error());
        ORVANE_TRY(logs.add_rows(*named, tenant));
    }
    return logs.take();
}

Json Logs::take() {
    Json logs = Json::array();
    for (std::size_t i = 0; i < tenants_.size(); ++i) {
        auto& list = entries_[i];
        std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        Json log_entries = Json::array();
        for (auto& [sequence, event] : list) {
            Json item = Json::object();
            item["event"] = std::move(event);
            log_entries.push_back(std::move(item));
        }
        Json log = Json::object();
        log["tenant_id"] = tenants_[i];
        log["entries"] = std::move(log_entries);
        logs.push_back(std::move(log));
    }
    return logs;
}

// "receipt: CODE,CODE; log_inclusion: CODE" over the failed checks.
std::string failed_checks(const Json& verdict) {
    std::string text;
    for (const auto& [name, entry] : verdict["checks"].items()) {
        if (entry["status"].get_ref<const std::string&>() != "FAILED") continue;
        if (!text.empty()) text += "; ";
        text += name;
        text += ": ";
        std::vector<std::string> codes;
        for (const Json& code : entry["reason_codes"]) codes.push_back(code.get<std::string>());
        for (std::size_t i = 0; i < codes.size(); ++i) text += (i ? "," : "") + codes[i];
    }
    return text;
}

}  // namespace

Result<std::string> export_evidence(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    auto root = gate_trusted_root(gate);
    if (!root) return fail(std::move(root.error()));

    auto authorization = stored_document(
        gate.db, "SELECT authorization_json FROM action_authorizations WHERE action_id = ?1", action_id,
        "authorization");
    if (!authorization) return fail(std::move(authorization.error()));
    if (authorization->is_null()) return fail("ORVANE_ACTION_NOT_FOUND");
    auto execution = stored_document(gate.db, "SELECT execution_json FROM action_outcomes WHERE action_id = ?1",
                                     action_id, "execution receipt");
    if (!execution) return fail(std::move(execution.error()));
    auto attestation = policy_attestation(gate.db, *authorization);
    if (!attestation) return fail(std::move(attestation.error()));

    const Json& receipt = member(*authorization, "authorization");
    const Json& execution_receipt = member(*execution, "receipt");
    auto identities = collect_identities(
        gate.db, {std::string(members::string_or_empty(receipt, "agent_id")), std::string(members::string_or_empty(receipt, "gate_id")),
                  std::string(members::string_or_empty(execution_receipt, "executor_id")),
                  std::string(members::string_or_empty(execution_receipt, "gate_id")), root->key});
    if (!identities) return fail(std::move(identities.error()));
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));

    Json file = Json::object();
    file["schema_version"] = evidence::kEvidenceSchema;
    file["action_id"] = action_id;
    file["gate_id"] = root->key;
    file["exported_at"] = *now;
    file["authorization"] = std::move(*authorization);
    file["execution"] = std::move(*execution);
    file["policy_attestation"] = std::move(*attestation);
    Json registrations = Json::array();
    for (auto& [at, entry] : identities->registrations) registrations.push_back(std::move(entry));
    file["registrations"] = std::move(registrations);
    Json lifecycle = Json::array();
    for (auto& event : identities->lifecycle) lifecycle.push_back(std::move(event.envelope));
    file["lifecycle_events"] = std::move(lifecycle);
    file["logs"] = Json::array();
    auto logs = stream_logs(gate.db, file, *identities);
    if (!logs) return fail(std::move(logs.error()));
    file["logs"] = std::move(*logs);

    // A file its reader could not parse back vouches for nothing.
    if (!json_nests_within(file, kMaxJsonDepth))
        return fail("ORVANE_EVIDENCE_NOT_VERIFIED: the documents nest too deeply for an evidence file");
    auto verdict = evidence::verify_evidence_document(file, root->key);
    if (!verdict) return fail(std::move(verdict.error()));
    if ((*verdict)["status"].get_ref<const std::string&>() != "VERIFIED")
        return fail("ORVANE_EVIDENCE_NOT_VERIFIED: " + failed_checks(*verdict));
    return canonical_json(file);
}

Result<std::string> verify_evidence(std::string_view evidence_json, std::string_view trusted_gate_public_key) {
    auto key = parse_public_key(trusted_gate_public_key);
    if (!key) return fail(std::move(key.error()));
    std::string trusted(trusted_gate_public_key);
    std::transform(trusted.begin(), trusted.end(), trusted.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto file = parse_json(evidence_json);
    if (!file) return fail(std::string(evidence::kMalformed) + "evidence must be valid JSON: " + file.error());
    ORVANE_TRY(evidence::check_structure(*file));
    VerificationScope remember_checks;  // the same signatures recur across the checks
    auto verdict = evidence::verify_evidence_document(*file, trusted);
    if (!verdict) return fail(std::move(verdict.error()));
    return canonical_json(*verdict);
}

}  // namespace orvane
