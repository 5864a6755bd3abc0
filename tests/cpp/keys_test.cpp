// Hexadecimal text, key files and Ed25519 conventions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/key_files.hpp"
#include "primitives/keys.hpp"

namespace fs = std::filesystem;
using namespace orvane;

namespace {

class TempDir {
public:
    TempDir() : path_(fs::temp_directory_path() / ("orvane-keys-" + std::to_string(::getpid()) + "-" +
                                                    std::to_string(counter_++))) {
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name, const std::string& content) const {
        const std::string p = (path_ / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

const std::string kSeed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";  // RFC 8032 test 1
const std::string kPublic = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

}  // namespace

TEST(Hex, EncodeAndDecode) {
    const std::vector<std::uint8_t> bytes{0x00, 0xab, 0xff};
    EXPECT_EQ(hex_encode(bytes), "00abff");
    EXPECT_EQ(*hex_decode("00ABff"), bytes);
    EXPECT_EQ(hex_decode("abc").error(), "Odd number of digits");
    EXPECT_EQ(hex_decode("zz").error(), "Invalid character 'z' at position 0");
    EXPECT_EQ(hex_decode("0g").error(), "Invalid character 'g' at position 1");
    EXPECT_EQ(hex_decode("z").error(), "Odd number of digits");
}

TEST(Keys, RfcVectorSignsDeterministically) {
    auto key = key_pair_from_private_hex(kSeed);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->public_key_hex(), kPublic);
    const Signature sig = key->sign(std::string_view());
    EXPECT_EQ(signature_hex(sig),
              "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
              "d25bf5f0595bbe24655141438e7a100b");
    EXPECT_TRUE(verify_signature(kPublic, {}, signature_hex(sig)));
}

TEST(Keys, VerificationNeverFails) {
    auto key = key_pair_from_private_hex(kSeed);
    const std::string msg = "message";
    const std::string sig = signature_hex(key->sign(msg));
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(msg.data()), msg.size());
    std::string upper = kPublic;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    EXPECT_TRUE(verify_signature(upper, bytes, sig));
    EXPECT_FALSE(verify_signature(kPublic, bytes, sig.substr(0, 126)));
    EXPECT_FALSE(verify_signature(kPublic, bytes, "zz" + sig.substr(2)));
    EXPECT_FALSE(verify_signature(std::string(63, '0') + "2", bytes, sig));
    std::string flipped = sig;
    flipped[0] = flipped[0] == '0' ? '1' : '0';
    EXPECT_FALSE(verify_signature(kPublic, bytes, flipped));
}

TEST(Keys, DigestsAreSignedAsRawBytes) {
    auto key = key_pair_from_private_hex(kSeed);
    const Digest digest = sha256("payload");
    const std::string digest_hex = hex_encode(digest);
    EXPECT_TRUE(verify_digest_signature(kPublic, digest_hex, signature_hex(key->sign(digest))));
    EXPECT_FALSE(verify_digest_signature(kPublic, digest_hex, signature_hex(key->sign(digest_hex))));
}

TEST(Keys, PublicKeyParsing) {
    EXPECT_TRUE(parse_public_key(kPublic).has_value());
    EXPECT_EQ(parse_public_key("abc").error(), "Invalid public key hex: Odd number of digits");
    EXPECT_EQ(parse_public_key("abcd").error(), "Public key must be exactly 32 bytes");
    // y = 2 does not lie on the curve.
    EXPECT_EQ(parse_public_key("02" + std::string(62, '0')).error(),
              "Invalid Ed25519 public key: signature error: Cannot decompress Edwards point");
}

// Inside a scope every answer is remembered by its exact inputs: a wrong
// signature next to a right one, or another message under the same key and
// signature, must still get its own answer, in any order and when repeated.
TEST(Keys, RememberedChecksGiveTheSameAnswers) {
    auto key = key_pair_from_private_hex(kSeed);
    const std::string msg = "message", other = "messagf";
    const auto bytes = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    const std::string sig = signature_hex(key->sign(msg));
    std::string flipped = sig;
    flipped[0] = flipped[0] == '0' ? '1' : '0';
    const std::string off_curve = "02" + std::string(62, '0');
    for (int round = 0; round < 2; ++round) {
        VerificationScope outer(round == 0 ? std::string_view() : std::string_view(kPublic));
        for (int repeat = 0; repeat < 2; ++repeat) {
            VerificationScope joined;  // nested scopes share the outer memo
            EXPECT_FALSE(verify_signature(kPublic, bytes(msg), flipped));
            EXPECT_TRUE(verify_signature(kPublic, bytes(msg), sig));
            EXPECT_FALSE(verify_signature(kPublic, bytes(other), sig));
            EXPECT_FALSE(verify_signature(off_curve, bytes(msg), sig));
            EXPECT_EQ(parse_public_key(off_curve).error(),
                      "Invalid Ed25519 public key: signature error: Cannot decompress Edwards point");
            EXPECT_TRUE(parse_public_key(kPublic).has_value());
        }
    }
    // And after the scopes, without a memo.
    EXPECT_TRUE(verify_signature(kPublic, bytes(msg), sig));
    EXPECT_FALSE(verify_signature(kPublic, bytes(msg), flipped));
}

// Answers kept across scopes: only valid ones, each under its exact inputs,
// the least recently used going first when the table is full.
TEST(Keys, RememberedChecksKeepOnlyValidAnswersByTheirExactBytes) {
    auto key = key_pair_from_private_hex(kSeed);
    const auto bytes = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    const std::string a = "document a", b = "document b", c = "document c";
    const std::string sig_a = signature_hex(key->sign(a)), sig_b = signature_hex(key->sign(b)),
                      sig_c = signature_hex(key->sign(c));
    RememberedChecks kept(3);  // room for the key's point and two signatures
    {
        VerificationScope call(kept);
        EXPECT_TRUE(verify_signature(kPublic, bytes(a), sig_a));
        EXPECT_FALSE(verify_signature(kPublic, bytes(a), sig_b));  // failed: never kept
        EXPECT_TRUE(verify_signature(kPublic, bytes(b), sig_b));
    }
    EXPECT_EQ(kept.size(), 3u);
    {
        VerificationScope next_call(kept);
        // A signature known valid for one document proves nothing for another.
        EXPECT_FALSE(verify_signature(kPublic, bytes(b), sig_a));
        EXPECT_FALSE(verify_signature(kPublic, bytes(a), sig_b));
        EXPECT_TRUE(verify_signature(kPublic, bytes(a), sig_a));
        EXPECT_TRUE(verify_signature(kPublic, bytes(c), sig_c));  // b goes out
        EXPECT_EQ(kept.size(), 3u);
        EXPECT_TRUE(verify_signature(kPublic, bytes(b), sig_b));
        EXPECT_FALSE(parse_public_key("02" + std::string(62, '0')).has_value());
    }
    EXPECT_EQ(kept.size(), 3u);
    // A scope joined by an inner one with the table fills it too.
    {
        VerificationScope outer;
        VerificationScope inner(kept);
        EXPECT_TRUE(verify_signature(kPublic, bytes(a), sig_a));
    }
    EXPECT_EQ(kept.size(), 3u);
}

TEST(KeyFiles, GenKeysWritesTheLayout) {
    TempDir dir;
    const std::string path = dir.path("k.json");
    auto text = gen_keys(path);
    ASSERT_TRUE(text.has_value());
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, *text);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 3);
    EXPECT_EQ(content.back(), '}');
    auto key = load_ledger_key(path);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(content, key_file_text(*key));
    EXPECT_TRUE(gen_keys(dir.path("missing/k.json")).error().starts_with("Error creating key file "));
}

