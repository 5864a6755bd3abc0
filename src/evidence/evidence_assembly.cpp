// Reading an action's evidence from the gate's tables.
#include "evidence/evidence_assembly.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "evidence/evidence_format.hpp"
#include "evidence/evidence_verify.hpp"
#include "identity/resolve.hpp"
#include "log/tree_heads.hpp"
#include "primitives/clock.hpp"
#include "primitives/json_access.hpp"
#include "storage/query.hpp"

namespace orvane::evidence {
namespace {

const Json& member(const Json& object, std::string_view name) {
    const Json* found = members::get(object, name);
    return found ? *found : members::null_json();
}

Result<Json> parse_stored(std::string_view what, std::string_view text) {
    auto parsed = parse_json(text);
    if (!parsed) return fail("Stored " + std::string(what) + " is invalid JSON: " + parsed.error());
    return std::move(*parsed);
}

// The parsed text of the first row's only column, or null when there is none.
Result<Json> stored_document(const Gate& gate, std::string_view what, std::string_view sql, std::string_view key) {
    const std::string prefix = "Failed to read " + std::string(what) + ": ";
    ORVANE_ASSIGN_OR_RETURN(auto text, storage::Queries(gate.db, prefix).query_one<std::string>(sql, key));
    if (!text) return Json();
    return parse_stored(what, *text);
}

// The current attestation of the bundle's tenant, with its signature.
Result<Json> policy_attestation(const Gate& gate, const Json& authorization) {
    const Json* bundle = members::get(authorization, "policy_bundle");
    if (bundle == nullptr) return Json();
    storage::Queries q(gate.db, "Failed to read policy attestation: ");
    ORVANE_ASSIGN_OR_RETURN(auto row, (q.query_one<std::string, std::string>(
                                          "SELECT signature, attestation_json FROM active_policy_attestations "
                                          "WHERE tenant_id = ?1",
                                          members::string_or_empty(*bundle, "tenant_id"))));
    if (!row) return Json();
    ORVANE_ASSIGN_OR_RETURN(Json attestation, parse_stored("policy attestation", std::get<1>(*row)));
    return Json{{"attestation", std::move(attestation)}, {"signature", std::move(std::get<0>(*row))}};
}

// The registrations and lifecycle envelopes the file's identities rest on:
// every key named by a receipt, every key of their identities, every
// registrar and every authority of a lifecycle event, up to the gate's
// self-registration.
class Identities {
public:
    explicit Identities(const Gate& gate) : q_(gate.db, "Failed to read identities for evidence: ") {}

    Status collect(std::deque<std::string> pending) {
        while (!pending.empty()) {
            std::string key = std::move(pending.front());
            pending.pop_front();
            if (key.empty() || !keys_.insert(key).second) continue;
            ORVANE_TRY(add_key(key, pending));
        }
        return {};
    }

