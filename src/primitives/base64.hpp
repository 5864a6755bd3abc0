// Standard base64 (RFC 4648, with padding), as signed notes carry keys, roots
// and signatures. libsodium does the work.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace orvane {

std::string base64_encode(std::span<const std::uint8_t> bytes);

// Strict: padding required, no whitespace or other characters, and only the
// one canonical text of each byte string (unused trailing bits must be zero),
// so that a note cannot be re-encoded under the same signature. Fails with
// "invalid base64".
Result<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace orvane
