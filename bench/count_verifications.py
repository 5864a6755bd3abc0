#!/usr/bin/env python3
"""Counts the Ed25519 verifications (and signatures) each operation performs.

Run by hand, from the worktree:

    PYTHONPATH=build-dev python3 bench/count_verifications.py

A tiny shared library, compiled on the spot, is preloaded in front of
libsodium: it counts the calls of crypto_sign_verify_detached (the module's one
verification entry), crypto_sign_detached and crypto_core_ed25519_is_valid_point that reach libsodium through the
dynamic linker, and passes each call on. The script re-runs itself under
LD_PRELOAD, builds a gate, an agent, an executor and a policy, and reports the
counters around one call of each operation. The shim links libsodium itself, so
that the next definition of each name is found even though Python loads the
module (and its libsodium) with RTLD_LOCAL. PyNaCl (used here to sign the
intents) carries its own copy of libsodium, which may route through the same
names; the script never calls it inside a counted window.
"""

import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
static unsigned long counts[3];
typedef int (*verify_fn)(const unsigned char*, const unsigned char*, unsigned long long, const unsigned char*);
typedef int (*sign_fn)(unsigned char*, unsigned long long*, const unsigned char*, unsigned long long, const unsigned char*);
typedef int (*point_fn)(const unsigned char*);
int crypto_sign_verify_detached(const unsigned char* s, const unsigned char* m, unsigned long long n, const unsigned char* pk) {
    static verify_fn real; if (!real) real = (verify_fn)dlsym(RTLD_NEXT, "crypto_sign_verify_detached");
    counts[0]++; return real(s, m, n, pk);
}
int crypto_sign_detached(unsigned char* s, unsigned long long* l, const unsigned char* m, unsigned long long n, const unsigned char* sk) {
    static sign_fn real; if (!real) real = (sign_fn)dlsym(RTLD_NEXT, "crypto_sign_detached");
    counts[1]++; return real(s, l, m, n, sk);
}
int crypto_core_ed25519_is_valid_point(const unsigned char* p) {
    static point_fn real; if (!real) real = (point_fn)dlsym(RTLD_NEXT, "crypto_core_ed25519_is_valid_point");
    counts[2]++; return real(p);
}
void orvane_counts(unsigned long* out) { for (int i = 0; i < 3; ++i) out[i] = counts[i]; }
"""


def build_shim(directory):
    source = os.path.join(directory, "count_shim.c")
    library = os.path.join(directory, "count_shim.so")
    with open(source, "w") as f:
        f.write(SHIM)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", library, source, "-Wl,--no-as-needed", "-lsodium", "-ldl"], check=True)
    return library


def counted_run():
    import _orvane_ddb
    from nacl.signing import SigningKey

    shim = ctypes.CDLL(None)
    out = (ctypes.c_ulong * 3)()

    def snapshot():
        shim.orvane_counts(out)
        return list(out)

    def count(label, call, *args):
        before = snapshot()
        result = call(*args)
        after = snapshot()
        verify, sign, point = (a - b for a, b in zip(after, before))
        rows.append((label, verify, sign, point))
        return result

    def canonical(value):
        return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()

    rows = []
    work = tempfile.mkdtemp(prefix="orvane-count-")
    keys = {}
    for name in ("gate", "agent", "executor", "spare", "spare2"):
        path = os.path.join(work, name + ".json")
        data = json.loads(_orvane_ddb.gen_keys(path))
        keys[name] = (path, data["public_key"], SigningKey(bytes.fromhex(data["private_key"])))
    pub = {name: k[1] for name, k in keys.items()}
    gate_db = os.path.join(work, "gate.db")
    gate = _orvane_ddb.OrvaneDDB(gate_db, keys["gate"][0])
    gate.register_agent(pub["gate"], "gate")
    gate.register_agent(pub["agent"], "bot", json.dumps({"role": "proposer", "tenant_id": "acme"}))
    gate.register_agent(pub["executor"], "runner", json.dumps({"role": "executor"}))
    gate.register_agent(pub["spare"], "spare", json.dumps({"tenant_id": "acme"}))
    gate.register_agent(pub["spare2"], "spare2", json.dumps({"tenant_id": "acme"}))
    gate.install_policy(json.dumps({
        "schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-1", "tenant_id": "acme",
        "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["*"],
                        "allowed_executors": [pub["executor"]], "max_ttl_seconds": 600,
                        "max_input_bytes": 4096}}))
    executor = _orvane_ddb.OrvaneExecutor(os.path.join(work, "executor.db"), keys["executor"][0],
                                          pub["gate"], "acme", gate_db=gate_db)

    def signed_intent(key):
        text = canonical({
            "schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": pub["agent"],
            "idempotency_key": key, "action_type": "payment.send", "resource": "account:acme/1",
            "requested_at": time.time_ns() // 1000, "input": {"cents": 5}})
        return text.decode(), keys["agent"][2].sign(text).signature.hex()

    count("verify_agent", gate.verify_agent, pub["agent"])
    intent, signature = signed_intent("count-1")
    permit = count("request_action_signed (fresh)", gate.request_action_signed, intent, pub["agent"],
                   signature, 120)
    count("request_action_signed (replay)", gate.request_action_signed, intent, pub["agent"], signature, 120)
    receipt = json.loads(permit)["authorization"]
    count("verify_and_consume_permit", executor.verify_and_consume_permit, permit)
    outcome = count("complete_execution", executor.complete_execution, receipt["authorization_id"],
                    receipt["action_id"], "SUCCEEDED", "{}")
    count("commit_outcome_signed (fresh)", gate.commit_outcome_signed, receipt["authorization_id"], outcome)
    count("commit_outcome_signed (replay)", gate.commit_outcome_signed, receipt["authorization_id"], outcome)
    # The same operations once more on the same objects: the checks of
    # unchanged documents are remembered from the calls above.
    intent, signature = signed_intent("count-2")
    permit = count("request_action_signed (fresh, next call)", gate.request_action_signed, intent, pub["agent"],
                   signature, 120)
    receipt = json.loads(permit)["authorization"]
    count("verify_and_consume_permit (next call)", executor.verify_and_consume_permit, permit)
    outcome = executor.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED", "{}")
    count("commit_outcome_signed (fresh, next call)", gate.commit_outcome_signed, receipt["authorization_id"],
          outcome)
    count("rotate_agent", gate.rotate_agent, pub["spare"], _new_key(_orvane_ddb, work))
    count("revoke_agent", gate.revoke_agent, pub["spare2"], "counting")
    count("record (first, loads the key)", gate.record, "{}", "[]", True)
    count("record", gate.record, "{}", "[]")
    gate.record_batch([("{}", "[]")] * 98)
    count("validate (100 decisions)", gate.validate)
    count("create_checkpoint", gate.create_checkpoint, "acme")
    checkpoint = gate.create_checkpoint("acme")
    count("verify_checkpoint_stream", gate.verify_checkpoint_stream, checkpoint,
          gate.export_event_stream("acme"), pub["gate"])

    print("| operation | Ed25519 verifications | signatures | point checks |")
    print("|---|---:|---:|---:|")
    for label, verify, sign, point in rows:
        print(f"| {label} | {verify} | {sign} | {point} |")


def _new_key(module, work):
    path = os.path.join(work, "rotated.json")
    return json.loads(module.gen_keys(path))["public_key"]


def main():
    if os.environ.get("ORVANE_COUNT_SHIM"):
        counted_run()
        return 0
    with tempfile.TemporaryDirectory(prefix="orvane-shim-") as directory:
        library = build_shim(directory)
        env = dict(os.environ, LD_PRELOAD=library, ORVANE_COUNT_SHIM="1")
        return subprocess.run([sys.executable, os.path.abspath(__file__)], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
