// Identity resolution from signed data: the key's registration, its identity's
// lifecycle events, the registrar chain and the key's validity window.
#include "identity/resolve.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "identity/agent_table.hpp"
#include "storage/query.hpp"
#include "primitives/digest.hpp"
#include "primitives/json_access.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

constexpr std::string_view kRegistrationSchema = "orvane.agent-registration.v1";
constexpr std::string_view kLifecycleSchema = "orvane.identity-lifecycle-event.v1";

// More keys than this on one registrar path means no identity.
constexpr std::size_t kMaxPathKeys = 16;
// Lifecycle replay resolves each event's authority afresh, so the path bound
// alone does not stop events whose authorities refer back to one another. The
// total nesting of resolutions, across that re-entry, is bounded too; going
// past it makes the outermost key resolve to no identity.
constexpr int kMaxNesting = 64;

struct Context {
    storage::Connection& db;
    const TrustedRoot& root;
    int depth = 0;
    bool exhausted = false;  // the nesting bound was hit somewhere below
};

struct EndingEvent {
    std::uint64_t effective_at = 0;
    bool rotate = false;
};

using Resolution = Result<std::optional<ResolvedIdentity>>;

Resolution resolve(Context& ctx, std::string_view key, std::uint64_t at,
                   std::vector<std::string>& visited);

// A lifecycle event as replay found it: its verified id and type, and the
// digest of the stored envelope text (what the stream's payload_hash covers).
struct ReplayedEvent {
    std::string event_id;
    bool rotate = false;
    std::string text_digest;
};

// Absence is not proof: a lifecycle row deleted (or moved to another identity)
// must not quietly undo a rotation or revocation. Every lifecycle event of the
// identity is also named in its tenant's hash-chained stream, so each event the
// stream names must be among those just replayed, as the same stored text.
// One index range over the stream's (tenant_id, event_id) key, whatever its
// length. Streams written before identities were mirrored name none.
Status check_stream_names(storage::Connection& db, std::string_view tenant, std::string_view identity,
                          const std::vector<ReplayedEvent>& replayed) {
    const std::string from = lifecycle_stream_event_id(identity, "");
    std::string to = from;
    to.back() = ':' + 1;  // just past every id that starts with `from`
    const storage::Queries q(db, "Failed to query identity events in the stream: ");
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            q.prepare("SELECT event_id, event_type, payload_hash FROM event_stream "
                                                 "WHERE tenant_id = ?1 AND event_id > ?2 AND event_id < ?3",
                                                 tenant, from, to));
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
        if (!row) return {};
        const std::string_view named = stmt.column_text(0).substr(from.size());
        auto found = std::find_if(replayed.begin(), replayed.end(),
                                  [&](const ReplayedEvent& e) { return e.event_id == named; });
        if (found == replayed.end())
            return fail("ORVANE_IDENTITY_EVENT_INVALID: a lifecycle event named by the event stream is missing");
        if (stmt.column_text(1) != (found->rotate ? "identity.rotated" : "identity.revoked") ||
            stmt.column_text(2) != found->text_digest)
            return fail("ORVANE_IDENTITY_EVENT_INVALID: lifecycle event does not match the event stream");
    }
}

// A lifecycle event that holds together: its replayed form, when it took
// effect, and whether it ended the key being resolved.
struct CheckedLifecycleEvent {
    ReplayedEvent replayed;
    std::uint64_t effective_at = 0;
    bool ends_key = false;
};

