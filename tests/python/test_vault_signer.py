"""The Vault Transit signer as an operator meets it: the `vault` program is run
with a fixed command line, its answer is checked against the configured key,
failures are retried and reported with their attempt, and no child outlives
the call. The program is a stand-in written by the test."""

import base64
import json
import os
import signal

import pytest

import _orvane_ddb

from vault_helpers import (
    CONFORMANCE_MESSAGE,
    Sleeper,
    VaultKey,
    exiting_standin,
    flooding_standin,
    process_is_gone,
    raw_standin,
    signal_standin,
    signer_config,
    signing_standin,
    write_config,
)


@pytest.fixture
def vault_key():
    return VaultKey()


def gate_with(tmp_path, document):
    keyfile = write_config(tmp_path / "signer.json", document)
    return _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), keyfile)


def conformance(tmp_path, vault_key, program, **members):
    gate = gate_with(tmp_path, signer_config(vault_key.public, program, **members))
    return gate.signer_conformance()


def refusal(tmp_path, vault_key, program, **members):
    with pytest.raises(RuntimeError) as raised:
        conformance(tmp_path, vault_key, program, **members)
    return str(raised.value)


class TestExchange:
    def test_the_child_sees_the_command_line_and_no_input(self, tmp_path, vault_key):
        standin = signing_standin(tmp_path / "bin", vault_key)
        result = json.loads(conformance(tmp_path, vault_key, standin.path))
        assert result["signer"] == {"algorithm": "Ed25519", "key_version": "1", "public_key": vault_key.public,
                                    "signer_uri": "vault-transit://transit/gate"}
        (start,) = standin.starts()
        assert start["argv"][1:] == ["write", "-field=signature", "transit/sign/gate",
                                     "input=" + base64.b64encode(CONFORMANCE_MESSAGE).decode()]
        assert bytes.fromhex(start["message"]) == CONFORMANCE_MESSAGE
        assert (start["stdin"], start["stdin_data"]) == ("/dev/null", "")

    def test_the_child_starts_with_default_signal_handling(self, tmp_path, vault_key):
        # The interpreter ignores SIGPIPE and a thread may block signals;
        # neither may leak into the program.
        status = tmp_path / "status"
        program = tmp_path / "bin" / "vault"
        program.parent.mkdir()
        program.write_text(f"#!/bin/sh\nexec cat /proc/self/status > '{status}'\n")
        program.chmod(0o755)
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGTERM})
        try:
            refusal(tmp_path, vault_key, program, max_attempts=1)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        fields = dict(line.split(":\t") for line in status.read_text().splitlines() if ":\t" in line)
        assert int(fields["SigBlk"], 16) == 0
        ignored = int(fields["SigIgn"], 16)
        assert not ignored & (1 << (signal.SIGPIPE - 1)) and not ignored & (1 << (signal.SIGXFSZ - 1))

    def test_surrounding_whitespace_is_accepted(self, tmp_path, vault_key):
        standin = signing_standin(tmp_path / "bin", vault_key, before=" \u3000\n", after=" \r\n\u2028")
        assert json.loads(conformance(tmp_path, vault_key, standin.path))["status"] == "PASS"

    def test_whitespace_inside_the_signature_is_skipped(self, tmp_path, vault_key):
        signature = base64.b64encode(vault_key.signing.sign(CONFORMANCE_MESSAGE).signature).decode()
        spaced = signature[:20] + " \t" + signature[20:60] + "\n" + signature[60:]
        standin = raw_standin(tmp_path / "bin", b"vault:v1:" + spaced.encode())
        assert json.loads(conformance(tmp_path, vault_key, standin.path))["status"] == "PASS"

    def test_a_program_found_on_path(self, tmp_path, vault_key, monkeypatch):
        standin = signing_standin(tmp_path / "bin", vault_key)
        monkeypatch.setenv("PATH", str(tmp_path / "bin") + os.pathsep + os.environ.get("PATH", ""))
        gate = gate_with(tmp_path, signer_config(vault_key.public))  # vault_binary defaults to "vault"
        assert json.loads(gate.signer_conformance())["status"] == "PASS"
        assert len(standin.starts()) == 1

    def test_a_chatty_program_is_read_while_it_runs(self, tmp_path, vault_key):
        # 1 MB on standard error and 200 kB of padding on standard output, far
        # beyond a pipe buffer: unread pipes would stall the child until the
        # deadline and the call would fail with a timeout.
        standin = signing_standin(tmp_path / "bin", vault_key, stderr_flood=1_000_000, before="\n" * 200_000)
        result = conformance(tmp_path, vault_key, standin.path, timeout_ms=60000, max_attempts=1)
        assert json.loads(result)["status"] == "PASS"


