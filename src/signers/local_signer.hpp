// The signer of a plain key file: signs in process with the loaded key.
#pragma once

#include "primitives/keys.hpp"
#include "signers/signer.hpp"

namespace orvane {

class LocalSigner final : public Signer {
public:
    LocalSigner(SignerIdentity identity, KeyPair key)
        : Signer(std::move(identity)), key_(std::move(key)) {}

    Result<std::string> sign(std::span<const std::uint8_t> message) const override;

private:
    KeyPair key_;  // wiped on release
};

}  // namespace orvane
