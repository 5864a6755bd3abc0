#include "identity/gate_authority.hpp"

#include "primitives/clock.hpp"

namespace orvane {

Result<TrustedRoot> gate_trusted_root(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    return check_trusted_root(gate.db, signer->identity().public_key);
}

Result<GateAuthority> require_gate_authority(Gate& gate, const TrustedRoot& root) {
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    const std::string& key = signer->identity().public_key;
    ORVANE_ASSIGN_OR_RETURN(auto now, now_micros());
    ORVANE_ASSIGN_OR_RETURN(auto resolved, resolve_identity(gate.db, root, key, now));
    if (!resolved) return fail("ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as the root agent");
    if (!resolved->active || !resolved->can_delegate)
        return fail("ORVANE_GATE_NOT_AUTHORIZED: gate identity is not an active delegation root");
    return GateAuthority{signer, key};
}

}  // namespace orvane
