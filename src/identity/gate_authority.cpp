#include "identity/gate_authority.hpp"

#include "identity/resolve.hpp"
#include "primitives/clock.hpp"

namespace orvane {

Result<GateAuthority> require_gate_authority(Gate& gate) {
    auto signer = gate_signer(gate);
    if (!signer) return fail(std::move(signer.error()));
    const std::string& key = (*signer)->identity().public_key;
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));
    auto resolved = resolve_identity(gate.db, key, *now);
    if (!resolved) return fail(std::move(resolved.error()));
    if (!*resolved) return fail("ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as the root agent");
    if (!(*resolved)->active || !(*resolved)->can_delegate)
        return fail("ORVANE_GATE_NOT_AUTHORIZED: gate identity is not an active delegation root");
    return GateAuthority{*signer, key};
}

}  // namespace orvane
