"""Stand-ins for the `vault` program and signer configuration documents.

A stand-in honours the command line the Vault Transit signer uses
("write -field=signature <mount>/sign/<key> input=<base64>") and answers the way
the test asks: a correct "vault:v<n>:<base64>" signature made with PyNaCl, a
wrong one, a failure exit, silence past the deadline, or a flood of output.
Every start appends one JSON line to a log (arguments, what standard input
is, the decoded message and the process id), so tests can count attempts and
check what the child saw.
"""

import json
import os
import stat
import sys

import nacl.signing

CONFORMANCE_MESSAGE = b"orvane.signer-conformance.v1\x00exact-bytes"

_SCRIPT = r'''#!{python}
import base64, json, os, signal, sys, time
BEHAVIOUR = json.loads({behaviour!r})

def record():
    try:
        stdin_target = os.readlink("/proc/self/fd/0")
    except OSError as err:
        stdin_target = "unreadable: %s" % err
    stdin_data = sys.stdin.buffer.read() if stdin_target == "/dev/null" else b"<not read>"
    message = None
    if len(sys.argv) == 5 and sys.argv[4].startswith("input="):
        message = base64.b64decode(sys.argv[4][len("input="):], validate=True).hex()
    with open(BEHAVIOUR["log"], "a") as log:
        log.write(json.dumps({{"argv": sys.argv, "stdin": stdin_target, "stdin_data": stdin_data.hex(),
                              "message": message, "pid": os.getpid()}}) + "\n")
    return bytes.fromhex(message) if message is not None else b""

message = record()
mode = BEHAVIOUR["mode"]
if BEHAVIOUR.get("stderr_flood"):
    sys.stderr.buffer.write(b"x" * BEHAVIOUR["stderr_flood"])
    sys.stderr.flush()
if mode == "sign":
    import nacl.signing
    key = nacl.signing.SigningKey(bytes.fromhex(BEHAVIOUR["seed"]))
    if BEHAVIOUR.get("cut_at_zero"):
        message = message.split(b"\0")[0]
    signature = key.sign(message).signature
    if BEHAVIOUR.get("truncate"):
        signature = signature[:BEHAVIOUR["truncate"]]
    answer = "vault:v%s:%s" % (BEHAVIOUR["version"], base64.b64encode(signature).decode())
    out = BEHAVIOUR.get("before", "") + answer + BEHAVIOUR.get("after", "\n")
    sys.stdout.buffer.write(out.encode())
elif mode == "raw":
    sys.stdout.buffer.write(bytes.fromhex(BEHAVIOUR["stdout"]))
elif mode == "exit":
    sys.stderr.buffer.write(BEHAVIOUR["stderr"].encode())
    sys.stderr.flush()
    sys.exit(BEHAVIOUR["code"])
elif mode == "signal":
    sys.stdout.flush()
    os.kill(os.getpid(), BEHAVIOUR["signal"])
elif mode == "flood":
    chunk = b" " * 65536
    while True:
        sys.stdout.buffer.write(chunk)
sys.stdout.flush()
'''

# A shell stand-in starts in about a millisecond, so even a short deadline
# finds it asleep with its pid written. The background sleeper shares the
# process group and the pipes, as a wrapper's helper would.
_SLEEPER = """#!/bin/sh
echo "$$" >> '{pids}'
{background}exec sleep 60
"""


def _make_executable(path):
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return str(path)


class VaultKey:
    """The key a Vault Transit engine would hold, as PyNaCl sees it."""

    def __init__(self, seed=None):
        self.signing = nacl.signing.SigningKey(seed) if seed else nacl.signing.SigningKey.generate()
        self.seed_hex = bytes(self.signing).hex()
        self.public = self.signing.verify_key.encode().hex()

    def verify(self, message, signature_hex):
        self.signing.verify_key.verify(message, bytes.fromhex(signature_hex))


class StandIn:
    """One stand-in program in `directory` and the log of its starts."""

    def __init__(self, directory, name, behaviour):
        directory.mkdir(parents=True, exist_ok=True)
        self.log = directory / (name + ".log")
        self.path = directory / name
        behaviour = dict(behaviour, log=str(self.log))
        self.path.write_text(_SCRIPT.format(python=sys.executable, behaviour=json.dumps(behaviour)))
        _make_executable(self.path)

    def starts(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


def signing_standin(directory, key, name="vault", version="1", **behaviour):
    return StandIn(directory, name, dict(behaviour, mode="sign", seed=key.seed_hex, version=version))


def raw_standin(directory, stdout: bytes, name="vault"):
    return StandIn(directory, name, {"mode": "raw", "stdout": stdout.hex()})


def exiting_standin(directory, code, stderr, name="vault"):
    return StandIn(directory, name, {"mode": "exit", "code": code, "stderr": stderr})


def signal_standin(directory, signal_number, name="vault"):
    return StandIn(directory, name, {"mode": "signal", "signal": signal_number})


def flooding_standin(directory, name="vault"):
    return StandIn(directory, name, {"mode": "flood"})


class Sleeper:
    """A stand-in that never answers; each start appends its pid (and its
    background helper's pid) to a file."""

    def __init__(self, directory, name="vault", with_helper=False):
        directory.mkdir(parents=True, exist_ok=True)
        self.pids_file = directory / (name + ".pids")
        self.path = directory / name
        background = f"sleep 60 & echo \"$!\" >> '{self.pids_file}'\n" if with_helper else ""
        self.path.write_text(_SLEEPER.format(pids=self.pids_file, background=background))
        _make_executable(self.path)

    def pids(self):
        if not self.pids_file.exists():
            return []
        return [int(line) for line in self.pids_file.read_text().split()]


def process_is_gone(pid):
    """True when `pid` no longer runs: it does not exist, or it is a zombie
    waiting for a parent that is not this process."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def signer_config(public_key, vault_binary=None, **members):
    """A signer configuration document for the Vault Transit signer."""
    document = {
        "schema_version": "orvane.signer-config.v1",
        "provider": "vault-transit-cli",
        "algorithm": "Ed25519",
        "signer_uri": "vault-transit://transit/gate",
        "public_key": public_key,
        "key_version": "1",
    }
    if vault_binary is not None:
        document["vault_binary"] = str(vault_binary)
    document.update(members)
    return {k: v for k, v in document.items() if v is not None}


def write_config(path, document):
    path.write_text(document if isinstance(document, str) else json.dumps(document))
    return str(path)