// Checks one stored lifecycle event of `identity`: its schema, digest,
// signature, signer, time, signing authority (resolved afresh), tenant and
// type. Nothing when the nesting bound was hit resolving the authority.
Result<std::optional<CheckedLifecycleEvent>> check_lifecycle_event(Context& ctx, const std::string& text,
                                                                   std::string_view identity, std::string_view key) {
    ORVANE_ASSIGN_OR_RETURN(const Json envelope,
                            parse_json(text).with_context("Stored identity lifecycle event is invalid JSON: "));
    const Json* event = envelope.is_object() ? find_member(envelope, "event") : nullptr;
    if (event == nullptr) return fail("ORVANE_IDENTITY_EVENT_INVALID: event is missing");
    const std::string* schema = event->is_object() ? find_string(*event, "schema_version") : nullptr;
    const std::string* event_identity = event->is_object() ? find_string(*event, "identity_id") : nullptr;
    if (!event->is_object() || event->empty() || schema == nullptr || *schema != kLifecycleSchema ||
        event_identity == nullptr || *event_identity != identity)
        return fail("ORVANE_IDENTITY_EVENT_INVALID: schema or identity mismatch");
    const std::string* event_id = find_non_blank(envelope, "event_id");
    if (event_id == nullptr) return fail(non_empty_string_message("event_id"));
    const std::string* signature = find_non_blank(envelope, "signature");
    if (signature == nullptr) return fail(non_empty_string_message("signature"));
    if (canonical_digest(*event) != *event_id)
        return fail("ORVANE_IDENTITY_EVENT_INVALID: digest mismatch");
    const std::string* authority = find_non_blank(*event, "authorized_by");
    if (authority == nullptr) return fail(non_empty_string_message("authorized_by"));
    if (!verify_digest_signature(*authority, *event_id, *signature))
        return fail("ORVANE_IDENTITY_EVENT_INVALID: signature mismatch");
    const Json* signer = find_member(*event, "signer");
    const std::string* signer_key =
        signer != nullptr && signer->is_object() ? find_string(*signer, "public_key") : nullptr;
    if (signer_key == nullptr || *signer_key != *authority)
        return fail("ORVANE_IDENTITY_EVENT_INVALID: signer metadata mismatch");
    const std::optional<std::uint64_t> effective = unsigned_member(*event, "effective_at");
    if (!effective) return fail("ORVANE_INVALID_CONTRACT: 'effective_at' must be an unsigned integer");
    const std::uint64_t effective_at = *effective;

    std::vector<std::string> fresh;
    ORVANE_ASSIGN_OR_RETURN(auto resolved, resolve(ctx, *authority, effective_at, fresh));
    if (ctx.exhausted) return std::optional<CheckedLifecycleEvent>();
    if (!resolved || !resolved->active || !resolved->can_delegate)
        return fail("ORVANE_IDENTITY_EVENT_INVALID: signing authority was not valid");

    const std::string* tenant = find_non_blank(*event, "tenant_id");
    if (tenant == nullptr) return fail(non_empty_string_message("tenant_id"));
    if (resolved->tenant_id != "*" && resolved->tenant_id != *tenant)
        return fail("ORVANE_IDENTITY_EVENT_INVALID: tenant delegation mismatch");
    const std::string* type = find_non_blank(*event, "event_type");
    if (type == nullptr) return fail(non_empty_string_message("event_type"));
    const bool rotate = *type == "ROTATE";
    if (!rotate && *type != "REVOKE") return fail("ORVANE_IDENTITY_EVENT_INVALID: unknown event type");

    const std::string* subject = find_string(*event, rotate ? "previous_public_key" : "public_key");
    return std::optional<CheckedLifecycleEvent>(CheckedLifecycleEvent{
        ReplayedEvent{*event_id, rotate, sha256_hex(text)}, effective_at, subject != nullptr && *subject == key});
}

