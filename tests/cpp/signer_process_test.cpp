// The signer child process: argument passing without a shell, output captured
// while the child runs, and the deadline with a killed and reaped child.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "signers/signer_process.hpp"

using orvane::signers::run_signer_program;

namespace {

auto run_shell(const std::string& script, std::uint64_t timeout_ms = 5000) {
    return run_signer_program("/bin/sh", {"-c", script, "standin", "a b", "$HOME"}, timeout_ms);
}

}  // namespace

TEST(SignerProcess, ArgumentsAreNotReinterpretedByAShell) {
    auto out = run_shell("printf '%s|%s' \"$1\" \"$2\"");
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->standard_output, "a b|$HOME");
    EXPECT_TRUE(out->failed_status.empty());
}

TEST(SignerProcess, StandardInputIsEmpty) {
    auto out = run_shell("cat; echo done");
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->standard_output, "done\n");
}

TEST(SignerProcess, ExitStatusAndStandardErrorAreReported) {
    auto out = run_shell("echo 'permission denied' >&2; exit 3");
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->failed_status, "exit code: 3");
    EXPECT_EQ(out->standard_error, "permission denied\n");
    auto killed = run_shell("kill -TERM $$");
    ASSERT_TRUE(killed.has_value()) << killed.error();
    EXPECT_EQ(killed->failed_status, "signal: 15");
}

TEST(SignerProcess, OutputLargerThanAPipeBufferDoesNotStall) {
    auto out = run_shell("head -c 300000 /dev/zero | tr '\\0' x >&2; echo answer", 10000);
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->standard_output, "answer\n");
    EXPECT_EQ(out->standard_error.size(), 300000u);
}

TEST(SignerProcess, ChildPastTheDeadlineIsKilledAndReaped) {
    auto out = run_shell("sleep 30", 150);
    ASSERT_FALSE(out.has_value());
    EXPECT_NE(out.error().find("timed out"), std::string::npos) << out.error();
    // No child of this process is left, running or as a zombie.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(SignerProcess, MissingProgramFailsToStart) {
    auto out = run_signer_program("/nonexistent/vault", {"write"}, 1000);
    ASSERT_FALSE(out.has_value());
}
