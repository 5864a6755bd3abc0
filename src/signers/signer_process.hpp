// Runs the signer program as a child process: an argument list and no shell,
// standard input on the null device, standard output and error piped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace orvane::signers {

struct ProgramOutput {
    std::string standard_output;
    std::string standard_error;
    // "exit code: <n>", or "signal: <n>" for a child ended by a signal; empty
    // when the program exited with status 0.
    std::string failed_status;
};

// Starts `program` (looked up on PATH when it has no "/") with `arguments` and
// waits for it up to `timeout_ms`, reading both pipes meanwhile so that a
// chatty child cannot stall on a full pipe. A child still running at the
// deadline is killed together with its process group and reaped. Failures are
// the exchange messages ("could not start ...", "signer timed out after ...",
// "failed while waiting for signer: ...", "failed to read signer output: ...").
Result<ProgramOutput> run_signer_program(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         std::uint64_t timeout_ms);

}  // namespace orvane::signers
