// UTF-8 text: validity, for text read from files, databases and programs
// before it reaches Python (which refuses invalid bytes) or a digest; lossy
// decoding; and trimming of Unicode whitespace.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Decodes UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Removes leading and trailing Unicode whitespace (White_Space property) from
// UTF-8 text. Bytes that are not valid UTF-8 are never treated as whitespace.
std::string_view trim_unicode(std::string_view text);

// Empty, or Unicode whitespace only.
inline bool is_blank(std::string_view text) { return trim_unicode(text).empty(); }

}  // namespace orvane
