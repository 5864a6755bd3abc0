// Ed25519 key pairs, key files and signatures. Identities are the lower-case
// hex of the 32-byte public key; a signed digest is always signed as its 32
// raw bytes, never as its hex text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace orvane {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;
using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// A key pair whose secret bytes are wiped when it is released. Movable (the
// source is wiped), never copied by accident.
class KeyPair {
public:
    // Derives the public key from a 32-byte seed (RFC 8032 private key).
    static KeyPair from_seed(std::span<const std::uint8_t, 32> seed);

    KeyPair(KeyPair&& other) noexcept;
    KeyPair& operator=(KeyPair&& other) noexcept;
    KeyPair(const KeyPair&) = delete;
    KeyPair& operator=(const KeyPair&) = delete;
    ~KeyPair();

    const PublicKey& public_key() const { return public_key_; }
    std::string public_key_hex() const;
    // The 32-byte seed; callers must not keep copies beyond their use.
    std::span<const std::uint8_t, 32> seed() const;

    Signature sign(std::span<const std::uint8_t> message) const;
    Signature sign(std::string_view message) const;

private:
    KeyPair() = default;
    std::array<std::uint8_t, 64> secret_{};  // libsodium layout: seed then public key
    PublicKey public_key_{};
};

// Writes a new key file at `output` and returns its text.
Result<std::string> gen_keys(const std::string& output);

// The key file layout written by gen_keys.
std::string key_file_text(const KeyPair& key);

// Strict reader used by the decision ledger.
Result<KeyPair> load_ledger_key(const std::string& path);
// Lenient reader used for the agent and executor key files passed to calls.
Result<KeyPair> load_signing_key(const std::string& path);
// Decodes a 32-byte private key from hex ("Invalid private key hex: ..." /
// "Private key must be exactly 32 bytes").
Result<KeyPair> key_pair_from_private_hex(std::string_view hex);

// Reads a whole regular file (read_regular_file) that must hold UTF-8 text;
// the failure reason is the operating system's text, "not a regular file", or
// a note that the bytes are not UTF-8.
Result<std::string> read_text_file(const std::string& path);

// A public key decoded from its hex text once, at the edge, and checked to be
// a point of the curve ("Invalid public key hex: ...", "Public key must be
// exactly 32 bytes", "Invalid Ed25519 public key: ...").
Result<PublicKey> parse_public_key(std::string_view hex);
// A signature decoded from its hex text once; nullopt unless it is hex of
// exactly kSignatureSize bytes.
std::optional<Signature> parse_signature(std::string_view hex);

Signature sign_message(const KeyPair& key, std::span<const std::uint8_t> message);

// Never fail: every malformed input gives false.
[[nodiscard]] bool verify_signature(std::string_view public_key_hex, std::span<const std::uint8_t> message,
                                    std::string_view signature_hex);
[[nodiscard]] bool verify_digest_signature(std::string_view public_key_hex, std::string_view digest_hex,
                                           std::string_view signature_hex);
// Verification over already-decoded bytes (hot paths that decoded once).
[[nodiscard]] bool verify_raw(const PublicKey& public_key, std::span<const std::uint8_t> message,
                              const Signature& signature);

std::string signature_hex(const Signature& signature);

struct VerificationMemo;

// The positive answers of Ed25519 checks that one gate or executor object
// keeps from one call to the next: point checks of public keys and signature
// verifications, each keyed by the exact bytes of its inputs (public key;
// public key, signature and message). An Ed25519 check is a function of those
// bytes alone, so a remembered "valid" is the answer the check would give
// again; a changed document is a different message and is checked afresh.
// Failed checks are never kept. Bounded: at most `capacity` answers, the
// least recently used one going first, and messages longer than
// kMaxMessage bytes are not kept (the documents verified on every call are
// 32-byte digests). Used only through a VerificationScope on the thread that
// owns the object.
class RememberedChecks {
public:
    static constexpr std::size_t kDefaultCapacity = 16384;
    static constexpr std::size_t kMaxMessage = 1024;

    explicit RememberedChecks(std::size_t capacity = kDefaultCapacity);
    RememberedChecks(RememberedChecks&&) noexcept;
    RememberedChecks& operator=(RememberedChecks&&) noexcept;
    ~RememberedChecks();

    std::size_t size() const;

private:
    friend struct VerificationMemo;
    struct Table;
    std::unique_ptr<Table> table_;
};

// Remembers, while it is open, the answers of the Ed25519 checks made on the
// calling thread: the point check of parse_public_key and every signature
// verification, each keyed by its exact input bytes. One operation often
// checks the same key or signature several times (the gate key under every
// document it signed, the gate's own registration at every resolution that
// reaches the root); the answers depend on those bytes alone, so remembering
// them changes nothing but time. The per-call memo belongs to the scope, which
// an operation opens on its stack at its entry; it is reachable only from the
// calling thread (worker threads of the call never see it). A scope given the
// object's RememberedChecks also consults and fills that table, so valid
// answers carry over to the object's next calls. A scope opened while another
// is open on the same thread joins the outer one.
class VerificationScope {
public:
    // `known_valid_key` (hex), when not empty, is entered as a valid point: a
    // key the caller already knows to be one, such as the key of a loaded
    // signer (derived from its seed, or point-checked when it was loaded).
    explicit VerificationScope(std::string_view known_valid_key = {});
    explicit VerificationScope(RememberedChecks& kept, std::string_view known_valid_key = {});
    ~VerificationScope();
    VerificationScope(const VerificationScope&) = delete;
    VerificationScope& operator=(const VerificationScope&) = delete;

private:
    void open(RememberedChecks* kept, std::string_view known_valid_key);

    std::unique_ptr<VerificationMemo> owned_;  // null when joining an outer scope
    bool attached_kept_ = false;               // joined an outer scope and lent it `kept`
};

}  // namespace orvane
