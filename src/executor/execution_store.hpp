// The executor database as the executor's operations see it. The executor
// holds it as this interface, so nothing outside the store depends on SQLite.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace orvane::executor {

// One row of consumed_permits.
struct ConsumptionRecord {
    std::string authorization_id;
    std::string action_id;
    std::string status;  // STARTED, SUCCEEDED, FAILED or UNKNOWN
    std::uint64_t started_at = 0;
    std::optional<std::uint64_t> completed_at;
    std::optional<std::string> outcome;
    std::string observation_json;
};

class ExecutionStore {
public:
    virtual ~ExecutionStore() = default;

    // Creates the consumed_permits table and its recovery index, adding the
    // observation column to tables created before it existed.
    virtual Status initialize_schema() = 0;
    // Records a permit as STARTED; a permit or action seen before fails with
    // "Permit already consumed or action ID re-used".
    virtual Status consume_permit(std::string_view authorization_id, std::string_view action_id,
                                  std::string_view observation) = 0;
    // STARTED -> SUCCEEDED / FAILED with the signed outcome.
    virtual Status complete_consumption(std::string_view authorization_id, std::string_view status,
                                        std::string_view outcome, std::string_view observation) = 0;
    // STARTED -> UNKNOWN.
    virtual Status mark_consumption_unknown(std::string_view authorization_id,
                                            std::string_view observation) = 0;
    virtual Result<std::optional<ConsumptionRecord>> load_consumption(
        std::string_view authorization_id) = 0;
    // Rows still STARTED whose started_at is at or before the cutoff, oldest first.
    virtual Result<std::vector<ConsumptionRecord>> list_started_before(std::uint64_t cutoff) = 0;
};

}  // namespace orvane::executor
