// The SQLite implementation of the execution store, over the connection pool.
// Every operation takes one pooled connection for its duration.
#pragma once

#include <memory>

#include "executor/connection_pool.hpp"
#include "executor/execution_store.hpp"

namespace orvane::executor {

class SqliteExecutionStore final : public ExecutionStore {
public:
    explicit SqliteExecutionStore(std::unique_ptr<ConnectionPool> pool) : pool_(std::move(pool)) {}

    Status initialize_schema() override;
    Status consume_permit(std::string_view authorization_id, std::string_view action_id,
                          std::string_view observation) override;
    Status complete_consumption(std::string_view authorization_id, std::string_view status,
                                std::string_view outcome, std::string_view observation) override;
    Status mark_consumption_unknown(std::string_view authorization_id,
                                    std::string_view observation) override;
    Result<std::optional<ConsumptionRecord>> load_consumption(
        std::string_view authorization_id) override;
    Result<std::vector<ConsumptionRecord>> list_started_before(std::uint64_t cutoff) override;

    ConnectionPool& pool() { return *pool_; }

private:
    // "Failed to acquire executor SQLite connection: <pool failure>".
    Result<PooledConnection> connection();
    std::unique_ptr<ConnectionPool> pool_;
};

}  // namespace orvane::executor
