// Text helpers for signer configurations and signer program output.
#pragma once

#include <string>
#include <string_view>

namespace orvane::signers {

// Removes leading and trailing Unicode whitespace (White_Space property) from
// UTF-8 text. Bytes that are not valid UTF-8 are never treated as whitespace.
std::string_view trim_unicode(std::string_view text);

bool is_valid_utf8(std::string_view bytes);

// Decodes UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace orvane::signers
