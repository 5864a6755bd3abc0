// Tree hashing and proofs against the published RFC 6962 reference vectors,
// and proofs read from stored subtrees against proofs built in memory.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "log/merkle.hpp"
#include "primitives/base64.hpp"
#include "primitives/hex.hpp"

namespace orvane::log {
namespace {

// The eight leaves of the certificate-transparency reference tests.
const std::vector<std::vector<std::uint8_t>> kLeaves = {
    {},
    {0x00},
    {0x10},
    {0x20, 0x21},
    {0x30, 0x31},
    {0x40, 0x41, 0x42, 0x43},
    {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57},
    {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x6b, 0x6c, 0x6d, 0x6e, 0x6f},
};

const char* const kRoots[] = {
    "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
};

Hash H(std::string_view hex) {
    Hash out{};
    bool right = false;
    EXPECT_TRUE(hex_decode_into(hex, out, right));
    EXPECT_TRUE(right);
    return out;
}

std::vector<std::string> hex_all(const std::vector<Hash>& hashes) {
    std::vector<std::string> out;
    for (const Hash& h : hashes) out.push_back(hex_encode(h));
    return out;
}

// A tree stored the way the gate stores it: every complete subtree by
// (level, index), filled through the append path.
class StoredTree {
public:
    void append(const Hash& leaf) {
        auto nodes = nodes_for_append(size_, leaf, reader());
        ASSERT_TRUE(nodes) << nodes.error();
        for (const Node& node : *nodes) nodes_[{node.level, node.index}] = node.hash;
        ++size_;
    }
    SubtreeReader reader() const {
        return [this](unsigned level, std::uint64_t index) -> Result<Hash> {
            auto found = nodes_.find({level, index});
            if (found == nodes_.end()) return fail("missing node");
            return found->second;
        };
    }
    std::size_t node_count() const { return nodes_.size(); }

private:
    std::map<std::pair<unsigned, std::uint64_t>, Hash> nodes_;
    std::uint64_t size_ = 0;
};

std::vector<Hash> leaf_hashes(std::size_t count) {
    std::vector<Hash> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(leaf_hash(kLeaves[i % kLeaves.size()]));
    return out;
}

TEST(MerkleVectors, RootsOfEveryPrefixSize) {
    StoredTree stored;
    TreeBuilder builder;
    std::vector<Hash> leaves;
    for (std::size_t n = 1; n <= kLeaves.size(); ++n) {
        const Hash leaf = leaf_hash(kLeaves[n - 1]);
        leaves.push_back(leaf);
        stored.append(leaf);
        builder.append(leaf);
        EXPECT_EQ(hex_encode(root_of(leaves)), kRoots[n - 1]) << n;
        EXPECT_EQ(hex_encode(builder.root()), kRoots[n - 1]) << n;
        auto read = range_root(0, n, stored.reader());
        ASSERT_TRUE(read) << read.error();
        EXPECT_EQ(hex_encode(*read), kRoots[n - 1]) << n;
    }
    EXPECT_EQ(hex_encode(empty_root()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // Eight leaves keep 8 + 4 + 2 + 1 complete subtrees.
    EXPECT_EQ(stored.node_count(), 15u);
}

TEST(MerkleVectors, PublishedInclusionAndConsistencyPaths) {
    StoredTree stored;
    for (const Hash& leaf : leaf_hashes(8)) stored.append(leaf);
    struct Inclusion {
        std::uint64_t index, size;
        std::vector<std::string> path;
    };
    const std::vector<Inclusion> inclusions = {
        {0, 1, {}},
        {0, 8,
         {"96a296d224f285c67bee93c30f8a309157f0daa35dc5b87e410b78630a09cfc7",
          "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
          "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"}},
        {5, 8,
         {"bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b",
          "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
          "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"}},
        {2, 3, {"fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125"}},
        {1, 5,
         {"6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
          "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
          "bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b"}},
    };
    for (const auto& c : inclusions) {
        auto proof = inclusion_proof(c.index, c.size, stored.reader());
        ASSERT_TRUE(proof) << proof.error();
        EXPECT_EQ(hex_all(*proof), c.path) << c.index << "/" << c.size;
        EXPECT_TRUE(verify_inclusion(c.index, c.size, leaf_hash(kLeaves[c.index]), *proof, H(kRoots[c.size - 1])));
    }
    struct Consistency {
        std::uint64_t old_size, new_size;
        std::vector<std::string> path;
    };
    const std::vector<Consistency> consistencies = {
        {1, 1, {}},
        {1, 8,
         {"96a296d224f285c67bee93c30f8a309157f0daa35dc5b87e410b78630a09cfc7",
          "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
          "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"}},
        {6, 8,
         {"0ebc5d3437fbe2db158b9f126a1d118e308181031d0a949f8dededebc558ef6a",
          "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
          "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"}},
        {2, 5,
         {"5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
          "bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b"}},
    };
    for (const auto& c : consistencies) {
        auto proof = consistency_proof(c.old_size, c.new_size, stored.reader());
        ASSERT_TRUE(proof) << proof.error();
        EXPECT_EQ(hex_all(*proof), c.path) << c.old_size << "/" << c.new_size;
        EXPECT_TRUE(verify_consistency(c.old_size, c.new_size, H(kRoots[c.old_size - 1]),
                                       H(kRoots[c.new_size - 1]), *proof));
    }
}

// Every leaf and size pair, and every pair of sizes, up to 40 leaves: proofs
// from the stored subtrees verify, and any single change to a proof does not.
TEST(MerkleProofs, EveryPairVerifiesAndNoAlteredProofDoes) {
    const auto leaves = leaf_hashes(40);
    StoredTree stored;
    std::vector<Hash> roots;
    for (std::size_t n = 1; n <= leaves.size(); ++n) {
        stored.append(leaves[n - 1]);
        roots.push_back(root_of(std::span(leaves).first(n)));
    }
    for (std::uint64_t n = 1; n <= leaves.size(); ++n) {
        for (std::uint64_t i = 0; i < n; ++i) {
            auto proof = inclusion_proof(i, n, stored.reader());
            ASSERT_TRUE(proof) << proof.error();
            ASSERT_TRUE(verify_inclusion(i, n, leaves[i], *proof, roots[n - 1])) << i << "/" << n;
            EXPECT_FALSE(verify_inclusion(i, n, node_hash(leaves[i], leaves[i]), *proof, roots[n - 1]));
            if (!proof->empty()) {
                auto changed = *proof;
                changed.back()[0] ^= 1;
                EXPECT_FALSE(verify_inclusion(i, n, leaves[i], changed, roots[n - 1]));
                auto removed = *proof;
                removed.pop_back();
                EXPECT_FALSE(verify_inclusion(i, n, leaves[i], removed, roots[n - 1]));
            }
            auto added = *proof;
            added.push_back(leaves[0]);
            EXPECT_FALSE(verify_inclusion(i, n, leaves[i], added, roots[n - 1]));
        }
        for (std::uint64_t m = 1; m <= n; ++m) {
            auto proof = consistency_proof(m, n, stored.reader());
            ASSERT_TRUE(proof) << proof.error();
            ASSERT_TRUE(verify_consistency(m, n, roots[m - 1], roots[n - 1], *proof)) << m << "/" << n;
            if (m < n) {
                EXPECT_FALSE(verify_consistency(m, n, roots[n - 1], roots[n - 1], *proof));
                auto changed = *proof;
                changed.front()[31] ^= 0x80;
                EXPECT_FALSE(verify_consistency(m, n, roots[m - 1], roots[n - 1], changed));
                auto removed = *proof;
                removed.pop_back();
                EXPECT_FALSE(verify_consistency(m, n, roots[m - 1], roots[n - 1], removed));
            }
            auto added = *proof;
            added.push_back(leaves[0]);
            EXPECT_FALSE(verify_consistency(m, n, roots[m - 1], roots[n - 1], added));
        }
    }
    EXPECT_FALSE(verify_consistency(5, 4, roots[4], roots[3], {}));
    EXPECT_FALSE(inclusion_proof(4, 4, stored.reader()));
    EXPECT_FALSE(consistency_proof(5, 4, stored.reader()));
}

TEST(MerkleProofs, MissingStoredNodeIsAFailureNotAWrongProof) {
    SubtreeReader nothing = [](unsigned, std::uint64_t) -> Result<Hash> { return fail("missing node"); };
    auto proof = inclusion_proof(0, 2, nothing);
    ASSERT_FALSE(proof);
    EXPECT_EQ(proof.error(), "missing node");
}

TEST(Base64, RoundTripsAndRefusesNonCanonicalText) {
    const std::vector<std::uint8_t> bytes = {0xfb, 0xff, 0x00, 0x41};
    EXPECT_EQ(base64_encode(bytes), "+/8AQQ==");
    auto back = base64_decode("+/8AQQ==");
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, bytes);
    EXPECT_EQ(base64_encode({}), "");
    for (const char* bad : {"+/8AQQ", "+/8AQR==", " +/8AQQ==", "+/8A\nQQ==", "+/8AQQ==x", "-_8AQQ=="})
        EXPECT_FALSE(base64_decode(bad)) << bad;
}

}  // namespace
}  // namespace orvane::log