// Checks every stored lifecycle event of `identity` (tenant `tenant`) and
// returns the last one that ended `key`, if any.
Result<std::optional<EndingEvent>> replay_lifecycle(Context& ctx, std::string_view identity,
                                                    std::string_view tenant, std::string_view key) {
    ORVANE_ASSIGN_OR_RETURN(
        auto stmt, storage::Statement::prepare(ctx.db,
                                               "SELECT event_json FROM identity_lifecycle_events WHERE "
                                               "identity_id = ?1 ORDER BY effective_at ASC")
                       .with_context("Failed to prepare identity lifecycle verification: "));
    const storage::Queries q(ctx.db, "Failed to query identity lifecycle: ");
    ORVANE_TRY(storage::bind_all(stmt, identity).with_context("Failed to query identity lifecycle: "));

    std::optional<EndingEvent> ending;
    std::vector<ReplayedEvent> replayed;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
        if (!row) break;
        ORVANE_ASSIGN_OR_RETURN(const std::string text,
                                stmt.column_string(0).with_context("Failed to read identity lifecycle event: "));

        ORVANE_ASSIGN_OR_RETURN(const auto checked, check_lifecycle_event(ctx, text, identity, key));
        if (!checked) return std::nullopt;  // the nesting bound was hit: the caller answers no identity
        if (checked->ends_key) ending = EndingEvent{checked->effective_at, checked->replayed.rotate};
        replayed.push_back(checked->replayed);
    }
    ORVANE_TRY(check_stream_names(ctx.db, tenant, identity, replayed));
    return ending;
}

bool string_member_equals(const Json& object, std::string_view name, std::string_view expected) {
    const std::string* s = find_non_blank(object, name);
    return s != nullptr && *s == expected;
}

// Whether the signed registration event says what the row says.
bool event_matches_row(const Json& event, std::string_view key, const AgentRow& row) {
    if (!event.is_object()) return false;
    if (!string_member_equals(event, "schema_version", kRegistrationSchema)) return false;
    if (!string_member_equals(event, "agent_id", key)) return false;
    if (!string_member_equals(event, "alias", row.alias)) return false;
    if (!string_member_equals(event, "registered_by", row.registered_by)) return false;

    const std::optional<std::uint64_t> registered_at = unsigned_member(event, "registered_at");
    if (!registered_at || *registered_at != static_cast<std::uint64_t>(row.registered_at)) return false;

    const Json* metadata = find_member(event, "metadata");
    if (metadata == nullptr) return false;
    auto stored = parse_json(row.metadata);
    if (!json_equal(*metadata, stored ? *stored : Json::object())) return false;

    const Json* can_delegate = find_member(event, "can_delegate");
    if (can_delegate == nullptr || !can_delegate->is_boolean() || can_delegate->get<bool>() != row.can_delegate)
        return false;

    if (const std::string* s = find_string(event, "identity_id"); s != nullptr && *s != row.identity_id)
        return false;
    if (const std::string* s = find_string(event, "tenant_id"); s != nullptr && *s != row.tenant_id)
        return false;
    if (const auto version = unsigned_member(event, "key_version");
        version && *version != static_cast<std::uint64_t>(row.key_version))
        return false;
    if (const Json* signer = find_member(event, "signer")) {
        if (!signer->is_object()) return false;
        const std::string* uri = find_string(*signer, "signer_uri");
        const std::string* algorithm = find_string(*signer, "algorithm");
        const std::string* public_key = find_string(*signer, "public_key");
        if (uri == nullptr || *uri != row.signer_uri || algorithm == nullptr || *algorithm != row.algorithm ||
            public_key == nullptr || *public_key != key)
            return false;
    }
    return true;
}

// The row's lifecycle columns against the replayed ending event; the key's
// activity at `at` when they agree.
std::optional<bool> activity(const AgentRow& row, const std::optional<EndingEvent>& ending,
                             std::uint64_t at) {
    const auto t = static_cast<std::int64_t>(std::min<std::uint64_t>(at, INT64_MAX));
    if (!ending) {
        if (row.status != "active" || row.valid_until || row.revoked_at) return std::nullopt;
        return t >= row.valid_from;
    }
    if (row.status != (ending->rotate ? "rotated" : "revoked")) return std::nullopt;
    if (!row.valid_until || static_cast<std::uint64_t>(*row.valid_until) != ending->effective_at)
        return std::nullopt;
    if (!ending->rotate && (!row.revoked_at || *row.revoked_at != *row.valid_until)) return std::nullopt;
    return row.valid_from <= t && t < *row.valid_until && (!row.revoked_at || t < *row.revoked_at);
}

