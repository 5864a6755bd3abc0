// SHA-256 helpers (OpenSSL: it uses the CPU's SHA extensions).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "primitives/json.hpp"

namespace orvane {

using Digest = std::array<std::uint8_t, 32>;

Digest sha256(std::string_view bytes);
std::string sha256_hex(std::string_view bytes);

// sha256_hex of the canonical text of the value.
std::string canonical_digest(const Json& value);

}  // namespace orvane
