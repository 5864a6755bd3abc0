// The three documents that record an executed action:
//   action outcome     "orvane.action-outcome.v1"     written and signed by the executor
//                      (Ed25519 over the canonical bytes of the outcome without
//                      `executor_signature`, the bytes themselves);
//   execution receipt  "orvane.execution-receipt.v1"  written by the gate; `receipt_id` is the
//                      SHA-256 hex of the canonical receipt without `receipt_id` and
//                      `gate_signature`, and the gate signs the 32 raw digest bytes;
//   execution result   "orvane.execution-result.v1"   {receipt, outcome}, stored and returned
//                      as canonical JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "identity/resolve.hpp"
#include "primitives/json.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

inline constexpr std::string_view kActionOutcomeSchema = "orvane.action-outcome.v1";
inline constexpr std::string_view kExecutionReceiptSchema = "orvane.execution-receipt.v1";
inline constexpr std::string_view kExecutionResultSchema = "orvane.execution-result.v1";

// Checks the outcome contract against the permit it claims to consume and
// returns its status ("SUCCEEDED" or "FAILED"), or the first failure message
// ("ORVANE_INVALID_CONTRACT: ...", "ORVANE_AUTHORIZATION_MISMATCH: ...",
// "ORVANE_ACTION_ID_MISMATCH: ..."). Pure.
Result<std::string> validate_outcome_contract(const Json& outcome,
                                              std::string_view expected_authorization_id,
                                              std::string_view expected_action_id);

// The bytes an executor signs and the gate hashes: the canonical text of the
// outcome without its `executor_signature` member. `signature` receives the
// removed member when it was a string, else stays empty. A non-object is
// written as it stands.
std::string outcome_signing_bytes(const Json& outcome, std::string* signature = nullptr);

// Signs an outcome (any `executor_signature` already present is replaced) and
// returns it with `executor_signature` set.
Result<Json> sign_action_outcome(const Signer& executor, Json outcome);

// Everything the gate puts into a receipt besides its own identity and signature.
struct ExecutionReceiptFields {
    std::string_view authorization_id;
    std::string_view action_id;
    std::string_view intent_hash;
    std::string_view outcome_hash;  // sha256_hex(outcome_signing_bytes(outcome))
    std::string_view executor_id;
    std::string_view status;
    std::uint64_t completed_at = 0;
};

// Builds the receipt, sets `gate_id` to the signer's public key, `receipt_id`
// and `gate_signature`. Fails only with the signer's message.
Result<Json> build_execution_receipt(const Signer& gate, const ExecutionReceiptFields& fields);

// {"schema_version": "orvane.execution-result.v1", "receipt": ..., "outcome": ...}
Json make_execution_result(Json receipt, Json outcome);

// Re-checks an execution result against the authorization result (the stored
// `authorization_json`; only its `authorization` member is read) and returns
// every disagreement as a reason code, in order; empty when it verifies. The
// receipt's gate must be an active identity that may delegate at its
// completed_at, and the executor an active one, both under `root`.
// Reads the identity registry, writes nothing, never fails as an operation.
std::vector<std::string> verify_execution_result(storage::Connection& db, const TrustedRoot& root,
                                                 const Json& authorization_result,
                                                 const Json& execution_result);

}  // namespace orvane
