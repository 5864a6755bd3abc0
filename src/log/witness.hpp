// A witness of tree heads: it keeps, per log origin, the latest head it
// accepted in its own SQLite file, cosigns a new head only when the log's key
// signed it and a consistency proof shows it extends the held one, and keeps
// both heads of every refusal as evidence of a split view.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/keys.hpp"
#include "signers/signer.hpp"
#include "storage/sqlite.hpp"

namespace orvane::log {

struct Witness {
    storage::Connection db;
    SignerRef signer;
    std::string name;  // "orvane-ddb/witness/<witness key hex>", the key name of its cosignatures
    PublicKey key{};
};

// Opens (creating when missing) the witness database and loads the witness
// key (a key file or signer configuration).
Result<std::unique_ptr<Witness>> open_witness(const std::string& db_path, const std::string& keyfile);

// Returns the cosignature line "— <name> <base64(key ID || timestamp || signature)>\n"
// over the note's checkpoint text, the timestamp (seconds, 8 bytes big-endian)
// and signed message "cosignature/v1\ntime <timestamp>\n<checkpoint text>" of the
// timestamped cosignature form. The first head of an origin is accepted as it
// is (the proof is not read); a later one needs the consistency proof from the
// held head's size to its own.
Result<std::string> add_tree_head(Witness& witness, std::string_view note, std::string_view public_key,
                                  std::string_view consistency_proof_json);

// The refusals kept as evidence, oldest first, as a JSON array.
Result<std::string> split_views(Witness& witness);

}  // namespace orvane::log
