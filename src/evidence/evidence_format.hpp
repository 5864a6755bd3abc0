// The evidence file ("orvane.evidence.v1") and its verdict
// ("orvane.evidence-verification.v1"): schema ids, the names of the checks in
// verdict order, and the malformed-input code. docs/evidence-format.md is the
// reference for readers who write a verifier of their own.
#pragma once

#include <array>
#include <string_view>

namespace orvane::evidence {

inline constexpr std::string_view kEvidenceSchema = "orvane.evidence.v1";
inline constexpr std::string_view kVerdictSchema = "orvane.evidence-verification.v1";
inline constexpr std::string_view kStreamEventSchema = "orvane.event-stream-event.v1";
inline constexpr std::string_view kRegistrationSchema = "orvane.agent-registration.v1";

// "ORVANE_EVIDENCE_MALFORMED: <detail>": the input is no evidence file at all.
inline constexpr std::string_view kMalformed = "ORVANE_EVIDENCE_MALFORMED: ";

inline constexpr std::array<std::string_view, 9> kCheckNames = {
    "evidence",           "receipt", "policy",          "agent_standing", "execution_receipt",
    "outcome",            "executor_standing", "log_inclusion", "tree_head"};

}  // namespace orvane::evidence
