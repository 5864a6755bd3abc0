// The state one OrvaneExecutor object owns for its whole life.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "executor/execution_store.hpp"
#include "executor/executor_ops.hpp"
#include "executor/gate_checks.hpp"
#include "primitives/keys.hpp"
#include "signers/signer.hpp"

namespace orvane {

struct Executor {
    std::unique_ptr<executor::ExecutionStore> store;
    SignerRef signer;
    std::string executor_id;        // the signer's public key
    std::string trusted_gate_id;    // compared byte for byte, never validated
    // Whether trusted_gate_id is a valid Ed25519 key, found once at
    // construction: each consumption checks the permit's gate key, which must
    // equal it, and hands this answer to its VerificationScope.
    bool trusted_gate_key_valid = false;
    std::string trusted_tenant_id;
    std::optional<std::string> gate_db_path;  // read-only revocation checks when set
    executor::GateDatabase gate_db;           // its connection, kept while the file stays the same
    RememberedChecks verified;                // valid Ed25519 checks, kept from call to call
};

namespace executor {

// The gate database path: `gate_db` when given, else ORVANE_GATE_DB when it is
// set to valid UTF-8, else none.
std::optional<std::string> resolve_gate_db_path(std::optional<std::string> gate_db);

}  // namespace executor
}  // namespace orvane
