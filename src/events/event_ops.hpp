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

// The event_stream and checkpoints creation batch, run on every open.
Status create_event_stream_schema(storage::Connection& db);

}  // namespace orvane
