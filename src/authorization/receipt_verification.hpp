// Authorization receipts ("orvane.authorization-receipt.v1") inside
// authorization results ("orvane.authorization-result.v1"): the decision
// procedure that the gate applies when it answers a request, and the
// re-verification of a stored or presented result, which runs the same
// procedure again over the stored inputs. Both live here so that their rules,
// thresholds and code spellings cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identity/resolve.hpp"
#include "policy/policy_evaluation.hpp"
#include "primitives/json.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

inline constexpr std::string_view kAuthorizationReceiptSchema = "orvane.authorization-receipt.v1";
inline constexpr std::string_view kAuthorizationResultSchema = "orvane.authorization-result.v1";
// The policy version a receipt names when it was issued without a bundle.
inline constexpr std::string_view kIdentityGatePolicyVersion = "orvane.identity-gate.v1";

// A request older than this (issued_at - requested_at) is stale.
inline constexpr std::uint64_t kMaxRequestAgeMicros = 300'000'000;
// A request further ahead than this (requested_at - issued_at) is from the future.
inline constexpr std::uint64_t kMaxRequestLeadMicros = 60'000'000;

// The five request-level codes that replace the policy's codes when they apply.
bool is_request_level_denial(std::string_view code);

struct AuthorizationDecision {
    std::string_view decision;              // "ALLOWED" or "BLOCKED"
    std::vector<std::string> reason_codes;
};

// What the decision rests on.
struct DecisionInputs {
    bool agent_signature_valid = false;
    const ResolvedIdentity* agent = nullptr;  // nullptr: no identity
    std::string_view intent_tenant_id;
    std::uint64_t requested_at = 0;
    std::uint64_t issued_at = 0;
    const PolicyEvaluation* policy = nullptr;  // required
};

// First rule that applies: INVALID_AGENT_SIGNATURE, AGENT_NOT_REGISTERED,
// AGENT_TENANT_SCOPE_DENIED, REQUEST_STALE, REQUEST_FROM_FUTURE, the policy's
// BLOCKED codes, else ALLOWED with IDENTITY_VERIFIED, POLICY_ALLOWED.
AuthorizationDecision decide_authorization(const DecisionInputs& inputs);

// Re-checks an authorization result from its own contents and the identity
// registry (under `root`), and returns every disagreement as a reason code (or
// the message of a sub-operation that failed), in order; empty when it
// verifies. Reads, never writes, never fails as an operation. `agent`, when
// given, receives the agent's identity as resolved at issued_at for the
// decision reproduction (left empty when that step did not run or found none).
std::vector<std::string> verify_authorization_result(storage::Connection& db, const TrustedRoot& root,
                                                     const Json& authorization_result,
                                                     std::optional<ResolvedIdentity>* agent = nullptr);

// The same checks without a gate database, for a holder of the gate's public
// key: the receipt must be signed by that key, and everything the documents
// themselves prove is checked (receipt id, signatures, policy bundle and
// binding, evidence, intent hash and contract, action and tenant ids). Whether
// the agent was a registered, active identity at issued_at is the registry's
// knowledge and is not checked.
std::vector<std::string> verify_authorization_result_under_key(const Json& result, std::string_view gate_public_key);

// Joins reason codes with "," (no space), as refusals quote them.
std::string join_reason_codes(const std::vector<std::string>& codes);

// A gate-sealed receipt inside a result document (an authorization or an
// execution result): where it sits, what its members are called, and the
// reason code for each way its seal can fail.
struct SealedReceiptKind {
    std::string_view result_schema;
    std::string_view receipt_member;  // the receipt's member in the result
    std::string_view id_member;       // the receipt's id: the digest of the rest
    std::string_view receipt_schema;
    std::string_view time_member;     // when the gate sealed it
    struct Codes {
        std::string_view result_schema_mismatch, missing, invalid, id_missing, signature_missing, id_mismatch,
            schema_mismatch, signature_invalid, gate_not_trusted;
    } codes;
};

// Checks the result's schema and the receipt's seal: its id is the digest of
// the rest, its gate_signature verifies under its gate_id, and that key stood
// for an active gate identity that may delegate at the receipt's time (with
// no registry, `db` null: that key is the root key itself).
// Appends a code for each failure (resolution errors as their message).
// Returns the receipt without its id and signature, or nullopt when it could
// not be read far enough to go on.
std::optional<Json> check_sealed_receipt(storage::Connection* db, const TrustedRoot& root, const Json& result,
                                         const SealedReceiptKind& kind, std::vector<std::string>& codes);

}  // namespace orvane
