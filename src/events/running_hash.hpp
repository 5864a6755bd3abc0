// A SHA-256 fed piece by piece, for stream root hashes over many events.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "primitives/hex.hpp"

namespace orvane {

class RunningHash {
public:
    RunningHash() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
    ~RunningHash() { EVP_MD_CTX_free(ctx_); }
    RunningHash(const RunningHash&) = delete;
    RunningHash& operator=(const RunningHash&) = delete;

    void update(std::string_view bytes) { EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()); }

    // Lower-case hex of the digest; the hash cannot be fed afterwards.
    std::string finish_hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx_, digest, &length);
        return hex_encode({digest, length});
    }

private:
    EVP_MD_CTX* ctx_;
};

}  // namespace orvane
