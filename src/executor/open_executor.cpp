// Construction of an executor: pool, gate database path, signer, schema.
#include <cstdlib>
#include <string_view>

#include "executor/connection_pool.hpp"
#include "executor/executor.hpp"
#include "executor/sqlite_execution_store.hpp"
#include "primitives/keys.hpp"
#include "primitives/utf8.hpp"

namespace orvane {
namespace executor {

std::optional<std::string> resolve_gate_db_path(std::optional<std::string> gate_db) {
    if (gate_db) return gate_db;
    const char* value = std::getenv("ORVANE_GATE_DB");
    if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
    return std::string(value);
}

}  // namespace executor

void ExecutorDeleter::operator()(Executor* executor) const { delete executor; }

Result<ExecutorPtr> open_executor(const std::string& db_path, const std::string& keyfile,
                                  std::string_view trusted_gate_id,
                                  std::string_view trusted_tenant_id, std::uint32_t pool_size,
                                  std::optional<std::string> gate_db) {
    if (pool_size == 0) return fail("Executor SQLite pool size must be greater than zero");
    if (pool_size > kMaxPoolSize) {
        return fail("Executor SQLite pool size must be at most " + std::to_string(kMaxPoolSize));
    }

    executor::PoolOptions options;
    options.path = db_path;
    options.capacity = pool_size;
    options.log = executor::stderr_log_sink();
    ORVANE_ASSIGN_OR_RETURN(auto pool,
                            executor::ConnectionPool::create(std::move(options))
                                .with_context("Failed to initialize executor SQLite pool: "));
    auto store = std::make_unique<executor::SqliteExecutionStore>(std::move(pool));

    std::optional<std::string> gate_db_path = executor::resolve_gate_db_path(std::move(gate_db));

    ORVANE_ASSIGN_OR_RETURN(auto signer, load_signer(keyfile));

    ORVANE_TRY(store->initialize_schema());

    ExecutorPtr executor(new Executor{});
    executor->executor_id = signer->identity().public_key;
    executor->store = std::move(store);
    executor->signer = std::move(signer);
    executor->trusted_gate_id = std::string(trusted_gate_id);
    executor->trusted_gate_key_valid = parse_public_key(trusted_gate_id).has_value();
    executor->trusted_tenant_id = std::string(trusted_tenant_id);
    executor->gate_db_path = std::move(gate_db_path);
    return executor;
}

}  // namespace orvane