TEST(KeyFiles, LedgerReaderIsStrict) {
    TempDir dir;
    auto upper = dir.file("u.json", "{\"public_key\":\"x\",\"private_key\":\"" + std::string("9D61B19DEFFD5A60BA844AF492EC2CC44449C5697B326919703BAC031CAE7F60") + "\"}");
    EXPECT_EQ(load_ledger_key(upper)->public_key_hex(), kPublic);  // public_key value is not used
    auto no_public = dir.file("n.json", "{\"private_key\":\"" + kSeed + "\"}");
    auto err = load_ledger_key(no_public).error();
    EXPECT_TRUE(err.starts_with("Failed to parse key file JSON: missing field `public_key`")) << err;
    EXPECT_TRUE(load_signing_key(no_public).has_value());
    auto dup = dir.file("d.json", "{\"public_key\":\"a\",\"private_key\":\"" + kSeed + "\",\"private_key\":\"" + kSeed + "\"}");
    err = load_ledger_key(dup).error();
    EXPECT_TRUE(err.starts_with("Failed to parse key file JSON: duplicate field `private_key`")) << err;
    auto array = dir.file("a.json", "[\"x\",\"" + kSeed + "\"]");
    EXPECT_EQ(load_ledger_key(array)->public_key_hex(), kPublic);
    EXPECT_EQ(load_signing_key(array).error(), "Key file '" + array + "' does not contain private_key");
    auto short_key = dir.file("s.json", "{\"public_key\":\"\",\"private_key\":\"" + kSeed.substr(2) + "\"}");
    EXPECT_EQ(load_ledger_key(short_key).error(), "Private key must be exactly 32 bytes");
    auto odd = dir.file("o.json", "{\"public_key\":\"\",\"private_key\":\"abc\"}");
    EXPECT_EQ(load_ledger_key(odd).error(), "Invalid private key hex: Odd number of digits");
    auto zed = dir.file("z.json", "{\"private_key\":\"z" + kSeed.substr(1) + "\"}");
    EXPECT_EQ(load_signing_key(zed).error(), "Invalid private key hex: Invalid character 'z' at position 0");
    EXPECT_TRUE(load_ledger_key(dir.path("none.json")).error().starts_with("Failed to read key file '"));
    auto garbage = dir.file("g.json", "{");
    EXPECT_TRUE(load_signing_key(garbage).error().starts_with("Failed to parse key file '" + garbage + "': "));
    auto not_utf8 = dir.file("b.json", "\xff\xfe");
    EXPECT_TRUE(load_signing_key(not_utf8).error().starts_with("Failed to read key file '"));
}

TEST(KeyFiles, WrittenPrivatelyInPlaceOfALink) {
    TempDir dir;
    const std::string target = dir.file("target.txt", "keep");
    const std::string link = dir.path("k.json");
    fs::create_symlink(target, link);
    const mode_t old_mask = ::umask(022);
    ASSERT_TRUE(write_private_file(link, "secret").has_value());
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(*read_regular_file(link), "secret");
    EXPECT_EQ(*read_regular_file(target), "keep");
    // Only the two files: no temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path("")), fs::directory_iterator()), 2);
}

TEST(KeyFiles, OnlyRegularFilesAreRead) {
    TempDir dir;
    EXPECT_EQ(read_regular_file("/dev/null").error(), "not a regular file");
    EXPECT_EQ(read_regular_file(dir.path("")).error(), "not a regular file");
    EXPECT_EQ(read_regular_file(dir.path("none")).error(), "No such file or directory");
    auto refused = write_private_file(dir.path(""), "x");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().reason, "not a regular file");
    const std::string big(100000, 'k');
    EXPECT_EQ(*read_regular_file(dir.file("big", big)), big);
}
