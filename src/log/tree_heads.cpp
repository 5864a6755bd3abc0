// Creating signed tree heads and reading proofs out of the stored trees.
#include "log/tree_heads.hpp"

#include <cstring>
#include <limits>
#include <map>

#include "log/note.hpp"
#include "log/tree_store.hpp"
#include "primitives/clock.hpp"
#include "primitives/hex.hpp"

namespace orvane::log {

namespace {

constexpr std::string_view kLatestHead =
    "SELECT head_sequence, note FROM tree_heads WHERE tenant_id = ?1 ORDER BY head_sequence DESC LIMIT 1";
constexpr std::string_view kInsertHead =
    "INSERT INTO tree_heads (tenant_id, head_sequence, tree_size, root_hash, created_at, note) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";

std::string quoted(std::string_view tenant_id) {
    std::string out;
    out.reserve(tenant_id.size() + 2);
    out.push_back('\'');
    out.append(tenant_id);
    out.push_back('\'');
    return out;
}

Json hex_list(const std::vector<Hash>& hashes) {
    Json out = Json::array();
    for (const Hash& h : hashes) out.push_back(hex_encode(h));
    return out;
}

// A read that sees one state of the file: its own transaction unless the
// caller holds one.
class ReadScope {
public:
    static Result<ReadScope> open(storage::Connection& db) {
        if (db.in_transaction()) return ReadScope(std::nullopt);
        auto tx = storage::Transaction::begin(db, "BEGIN");
        if (!tx) return fail("Failed to begin tree read: " + tx.error());
        return ReadScope(std::move(*tx));
    }
    Status close() {
        if (!tx_) return {};
        if (auto done = tx_->commit(); !done) return fail("Failed to end tree read: " + done.error());
        return {};
    }

private:
    explicit ReadScope(std::optional<storage::Transaction> tx) : tx_(std::move(tx)) {}
    std::optional<storage::Transaction> tx_;
};

Status check_proof_size(storage::Connection& db, std::string_view tenant_id, std::uint64_t tree_size) {
    auto size = stored_tree_size(db, tenant_id);
    if (!size) return fail(std::move(size.error()));
    if (tree_size > *size)
        return fail("ORVANE_PROOF_OUT_OF_RANGE: the tree of tenant " + quoted(tenant_id) + " has " +
                    std::to_string(*size) + " leaves, not " + std::to_string(tree_size));
    return {};
}

}  // namespace

Result<std::optional<StoredHead>> latest_tree_head(storage::Connection& db, std::string_view tenant_id,
                                                   std::string_view gate_public_key) {
    static const std::string prefix = "Failed to query latest tree head: ";
    auto stmt = storage::Statement::prepare(db, kLatestHead);
    if (!stmt) return fail(prefix + stmt.error());
    if (auto bound = stmt->bind_text(1, tenant_id); !bound) return fail(prefix + bound.error());
    auto row = stmt->step();
    if (!row) return fail(prefix + row.error());
    if (!*row) return std::optional<StoredHead>();
    const std::string refused = "ORVANE_TREE_HEAD_INVALID: the latest stored tree head of tenant " +
                                quoted(tenant_id) + " does not verify under the gate key";
    auto sequence = stmt->column_unsigned(0);
    auto key = parse_public_key(gate_public_key);
    if (!sequence || !key) return fail(refused);
    auto note = parse_tree_note(stmt->column_text(1));
    if (!note) return fail(refused);
    // The signed note decides, and it must be the note of this gate and tenant.
    const NoteVerdict verdict = check_tree_note(*note, *key, gate_public_key);
    if (verdict.check != NoteCheck::Valid || note->origin != log_origin(gate_public_key, tenant_id))
        return fail(refused);
    // Only the note as the gate writes it, with its one signature line: the
    // stored text is handed out as the gate's head, so lines added to it
    // (a cosignature no witness made) must not ride along.
    const std::string_view stored = stmt->column_text(1);
    if (note->signatures.size() != 1 ||
        stored != checkpoint_text(note->origin, note->size, note->root) + "\n" +
                      signature_line(note->origin, key_id(note->origin, *key),
                                     std::span<const std::uint8_t>(note->signatures[0].blob).subspan(4)))
        return fail(refused);
    StoredHead head;
    head.head_sequence = *sequence;
    head.tree_size = note->size;
    head.root = note->root;
    head.note = std::string(stmt->column_text(1));
    return std::optional<StoredHead>(std::move(head));
}

Result<std::string> create_tree_head(Gate& gate, std::string_view tenant_id) {
    auto signer = gate_signer(gate);
    if (!signer) return fail(std::move(signer.error()));
    auto created_at = now_micros();
    if (!created_at) return fail(std::move(created_at.error()));
    // The stored head is verified again on every call: the answer is kept.
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));
    const std::string& gate_key = (*signer)->identity().public_key;
    auto key = parse_public_key(gate_key);
    if (!key) return fail("Failed to create tree head: " + key.error());

    auto tx = storage::Transaction::begin(gate.db);
    if (!tx) return fail("Failed to begin tree head transaction: " + tx.error());
    auto tip = stream_tip(gate.db, tenant_id);
    if (!tip) return fail(std::move(tip.error()));
    if (tip->sequence == 0)
        return fail("Cannot create tree head: No events recorded for tenant " + quoted(tenant_id));
    // Events a tree does not hold yet (a database written before trees were
    // kept, appended by an older build) are taken in first.
    ORVANE_TRY(catch_up(gate.db, tenant_id, tip->sequence));
    auto size = stored_tree_size(gate.db, tenant_id);
    if (!size) return fail(std::move(size.error()));
    // The root and the proof against the latest head read many of the same
    // nodes: each is read once.
    std::map<std::pair<unsigned, std::uint64_t>, Hash> seen;
    const SubtreeReader read = [stored = stored_subtrees(gate.db, tenant_id), &seen](
                                   unsigned level, std::uint64_t index) -> Result<Hash> {
        if (auto found = seen.find({level, index}); found != seen.end()) return found->second;
        auto hash = stored(level, index);
        if (hash) seen.emplace(std::pair{level, index}, *hash);
        return hash;
    };

    // The tree must end with the stream's last event...
    const std::string mismatch = "ORVANE_TREE_STREAM_MISMATCH: the stored tree of tenant " + quoted(tenant_id) +
                                 " does not match its event stream";
    if (*size != tip->sequence) return fail(mismatch);
    auto last = read(0, *size - 1);
    if (!last) return fail(std::move(last.error()));
    Hash digest{};
    bool right = false;
    if (!hex_decode_into(tip->event_digest, digest, right) || !right || leaf_hash(digest) != *last)
        return fail(mismatch);
    auto root = range_root(0, *size, read);
    if (!root) return fail(std::move(root.error()));

    // ...and extend what the gate signed before.
    auto latest = latest_tree_head(gate.db, tenant_id, gate_key);
    if (!latest) return fail(std::move(latest.error()));
    std::uint64_t next_sequence = 1;
    if (*latest) {
        const StoredHead& old = **latest;
        const std::string inconsistent = "ORVANE_TREE_HEAD_INCONSISTENT: the stored tree of tenant " +
                                         quoted(tenant_id) + " does not extend its latest tree head " +
                                         std::to_string(old.head_sequence);
        if (old.tree_size > *size) return fail(inconsistent);
        auto proof = consistency_proof(old.tree_size, *size, read);
        if (!proof) return fail(std::move(proof.error()));
        if (!verify_consistency(old.tree_size, *size, old.root, *root, *proof)) return fail(inconsistent);
        // The same tree again: the stored head already says it.
        if (old.tree_size == *size) return old.note;
        if (old.head_sequence >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return fail("Failed to record tree head: head sequence cannot be followed");
        next_sequence = old.head_sequence + 1;
    }

    const std::string origin = log_origin(gate_key, tenant_id);
    const std::string text = checkpoint_text(origin, *size, *root);
    auto signature_hex =
        (*signer)->sign({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    if (!signature_hex) return fail(std::move(signature_hex.error()));
    Signature signature{};
    if (!hex_decode_into(*signature_hex, signature, right) || !right)
        return fail("Failed to create tree head: the signer returned a malformed signature");
    const std::string note = text + "\n" + signature_line(origin, key_id(origin, *key), signature);

    static const std::string prefix = "Failed to record tree head: ";
    auto stmt = storage::Statement::prepare(gate.db, kInsertHead);
    if (!stmt) return fail(prefix + stmt.error());
    Status bound = stmt->bind_text(1, tenant_id);
    if (bound) bound = stmt->bind_uint64(2, next_sequence);
    if (bound) bound = stmt->bind_uint64(3, *size);
    if (bound) bound = stmt->bind_text(4, hex_encode(*root));
    if (bound) bound = stmt->bind_uint64(5, *created_at);
    if (bound) bound = stmt->bind_text(6, note);
    if (!bound) return fail(prefix + bound.error());
    if (auto inserted = stmt->run(); !inserted) return fail(prefix + inserted.error());
    stmt = storage::Statement();
    if (auto committed = tx->commit(); !committed) return fail(prefix + committed.error());
    return note;
}

Result<Json> inclusion_proof_document(storage::Connection& db, std::string_view tenant_id,
                                      std::uint64_t sequence_number, std::uint64_t tree_size) {
    if (sequence_number == 0 || sequence_number > tree_size)
        return fail("ORVANE_PROOF_OUT_OF_RANGE: sequence number " + std::to_string(sequence_number) +
                    " is not in a tree of size " + std::to_string(tree_size));
    ORVANE_TRY(check_proof_size(db, tenant_id, tree_size));
    auto proof = inclusion_proof(sequence_number - 1, tree_size, stored_subtrees(db, tenant_id));
    if (!proof) return fail(std::move(proof.error()));
    Json doc = Json::object();
    doc["schema_version"] = "orvane.inclusion-proof.v1";
    doc["tenant_id"] = tenant_id;
    doc["sequence_number"] = sequence_number;
    doc["leaf_index"] = sequence_number - 1;
    doc["tree_size"] = tree_size;
    doc["hashes"] = hex_list(*proof);
    return doc;
}

Result<Json> consistency_proof_document(storage::Connection& db, std::string_view tenant_id,
                                        std::uint64_t old_size, std::uint64_t new_size) {
    if (old_size == 0 || old_size > new_size)
        return fail("ORVANE_PROOF_OUT_OF_RANGE: old size " + std::to_string(old_size) +
                    " must be between 1 and the new size " + std::to_string(new_size));
    ORVANE_TRY(check_proof_size(db, tenant_id, new_size));
    auto proof = consistency_proof(old_size, new_size, stored_subtrees(db, tenant_id));
    if (!proof) return fail(std::move(proof.error()));
    Json doc = Json::object();
    doc["schema_version"] = "orvane.consistency-proof.v1";
    doc["tenant_id"] = tenant_id;
    doc["old_size"] = old_size;
    doc["new_size"] = new_size;
    doc["hashes"] = hex_list(*proof);
    return doc;
}

Result<std::string> prove_inclusion(Gate& gate, std::string_view tenant_id, std::uint64_t sequence_number,
                                    std::uint64_t tree_size) {
    auto scope = ReadScope::open(gate.db);
    if (!scope) return fail(std::move(scope.error()));
    auto doc = inclusion_proof_document(gate.db, tenant_id, sequence_number, tree_size);
    if (!doc) return fail(std::move(doc.error()));
    ORVANE_TRY(scope->close());
    return canonical_json(*doc);
}

Result<std::string> prove_consistency(Gate& gate, std::string_view tenant_id, std::uint64_t old_size,
                                      std::uint64_t new_size) {
    auto scope = ReadScope::open(gate.db);
    if (!scope) return fail(std::move(scope.error()));
    auto doc = consistency_proof_document(gate.db, tenant_id, old_size, new_size);
    if (!doc) return fail(std::move(doc.error()));
    ORVANE_TRY(scope->close());
    return canonical_json(*doc);
}

Result<std::optional<HeadWithInclusion>> latest_head_with_inclusion(storage::Connection& db,
                                                                    std::string_view tenant_id,
                                                                    std::uint64_t sequence_number,
                                                                    std::string_view gate_public_key) {
    auto scope = ReadScope::open(db);
    if (!scope) return fail(std::move(scope.error()));
    auto head = latest_tree_head(db, tenant_id, gate_public_key);
    if (!head) return fail(std::move(head.error()));
    if (!*head || sequence_number == 0 || sequence_number > (*head)->tree_size) {
        ORVANE_TRY(scope->close());
        return std::optional<HeadWithInclusion>();
    }
    auto proof = inclusion_proof_document(db, tenant_id, sequence_number, (*head)->tree_size);
    if (!proof) return fail(std::move(proof.error()));
    ORVANE_TRY(scope->close());
    return std::optional<HeadWithInclusion>(HeadWithInclusion{std::move(**head), std::move(*proof)});
}

}  // namespace orvane::log
