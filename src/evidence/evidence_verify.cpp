// The checks of an evidence file, each answering one question, and the verdict.
#include "evidence/evidence_verify.hpp"

#include <map>
#include <optional>
#include <vector>

#include "authorization/receipt_verification.hpp"
#include "evidence/evidence_format.hpp"
#include "evidence/evidence_log.hpp"
#include "evidence/evidence_registry.hpp"
#include "outcomes/execution_receipt.hpp"
#include "policy/policy_bundle.hpp"
#include "primitives/digest.hpp"
#include "primitives/json_access.hpp"
#include "primitives/keys.hpp"

namespace orvane::evidence {
namespace {

using Codes = std::vector<std::string>;
using members::null_json;

// The lenient readers: a missing or mistyped member reads as "" or 0.
std::string_view text_of(const Json& object, std::string_view name) {
    return members::string_or_empty(object, name);
}
std::uint64_t uint_of(const Json& object, std::string_view name) { return members::uint_or_zero(object, name); }

Status malformed(std::string_view detail) { return fail(std::string(kMalformed) + std::string(detail)); }

bool array_of_objects(const Json* value) {
    if (value == nullptr || !value->is_array()) return false;
    for (const Json& item : *value) {
        if (!item.is_object()) return false;
    }
    return true;
}

const Json& member(const Json& object, std::string_view name) {
    const Json* found = members::get(object, name);
    return found ? *found : null_json();
}

// The question every other check presumes: the file is about the action it
// names, and its receipts come from the trusted gate.
Codes binding(const Json& evidence, std::string_view trusted_key) {
    Codes codes;
    const std::string_view action_id = text_of(evidence, "action_id");
    const Json& receipt = member(evidence["authorization"], "authorization");
    if (text_of(receipt, "action_id") != action_id) codes.emplace_back("EVIDENCE_ACTION_MISMATCH: authorization");
    if (text_of(receipt, "gate_id") != trusted_key) codes.emplace_back("EVIDENCE_GATE_MISMATCH: authorization");
    const Json& execution = evidence["execution"];
    if (!execution.is_null()) {
        const Json& stated = member(execution, "receipt");
        if (text_of(stated, "action_id") != action_id) codes.emplace_back("EVIDENCE_ACTION_MISMATCH: execution");
        if (text_of(stated, "gate_id") != trusted_key) codes.emplace_back("EVIDENCE_GATE_MISMATCH: execution");
    }
    // Every registration the file shows must be one its registrar signed, also
    // those that no resolution below reads (a key rotated in after the action).
    std::size_t index = 0;
    for (const Json& entry : evidence["registrations"]) {
        const Json& registration = member(entry, "registration");
        const std::string* event_id = find_string(entry, "event_id");
        if (!registration.is_object() || event_id == nullptr || canonical_digest(registration) != *event_id ||
            !verify_digest_signature(text_of(registration, "registered_by"), *event_id,
                                     text_of(entry, "signature"))) {
            codes.push_back("EVIDENCE_REGISTRATION_INVALID: " + std::to_string(index));
        }
        ++index;
    }
    return codes;
}

// The bundle applies to the receipt's tenant and the gate attested it as the
// tenant's policy (or a later installation has replaced it since).
std::optional<Codes> policy(const Json& evidence, std::string_view trusted_key) {
    const Json& result = evidence["authorization"];
    const Json* bundle_member = find_member(result, "policy_bundle");
    if (bundle_member == nullptr) return std::nullopt;
    const Json& bundle = *bundle_member;
    const Json& receipt = member(result, "authorization");
    Codes codes;
    const std::string_view bundle_tenant = text_of(bundle, "tenant_id");
    if (bundle_tenant != "*" && bundle_tenant != text_of(receipt, "tenant_id")) {
        codes.emplace_back("POLICY_TENANT_NOT_APPLICABLE");
    }
    const Json& envelope = evidence["policy_attestation"];
    if (envelope.is_null()) {
        codes.emplace_back("POLICY_ATTESTATION_MISSING");
        return codes;
    }
    const Json& attestation = member(envelope, "attestation");
    if (!attestation.is_object() ||
        !verify_digest_signature(trusted_key, canonical_digest(attestation), text_of(envelope, "signature"))) {
        codes.emplace_back("POLICY_ATTESTATION_SIGNATURE_INVALID");
        return codes;
    }
    const bool names_bundle =
        text_of(attestation, "policy_version") == text_of(bundle, "policy_version");
    const bool consistent =
        text_of(attestation, "schema_version") == kActivePolicyAttestationSchema &&
        text_of(attestation, "tenant_id") == bundle_tenant &&
        (names_bundle ? text_of(attestation, "policy_digest") == text_of(bundle, "policy_digest")
                      // a later installation replaced the attestation after the action
                      : uint_of(attestation, "activated_at") > uint_of(receipt, "issued_at"));
    if (!consistent) codes.emplace_back("POLICY_ATTESTATION_MISMATCH");
    return codes;
}

Codes agent_standing(const Json& evidence, storage::Connection& registry, const TrustedRoot& root) {
    const Json& receipt = member(evidence["authorization"], "authorization");
    auto agent = resolve_identity(registry, root, text_of(receipt, "agent_id"),
                                  uint_of(receipt, "issued_at"));
    if (!agent) return {std::move(agent.error())};
    // A refusal needs no standing; the receipt check reproduces why it was refused.
    if (text_of(receipt, "decision") != "ALLOWED") return {};
    if (!*agent || !(*agent)->active) return {"AGENT_NOT_ACTIVE_AT_ISSUE"};
    const std::string_view tenant = text_of(receipt, "tenant_id");
    if ((*agent)->tenant_id != "*" && (*agent)->tenant_id != tenant) return {"AGENT_TENANT_SCOPE_MISMATCH"};
    return {};
}

// The execution result against its permit, as verify_trace checks it: the
// gate never commits an outcome at or after a revocation of the permit's agent.
Codes execution_receipt(const Json& evidence, storage::Connection& registry, const TrustedRoot& root,
                        const std::optional<ResolvedIdentity>& agent) {
    const Json& result = evidence["authorization"];
    const Json& execution = evidence["execution"];
    Codes codes = verify_execution_result(registry, root, result, execution);
    const std::uint64_t issued_at = uint_of(member(result, "authorization"), "issued_at");
    const Json& stated = member(execution, "receipt");
    if (agent && agent->revoked_at && *agent->revoked_at > issued_at && stated.is_object() &&
        uint_of(stated, "completed_at") >= *agent->revoked_at) {
        codes.emplace_back("EXECUTION_AFTER_REVOCATION");
    }
    return codes;
}

Codes outcome(const Json& evidence) {
    const Json& execution = evidence["execution"];
    const Json& receipt = member(evidence["authorization"], "authorization");
    auto status = validate_outcome_contract(member(execution, "outcome"), text_of(receipt, "authorization_id"),
                                            text_of(evidence, "action_id"));
    if (!status) return {std::move(status.error())};
    if (text_of(member(execution, "receipt"), "status") != *status) return {"EXECUTION_STATUS_MISMATCH"};
    return {};
}

Codes executor_standing(const Json& evidence, storage::Connection& registry, const TrustedRoot& root) {
    const Json& stated = member(evidence["execution"], "receipt");
    const Json& receipt = member(evidence["authorization"], "authorization");
    auto executor = resolve_identity(registry, root, text_of(stated, "executor_id"),
                                     uint_of(stated, "completed_at"));
    if (!executor) return {std::move(executor.error())};
    if (!*executor || !(*executor)->active) return {"EXECUTOR_IDENTITY_NOT_TRUSTED"};
    const Json& tenant_member = member(receipt, "tenant_id");
    const std::string_view tenant =
        tenant_member.is_string() ? std::string_view(tenant_member.get_ref<const std::string&>()) : "*";
    if ((*executor)->tenant_id != "*" && tenant != "*" && (*executor)->tenant_id != tenant) {
        return {"EXECUTOR_TENANT_SCOPE_MISMATCH"};
    }
    return {};
}

// -- the log ----------------------------------------------------------------

Json entry(const std::optional<Codes>& codes) {
    Json out = Json::object();
    out["status"] = !codes ? "NOT_PRESENT" : codes->empty() ? "VERIFIED" : "FAILED";
    out["reason_codes"] = codes ? Json(*codes) : Json::array();
    return out;
}

}  // namespace

namespace {
std::string tenant_or_wildcard(const Json& document) {
    const Json& tenant = member(document, "tenant_id");
    return tenant.is_string() ? tenant.get<std::string>() : std::string("*");
}

}  // namespace

std::vector<Announcement> announcements(const Json& evidence) {
    const Json& result = evidence["authorization"];
    const Json& receipt = member(result, "authorization");
    const std::string tenant(text_of(receipt, "tenant_id"));
    std::vector<Announcement> wanted;
    wanted.push_back({"action.authorized", tenant, std::string(text_of(receipt, "authorization_id")), &result});
    const Json& execution = evidence["execution"];
    if (!execution.is_null()) {
        const Json& stated = member(execution, "receipt");
        wanted.push_back({text_of(stated, "status") == "SUCCEEDED" ? "action.executed" : "action.failed",
                          tenant, std::string(text_of(stated, "receipt_id")), &execution});
    }
    if (const Json* bundle = find_member(result, "policy_bundle")) {
        wanted.push_back({"policy.published", std::string(text_of(*bundle, "tenant_id")),
                          std::string(text_of(*bundle, "policy_digest")), bundle});
    }
    for (const Json& entry : evidence["registrations"]) {
        const Json& registration = member(entry, "registration");
        // A rotated-in key is announced by its identity's rotation.
        if (registration.is_object() && find_member(registration, "rotation_event_id")) continue;
        wanted.push_back({"agent.registered", tenant_or_wildcard(registration),
                          std::string(text_of(entry, "event_id")), &registration});
    }
    for (const Json& envelope : evidence["lifecycle_events"]) {
        const Json& event = member(envelope, "event");
        std::string id(text_of(event, "identity_id"));
        id.push_back(':');
        id.append(text_of(envelope, "event_id"));
        wanted.push_back({text_of(event, "event_type") == "ROTATE" ? "identity.rotated" : "identity.revoked",
                          tenant_or_wildcard(event), std::move(id), &envelope});
    }
    return wanted;
}

Status check_structure(const Json& evidence) {
    if (!evidence.is_object()) return malformed("evidence must be a JSON object");
    if (text_of(evidence, "schema_version") != kEvidenceSchema || find_string(evidence, "schema_version") == nullptr)
        return malformed("schema_version must be 'orvane.evidence.v1'");
    if (find_string(evidence, "action_id") == nullptr) return malformed("action_id must be a string");
    const Json* authorization = find_member(evidence, "authorization");
    if (authorization == nullptr || !authorization->is_object()) return malformed("authorization must be an object");
    for (std::string_view name : {"execution", "policy_attestation"}) {
        const Json* value = find_member(evidence, name);
        if (value == nullptr || !(value->is_null() || value->is_object()))
            return malformed(std::string(name) + " must be an object or null");
    }
    if (!array_of_objects(find_member(evidence, "registrations")))
        return malformed("registrations must be an array of objects");
    if (!array_of_objects(find_member(evidence, "lifecycle_events")))
        return malformed("lifecycle_events must be an array of objects");
    const Json* logs = find_member(evidence, "logs");
    if (!array_of_objects(logs)) return malformed("logs must be an array of objects");
    for (const Json& log : *logs) {
        if (find_string(log, "tenant_id") == nullptr) return malformed("logs[].tenant_id must be a string");
        if (const Json* head = find_member(log, "tree_head"); head != nullptr && !head->is_string())
            return malformed("logs[].tree_head must be a string");
        const Json* entries = find_member(log, "entries");
        if (!array_of_objects(entries)) return malformed("logs[].entries must be an array of objects");
        for (const Json& item : *entries) {
            const Json* event = find_member(item, "event");
            if (event == nullptr || !event->is_object()) return malformed("logs[].entries[].event must be an object");
            if (const Json* proof = find_member(item, "inclusion_proof"); proof != nullptr && !proof->is_object())
                return malformed("logs[].entries[].inclusion_proof must be an object");
        }
    }
    return {};
}

Result<Json> verify_evidence_document(const Json& evidence, std::string_view trusted_key) {
    auto registry = build_registry(evidence);
    if (!registry) return fail(std::move(registry.error()));
    const TrustedRoot root{std::string(trusted_key), true};
    const Json& result = evidence["authorization"];
    const Json& execution = evidence["execution"];
    const bool has_execution = !execution.is_null();

    std::optional<ResolvedIdentity> agent;
    std::map<std::string_view, std::optional<Codes>> checks;
    checks["evidence"] = binding(evidence, trusted_key);
    checks["receipt"] = verify_authorization_result(*registry, root, result, &agent);
    checks["policy"] = policy(evidence, trusted_key);
    checks["agent_standing"] = agent_standing(evidence, *registry, root);
    if (has_execution) {
        checks["execution_receipt"] = execution_receipt(evidence, *registry, root, agent);
        checks["outcome"] = outcome(evidence);
        checks["executor_standing"] = executor_standing(evidence, *registry, root);
    }
    checks["log_inclusion"] = log_inclusion_codes(evidence);
    checks["tree_head"] = tree_head_codes(evidence, trusted_key);

    Json entries = Json::object();
    bool failed = false;
    for (std::string_view name : kCheckNames) {
        auto found = checks.find(name);
        const std::optional<Codes>& codes = found == checks.end() ? std::nullopt : found->second;
        failed = failed || (codes && !codes->empty());
        Json e = entry(codes);
        entries[std::string(name)] = std::move(e);
    }
    const Json& receipt = member(result, "authorization");
    const Json& decision = member(receipt, "decision");
    const Json& status = member(member(execution, "receipt"), "status");
    Json verdict = Json::object();
    verdict["schema_version"] = kVerdictSchema;
    verdict["status"] = failed ? "INVALID" : "VERIFIED";
    verdict["action_id"] = evidence["action_id"];
    verdict["decision"] = decision.is_string() ? decision : Json();
    verdict["execution_status"] = status.is_string() ? status : Json();
    verdict["checks"] = std::move(entries);
    return verdict;
}

}  // namespace orvane::evidence
