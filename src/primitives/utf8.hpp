// UTF-8 validity, for text read from files and databases before it reaches
// Python (which refuses invalid bytes) or a digest.
#pragma once

#include <string_view>

namespace orvane {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view text);

}  // namespace orvane
