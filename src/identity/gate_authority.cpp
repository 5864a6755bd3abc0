#include "identity/gate_authority.hpp"

#include "primitives/clock.hpp"

namespace orvane {

Result<TrustedRoot> gate_trusted_root(Gate& gate) {
    auto signer = gate_signer(gate);
    if (!signer) return fail(std::move(signer.error()));
    return check_trusted_root(gate.db, (*signer)->identity().public_key);
}

Result<GateAuthority> require_gate_authority(Gate& gate, const TrustedRoot& root) {
    auto signer = gate_signer(gate);
    if (!signer) return fail(std::move(signer.error()));
    const std::string& key = (*signer)->identity().public_key;
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));
    auto resolved = resolve_identity(gate.db, root, key, *now);
    if (!resolved) return fail(std::move(resolved.error()));
    if (!*resolved) return fail("ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as the root agent");
    if (!(*resolved)->active || !(*resolved)->can_delegate)
        return fail("ORVANE_GATE_NOT_AUTHORIZED: gate identity is not an active delegation root");
    return GateAuthority{*signer, key};
}

}  // namespace orvane
