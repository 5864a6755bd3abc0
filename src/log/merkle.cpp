// RFC 6962 hashing, proof generation from complete subtrees, and proof
// verification as RFC 9162 describes it.
#include "log/merkle.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#include "primitives/digest.hpp"

namespace orvane::log {

namespace {

Hash hash_of(const std::uint8_t* bytes, std::size_t size) {
    return sha256(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

// The largest power of two strictly below n (n >= 2): where RFC 6962 splits.
std::uint64_t split_point(std::uint64_t n) { return std::bit_floor(n - 1); }

Status append_path(std::uint64_t index, std::uint64_t begin, std::uint64_t end, const SubtreeReader& read,
                   std::vector<Hash>& out) {
    if (end - begin <= 1) return {};
    const std::uint64_t k = split_point(end - begin);
    if (index < k) {
        ORVANE_TRY(append_path(index, begin, begin + k, read, out));
        auto sibling = range_root(begin + k, end, read);
        if (!sibling) return fail(std::move(sibling.error()));
        out.push_back(*sibling);
    } else {
        ORVANE_TRY(append_path(index - k, begin + k, end, read, out));
        auto sibling = range_root(begin, begin + k, read);
        if (!sibling) return fail(std::move(sibling.error()));
        out.push_back(*sibling);
    }
    return {};
}

Status append_subproof(std::uint64_t m, std::uint64_t begin, std::uint64_t end, bool complete,
                       const SubtreeReader& read, std::vector<Hash>& out) {
    const std::uint64_t n = end - begin;
    if (m == n) {
        if (complete) return {};
        auto whole = range_root(begin, end, read);
        if (!whole) return fail(std::move(whole.error()));
        out.push_back(*whole);
        return {};
    }
    const std::uint64_t k = split_point(n);
    if (m <= k) {
        ORVANE_TRY(append_subproof(m, begin, begin + k, complete, read, out));
        auto right = range_root(begin + k, end, read);
        if (!right) return fail(std::move(right.error()));
        out.push_back(*right);
    } else {
        ORVANE_TRY(append_subproof(m - k, begin + k, end, false, read, out));
        auto left = range_root(begin, begin + k, read);
        if (!left) return fail(std::move(left.error()));
        out.push_back(*left);
    }
    return {};
}

void shift(std::uint64_t& fn, std::uint64_t& sn) {
    fn >>= 1;
    sn >>= 1;
}

}  // namespace

Hash leaf_hash(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> buffer(data.size() + 1);
    buffer[0] = 0x00;
    if (!data.empty()) std::memcpy(buffer.data() + 1, data.data(), data.size());
    return hash_of(buffer.data(), buffer.size());
}

Hash node_hash(const Hash& left, const Hash& right) {
    std::uint8_t buffer[65];
    buffer[0] = 0x01;
    std::memcpy(buffer + 1, left.data(), 32);
    std::memcpy(buffer + 33, right.data(), 32);
    return hash_of(buffer, sizeof buffer);
}

Hash empty_root() { return hash_of(nullptr, 0); }

Result<Hash> range_root(std::uint64_t begin, std::uint64_t end, const SubtreeReader& read) {
    if (end <= begin) return empty_root();
    std::vector<Hash> pieces;
    for (std::uint64_t pos = begin; pos < end;) {
        const unsigned level = static_cast<unsigned>(std::bit_width(end - pos) - 1);
        const std::uint64_t width = std::uint64_t{1} << level;
        if ((pos & (width - 1)) != 0)
            return fail("Failed to read tree: range [" + std::to_string(begin) + ", " + std::to_string(end) +
                        ") is not made of complete subtrees");
        auto piece = read(level, pos >> level);
        if (!piece) return fail(std::move(piece.error()));
        pieces.push_back(*piece);
        pos += width;
    }
    Hash root = pieces.back();
    for (std::size_t i = pieces.size() - 1; i-- > 0;) root = node_hash(pieces[i], root);
    return root;
}

Result<std::vector<Hash>> inclusion_proof(std::uint64_t index, std::uint64_t size, const SubtreeReader& read) {
    if (index >= size) return fail("Failed to prove inclusion: leaf " + std::to_string(index) +
                                   " is not in a tree of size " + std::to_string(size));
    std::vector<Hash> out;
    ORVANE_TRY(append_path(index, 0, size, read, out));
    return out;
}

Result<std::vector<Hash>> consistency_proof(std::uint64_t old_size, std::uint64_t new_size,
                                            const SubtreeReader& read) {
    if (old_size > new_size) return fail("Failed to prove consistency: size " + std::to_string(old_size) +
                                         " is larger than " + std::to_string(new_size));
    std::vector<Hash> out;
    if (old_size == 0 || old_size == new_size) return out;
    ORVANE_TRY(append_subproof(old_size, 0, new_size, true, read, out));
    return out;
}

std::optional<Hash> root_from_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                                        std::span<const Hash> proof) {
    if (index >= size) return std::nullopt;
    std::uint64_t fn = index, sn = size - 1;
    Hash r = leaf;
    for (const Hash& p : proof) {
        if (sn == 0) return std::nullopt;
        if ((fn & 1) != 0 || fn == sn) {
            r = node_hash(p, r);
            if ((fn & 1) == 0) {
                while ((fn & 1) == 0 && fn != 0) shift(fn, sn);
            }
        } else {
            r = node_hash(r, p);
        }
        shift(fn, sn);
    }
    if (sn != 0) return std::nullopt;
    return r;
}

bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf, std::span<const Hash> proof,
                      const Hash& root) {
    const auto found = root_from_inclusion(index, size, leaf, proof);
    return found && *found == root;
}

bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                        const Hash& new_root, std::span<const Hash> proof) {
    if (old_size > new_size) return false;
    if (old_size == new_size) return proof.empty() && old_root == new_root;
    if (old_size == 0) return proof.empty();
    std::vector<Hash> path;
    path.reserve(proof.size() + 1);
    if (std::has_single_bit(old_size)) path.push_back(old_root);
    path.insert(path.end(), proof.begin(), proof.end());
    if (path.empty()) return false;
    std::uint64_t fn = old_size - 1, sn = new_size - 1;
    while ((fn & 1) != 0) shift(fn, sn);
    Hash fr = path[0], sr = path[0];
    for (std::size_t i = 1; i < path.size(); ++i) {
        const Hash& c = path[i];
        if (sn == 0) return false;
        if ((fn & 1) != 0 || fn == sn) {
            fr = node_hash(c, fr);
            sr = node_hash(c, sr);
            if ((fn & 1) == 0) {
                while ((fn & 1) == 0 && fn != 0) shift(fn, sn);
            }
        } else {
            sr = node_hash(sr, c);
        }
        shift(fn, sn);
    }
    return sn == 0 && fr == old_root && sr == new_root;
}

