#include "primitives/digest.hpp"

#include <openssl/evp.h>

#include "primitives/hex.hpp"

namespace orvane {

namespace {

// EVP_sha256() makes every EVP_Digest look the implementation up in the
// provider store again, which costs about as much as hashing a short document;
// it is fetched once instead and never changes afterwards.
const EVP_MD* sha256_md() {
    static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
}

}  // namespace

Digest sha256(std::string_view bytes) {
    Digest out{};
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, sha256_md(), nullptr);
    return out;
}

std::string sha256_hex(std::string_view bytes) { return hex_encode(sha256(bytes)); }

std::string canonical_digest(const Json& value) { return sha256_hex(canonical_json(value)); }

std::optional<Digest> parse_digest(std::string_view hex) {
    Digest digest{};
    bool right_size = false;
    if (!hex_decode_into(hex, digest, right_size) || !right_size) return std::nullopt;
    return digest;
}

}  // namespace orvane
