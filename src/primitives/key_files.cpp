#include "primitives/key_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace orvane {
namespace {

constexpr const char* kNotRegular = "not a regular file";

// Closes a descriptor however the caller leaves.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

std::string os_error(int err) { return std::strerror(err); }

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The folder part of a path, with its final slash ("" for a bare name).
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Makes the rename itself durable; a folder that cannot be flushed leaves the
// key in place, only less certain to survive a crash, so this is not a failure.
void sync_folder(const std::string& folder) {
    Descriptor dir{::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0) ::fsync(dir.fd);
}

}  // namespace

Result<std::string> read_regular_file(const std::string& path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return fail(os_error(errno));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return fail(os_error(errno));
    if (!S_ISREG(st.st_mode)) return fail(kNotRegular);
    // Sized once from the file, so that a key is not left behind in the
    // buffers of a growing string; a file that grows meanwhile is read on.
    std::string content(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) content.resize(content.size() * 2);
        const ssize_t n = ::read(file.fd, content.data() + used, content.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    content.resize(used);
    return content;
}

std::expected<void, FileWriteError> write_private_file(const std::string& path, std::string_view content) {
    auto refused = [](bool creating, std::string reason) {
        return std::unexpected(FileWriteError{creating, std::move(reason)});
    };
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return refused(true, kNotRegular);

    const std::string folder = folder_of(path);
    std::string name = folder + ".orvane-key-XXXXXX";
    std::vector<char> temp(name.begin(), name.end());
    temp.push_back('\0');
    // mkostemp creates the file with mode 0600 whatever the umask.
    Descriptor file{::mkostemp(temp.data(), O_CLOEXEC)};
    if (file.fd < 0) return refused(true, os_error(errno));
    const std::string temp_path(temp.data());

    auto abandon = [&](bool creating, int err) {
        if (file.fd >= 0) ::close(file.release());
        ::unlink(temp_path.c_str());
        return refused(creating, os_error(err));
    };
    if (!write_all(file.fd, content) || ::fsync(file.fd) != 0) return abandon(false, errno);
    if (::close(file.release()) != 0) return abandon(false, errno);
    if (::rename(temp_path.c_str(), path.c_str()) != 0) return abandon(true, errno);
    sync_folder(folder);
    return {};
}

}  // namespace orvane
