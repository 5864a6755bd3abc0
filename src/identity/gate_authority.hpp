// The gate's root of trust and the check every signing operation of the gate
// runs first: the gate's own key must resolve to an identity that is active
// now and may delegate.
#pragma once

#include <string>

#include "common/result.hpp"
#include "gate/gate.hpp"
#include "identity/resolve.hpp"
#include "signers/signer.hpp"

namespace orvane {

struct GateAuthority {
    SignerRef signer;        // the gate signer
    std::string public_key;  // its public key text
};

// The gate's trusted root: the loaded gate signer's key (the signer is loaded
// on first use; its load failure passes through), checked against the
// trusted_roots table (check_trusted_root). Operations that resolve
// identities take it once, at their start.
Result<TrustedRoot> gate_trusted_root(Gate& gate);

// Loads the gate signer and resolves its key at the current time under
// `root`. Fails with "ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as
// the root agent" when the key has no identity, "ORVANE_GATE_NOT_AUTHORIZED:
// gate identity is not an active delegation root" when it is inactive or may
// not delegate; signer load failures and resolution errors pass through
// unchanged.
Result<GateAuthority> require_gate_authority(Gate& gate, const TrustedRoot& root);

}  // namespace orvane
