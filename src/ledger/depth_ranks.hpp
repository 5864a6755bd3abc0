// Where a page of the newest-first decision listing starts, found without
// stepping over every decision before it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane::ledger {

// How many decisions each causal depth holds, deepest first, kept as runs of
// consecutive depths that hold the same number (a ledger written by record
// and record_batch is one run of single decisions above its genesis). The
// listing orders by depth first, so the row at any offset is "skip s rows of
// depth d": a range query on the depth index instead of an OFFSET that reads
// every row before it. The runs describe one state of the table: they are
// rebuilt (one pass over the depth index) when another connection has
// committed since (SQLite's data_version), and the gate's own appends update
// them after they commit.
class DepthRanks {
public:
    struct Start {
        std::uint64_t depth = 0;  // the depth of the page's first row
        std::uint64_t skip = 0;   // rows of that depth before it, in listing order
    };

    // Whether the runs describe the table at `data_version`.
    bool current(std::int64_t data_version) const { return valid_ && version_ == data_version; }
    // Whether a rebuild at `data_version` already failed (the gate's own
    // appends never mend a depth that is not an integer).
    bool unusable(std::int64_t data_version) const { return failed_ && version_ == data_version; }
    // Reads the runs from the table at `data_version`, inside the caller's
    // read transaction. Fails (and stays invalid) when a depth is not a
    // non-negative integer: such a table is listed the plain way.
    Status rebuild(const storage::Connection& db, std::int64_t data_version);
    // The first row at `offset`, or none beyond the last decision.
    std::optional<Start> locate(std::uint64_t offset) const;
    // `count` decisions committed by the gate's own connection at depths
    // `first_depth`, `first_depth` + 1, ...
    void appended(std::uint64_t first_depth, std::uint64_t count);
    void invalidate() { valid_ = false; }

private:
    struct Run {
        std::uint64_t top = 0;        // deepest depth of the run
        std::uint64_t bottom = 0;     // shallowest depth
        std::uint64_t per_depth = 0;  // decisions at each depth of the run
        std::uint64_t above = 0;      // decisions deeper than `top`
        std::uint64_t rows() const { return (top - bottom + 1) * per_depth; }
    };
    std::vector<Run> runs_;  // deepest first
    std::int64_t version_ = 0;
    bool valid_ = false;
    bool failed_ = false;
};

}  // namespace orvane::ledger
