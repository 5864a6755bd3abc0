// Text checks shared by the identity operations.
#pragma once

#include <string_view>

namespace orvane {

// The text without leading and trailing Unicode White_Space characters
// (UTF-8); invalid sequences count as non-space.
std::string_view trim_unicode(std::string_view text);

inline bool is_blank(std::string_view text) { return trim_unicode(text).empty(); }

}  // namespace orvane
