// The Vault Transit signer: the private key stays inside Vault; every
// signature comes from the `vault` program and is checked against the
// configured public key before it is used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "signers/signer.hpp"

namespace orvane {

// Checks "vault-transit://<mount>/<key>" and returns "<mount>/sign/<key>".
Result<std::string> parse_vault_transit_uri(std::string_view uri);

struct VaultTransitSettings {
    std::string vault_binary = "vault";
    std::string transit_sign_path;
    std::uint64_t timeout_ms = 5000;
    std::uint32_t max_attempts = 2;
};

class VaultTransitSigner final : public Signer {
public:
    VaultTransitSigner(SignerIdentity identity, VaultTransitSettings settings)
        : Signer(std::move(identity)), settings_(std::move(settings)) {}

    const VaultTransitSettings& settings() const { return settings_; }

    Result<std::string> sign(std::span<const std::uint8_t> message) const override;

    // Checks one "vault:v<key_version>:<base64>" answer for `message` and
    // returns the signature as lower-case hex.
    Result<std::string> check_response(std::string_view output,
                                       std::span<const std::uint8_t> message) const;

private:
    VaultTransitSettings settings_;
};

}  // namespace orvane
