// The decision ledger as the OrvaneDDB methods see it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "gate/gate.hpp"

namespace orvane {

struct DecisionInput {
    std::string_view payload;
    std::string_view rules;
};

Result<std::string> record_decision(Gate& gate, std::string_view payload, std::string_view rules,
                                    bool genesis);
Result<std::string> record_decision_batch(Gate& gate, std::span<const DecisionInput> decisions,
                                          bool genesis);
// An invalid ledger fails with the JSON report as the message.
Result<std::string> validate_ledger(Gate& gate);
Result<std::string> export_decisions(Gate& gate);
Result<std::string> list_decisions(Gate& gate, std::uint32_t limit, std::uint32_t offset);
Result<std::uint64_t> count_decisions(Gate& gate);

// Creates the decisions table and its two indexes (construction messages).
Status create_decisions_schema(storage::Connection& db);

}  // namespace orvane
