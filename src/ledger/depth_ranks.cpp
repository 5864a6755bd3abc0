#include "ledger/depth_ranks.hpp"

#include <algorithm>

namespace orvane::ledger {

Status DepthRanks::rebuild(const storage::Connection& db, std::int64_t data_version) {
    valid_ = false;
    failed_ = true;
    version_ = data_version;
    runs_.clear();
    ORVANE_ASSIGN_OR_RETURN(auto stmt, storage::Statement::prepare(
        db, "SELECT causal_depth, COUNT(*) FROM decisions GROUP BY causal_depth ORDER BY causal_depth DESC"));
    std::uint64_t above = 0;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto row, stmt.step());
        if (!row) break;
        if (stmt.column_type(0) != SQLITE_INTEGER || stmt.column_int64(0) < 0)
            return fail("a causal depth that is not a non-negative integer");
        const auto depth = static_cast<std::uint64_t>(stmt.column_int64(0));
        const auto count = static_cast<std::uint64_t>(stmt.column_int64(1));
        if (!runs_.empty() && runs_.back().per_depth == count && runs_.back().bottom == depth + 1) {
            runs_.back().bottom = depth;
        } else {
            runs_.push_back(Run{depth, depth, count, above});
        }
        above += count;
    }
    valid_ = true;
    failed_ = false;
    return {};
}

std::optional<DepthRanks::Start> DepthRanks::locate(std::uint64_t offset) const {
    // The last run that starts at or before the offset.
    auto after = std::upper_bound(runs_.begin(), runs_.end(), offset,
                                  [](std::uint64_t value, const Run& run) { return value < run.above; });
    if (after == runs_.begin()) return std::nullopt;
    const Run& run = *(after - 1);
    const std::uint64_t within = offset - run.above;
    if (within >= run.rows()) return std::nullopt;  // only possible past the last run
    return Start{run.top - within / run.per_depth, within % run.per_depth};
}

void DepthRanks::appended(std::uint64_t first_depth, std::uint64_t count) {
    if (!valid_ || count == 0) return;
    // Appends above the deepest decision extend the runs; anything else (a
    // new genesis beside old decisions) is rare and read afresh.
    if (!runs_.empty() && first_depth <= runs_.front().top) {
        valid_ = false;
        return;
    }
    const std::uint64_t last_depth = first_depth + count - 1;
    if (!runs_.empty() && runs_.front().per_depth == 1 && runs_.front().top + 1 == first_depth) {
        runs_.front().top = last_depth;
    } else {
        runs_.insert(runs_.begin(), Run{last_depth, first_depth, 1, 0});
    }
    for (auto run = runs_.begin() + 1; run != runs_.end(); ++run) run->above += count;
}

}  // namespace orvane::ledger
