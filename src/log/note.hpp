// Signed tree heads as signed notes: the checkpoint text (origin, tree size,
// base64 root), a blank line and signature lines "— <key name> <base64(key ID
// || signature)>". Ed25519 key IDs are the first four bytes of
// SHA-256(name || "\n" || 0x01 || public key). The origin of a gate's log of
// one tenant names both, and is also the key name:
// "orvane-ddb/gate/<gate key hex>/tenant/<percent-encoded tenant>".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "log/merkle.hpp"
#include "primitives/keys.hpp"

namespace orvane::log {

using KeyId = std::array<std::uint8_t, 4>;

// The tenant's UTF-8 bytes are kept as they are when in A-Z a-z 0-9 - . _ ~,
// every other byte is written %XX (upper-case hex).
std::string log_origin(std::string_view gate_key_hex, std::string_view tenant_id);

struct OriginParts {
    std::string gate_key;   // lower-case hex, as the origin writes it
    std::string tenant_id;  // decoded
};
// Reads an origin written by log_origin; none for any other text (also for a
// text that log_origin would have written differently).
std::optional<OriginParts> parse_origin(std::string_view origin);

// The key ID of an Ed25519 key under `name`; `type` is 0x01 for note
// signatures and 0x04 for timestamped cosignatures.
KeyId key_id(std::string_view name, const PublicKey& key, std::uint8_t type = 0x01);

// "<origin>\n<size>\n<base64 root>\n": the bytes a tree head signs.
std::string checkpoint_text(std::string_view origin, std::uint64_t size, const Hash& root);

// "— <name> <base64(key ID || signature)>\n".
std::string signature_line(std::string_view name, const KeyId& id, std::span<const std::uint8_t> signature);

// The verifier key text of Go's note package: "<name>+<key ID hex>+<base64(0x01 || key)>".
std::string verifier_key(std::string_view name, const PublicKey& key);

struct NoteSignature {
    std::string name;
    std::vector<std::uint8_t> blob;  // key ID, then the signature (and whatever a cosigner puts first)
};

struct TreeNote {
    std::string text;    // the signed part, through the line break after the last text line
    std::string origin;
    std::uint64_t size = 0;
    Hash root{};
    std::vector<NoteSignature> signatures;
};

// Parses a note holding a tree head; fails with "Invalid tree head note: <why>".
Result<TreeNote> parse_tree_note(std::string_view note);

enum class NoteCheck { Valid, OriginMismatch, UntrustedSigner, SignatureInvalid };

struct NoteVerdict {
    NoteCheck check;
    std::string message;
    std::optional<OriginParts> origin;  // when the origin names the key
};

// Checks that the note is a tree head of the gate `key` (hex `key_hex`): its
// origin names that key, and the signature line under the origin's name with
// that key's ID verifies over the text.
NoteVerdict check_tree_note(const TreeNote& note, const PublicKey& key, std::string_view key_hex);

}  // namespace orvane::log