class TestAnswersThatAreRefused:
    """A delivered answer is checked once; a bad one is never retried."""

    @pytest.mark.parametrize("answer, message", [
        ("vault:v2:{sig}", "ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v1:..."),
        ("vault:v1:{sig}:extra", "ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v1:..."),
        ("Vault:v1:{sig}", "ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v1:..."),
        ("", "ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v1:..."),
        ("vault:v1:abc", "ORVANE_SIGNER_RESPONSE_INVALID: invalid base64 signature"),
        ("vault:v1:{sig}", "ORVANE_SIGNER_RESPONSE_INVALID: invalid base64 signature"),  # no padding
        ("vault:v1:{short}", "ORVANE_SIGNER_RESPONSE_INVALID: Ed25519 signature must be 64 bytes"),
    ])
    def test_malformed_answers(self, tmp_path, vault_key, answer, message):
        signature = vault_key.signing.sign(CONFORMANCE_MESSAGE).signature
        sig = base64.b64encode(signature).decode()
        if message.endswith("invalid base64 signature") and "{sig}" in answer:
            sig = sig.rstrip("=")
        text = answer.format(sig=sig, short=base64.b64encode(signature[:63]).decode())
        standin = raw_standin(tmp_path / "bin", text.encode())
        assert refusal(tmp_path, vault_key, standin.path, max_attempts=3) == message
        assert len(standin.starts()) == 1

    def test_another_key_version_of_the_same_key(self, tmp_path, vault_key):
        standin = signing_standin(tmp_path / "bin", vault_key, version="1")
        assert refusal(tmp_path, vault_key, standin.path, key_version="2") == \
            "ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v2:..."

    def test_a_signature_by_another_key(self, tmp_path, vault_key):
        standin = signing_standin(tmp_path / "bin", VaultKey())
        assert refusal(tmp_path, vault_key, standin.path) == \
            "ORVANE_SIGNER_RESPONSE_INVALID: signature does not match configured public key"
        assert len(standin.starts()) == 1


class TestUnavailableSigner:
    """Exchange failures are retried at once and reported with the last attempt."""

    def test_a_failure_exit_reports_the_code_and_standard_error(self, tmp_path, vault_key):
        standin = exiting_standin(tmp_path / "bin", 3, "  permission denied\n")
        assert refusal(tmp_path, vault_key, standin.path, max_attempts=3) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 3/3: signer exited with exit code: 3: permission denied"
        assert len(standin.starts()) == 3

    def test_output_that_is_not_utf8(self, tmp_path, vault_key):
        standin = raw_standin(tmp_path / "bin", b"vault:v1:\xff")
        assert refusal(tmp_path, vault_key, standin.path) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: signer returned non-UTF-8 output"
        assert len(standin.starts()) == 2

    def test_a_child_ended_by_a_signal(self, tmp_path, vault_key):
        standin = signal_standin(tmp_path / "bin", signal.SIGTERM)
        assert refusal(tmp_path, vault_key, standin.path, max_attempts=1) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: signer exited with signal: 15: "

    def test_a_missing_program(self, tmp_path, vault_key):
        missing = tmp_path / "bin" / "no-such-vault"
        assert refusal(tmp_path, vault_key, missing) == \
            f"ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: could not start '{missing}': No such file or directory"

    def test_the_default_program_missing_from_path(self, tmp_path, vault_key, monkeypatch):
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        gate = gate_with(tmp_path, signer_config(vault_key.public, max_attempts=1))
        with pytest.raises(RuntimeError, match="^ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: could not start 'vault': "):
            gate.signer_conformance()

class TestDeadline:
    def test_a_silent_program_is_killed_and_waited_for_each_attempt(self, tmp_path, vault_key):
        sleeper = Sleeper(tmp_path / "bin")
        assert refusal(tmp_path, vault_key, sleeper.path, timeout_ms=300, max_attempts=2) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: signer timed out after 300ms"
        pids = sleeper.pids()
        assert len(pids) == 2
        for pid in pids:  # reaped, not left as a zombie
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)

    def test_helpers_the_program_started_are_ended_too(self, tmp_path, vault_key):
        sleeper = Sleeper(tmp_path / "bin", with_helper=True)
        assert refusal(tmp_path, vault_key, sleeper.path, timeout_ms=300, max_attempts=1) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: signer timed out after 300ms"
        program, helper = sleeper.pids()
        with pytest.raises(ProcessLookupError):
            os.kill(program, 0)
        assert process_is_gone(helper)

    def test_a_program_that_never_stops_writing(self, tmp_path, vault_key):
        standin = flooding_standin(tmp_path / "bin")
        assert refusal(tmp_path, vault_key, standin.path, timeout_ms=300, max_attempts=1) == \
            "ORVANE_SIGNER_UNAVAILABLE: attempt 1/1: signer timed out after 300ms"
        (start,) = standin.starts()
        with pytest.raises(ProcessLookupError):
            os.kill(start["pid"], 0)

    def test_a_child_reaped_behind_the_signers_back(self, tmp_path, vault_key):
        # With SIGCHLD ignored the kernel reaps children itself; the wait then
        # fails and is reported instead of being mistaken for an answer.
        standin = signing_standin(tmp_path / "bin", vault_key)
        previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        try:
            message = refusal(tmp_path, vault_key, standin.path)
        finally:
            signal.signal(signal.SIGCHLD, previous)
        assert message == "ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: failed while waiting for signer: No child processes"
        assert len(standin.starts()) == 2