    // Registrations by registered_at; lifecycle envelopes in the order the gate
    // replays them: by effective_at, then as stored.
    Json registrations() {
        std::stable_sort(registrations_.begin(), registrations_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        Json out = Json::array();
        for (auto& [at, entry] : registrations_) out.push_back(std::move(entry));
        return out;
    }
    Json lifecycle_events() {
        std::sort(lifecycle_.begin(), lifecycle_.end(), [](const Lifecycle& a, const Lifecycle& b) {
            return a.effective_at != b.effective_at ? a.effective_at < b.effective_at : a.rowid < b.rowid;
        });
        Json out = Json::array();
        for (Lifecycle& event : lifecycle_) out.push_back(std::move(event.envelope));
        return out;
    }
    // (tenant, identity) of every identity, for the stream events naming its lifecycle.
    const std::vector<std::pair<std::string, std::string>>& streams() const { return streams_; }

private:
    struct Lifecycle {
        std::int64_t effective_at;
        std::int64_t rowid;
        Json envelope;
    };

    Status add_key(const std::string& key, std::deque<std::string>& pending) {
        ORVANE_ASSIGN_OR_RETURN(
            auto row, (q_.query_one<std::uint64_t, std::string, std::string, std::string, std::string, std::string,
                                    std::string>(
                          "SELECT registered_at, registration_event_id, registration_event, registration_signature, "
                          "identity_id, registered_by, tenant_id FROM agents WHERE public_key = ?1",
                          key)));
        if (!row) return {};
        auto& [registered_at, event_id, registration_text, signature, identity, registered_by, tenant] = *row;
        ORVANE_ASSIGN_OR_RETURN(Json registration, parse_stored("registration event", registration_text));
        registrations_.emplace_back(registered_at, Json{{"schema_version", kRegistrationSchema},
                                                        {"event_id", std::move(event_id)},
                                                        {"registration", std::move(registration)},
                                                        {"signature", std::move(signature)}});
        pending.push_back(std::move(registered_by));
        if (!identities_.insert(identity).second) return {};
        streams_.emplace_back(std::move(tenant), identity);

        ORVANE_ASSIGN_OR_RETURN(auto keys,
                                q_.prepare("SELECT public_key FROM agents WHERE identity_id = ?1", identity));
        for (;;) {
            ORVANE_ASSIGN_OR_RETURN(const bool more, q_.step(keys));
            if (!more) break;
            pending.emplace_back(keys.column_text(0));
        }
        ORVANE_ASSIGN_OR_RETURN(
            auto events,
            q_.prepare("SELECT effective_at, rowid, event_json FROM identity_lifecycle_events WHERE identity_id = ?1",
                       identity));
        for (;;) {
            ORVANE_ASSIGN_OR_RETURN(const bool more, q_.step(events));
            if (!more) break;
            ORVANE_ASSIGN_OR_RETURN(Json envelope, parse_stored("identity lifecycle event", events.column_text(2)));
            pending.emplace_back(members::string_or_empty(member(envelope, "event"), "authorized_by"));
            lifecycle_.push_back({events.column_int64(0), events.column_int64(1), std::move(envelope)});
        }
        return {};
    }

    storage::Queries q_;
    std::set<std::string> keys_, identities_;
    std::vector<std::pair<std::uint64_t, Json>> registrations_;
    std::vector<Lifecycle> lifecycle_;
    std::vector<std::pair<std::string, std::string>> streams_;
};

// The stream events gathered for the file, one log per tenant in the order
// the tenants are first named, each event once, by sequence number.
class Logs {
public:
    explicit Logs(const Gate& gate) : q_(gate.db, "Failed to read the event stream for evidence: ") {}

    // Adds the events a query selecting sequence_number, event_json returns.
    template <class... Args>
    Status add(std::string_view tenant, std::string_view sql, const Args&... args) {
        ORVANE_ASSIGN_OR_RETURN(auto stmt, q_.prepare(sql, args...));
        for (;;) {
            ORVANE_ASSIGN_OR_RETURN(const bool more, q_.step(stmt));
            if (!more) return {};
            const std::int64_t sequence = stmt.column_int64(0);
            auto& list = log_of(tenant);
            if (std::any_of(list.begin(), list.end(), [&](const auto& e) { return e.first == sequence; })) continue;
            ORVANE_ASSIGN_OR_RETURN(Json event, parse_stored("stream event", stmt.column_text(1)));
            list.emplace_back(sequence, std::move(event));
        }
    }

    Json take() {
        Json logs = Json::array();
        for (std::size_t i = 0; i < tenants_.size(); ++i) {
            auto& list = entries_[i];
            std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            Json entries = Json::array();
            for (auto& [sequence, event] : list) entries.push_back(Json{{"event", std::move(event)}});
            logs.push_back(Json{{"tenant_id", tenants_[i]}, {"entries", std::move(entries)}});
        }
        return logs;
    }

private:
    std::vector<std::pair<std::int64_t, Json>>& log_of(std::string_view tenant) {
        auto at = std::find(tenants_.begin(), tenants_.end(), tenant);
        if (at != tenants_.end()) return entries_[static_cast<std::size_t>(at - tenants_.begin())];
        tenants_.emplace_back(tenant);
        return entries_.emplace_back();
    }

