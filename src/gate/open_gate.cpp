// The construction sequence of an OrvaneDDB object.
#include <filesystem>

#include "gate/gate.hpp"
#include "gate/schema.hpp"
#include "ledger/ledger_ops.hpp"

namespace orvane {

Result<std::unique_ptr<Gate>> open_gate(const std::string& db_path, const std::string& keyfile) {
    auto db = storage::Connection::open_read_write(db_path);
    if (!db) return fail("Failed to open SQLite database '" + db_path + "': " + db.error());
    ORVANE_TRY(db->exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA busy_timeout = 5000;"));
    ORVANE_TRY(create_decisions_schema(*db));
    ORVANE_TRY(initialize_gate_schema(*db));
    auto gate = std::make_unique<Gate>();
    gate->keyfile_path = keyfile;
    gate->db = std::move(*db);
    std::error_code ec;
    if (std::filesystem::exists(keyfile, ec)) {
        ORVANE_ASSIGN_OR_RETURN(auto signer, load_signer(keyfile));
        gate->signer = std::move(signer);
    }
    return gate;
}

Result<SignerRef> gate_signer(Gate& gate) {
    if (!gate.signer) {
        ORVANE_ASSIGN_OR_RETURN(gate.signer, load_signer(gate.keyfile_path));
    }
    return gate.signer;
}

}  // namespace orvane
