// The event stream and checkpoint methods of OrvaneDDB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

Result<std::string> export_event_stream(Gate& gate, std::string_view tenant_id,
                                        std::uint64_t from_sequence, std::uint32_t limit);
Result<std::string> create_checkpoint(Gate& gate, std::string_view tenant_id);
Result<std::string> verify_checkpoint_stream(Gate& gate, std::string_view checkpoint_json,
                                             std::string_view stream_json,
                                             std::optional<std::string_view> expected_public_key);
// The same check under the key the caller trusts, without a gate; no key
// makes the verdict INVALID (ERR_UNTRUSTED_SIGNER).
Result<std::string> verify_checkpoint_stream_under(std::string_view checkpoint_json, std::string_view stream_json,
                                                   const std::optional<std::string>& trusted_public_key);
// verify_checkpoint_stream_under with a key that must be an Ed25519 public key
// in hex (either case); refuses any other text with the key parser's message.
Result<std::string> verify_checkpoint_stream_with_key(std::string_view checkpoint_json, std::string_view stream_json,
                                                     std::string_view public_key);

// The event_stream and checkpoints creation batch, run on every open.
Status create_event_stream_schema(storage::Connection& db);

}  // namespace orvane
