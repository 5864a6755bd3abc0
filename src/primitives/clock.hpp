#pragma once

#include <cstdint>

#include "common/result.hpp"

namespace orvane {

// Wall-clock microseconds since the Unix epoch; "System time error: <reason>"
// when the clock reads earlier than 1970.
Result<std::uint64_t> now_micros();

}  // namespace orvane
