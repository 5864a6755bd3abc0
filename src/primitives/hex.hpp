// Hexadecimal text: written lower case, read case-insensitively.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace orvane {

std::string hex_encode(std::span<const std::uint8_t> bytes);

// Fails with "Odd number of digits" or "Invalid character '<c>' at position <i>".
Result<std::vector<std::uint8_t>> hex_decode(std::string_view text);

// Decodes into a fixed-size buffer; fails with the hex_decode messages, and
// returns false in `right_size` when the decoded length differs from out.size().
Status hex_decode_into(std::string_view text, std::span<std::uint8_t> out, bool& right_size);

}  // namespace orvane
