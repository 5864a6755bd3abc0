#include "primitives/digest.hpp"

#include <openssl/evp.h>

#include "primitives/hex.hpp"

namespace orvane {

Digest sha256(std::string_view bytes) {
    Digest out{};
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

std::string sha256_hex(std::string_view bytes) { return hex_encode(sha256(bytes)); }

std::string canonical_digest(const Json& value) { return sha256_hex(canonical_json(value)); }

}  // namespace orvane
