// The executor observation ("orvane.executor-observation.v1"): the signed
// record the executor keeps of each step of an execution.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "executor/executor.hpp"
#include "primitives/json.hpp"

namespace orvane::executor {

inline constexpr std::string_view kObservationSchema = "orvane.executor-observation.v1";

// Builds the observation at the executor's clock, signs its canonical bytes
// with the executor signer and returns the canonical text of the signed object.
Result<std::string> sign_observation(const Executor& executor, std::string_view authorization_id,
                                     std::string_view action_id, std::string_view status,
                                     Json details);

}  // namespace orvane::executor
