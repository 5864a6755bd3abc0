// Stream events, inclusion proofs and tree heads of an evidence file.
#include "evidence/evidence_log.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "evidence/evidence_format.hpp"
#include "evidence/evidence_verify.hpp"
#include "log/merkle.hpp"
#include "log/note.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/json_access.hpp"
#include "primitives/keys.hpp"

namespace orvane::evidence {
namespace {

using Codes = std::vector<std::string>;

// The first log of each tenant, in file order.
std::vector<std::pair<std::string, const Json*>> first_logs(const Json& evidence) {
    std::vector<std::pair<std::string, const Json*>> logs;
    for (const Json& log : evidence["logs"]) {
        const std::string& tenant = log["tenant_id"].get_ref<const std::string&>();
        if (std::none_of(logs.begin(), logs.end(), [&](const auto& l) { return l.first == tenant; }))
            logs.emplace_back(tenant, &log);
    }
    return logs;
}

const Json* log_of(const std::vector<std::pair<std::string, const Json*>>& logs, std::string_view tenant) {
    for (const auto& [name, log] : logs)
        if (name == tenant) return log;
    return nullptr;
}

std::optional<log::Hash> hash_from_hex(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    auto bytes = hex_decode(value.get_ref<const std::string&>());
    if (!bytes || bytes->size() != 32) return std::nullopt;
    log::Hash hash{};
    std::memcpy(hash.data(), bytes->data(), hash.size());
    return hash;
}

// The log's head as a parsed note, when there is one that parses.
std::optional<log::TreeNote> head_of(const Json& log) {
    const std::string* note = find_string(log, "tree_head");
    if (note == nullptr) return std::nullopt;
    auto parsed = log::parse_tree_note(*note);
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
}

// Whether the entry's event sits in the tree the head signs: the proof is for
// the event's leaf and the head's size, and its path leads to the head's root.
bool included(const Json& entry, std::string_view tenant_id, const std::optional<log::TreeNote>& head) {
    const Json& event = entry["event"];
    const Json* proof = find_member(entry, "inclusion_proof");
    const Json* sequence = find_member(event, "sequence_number");
    const Json* digest = find_member(event, "event_digest");
    if (!head || proof == nullptr || !is_unsigned_integer(sequence) || digest == nullptr) return false;
    const std::uint64_t seq = sequence->get<std::uint64_t>();
    auto leaf = hash_from_hex(*digest);
    if (seq < 1 || !leaf) return false;
    // The proof names the leaf it is about as the gate writes it.
    const std::string* schema = find_string(*proof, "schema_version");
    const std::string* tenant = find_string(*proof, "tenant_id");
    const Json* proof_sequence = find_member(*proof, "sequence_number");
    if (!schema || *schema != kInclusionProofSchema || !tenant || *tenant != tenant_id ||
        !is_unsigned_integer(proof_sequence) || proof_sequence->get<std::uint64_t>() != seq)
        return false;
    const Json* index = find_member(*proof, "leaf_index");
    const Json* size = find_member(*proof, "tree_size");
    if (!is_unsigned_integer(index) || index->get<std::uint64_t>() != seq - 1) return false;
    if (!is_unsigned_integer(size) || size->get<std::uint64_t>() != head->size) return false;
    const Json* hashes = find_member(*proof, "hashes");
    if (hashes == nullptr || !hashes->is_array()) return false;
    std::vector<log::Hash> path;
    path.reserve(hashes->size());
    for (const Json& item : *hashes) {
        auto hash = hash_from_hex(item);
        if (!hash) return false;
        path.push_back(*hash);
    }
    return log::verify_inclusion(seq - 1, head->size, log::leaf_hash(*leaf), path, head->root);
}

// A signature line named by the origin, with the trusted key's ID, whose
// Ed25519 signature verifies over the note's text.
bool signed_by(const log::TreeNote& note, const PublicKey& key) {
    const log::KeyId id = log::key_id(note.origin, key);
    const std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(note.text.data()),
                                             note.text.size());
    for (const log::NoteSignature& line : note.signatures) {
        Signature signature{};
        if (line.name != note.origin || line.blob.size() != id.size() + signature.size() ||
            std::memcmp(line.blob.data(), id.data(), id.size()) != 0)
            continue;
        std::memcpy(signature.data(), line.blob.data() + id.size(), signature.size());
        if (verify_raw(key, text, signature)) return true;
    }
    return false;
}

}  // namespace

Codes log_inclusion_codes(const Json& evidence) {
    Codes codes;
    const auto logs = first_logs(evidence);
    for (const Announcement& wanted : announcements(evidence)) {
        const Json* log = log_of(logs, wanted.tenant);
        const Json* entry = nullptr;
        if (log != nullptr) {
            for (const Json& candidate : (*log)["entries"]) {
                const Json& event = candidate["event"];
                const std::string* type = find_string(event, "event_type");
                const std::string* id = find_string(event, "event_id");
                if (type && id && *type == wanted.type && *id == wanted.event_id) {
                    entry = &candidate;
                    break;
                }
            }
        }
        const std::string type(wanted.type);
        if (entry == nullptr) {
            codes.push_back("LOG_ENTRY_MISSING: " + type);
            continue;
        }
        const Json& event = (*entry)["event"];
        const std::string* schema = find_string(event, "schema_version");
        const std::string* tenant = find_string(event, "tenant_id");
        const std::string* digest = find_string(event, "event_digest");
        if (!schema || *schema != kStreamEventSchema || !tenant || *tenant != wanted.tenant || !digest ||
            sha256_hex(canonical_json_without(event, {"event_digest"})) != *digest) {
            codes.push_back("LOG_EVENT_INVALID: " + type);
            continue;
        }
        if (members::string_or_empty(event, "payload_hash") != sha256_hex(canonical_json(*wanted.document))) {
            codes.push_back("LOG_PAYLOAD_MISMATCH: " + type);
        }
        if (!included(*entry, wanted.tenant, head_of(*log))) codes.push_back("LOG_INCLUSION_INVALID: " + type);
    }
    return codes;
}

Codes tree_head_codes(const Json& evidence, std::string_view trusted_key) {
    const auto logs = first_logs(evidence);
    if (logs.empty()) return {"TREE_HEAD_MISSING"};
    auto key = parse_public_key(trusted_key);
    Codes codes;
    for (const auto& [tenant, log] : logs) {
        const std::string* note = find_string(*log, "tree_head");
        if (note == nullptr) {
            codes.push_back("TREE_HEAD_MISSING: " + tenant);
            continue;
        }
        auto parsed = log::parse_tree_note(*note);
        if (!parsed) {
            codes.push_back("TREE_HEAD_MALFORMED: " + tenant);
        } else if (!key || !signed_by(*parsed, *key)) {
            codes.push_back("TREE_HEAD_SIGNATURE_INVALID: " + tenant);
        } else if (parsed->origin != log::log_origin(trusted_key, tenant)) {
            codes.push_back("TREE_HEAD_ORIGIN_MISMATCH: " + tenant);
        }
    }
    return codes;
}

}  // namespace orvane::evidence
