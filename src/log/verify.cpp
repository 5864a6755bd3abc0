// Verdicts over tree heads, inclusion proofs and consistency proofs.
#include "log/verify.hpp"

#include <cstring>

#include "primitives/digest.hpp"
#include "primitives/hex.hpp"

namespace orvane::log {

namespace {

constexpr std::string_view kEventDigest = "event_digest";

Json verdict(std::string_view schema, bool verified, std::string_view code, std::string message) {
    Json out = Json::object();
    out["schema_version"] = schema;
    out["status"] = verified ? "VERIFIED" : "INVALID";
    out["reason_code"] = code;
    out["message"] = std::move(message);
    return out;
}

std::string_view head_code(NoteCheck check) {
    switch (check) {
        case NoteCheck::Valid: return "TREE_HEAD_VALID";
        case NoteCheck::OriginMismatch: return "ERR_ORIGIN_MISMATCH";
        case NoteCheck::UntrustedSigner: return "ERR_UNTRUSTED_SIGNER";
        case NoteCheck::SignatureInvalid: return "ERR_SIGNATURE_INVALID";
    }
    return "ERR_SIGNATURE_INVALID";
}

// The key's bytes. No separate point check: the signature check itself
// refuses a key that is not a valid Ed25519 point (the verdict then says the
// signature does not verify), and the point check would cost a third of it.
Result<PublicKey> trusted_key(std::string_view public_key) {
    PublicKey key{};
    bool right_size = false;
    if (auto decoded = hex_decode_into(public_key, key, right_size); !decoded)
        return fail("Invalid trusted public key: Invalid public key hex: " + decoded.error());
    if (!right_size) return fail("Invalid trusted public key: Public key must be exactly 32 bytes");
    return key;
}

// `invalid_json` prefixes the parser's message; `not_object` is the whole refusal.
Result<Json> parse_object(std::string_view text, const char* invalid_json, const char* not_object) {
    auto value = parse_json(text);
    if (!value) return fail(invalid_json + value.error());
    if (!value->is_object()) return fail(not_object);
    return std::move(*value);
}

Result<std::vector<Hash>> read_hashes(const Json& proof, const std::string& refused) {
    const Json* hashes = find_member(proof, "hashes");
    if (hashes == nullptr || !hashes->is_array()) return fail(refused + "hashes must be an array");
    std::vector<Hash> out;
    for (const Json& item : *hashes) {
        Hash h{};
        bool right = false;
        if (!item.is_string() || item.get_ref<const std::string&>().size() != 64 ||
            !hex_decode_into(item.get_ref<const std::string&>(), h, right) || !right)
            return fail(refused + "every hash must be 64 hex digits");
        out.push_back(h);
    }
    return out;
}

void add_head_members(Json& out, const TreeNote& note, const NoteVerdict& checked) {
    out["origin"] = note.origin;
    if (checked.origin) out["tenant_id"] = checked.origin->tenant_id;
    out["tree_size"] = note.size;
    out["root_hash"] = hex_encode(note.root);
}

}  // namespace

Result<std::string> verify_tree_head(std::string_view note, std::string_view public_key) {
    auto key = trusted_key(public_key);
    if (!key) return fail(std::move(key.error()));
    auto parsed = parse_tree_note(note);
    if (!parsed) return fail(std::move(parsed.error()));
    const NoteVerdict checked = check_tree_note(*parsed, *key, public_key);
    Json out = verdict("orvane.tree-head-verification.v1", checked.check == NoteCheck::Valid,
                       head_code(checked.check), checked.message);
    if (checked.check == NoteCheck::Valid) add_head_members(out, *parsed, checked);
    else out["origin"] = parsed->origin;
    return canonical_json(out);
}

Result<std::string> verify_inclusion(std::string_view note, std::string_view public_key,
                                     std::string_view event_json, std::string_view proof_json) {
    constexpr std::string_view schema = "orvane.inclusion-verification.v1";
    auto key = trusted_key(public_key);
    if (!key) return fail(std::move(key.error()));
    auto head = parse_tree_note(note);
    if (!head) return fail(std::move(head.error()));
    auto event = parse_object(event_json, "Invalid event JSON: ", "Invalid event: not a JSON object");
    if (!event) return fail(std::move(event.error()));
    auto proof = parse_object(proof_json, "Invalid inclusion proof JSON: ",
                              "Invalid inclusion proof: not a JSON object");
    if (!proof) return fail(std::move(proof.error()));
    const std::string refused = "Invalid inclusion proof: ";
    const auto leaf_index = find_unsigned(*proof, "leaf_index");
    const auto tree_size = find_unsigned(*proof, "tree_size");
    if (!leaf_index || !tree_size) return fail(refused + "leaf_index and tree_size must be unsigned integers");
    auto hashes = read_hashes(*proof, refused);
    if (!hashes) return fail(std::move(hashes.error()));

    const NoteVerdict checked = check_tree_note(*head, *key, public_key);
    if (checked.check != NoteCheck::Valid) {
        Json out = verdict(schema, false, head_code(checked.check), checked.message);
        out["origin"] = head->origin;
        return canonical_json(out);
    }
    auto invalid = [&](std::string_view code, std::string message) {
        Json out = verdict(schema, false, code, std::move(message));
        out["origin"] = head->origin;
        return canonical_json(out);
    };
    const std::string* tenant = find_string(*event, "tenant_id");
    if (tenant == nullptr || *tenant != checked.origin->tenant_id)
        return invalid("ERR_TENANT_MISMATCH", "Event belongs to tenant '" + (tenant ? *tenant : std::string()) +
                                                  "', the tree head to '" + checked.origin->tenant_id + "'");
    const auto sequence = find_unsigned(*event, "sequence_number");
    const std::string at = sequence ? std::to_string(*sequence) : std::string("unknown");
    const std::string* claimed = find_string(*event, kEventDigest);
    const Digest digest = sha256(canonical_json_without(*event, {kEventDigest}));
    if (claimed == nullptr || *claimed != hex_encode(digest))
        return invalid("ERR_EVENT_TAMPERED", "Event payload tampered at sequence " + at);
    if (!sequence || *sequence == 0 || *leaf_index != *sequence - 1)
        return invalid("ERR_LEAF_INDEX_MISMATCH", "Proof is for leaf " + std::to_string(*leaf_index) +
                                                      ", the event at sequence " + at);
    if (*tree_size != head->size)
        return invalid("ERR_TREE_SIZE_MISMATCH", "Proof is for a tree of size " + std::to_string(*tree_size) +
                                                     ", the tree head has size " + std::to_string(head->size));
    if (!log::verify_inclusion(*leaf_index, *tree_size, leaf_hash(digest), *hashes, head->root))
        return invalid("ERR_INCLUSION_PROOF_INVALID", "Inclusion proof does not lead to the tree head's root");
    Json out = verdict(schema, true, "INCLUSION_VALID", "Event is included in the signed tree head");
    add_head_members(out, *head, checked);
    out["sequence_number"] = *sequence;
    out["leaf_index"] = *leaf_index;
    out["event_digest"] = hex_encode(digest);
    return canonical_json(out);
}

Result<ConsistencyProof> read_consistency_proof(std::string_view proof_json) {
    auto proof = parse_object(proof_json, "Invalid consistency proof JSON: ",
                              "Invalid consistency proof: not a JSON object");
    if (!proof) return fail(std::move(proof.error()));
    const std::string refused = "Invalid consistency proof: ";
    ConsistencyProof out;
    const auto old_size = find_unsigned(*proof, "old_size");
    const auto new_size = find_unsigned(*proof, "new_size");
    if (!old_size || !new_size) return fail(refused + "old_size and new_size must be unsigned integers");
    out.old_size = *old_size;
    out.new_size = *new_size;
    auto hashes = read_hashes(*proof, refused);
    if (!hashes) return fail(std::move(hashes.error()));
    out.hashes = std::move(*hashes);
    return out;
}

Json consistency_verdict(const TreeNote& old_head, const TreeNote& new_head, const PublicKey& key,
                         std::string_view key_hex, const ConsistencyProof& proof) {
    constexpr std::string_view schema = "orvane.consistency-verification.v1";
    for (const auto& [which, head] : {std::pair{"Old", &old_head}, std::pair{"New", &new_head}}) {
        const NoteVerdict checked = check_tree_note(*head, key, key_hex);
        if (checked.check != NoteCheck::Valid) {
            Json out = verdict(schema, false, head_code(checked.check),
                               std::string(which) + " tree head: " + checked.message);
            out["origin"] = head->origin;
            return out;
        }
    }
    auto invalid = [&](std::string_view code, std::string message) {
        Json out = verdict(schema, false, code, std::move(message));
        out["origin"] = new_head.origin;
        return out;
    };
    if (old_head.origin != new_head.origin)
        return invalid("ERR_ORIGIN_MISMATCH", "The tree heads belong to different logs");
    if (proof.old_size != old_head.size || proof.new_size != new_head.size)
        return invalid("ERR_TREE_SIZE_MISMATCH", "Proof is for sizes " + std::to_string(proof.old_size) + " and " +
                                                     std::to_string(proof.new_size) + ", the tree heads have " +
                                                     std::to_string(old_head.size) + " and " +
                                                     std::to_string(new_head.size));
    if (new_head.size < old_head.size)
        return invalid("ERR_ROLLBACK_DETECTED", "Tree head of size " + std::to_string(new_head.size) +
                                                    " is smaller than the earlier one of size " +
                                                    std::to_string(old_head.size));
    if (!log::verify_consistency(old_head.size, new_head.size, old_head.root, new_head.root, proof.hashes))
        return invalid("ERR_CONSISTENCY_PROOF_INVALID", "Tree of size " + std::to_string(new_head.size) +
                                                            " does not extend the tree of size " +
                                                            std::to_string(old_head.size));
    const auto origin = parse_origin(new_head.origin);
    Json out = verdict(schema, true, "CONSISTENCY_VALID", "The newer tree head extends the older one");
    out["origin"] = new_head.origin;
    if (origin) out["tenant_id"] = origin->tenant_id;
    out["old_size"] = old_head.size;
    out["new_size"] = new_head.size;
    out["old_root_hash"] = hex_encode(old_head.root);
    out["new_root_hash"] = hex_encode(new_head.root);
    return out;
}

Result<std::string> verify_consistency(std::string_view old_note, std::string_view new_note,
                                       std::string_view public_key, std::string_view proof_json) {
    auto key = trusted_key(public_key);
    if (!key) return fail(std::move(key.error()));
    auto old_head = parse_tree_note(old_note);
    if (!old_head) return fail("Old tree head: " + old_head.error());
    auto new_head = parse_tree_note(new_note);
    if (!new_head) return fail("New tree head: " + new_head.error());
    auto proof = read_consistency_proof(proof_json);
    if (!proof) return fail(std::move(proof.error()));
    return canonical_json(consistency_verdict(*old_head, *new_head, *key, public_key, *proof));
}

}  // namespace orvane::log
