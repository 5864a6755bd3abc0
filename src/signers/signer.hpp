// The signer that everything the gate (or an executor) signs goes through: a
// local Ed25519 key, or a key held in a Vault Transit engine.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane {

struct SignerIdentity {
    std::string public_key;   // hex, as loaded (lower case for local keys)
    std::string key_version;  // "1" unless the document says otherwise
    std::string signer_uri;
    std::string algorithm;    // always "Ed25519"
};

class Signer {
public:
    explicit Signer(SignerIdentity identity) : identity_(std::move(identity)) {}
    virtual ~Signer() = default;
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    const SignerIdentity& identity() const { return identity_; }

    // Lower-case hex of the 64-byte signature over `message`.
    virtual Result<std::string> sign(std::span<const std::uint8_t> message) const = 0;

    // Signs the 32 raw bytes of a digest given as hex text; a bad text fails
    // with "Invalid digest hex: <reason>".
    Result<std::string> sign_digest_hex(std::string_view digest_hex) const;

private:
    SignerIdentity identity_;
};

// Signers are immutable once loaded, so sharing one is as good as a copy.
using SignerRef = std::shared_ptr<const Signer>;

// Loads a plain key file (local signer) or a signer configuration document.
Result<SignerRef> load_signer(const std::string& path);

}  // namespace orvane
