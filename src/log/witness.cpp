// The witness store and its cosignatures.
#include "log/witness.hpp"

#include <cstring>
#include <limits>
#include <tuple>

#include "log/note.hpp"
#include "log/verify.hpp"
#include "primitives/base64.hpp"
#include "primitives/clock.hpp"
#include "primitives/hex.hpp"
#include "primitives/json.hpp"

namespace orvane::log {

namespace {

constexpr const char* kWitnessSchema =
    "CREATE TABLE IF NOT EXISTS witness_heads (\n"
    "            origin TEXT PRIMARY KEY,\n"
    "            public_key TEXT NOT NULL,\n"
    "            tree_size INTEGER NOT NULL,\n"
    "            root_hash TEXT NOT NULL,\n"
    "            note TEXT NOT NULL,\n"
    "            accepted_at INTEGER NOT NULL,\n"
    "            cosignature TEXT NOT NULL DEFAULT ''\n"
    "        );\n"
    "        CREATE TABLE IF NOT EXISTS witness_split_views (\n"
    "            id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "            origin TEXT NOT NULL,\n"
    "            public_key TEXT NOT NULL,\n"
    "            held_note TEXT NOT NULL,\n"
    "            offered_note TEXT NOT NULL,\n"
    "            proof_json TEXT NOT NULL,\n"
    "            reason_code TEXT NOT NULL,\n"
    "            refused_at INTEGER NOT NULL,\n"
    "            witness_signature TEXT NOT NULL DEFAULT ''\n"
    "        );\n";

// Files written before held heads carried the witness's own cosignature get
// the column; their held heads are then refused (nothing vouches for them).
// The same for split views, which the witness signs as it records them.
constexpr std::string_view kHasColumn = "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2";
constexpr const char* kAddCosignature =
    "ALTER TABLE witness_heads ADD COLUMN cosignature TEXT NOT NULL DEFAULT ''";
constexpr const char* kAddSplitViewSignature =
    "ALTER TABLE witness_split_views ADD COLUMN witness_signature TEXT NOT NULL DEFAULT ''";
constexpr std::string_view kHeldHead = "SELECT note, cosignature FROM witness_heads WHERE origin = ?1";
constexpr std::string_view kStoreHead =
    "INSERT INTO witness_heads (origin, public_key, tree_size, root_hash, note, accepted_at, cosignature) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (origin) DO UPDATE SET public_key = excluded.public_key, "
    "tree_size = excluded.tree_size, root_hash = excluded.root_hash, note = excluded.note, "
    "accepted_at = excluded.accepted_at, cosignature = excluded.cosignature";
constexpr std::string_view kStoreSplitView =
    "INSERT INTO witness_split_views (origin, public_key, held_note, offered_note, proof_json, reason_code, "
    "refused_at, witness_signature) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr std::string_view kSplitViews =
    "SELECT origin, public_key, held_note, offered_note, proof_json, reason_code, refused_at, witness_signature, id "
    "FROM witness_split_views ORDER BY id ASC";
constexpr std::string_view kSplitViewSchema = "orvane.witness-split-view.v1";

// The record of one refusal as split_views() lists it; the witness signs its
// canonical form with the schema version added.
Json split_view_item(std::string_view origin, std::string_view public_key, std::string_view held_note,
                     std::string_view offered_note, std::string_view proof_json, std::string_view reason_code,
                     std::uint64_t refused_at) {
    Json item = Json::object();
    item["origin"] = origin;
    item["public_key"] = public_key;
    item["held_note"] = held_note;
    item["offered_note"] = offered_note;
    item["proof_json"] = proof_json;
    item["reason_code"] = reason_code;
    item["refused_at"] = refused_at;
    return item;
}

std::string split_view_signed_bytes(Json item) {
    item["schema_version"] = kSplitViewSchema;
    return canonical_json(item);
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

Result<std::string> cosign(const Witness& witness, const TreeNote& note, std::uint64_t seconds) {
    const std::string message = "cosignature/v1\ntime " + std::to_string(seconds) + "\n" + note.text;
    auto signature_hex = witness.signer->sign({reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
    if (!signature_hex) return fail(std::move(signature_hex.error()));
    Signature signature{};
    bool right = false;
    if (!hex_decode_into(*signature_hex, signature, right) || !right)
        return fail("Failed to cosign tree head: the signer returned a malformed signature");
    std::vector<std::uint8_t> body;
    for (int shift = 56; shift >= 0; shift -= 8) body.push_back(static_cast<std::uint8_t>(seconds >> shift));
    body.insert(body.end(), signature.begin(), signature.end());
    return signature_line(witness.name, key_id(witness.name, witness.key, 0x04), body);
}

// Whether `line` is this witness's cosignature of `note`: the held head is
// trusted only when the witness itself signed it, so that a writer of the file
// cannot swap in another head the log signed (one the witness never accepted).
bool cosigned_by(const Witness& witness, const TreeNote& note, std::string_view line) {
    constexpr std::string_view dash = "\u2014 ";
    if (!line.starts_with(dash) || !line.ends_with('\n')) return false;
    line.remove_prefix(dash.size());
    line.remove_suffix(1);
    if (!line.starts_with(witness.name) || line.size() <= witness.name.size() || line[witness.name.size()] != ' ')
        return false;
    auto blob = base64_decode(line.substr(witness.name.size() + 1));
    Signature signature{};
    if (!blob || blob->size() != 4 + 8 + signature.size()) return false;
    const KeyId id = key_id(witness.name, witness.key, 0x04);
    if (std::memcmp(blob->data(), id.data(), id.size()) != 0) return false;
    std::uint64_t seconds = 0;
    for (int i = 4; i < 12; ++i) seconds = (seconds << 8) | (*blob)[i];
    std::memcpy(signature.data(), blob->data() + 12, signature.size());
    const std::string message = "cosignature/v1\ntime " + std::to_string(seconds) + "\n" + note.text;
    return verify_raw(witness.key, {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()},
                      signature);
}

Status store_split_view(Witness& witness, const TreeNote& offered, std::string_view public_key,
                        std::string_view held_note, std::string_view offered_note, std::string_view proof_json,
                        std::string_view reason_code, std::uint64_t now) {
    static const std::string prefix = "Failed to record split view: ";
    const std::string signed_bytes = split_view_signed_bytes(
        split_view_item(offered.origin, public_key, held_note, offered_note, proof_json, reason_code, now));
    auto signature = witness.signer->sign(
        {reinterpret_cast<const std::uint8_t*>(signed_bytes.data()), signed_bytes.size()});
    if (!signature) return fail(prefix + signature.error());
    auto stmt = storage::Statement::prepare(witness.db, kStoreSplitView);
    if (!stmt) return fail(prefix + stmt.error());
    Status bound = stmt->bind_text(1, offered.origin);
    if (bound) bound = stmt->bind_text(2, public_key);
    if (bound) bound = stmt->bind_text(3, held_note);
    if (bound) bound = stmt->bind_text(4, offered_note);
    if (bound) bound = stmt->bind_text(5, proof_json);
    if (bound) bound = stmt->bind_text(6, reason_code);
    if (bound) bound = stmt->bind_uint64(7, now);
    if (bound) bound = stmt->bind_text(8, *signature);
    if (!bound) return fail(prefix + bound.error());
    if (auto done = stmt->run(); !done) return fail(prefix + done.error());
    return {};
}

}  // namespace

Result<std::unique_ptr<Witness>> open_witness(const std::string& db_path, const std::string& keyfile) {
    auto db = storage::Connection::open_read_write(db_path);
    if (!db) return fail("Failed to open SQLite database '" + db_path + "': " + db.error());
    ORVANE_TRY(db->exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA busy_timeout = 5000;"));
    // One transaction: two processes opening an older file add its columns once.
    auto tx = storage::Transaction::begin(*db);
    if (!tx) return fail("Failed to initialize witness schema: " + tx.error());
    if (auto done = db->exec(kWitnessSchema); !done)
        return fail("Failed to initialize witness schema: " + done.error());
    for (const auto& [table, column, add] : {std::tuple{"witness_heads", "cosignature", kAddCosignature},
                                             std::tuple{"witness_split_views", "witness_signature",
                                                        kAddSplitViewSignature}}) {
        auto stmt = storage::Statement::prepare(*db, kHasColumn);
        if (!stmt) return fail("Failed to initialize witness schema: " + stmt.error());
        Status bound = stmt->bind_text(1, table);
        if (bound) bound = stmt->bind_text(2, column);
        if (!bound) return fail("Failed to initialize witness schema: " + bound.error());
        auto row = stmt->step();
        if (!row) return fail("Failed to initialize witness schema: " + row.error());
        const bool has_column = *row;
        stmt = storage::Statement();
        if (!has_column) {
            if (auto done = db->exec(add); !done) return fail("Failed to initialize witness schema: " + done.error());
        }
    }
    if (auto done = tx->commit(); !done) return fail("Failed to initialize witness schema: " + done.error());
    auto signer = load_signer(keyfile);
    if (!signer) return fail(std::move(signer.error()));
    auto key = parse_public_key((*signer)->identity().public_key);
    if (!key) return fail(std::move(key.error()));
    auto witness = std::make_unique<Witness>();
    witness->db = std::move(*db);
    witness->signer = std::move(*signer);
    witness->key = *key;
    witness->name = "orvane-ddb/witness/" + lower(witness->signer->identity().public_key);
    return witness;
}

Result<std::string> add_tree_head(Witness& witness, std::string_view note_text, std::string_view public_key,
                                  std::string_view consistency_proof_json) {
    auto key = parse_public_key(public_key);
    if (!key) return fail("Invalid trusted public key: " + key.error());
    auto note = parse_tree_note(note_text);
    if (!note) return fail(std::move(note.error()));
    const NoteVerdict checked = check_tree_note(*note, *key, public_key);
    if (checked.check != NoteCheck::Valid)
        return fail("ORVANE_WITNESS_HEAD_INVALID: " + checked.message);
    // Sizes are kept in an SQLite integer column, which ends at INT64_MAX.
    if (note->size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail("ORVANE_WITNESS_HEAD_INVALID: tree size " + std::to_string(note->size) +
                    " is larger than a witness can hold");
    auto now = now_micros();
    if (!now) return fail(std::move(now.error()));
    const std::uint64_t seconds = *now / 1000000;

    auto tx = storage::Transaction::begin(witness.db);
    if (!tx) return fail("Failed to begin witness transaction: " + tx.error());
    std::optional<std::string> held_text;
    std::string held_cosignature;
    {
        static const std::string prefix = "Failed to read held tree head: ";
        auto stmt = storage::Statement::prepare(witness.db, kHeldHead);
        if (!stmt) return fail(prefix + stmt.error());
        if (auto bound = stmt->bind_text(1, note->origin); !bound) return fail(prefix + bound.error());
        auto row = stmt->step();
        if (!row) return fail(prefix + row.error());
        if (*row) {
            held_text = std::string(stmt->column_text(0));
            held_cosignature = std::string(stmt->column_text(1));
        }
    }
    bool store = true;
    if (held_text) {
        // The held head was checked when it was accepted; it is checked again,
        // since the file it sits in may have been edited since: it must be a
        // head of this origin, signed by the log's key and cosigned by this
        // witness.
        auto held = parse_tree_note(*held_text);
        if (!held || held->origin != note->origin ||
            check_tree_note(*held, *key, public_key).check != NoteCheck::Valid ||
            !cosigned_by(witness, *held, held_cosignature))
            return fail("ORVANE_WITNESS_STORE_INVALID: the held tree head of origin '" + note->origin +
                        "' is not one this witness accepted under the given key");
        auto proof = read_consistency_proof(consistency_proof_json);
        if (!proof) return fail(std::move(proof.error()));
        const Json verdict = consistency_verdict(*held, *note, *key, public_key, *proof);
        const std::string& code = verdict["reason_code"].get_ref<const std::string&>();
        if (code == "ERR_TREE_SIZE_MISMATCH")
            return fail("ORVANE_WITNESS_PROOF_MISMATCH: the proof is for sizes " + std::to_string(proof->old_size) +
                        " and " + std::to_string(proof->new_size) + ", the held head has size " +
                        std::to_string(held->size) + " and the new one " + std::to_string(note->size));
        if (verdict["status"] != "VERIFIED") {
            ORVANE_TRY(store_split_view(witness, *note, public_key, *held_text, note_text, consistency_proof_json,
                                        code, *now));
            if (auto done = tx->commit(); !done) return fail("Failed to record split view: " + done.error());
            return fail("ORVANE_WITNESS_SPLIT_VIEW: the tree head of size " + std::to_string(note->size) +
                        " of origin '" + note->origin + "' does not extend the held head of size " +
                        std::to_string(held->size) + " (" + code + ")");
        }
        store = note->size > held->size;
    }
    auto line = cosign(witness, *note, seconds);
    if (!line) return fail(std::move(line.error()));
    if (store) {
        static const std::string prefix = "Failed to store tree head: ";
        auto stmt = storage::Statement::prepare(witness.db, kStoreHead);
        if (!stmt) return fail(prefix + stmt.error());
        Status bound = stmt->bind_text(1, note->origin);
        if (bound) bound = stmt->bind_text(2, lower(public_key));
        if (bound) bound = stmt->bind_uint64(3, note->size);
        if (bound) bound = stmt->bind_text(4, hex_encode(note->root));
        if (bound) bound = stmt->bind_text(5, note_text);
        if (bound) bound = stmt->bind_uint64(6, *now);
        if (bound) bound = stmt->bind_text(7, *line);
        if (!bound) return fail(prefix + bound.error());
        if (auto done = stmt->run(); !done) return fail(prefix + done.error());
    }
    if (auto done = tx->commit(); !done) return fail("Failed to store tree head: " + done.error());
    return line;
}

Result<std::string> split_views(Witness& witness) {
    static const std::string prefix = "Failed to read split views: ";
    auto stmt = storage::Statement::prepare(witness.db, kSplitViews);
    if (!stmt) return fail(prefix + stmt.error());
    Json out = Json::array();
    for (;;) {
        auto row = stmt->step();
        if (!row) return fail(prefix + row.error());
        if (!*row) break;
        std::string_view texts[8];
        for (int i = 0; i < 8; ++i) {
            if (i == 6) continue;
            auto text = stmt->column_text_checked(i);
            if (!text) return fail(prefix + text.error());
            texts[i] = *text;
        }
        auto at = stmt->column_unsigned(6);
        if (!at) return fail(prefix + at.error());
        Json item = split_view_item(texts[0], texts[1], texts[2], texts[3], texts[4], texts[5], *at);
        // A record is evidence only as the witness signed it: an edited or
        // inserted row is refused, not listed.
        const std::string signed_bytes = split_view_signed_bytes(item);
        if (!verify_signature(hex_encode(witness.key),
                              {reinterpret_cast<const std::uint8_t*>(signed_bytes.data()), signed_bytes.size()},
                              texts[7]))
            return fail("ORVANE_WITNESS_STORE_INVALID: split view " + std::to_string(stmt->column_int64(8)) +
                        " is not one this witness recorded");
        out.push_back(std::move(item));
    }
    return canonical_json(out);
}

}  // namespace orvane::log
