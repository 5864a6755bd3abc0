// SHA-256 helpers (OpenSSL: it uses the CPU's SHA extensions).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "primitives/json.hpp"

namespace orvane {

inline constexpr std::size_t kDigestSize = 32;
using Digest = std::array<std::uint8_t, kDigestSize>;

Digest sha256(std::string_view bytes);
std::string sha256_hex(std::string_view bytes);

// sha256_hex of the canonical text of the value.
std::string canonical_digest(const Json& value);

// A digest decoded from its hex text (either case) once, at the edge;
// nullopt unless it is hex of exactly kDigestSize bytes.
std::optional<Digest> parse_digest(std::string_view hex);

}  // namespace orvane
