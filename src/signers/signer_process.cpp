#include "signers/signer_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace orvane::signers {

namespace {

// Output beyond this is drained but not kept: a valid answer is one short line.
constexpr std::size_t kMaxKeptOutput = 1 << 20;

std::string os_error(int error) { return std::strerror(error); }

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    bool ready = false;
    ~SpawnActions() {
        if (ready) posix_spawn_file_actions_destroy(&actions);
    }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    bool ready = false;
    ~SpawnAttributes() {
        if (ready) posix_spawnattr_destroy(&attributes);
    }
};

// Kills and reaps the child unless it was reaped already.
struct Child {
    pid_t pid = -1;
    bool reaped = false;
    ~Child() {
        if (pid > 0 && !reaped) {
            kill_group();
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    void kill_group() const {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
};

// Reads what is available on the pipe, at most a bounded amount so that a
// child that never stops writing cannot keep the caller from its deadline;
// closes the pipe at end of file. Returns an errno value, or 0.
int drain(Fd& pipe, std::string& kept) {
    char buffer[8192];
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::read(pipe.fd, buffer, sizeof buffer);
        if (n > 0) {
            const std::size_t room = kept.size() < kMaxKeptOutput ? kMaxKeptOutput - kept.size() : 0;
            kept.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
            continue;
        }
        if (n == 0) {
            pipe.close();
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return errno;
    }
    return 0;
}

// Waits up to `wait_ms` for data on the open pipes and reads it.
int pump(Fd& out, Fd& err, std::string& out_text, std::string& err_text, int wait_ms) {
    pollfd fds[2];
    nfds_t count = 0;
    if (out.fd >= 0) fds[count++] = {out.fd, POLLIN, 0};
    if (err.fd >= 0) fds[count++] = {err.fd, POLLIN, 0};
    if (count == 0) {
        if (wait_ms > 0) ::usleep(static_cast<useconds_t>(wait_ms) * 1000);
        return 0;
    }
    const int ready = ::poll(fds, count, wait_ms);
    if (ready < 0) return errno == EINTR ? 0 : errno;
    if (ready == 0) return 0;
    if (out.fd >= 0) {
        if (int error = drain(out, out_text)) return error;
    }
    if (err.fd >= 0) {
        if (int error = drain(err, err_text)) return error;
    }
    return 0;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        return code == 0 ? std::string() : "exit code: " + std::to_string(code);
    }
    if (WIFSIGNALED(status)) return "signal: " + std::to_string(WTERMSIG(status));
    return "status: " + std::to_string(status);
}

}  // namespace

namespace {

// The child's standard input from /dev/null, its output and errors into the
// pipes. The failure is the error number.
int set_file_actions(SpawnActions& actions, int out_fd, int err_fd) {
    if (int error = posix_spawn_file_actions_init(&actions.actions)) return error;
    actions.ready = true;
    int error = posix_spawn_file_actions_addopen(&actions.actions, 0, "/dev/null", O_RDONLY, 0);
    if (!error) error = posix_spawn_file_actions_adddup2(&actions.actions, out_fd, 1);
    if (!error) error = posix_spawn_file_actions_adddup2(&actions.actions, err_fd, 2);
    return error;
}

// Its own process group, so a forced end also reaches whatever the program
// started itself (a wrapper script's real signer, for instance). The program
// starts with no signal blocked and with SIGPIPE and SIGXFSZ at their
// defaults: the interpreter ignores both, and an ignored disposition would
// otherwise survive the exec. The failure is the error number.
int set_attributes(SpawnAttributes& attributes) {
    if (int error = posix_spawnattr_init(&attributes.attributes)) return error;
    attributes.ready = true;
    sigset_t no_signals, default_signals;
    sigemptyset(&no_signals);
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    sigaddset(&default_signals, SIGXFSZ);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    int error = posix_spawnattr_setflags(&attributes.attributes, flags);
    if (!error) error = posix_spawnattr_setpgroup(&attributes.attributes, 0);
    if (!error) error = posix_spawnattr_setsigmask(&attributes.attributes, &no_signals);
    if (!error) error = posix_spawnattr_setsigdefault(&attributes.attributes, &default_signals);
    return error;
}

using Clock = std::chrono::steady_clock;

// Reads the child's output until it ends, or ends its group at the deadline.
Status wait_for_exit(Child& child, Fd& out, Fd& err, ProgramOutput& output, int& status,
                     Clock::time_point deadline, std::uint64_t timeout_ms) {
    for (;;) {
        const pid_t done = ::waitpid(child.pid, &status, WNOHANG);
        if (done < 0) {
            if (errno == EINTR) continue;
            const int wait_error = errno;
            // No such child any more (someone else reaped it): its pid may be
            // reused already, so it must not be signalled.
            if (wait_error == ECHILD) child.reaped = true;
            return fail("failed while waiting for signer: " + os_error(wait_error));
        }
        if (done == child.pid) {
            child.reaped = true;
            return {};
        }
        if (Clock::now() >= deadline) {
            child.kill_group();
            while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
            }
            child.reaped = true;
            return fail("signer timed out after " + std::to_string(timeout_ms) + "ms");
        }
        if (int e = pump(out, err, output.standard_output, output.standard_error, 10)) {
            return fail("failed to read signer output: " + os_error(e));
        }
    }
}

// The program has ended; read the pipes to their end. Something it left
// running may still hold them open, so the reading stops at the deadline.
Status drain_after_exit(Fd& out, Fd& err, ProgramOutput& output, Clock::time_point deadline) {
    while (out.fd >= 0 || err.fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int wait_ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 10));
        if (int e = pump(out, err, output.standard_output, output.standard_error, wait_ms)) {
            return fail("failed to read signer output: " + os_error(e));
        }
        if (left.count() <= 0) break;
    }
    return {};
}

}  // namespace

Result<ProgramOutput> run_signer_program(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         std::uint64_t timeout_ms) {
    const std::string start_failure = "could not start '" + program + "': ";
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return fail(start_failure + os_error(errno));
    Fd out_read, out_write;
    out_read.fd = out_pipe[0], out_write.fd = out_pipe[1];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return fail(start_failure + os_error(errno));
    Fd err_read, err_write;
    err_read.fd = err_pipe[0], err_write.fd = err_pipe[1];

    SpawnActions actions;
    if (int error = set_file_actions(actions, out_write.fd, err_write.fd)) return fail(start_failure + os_error(error));
    SpawnAttributes attributes;
    if (int error = set_attributes(attributes)) return fail(start_failure + os_error(error));

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    Child child;
    if (int e = posix_spawnp(&child.pid, program.c_str(), &actions.actions, &attributes.attributes,
                             argv.data(), environ)) {
        child.pid = -1;
        return fail(start_failure + os_error(e));
    }
    out_write.close();
    err_write.close();
    for (Fd* fd : {&out_read, &err_read}) {
        ::fcntl(fd->fd, F_SETFL, ::fcntl(fd->fd, F_GETFL) | O_NONBLOCK);
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    ProgramOutput output;
    int status = 0;
    ORVANE_TRY(wait_for_exit(child, out_read, err_read, output, status, deadline, timeout_ms));
    ORVANE_TRY(drain_after_exit(out_read, err_read, output, deadline));
    output.failed_status = describe_status(status);
    return output;
}

}  // namespace orvane::signers
