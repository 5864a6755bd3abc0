// The files that hold keys: read without ever blocking on something that is
// not a file, written so that no reader ever sees a half-written or
// world-readable key.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace orvane {

// The whole content of a regular file. A FIFO, a device or a directory is
// refused ("not a regular file") without waiting for a writer; the failure
// is the reason alone (the operating system's text).
Result<std::string> read_regular_file(const std::string& path);

struct FileWriteError {
    bool creating;  // the file could not be created or put in place (else: written)
    std::string reason;
};

// Replaces `path` with a new file of mode 0600 holding `content`: written to a
// temporary file in the same folder, flushed to stable storage, then renamed
// over `path`. A crash leaves the old file or the new one, never half of one;
// a symbolic link at `path` is replaced, not followed. Anything else that is
// not a regular file (a FIFO, a directory) is refused.
std::expected<void, FileWriteError> write_private_file(const std::string& path, std::string_view content);

}  // namespace orvane
