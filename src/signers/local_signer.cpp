#include "signers/local_signer.hpp"

#include "primitives/hex.hpp"

namespace orvane {

Result<std::string> LocalSigner::sign(std::span<const std::uint8_t> message) const {
    return signature_hex(sign_message(key_, message));
}

Result<std::string> Signer::sign_digest_hex(std::string_view digest_hex) const {
    ORVANE_ASSIGN_OR_RETURN(auto digest, hex_decode(digest_hex).with_context("Invalid digest hex: "));
    return sign(digest);
}

}  // namespace orvane
