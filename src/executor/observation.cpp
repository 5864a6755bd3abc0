#include "executor/observation.hpp"

#include "primitives/clock.hpp"

namespace orvane::executor {

Result<std::string> sign_observation(const Executor& executor, std::string_view authorization_id,
                                     std::string_view action_id, std::string_view status,
                                     Json details) {
    ORVANE_ASSIGN_OR_RETURN(auto observed_at, now_micros());
    Json observation = Json::object();
    observation["schema_version"] = kObservationSchema;
    observation["authorization_id"] = authorization_id;
    observation["action_id"] = action_id;
    observation["executor_id"] = executor.executor_id;
    observation["status"] = status;
    observation["observed_at"] = observed_at;
    observation["details"] = std::move(details);
    const std::string unsigned_text = canonical_json(observation);
    ORVANE_ASSIGN_OR_RETURN(auto signature, executor.signer->sign(std::span(
        reinterpret_cast<const std::uint8_t*>(unsigned_text.data()), unsigned_text.size())));
    observation["executor_signature"] = std::move(signature);
    return canonical_json(observation);
}

}  // namespace orvane::executor