Resolution resolve(Context& ctx, std::string_view key, std::uint64_t at, std::vector<std::string>& visited) {
    if (ctx.exhausted) return std::nullopt;
    if (ctx.depth >= kMaxNesting) {
        ctx.exhausted = true;
        return std::nullopt;
    }
    if (visited.size() > kMaxPathKeys || std::find(visited.begin(), visited.end(), key) != visited.end())
        return std::nullopt;
    visited.emplace_back(key);

    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(d) { ++depth; }
        ~Nesting() { --depth; }
    } nesting(ctx.depth);

    ORVANE_ASSIGN_OR_RETURN(auto loaded, read_agent_row(ctx.db, key));
    if (!loaded) return std::nullopt;
    const AgentRow& row = *loaded;

    if (row.registration_event_id.empty() || row.registration_signature.empty() || row.registered_by.empty())
        return std::nullopt;

    ORVANE_ASSIGN_OR_RETURN(auto event,
                            parse_json(row.registration_event)
                                .with_context("registration_event must be valid JSON: "));
    if (canonical_digest(event) != row.registration_event_id) return std::nullopt;
    if (!verify_digest_signature(row.registered_by, row.registration_event_id, row.registration_signature))
        return std::nullopt;
    if (!event_matches_row(event, key, row)) return std::nullopt;

    ORVANE_ASSIGN_OR_RETURN(auto ending, replay_lifecycle(ctx, row.identity_id, row.tenant_id, key));
    if (ctx.exhausted) return std::nullopt;

    const std::optional<bool> active = activity(row, ending, at);
    if (!active) return std::nullopt;

    // The root's own row must be its self-registration, and a self-registration
    // stands only for the root the caller was given.
    if (key == ctx.root.key && row.registered_by != key) return std::nullopt;
    if (key != row.registered_by) {
        ORVANE_ASSIGN_OR_RETURN(auto registrar,
                                resolve(ctx, row.registered_by, static_cast<std::uint64_t>(row.registered_at), visited));
        if (ctx.exhausted || !registrar) return std::nullopt;
        const ResolvedIdentity& r = *registrar;
        if (!r.active || !r.can_delegate || (r.tenant_id != "*" && r.tenant_id != row.tenant_id))
            return std::nullopt;
    } else if (!ctx.root.recorded || key != ctx.root.key) {
        return std::nullopt;
    }

    std::optional<std::uint64_t> revoked_at;
    if (ending && !ending->rotate) revoked_at = ending->effective_at;
    return ResolvedIdentity{row.tenant_id, row.identity_id, row.metadata, *active, row.can_delegate, revoked_at};
}

}  // namespace

Result<TrustedRoot> check_trusted_root(storage::Connection& db, std::string_view root_key) {
    const storage::Queries q(db, "Failed to read trusted root: ");
    ORVANE_ASSIGN_OR_RETURN(auto stmt, q.prepare("SELECT public_key FROM trusted_roots"));
    int rows = 0;
    bool equal = false;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(const bool row, q.step(stmt));
        if (!row) break;
        if (++rows > 1) break;
        equal = stmt.column_type(0) == SQLITE_TEXT && stmt.column_text(0) == root_key;
    }
    if (rows == 0) return TrustedRoot{std::string(root_key), false};
    if (rows > 1 || !equal)
        return fail("ORVANE_TRUSTED_ROOT_MISMATCH: trusted_roots must hold exactly one row, the gate key");
    return TrustedRoot{std::string(root_key), true};
}

std::string lifecycle_stream_event_id(std::string_view identity_id, std::string_view lifecycle_event_id) {
    std::string id;
    id.reserve(identity_id.size() + 1 + lifecycle_event_id.size());
    id.append(identity_id).push_back(':');
    id.append(lifecycle_event_id);
    return id;
}

Result<std::optional<ResolvedIdentity>> resolve_identity(storage::Connection& db, const TrustedRoot& root,
                                                         std::string_view public_key, std::uint64_t at_micros) {
    Context ctx{db, root};
    std::vector<std::string> visited;
    return resolve(ctx, public_key, at_micros, visited);
}

}  // namespace orvane
