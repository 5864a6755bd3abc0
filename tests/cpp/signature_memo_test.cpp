// The per-operation memo of digest signature checks answers exactly as a
// fresh check would, for every repetition and every mix of inputs.
#include <gtest/gtest.h>

#include <cctype>

#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

using namespace orvane;

namespace {
const std::string kSeed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";  // RFC 8032 test 1
const std::string kPublic = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
}  // namespace

TEST(SignatureMemo, AnswersAsAFreshCheck) {
    auto key = key_pair_from_private_hex(kSeed);
    ASSERT_TRUE(key);
    const std::string digest = hex_encode(sha256("registration"));
    const std::string other = hex_encode(sha256("another registration"));
    const std::string signature = signature_hex(key->sign(sha256("registration")));
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    SignatureMemo memo;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(memo.verify_digest_signature(kPublic, digest, signature));
        EXPECT_FALSE(memo.verify_digest_signature(kPublic, other, signature));
        EXPECT_FALSE(memo.verify_digest_signature(kPublic, digest, signature.substr(2) + "00"));
        EXPECT_FALSE(memo.verify_digest_signature("", digest, signature));
        // Hex is read case-insensitively; the memo keeps texts apart but agrees.
        EXPECT_EQ(memo.verify_digest_signature(kPublic, upper, signature),
                  verify_digest_signature(kPublic, upper, signature));
    }
    EXPECT_TRUE(verify_digest_signature(&memo, kPublic, digest, signature));
    EXPECT_TRUE(verify_digest_signature(nullptr, kPublic, digest, signature));
    EXPECT_FALSE(verify_digest_signature(nullptr, kPublic, other, signature));
}
