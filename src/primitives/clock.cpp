#include "primitives/clock.hpp"

#include <chrono>

namespace orvane {

Result<std::uint64_t> now_micros() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
    if (micros < 0) return fail("System time error: second time provided was later than self");
    return static_cast<std::uint64_t>(micros);
}

}  // namespace orvane
