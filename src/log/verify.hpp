// Checks of tree heads and proofs that need no gate and no database: the
// module-level verify functions. Each returns a verdict document with a
// reason code; only input that cannot be checked at all (a key that is not an
// Ed25519 key, a note or proof that cannot be read) is a failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "log/merkle.hpp"
#include "log/note.hpp"
#include "primitives/json.hpp"

namespace orvane::log {

Result<std::string> verify_tree_head(std::string_view note, std::string_view public_key);
Result<std::string> verify_inclusion(std::string_view note, std::string_view public_key,
                                     std::string_view event_json, std::string_view proof_json);
Result<std::string> verify_consistency(std::string_view old_note, std::string_view new_note,
                                       std::string_view public_key, std::string_view proof_json);

// A consistency proof document as read: "Invalid consistency proof: <why>"
// when it is not one.
struct ConsistencyProof {
    std::uint64_t old_size = 0;
    std::uint64_t new_size = 0;
    std::vector<Hash> hashes;
};
Result<ConsistencyProof> read_consistency_proof(std::string_view proof_json);

// The verdict of a consistency check of two parsed heads under one key:
// status, reason code and message (and the members of a VERIFIED verdict).
Json consistency_verdict(const TreeNote& old_head, const TreeNote& new_head, const PublicKey& key,
                         std::string_view key_hex, const ConsistencyProof& proof);

}  // namespace orvane::log
