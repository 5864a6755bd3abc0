// The state one OrvaneDDB object owns for its whole life.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "ledger/depth_ranks.hpp"
#include "primitives/keys.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane {

struct Gate {
    std::string keyfile_path;        // as given, never resolved
    storage::Connection db;          // the gate database
    std::optional<KeyPair> ledger_key;  // filled by the first recording that needs it
    SignerRef signer;                // filled at construction or first use
    RememberedChecks verified;       // valid Ed25519 checks, kept from call to call
    ledger::DepthRanks decision_ranks;  // where each page of the decision listing starts
};

// Opens the gate database, creates or migrates every table and loads the
// gate's signer when the key file exists. Failures are the construction
// messages.
Result<std::unique_ptr<Gate>> open_gate(const std::string& db_path, const std::string& keyfile);

// The cached gate signer, loaded on first use; a failed load leaves the cache
// empty so the next call tries again.
Result<SignerRef> gate_signer(Gate& gate);

// The loaded gate signer's public key, or an empty text before it is loaded.
// Operations hand it to their VerificationScope, with the gate's remembered
// checks: it was derived from the key file or point-checked when the signer
// was loaded.
inline std::string_view loaded_signer_key(const Gate& gate) {
    return gate.signer ? std::string_view(gate.signer->identity().public_key) : std::string_view();
}

}  // namespace orvane
