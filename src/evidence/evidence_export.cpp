// The evidence entry points: the gate's export, which verifies the file it
// assembled under its own key before the file leaves (the gate never hands out
// evidence it could not stand behind), and the verification of a file under
// the key the caller trusts.
#include <algorithm>
#include <cctype>
#include <string>

#include "evidence/evidence_assembly.hpp"
#include "evidence/evidence_format.hpp"
#include "evidence/evidence_ops.hpp"
#include "evidence/evidence_verify.hpp"
#include "identity/gate_authority.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

// "receipt: CODE,CODE; log_inclusion: CODE" over the failed checks.
std::string failed_checks(const Json& verdict) {
    std::string text;
    for (const auto& [name, entry] : verdict["checks"].items()) {
        if (entry["status"].get_ref<const std::string&>() != "FAILED") continue;
        if (!text.empty()) text += "; ";
        text += name;
        text += ": ";
        bool first = true;
        for (const Json& code : entry["reason_codes"]) {
            if (!first) text += ",";
            text += code.get_ref<const std::string&>();
            first = false;
        }
    }
    return text;
}

}  // namespace

Result<std::string> export_evidence(Gate& gate, std::string_view action_id) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    ORVANE_ASSIGN_OR_RETURN(const TrustedRoot root, gate_trusted_root(gate));
    ORVANE_ASSIGN_OR_RETURN(const Json file, evidence::assemble_evidence(gate, action_id, root.key));
    // A file its reader could not parse back vouches for nothing.
    if (!json_nests_within(file, kMaxJsonDepth))
        return fail("ORVANE_EVIDENCE_NOT_VERIFIED: the documents nest too deeply for an evidence file");
    ORVANE_ASSIGN_OR_RETURN(const Json verdict, evidence::verify_evidence_document(file, root.key));
    if (verdict["status"].get_ref<const std::string&>() != "VERIFIED")
        return fail("ORVANE_EVIDENCE_NOT_VERIFIED: " + failed_checks(verdict));
    return canonical_json(file);
}

Result<std::string> verify_evidence(std::string_view evidence_json, std::string_view trusted_gate_public_key) {
    ORVANE_TRY(parse_public_key(trusted_gate_public_key));
    std::string trusted(trusted_gate_public_key);
    std::transform(trusted.begin(), trusted.end(), trusted.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto file = parse_json(evidence_json);
    if (!file) return fail(std::string(evidence::kMalformed) + "evidence must be valid JSON: " + file.error());
    ORVANE_TRY(evidence::check_structure(*file));
    VerificationScope remember_checks;  // the same signatures recur across the checks
    ORVANE_ASSIGN_OR_RETURN(const Json verdict, evidence::verify_evidence_document(*file, trusted));
    return canonical_json(verdict);
}

}  // namespace orvane