    storage::Queries q_;
    std::vector<std::string> tenants_;
    std::vector<std::vector<std::pair<std::int64_t, Json>>> entries_;
};

std::uint64_t last_sequence(const Json& log) {
    std::uint64_t last = 0;
    for (const Json& entry : log["entries"])
        last = std::max(last, members::uint_or_zero(entry["event"], "sequence_number"));
    return last;
}

// The file without its log section, and the identities it holds.
Result<Json> assemble_documents(Gate& gate, std::string_view action_id, const std::string& gate_key,
                                Identities& identities) {
    ORVANE_ASSIGN_OR_RETURN(
        Json authorization,
        stored_document(gate, "authorization",
                        "SELECT authorization_json FROM action_authorizations WHERE action_id = ?1", action_id));
    if (authorization.is_null()) return fail("ORVANE_ACTION_NOT_FOUND");
    ORVANE_ASSIGN_OR_RETURN(
        Json execution,
        stored_document(gate, "execution receipt", "SELECT execution_json FROM action_outcomes WHERE action_id = ?1",
                        action_id));
    ORVANE_ASSIGN_OR_RETURN(Json attestation, policy_attestation(gate, authorization));

    const Json& receipt = member(authorization, "authorization");
    const Json& execution_receipt = member(execution, "receipt");
    ORVANE_TRY(identities.collect({std::string(members::string_or_empty(receipt, "agent_id")),
                                   std::string(members::string_or_empty(receipt, "gate_id")),
                                   std::string(members::string_or_empty(execution_receipt, "executor_id")),
                                   std::string(members::string_or_empty(execution_receipt, "gate_id")), gate_key}));
    ORVANE_ASSIGN_OR_RETURN(const std::uint64_t now, now_micros());

    Json file = Json::object();
    file["schema_version"] = kEvidenceSchema;
    file["action_id"] = action_id;
    file["gate_id"] = gate_key;
    file["exported_at"] = now;
    file["authorization"] = std::move(authorization);
    file["execution"] = std::move(execution);
    file["policy_attestation"] = std::move(attestation);
    file["registrations"] = identities.registrations();
    file["lifecycle_events"] = identities.lifecycle_events();
    file["logs"] = Json::array();
    return file;
}

// Every announcement's stream event, and every event that names a lifecycle
// event of an identity in the file, one log per tenant.
Status assemble_logs(Gate& gate, const Identities& identities, Json& file) {
    Logs logs(gate);
    for (const Announcement& wanted : announcements(file)) {
        // A missing event is reported by the verification of the file.
        ORVANE_TRY(logs.add(wanted.tenant,
                            "SELECT sequence_number, event_json FROM event_stream WHERE tenant_id = ?1 AND "
                            "event_id = ?2 AND event_type = ?3",
                            wanted.tenant, wanted.event_id, wanted.type));
    }
    for (const auto& [tenant, identity] : identities.streams()) {
        const std::string from = lifecycle_stream_event_id(identity, "");
        std::string to = from;
        to.back() = ':' + 1;  // just past every id that starts with `from`
        ORVANE_TRY(logs.add(tenant,
                            "SELECT sequence_number, event_json FROM event_stream WHERE tenant_id = ?1 AND "
                            "event_id > ?2 AND event_id < ?3",
                            tenant, from, to));
    }
    file["logs"] = logs.take();
    return {};
}

// Gives each log the tenant's latest signed tree head, signing a new one when
// the latest does not cover every entry yet, and each entry its inclusion
// proof under that head.
Status attach_tree_heads(Gate& gate, const std::string& gate_key, Json& file) {
    // Heads are signed first; the heads and proofs are then read in one read
    // transaction, so that each proof is for the head it sits beside.
    for (const Json& log : file["logs"]) {
        const std::string& tenant = log["tenant_id"].get_ref<const std::string&>();
        ORVANE_ASSIGN_OR_RETURN(auto head, log::latest_tree_head(gate.db, tenant, gate_key));
        if (!head || head->tree_size < last_sequence(log)) ORVANE_TRY(log::create_tree_head(gate, tenant));
    }
    auto read = storage::Transaction::begin(gate.db, "BEGIN DEFERRED");
    if (!read) return fail("Failed to read tree heads for evidence: " + read.error());
    for (Json& log : file["logs"]) {
        const std::string tenant = log["tenant_id"].get<std::string>();
        ORVANE_ASSIGN_OR_RETURN(auto head, log::latest_tree_head(gate.db, tenant, gate_key));
        if (!head) return fail("ORVANE_EVIDENCE_NOT_VERIFIED: no tree head of tenant '" + tenant + "'");
        log["tree_head"] = head->note;
        for (Json& entry : log["entries"]) {
            // An event whose stored text names no place in the tree gets no
            // proof; the verification of the file reports it.
            const std::uint64_t sequence = members::uint_or_zero(entry["event"], "sequence_number");
            if (sequence == 0 || sequence > head->tree_size) continue;
            ORVANE_ASSIGN_OR_RETURN(entry["inclusion_proof"],
                                    log::inclusion_proof_document(gate.db, tenant, sequence, head->tree_size));
        }
    }
    return read->commit().with_context("Failed to read tree heads for evidence: ");
}

}  // namespace

Result<Json> assemble_evidence(Gate& gate, std::string_view action_id, const std::string& gate_key) {
    Identities identities(gate);
    ORVANE_ASSIGN_OR_RETURN(Json file, assemble_documents(gate, action_id, gate_key, identities));
    ORVANE_TRY(assemble_logs(gate, identities, file));
    ORVANE_TRY(attach_tree_heads(gate, gate_key, file));
    return file;
}

}  // namespace orvane::evidence
