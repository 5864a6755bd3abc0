// Merkle trees over a tenant's stream (RFC 6962): leaf and node hashes, roots
// of ranges, inclusion and consistency proofs and their verification. Pure
// functions: where stored nodes are needed, they are read through a callback
// that returns the hash of one complete subtree.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/result.hpp"

namespace orvane::log {

using Hash = std::array<std::uint8_t, 32>;

// SHA-256(0x00 || data).
Hash leaf_hash(std::span<const std::uint8_t> data);
// SHA-256(0x01 || left || right).
Hash node_hash(const Hash& left, const Hash& right);
// The root of the empty tree: SHA-256 of nothing.
Hash empty_root();

// The hash of the complete subtree of 2^level leaves that starts at leaf
// index << level.
using SubtreeReader = std::function<Result<Hash>(unsigned level, std::uint64_t index)>;

// The Merkle tree hash of leaves [begin, end). `begin` must be a multiple of
// the largest power of two not above end - begin (every range a proof needs
// is); the range is read as its complete subtrees, largest first.
Result<Hash> range_root(std::uint64_t begin, std::uint64_t end, const SubtreeReader& read);

// The audit path of leaf `index` in the tree of the first `size` leaves, the
// sibling nearest the leaf first. Requires index < size.
Result<std::vector<Hash>> inclusion_proof(std::uint64_t index, std::uint64_t size, const SubtreeReader& read);

// The proof that the tree of `old_size` leaves is a prefix of the tree of
// `new_size` leaves. Empty when old_size is 0 or equals new_size. Requires
// old_size <= new_size.
Result<std::vector<Hash>> consistency_proof(std::uint64_t old_size, std::uint64_t new_size,
                                            const SubtreeReader& read);

// The root an audit path leads to, or none when the path cannot belong to a
// tree of that size (too short, too long, index out of range).
std::optional<Hash> root_from_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                                        std::span<const Hash> proof);
bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf, std::span<const Hash> proof,
                      const Hash& root);
bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                        const Hash& new_root, std::span<const Hash> proof);

// One stored node: the complete subtree (level, index).
struct Node {
    unsigned level;
    std::uint64_t index;
    Hash hash;
};

// The nodes that become complete when leaf `index` is appended: the leaf
// itself (level 0), then each parent it completes. `read_left` is asked for
// the left siblings, which are complete already.
Result<std::vector<Node>> nodes_for_append(std::uint64_t index, const Hash& leaf, const SubtreeReader& read_left);

// Builds a tree leaf by leaf in memory, keeping only its right edge: what an
// O(n) rebuild of a stored stream needs.
class TreeBuilder {
public:
    // The nodes completed by the next leaf (as nodes_for_append).
    std::vector<Node> append(const Hash& leaf);
    std::uint64_t size() const { return size_; }
    // The root of the leaves appended so far.
    Hash root() const;

private:
    std::vector<Hash> edge_;  // edge_[l]: the latest complete node of level l
    std::uint64_t size_ = 0;
};

// The root of a tree given all its leaf hashes (tests, small trees).
Hash root_of(std::span<const Hash> leaves);

}  // namespace orvane::log