Result<std::vector<Node>> nodes_for_append(std::uint64_t index, const Hash& leaf, const SubtreeReader& read_left) {
    std::vector<Node> nodes{{0, index, leaf}};
    Hash h = leaf;
    unsigned level = 0;
    for (std::uint64_t i = index; (i & 1) != 0; i >>= 1, ++level) {
        auto left = read_left(level, i - 1);
        if (!left) return fail(std::move(left.error()));
        h = node_hash(*left, h);
        nodes.push_back({level + 1, i >> 1, h});
    }
    return nodes;
}

std::vector<Node> TreeBuilder::append(const Hash& leaf) {
    auto nodes = nodes_for_append(size_, leaf, [this](unsigned level, std::uint64_t) -> Result<Hash> {
        return edge_[level];
    });
    ++size_;
    for (const Node& node : *nodes) {
        if (edge_.size() <= node.level) edge_.resize(node.level + 1);
        edge_[node.level] = node.hash;
    }
    return std::move(*nodes);
}

Hash TreeBuilder::root() const {
    if (size_ == 0) return empty_root();
    std::optional<Hash> root;
    for (unsigned level = 0; level < edge_.size(); ++level) {
        if (((size_ >> level) & 1) == 0) continue;
        root = root ? node_hash(edge_[level], *root) : edge_[level];
    }
    return *root;
}

Hash root_of(std::span<const Hash> leaves) {
    TreeBuilder builder;
    for (const Hash& leaf : leaves) builder.append(leaf);
    return builder.root();
}

}  // namespace orvane::log
