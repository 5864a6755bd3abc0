// install_policy and list_policies as the OrvaneDDB methods see them.
#include "policy/policy_ops.hpp"

#include "policy/active_policy.hpp"
#include "policy/policy_bundle.hpp"
#include "policy/policy_install.hpp"
#include "primitives/clock.hpp"

namespace orvane {

Result<std::string> install_policy(Gate& gate, std::string_view policy_spec) {
    ORVANE_ASSIGN_OR_RETURN(auto spec,
                            parse_json(policy_spec).with_context("Policy spec must be valid JSON: "));
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    ORVANE_ASSIGN_OR_RETURN(auto now, now_micros());

    // The baseline's version belongs to the built-in fallback: an installation
    // under it would stand in for the baseline. The operator's own fallback for
    // tenant "*" takes any other version and judges every tenant without a
    // policy of its own in the baseline's place.
    ORVANE_TRY(validate_policy_content(spec));
    if ((spec)["policy_version"].get_ref<const std::string&>() == kBaselinePolicyVersion) {
        return fail("ORVANE_POLICY_VERSION_RESERVED: 'orvane.baseline.v1' is reserved for the baseline policy");
    }

    ORVANE_ASSIGN_OR_RETURN(auto installed, install_policy_bundle_text(gate.db, *signer, spec, now));
    return std::move(installed.text);
}

Result<std::string> list_policies(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto stmt, storage::Statement::prepare(
        gate.db, "SELECT bundle_json, retired_at FROM policy_bundles ORDER BY issued_at ASC").with_context("Failed to prepare policy list: "));
    std::string out = "[";
    bool first = true;
    for (bool started = false;; started = true) {
        auto row = stmt.step();
        if (!row) return fail((started ? "Failed to read policy: " : "Failed to list policies: ") + row.error());
        if (!*row) break;
        ORVANE_ASSIGN_OR_RETURN(auto bundle,
                                parse_json(stmt.column_text(0))
                                    .with_context("Stored policy bundle is invalid JSON: "));
        if (stmt.column_is_null(1)) {
            (bundle)["status"] = "ACTIVE";
        } else {
            (bundle)["status"] = "RETIRED";
            (bundle)["retired_at"] = static_cast<std::uint64_t>(stmt.column_int64(1));
        }
        if (!first) out.push_back(',');
        first = false;
        append_canonical_json(out, bundle);
    }
    out.push_back(']');
    return out;
}

}  // namespace orvane
