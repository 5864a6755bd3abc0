// The OrvaneExecutor object and its methods.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane {

struct Executor;
struct ExecutorDeleter {
    void operator()(Executor* executor) const;
};
using ExecutorPtr = std::unique_ptr<Executor, ExecutorDeleter>;

// The largest pool an executor opens. The pool fills itself while the caller
// waits (and holds the interpreter lock), each connection costing descriptors
// and memory; one executor serves one call at a time, so more connections
// than this only exhaust the process.
inline constexpr std::uint32_t kMaxPoolSize = 256;

Result<ExecutorPtr> open_executor(const std::string& db_path, const std::string& keyfile,
                                  std::string_view trusted_gate_id,
                                  std::string_view trusted_tenant_id, std::uint32_t pool_size,
                                  std::optional<std::string> gate_db);

Result<std::string> verify_and_consume_permit(Executor& executor, std::string_view permit_json);
Result<std::string> complete_execution(Executor& executor, std::string_view authorization_id,
                                       std::string_view action_id, std::string_view status,
                                       std::string_view output_json);
Result<std::string> mark_unknown(Executor& executor, std::string_view authorization_id,
                                 std::string_view reason);
Result<std::string> recover_incomplete(Executor& executor, std::uint64_t older_than_seconds);
Result<std::string> get_execution_state(Executor& executor, std::string_view authorization_id);

}  // namespace orvane
