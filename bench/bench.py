#!/usr/bin/env python3
"""Benchmark of the module's operations against the floor of what they must do.

Run by hand (never part of the test suite), from the worktree:

    PYTHONPATH=build-dev python3 bench/bench.py [--quick] [--json out.json]

One run measures the floor (Ed25519 sign and verify, one SQLite WAL commit with
synchronous = FULL, SHA-256 of N bytes; by build-dev/orvane_bench_floor, a C++
program linked with the same libsodium, SQLite and OpenSSL the module uses) and
every operation, then prints a Markdown table: time per operation, its floor,
the ratio and the target. Times are medians, so other work on the machine
moves them less than means would.
"""

import argparse
import hashlib
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import _orvane_ddb
from nacl.signing import SigningKey

HERE = os.path.dirname(os.path.abspath(__file__))
TENANT = "acme"
STREAM_TENANT = "bench-stream"


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def now_micros() -> int:
    return time.time_ns() // 1000


def timed(call, *args):
    """(microseconds, result) of one call."""
    start = time.perf_counter_ns()
    result = call(*args)
    return (time.perf_counter_ns() - start) / 1000.0, result


def median(samples):
    return statistics.median(samples)


# ----------------------------------------------------------------------------
# The floor


def find_floor_program(build_dir):
    path = os.path.join(build_dir, "orvane_bench_floor")
    if not os.path.exists(path):
        # The target is part of the developer build; build it when missing.
        subprocess.run(["cmake", "--build", build_dir, "--target", "orvane_bench_floor"], check=True)
    return path


def measure_floor(build_dir, scratch, sha_sizes):
    program = find_floor_program(build_dir)
    out = subprocess.run([program, scratch, *map(str, sha_sizes)], check=True, capture_output=True,
                         text=True).stdout
    floor = json.loads(out)
    floor["sha256"] = {int(k): v for k, v in floor["sha256"].items()}
    return floor


def combine_floors(runs, sha_run):
    """The median of sign, verify and commit over runs taken before, between
    and after the operations (the disk is shared: a commit costs what the
    machine is doing at that moment); SHA-256 from the last run."""
    floor = dict(runs[-1])
    for name in ("sign", "verify", "commit"):
        floor[name] = median([r[name] for r in runs])
        floor[name + "_runs"] = [r[name] for r in runs]
    floor["sha256"] = sha_run["sha256"]
    return floor


# ----------------------------------------------------------------------------
# The world the operations run in


class Key:
    def __init__(self, path):
        text = _orvane_ddb.gen_keys(path)
        data = json.loads(text)
        self.path = path
        self.public = data["public_key"]
        self.signing = SigningKey(bytes.fromhex(data["private_key"]))

    def sign_hex(self, message: bytes) -> str:
        return self.signing.sign(message).signature.hex()


class World:
    def __init__(self, work):
        self.work = work
        self.counter = 0
        self.gate_key = Key(os.path.join(work, "gate.json"))
        self.agent_key = Key(os.path.join(work, "agent.json"))
        self.executor_key = Key(os.path.join(work, "executor.json"))
        self.gate_db = os.path.join(work, "gate.db")
        self.gate = _orvane_ddb.OrvaneDDB(self.gate_db, self.gate_key.path)
        self.gate.register_agent(self.gate_key.public, "gate")
        self.gate.register_agent(self.agent_key.public, "payments-bot",
                                 json.dumps({"role": "proposer", "tenant_id": TENANT}))
        self.gate.register_agent(self.executor_key.public, "payments-runner",
                                 json.dumps({"role": "executor"}))
        self.gate.install_policy(json.dumps({
            "schema_version": "orvane.policy-bundle.v1",
            "policy_version": "acme-payments-1",
            "tenant_id": TENANT,
            "constraints": {
                "allowed_action_types": ["payment.*"],
                "allowed_resources": ["account:acme/*"],
                "allowed_executors": [self.executor_key.public],
                "max_ttl_seconds": 600,
                "max_input_bytes": 4096,
            },
        }))
        self.executor = _orvane_ddb.OrvaneExecutor(os.path.join(work, "executor.db"), self.executor_key.path,
                                                   self.gate_key.public, TENANT, gate_db=self.gate_db)

    def fresh_key(self):
        self.counter += 1
        return Key(os.path.join(self.work, f"k{self.counter}.json"))

    def signed_intent(self, idempotency_key):
        intent = {
            "schema_version": "orvane.action-intent.v1", "tenant_id": TENANT,
            "agent_id": self.agent_key.public, "idempotency_key": idempotency_key,
            "action_type": "payment.send", "resource": "account:acme/ops",
            "requested_at": now_micros(), "input": {"to": "bob", "cents": 1250},
        }
        text = canonical(intent)
        return text.decode(), self.agent_key.sign_hex(text)


def fill_stream(db_path, tenant, count):
    """Appends `count` well-formed events to a tenant's stream in one transaction.

    The stream format is the gate's own (schema, digest chain); the checkpoint
    verification below confirms that the events are as the gate would write them.
    """
    db = sqlite3.connect(db_path)
    prev = "0" * 64
    start = now_micros()
    rows = []
    for seq in range(1, count + 1):
        body = {
            "schema_version": "orvane.event-stream-event.v1", "tenant_id": tenant,
            "sequence_number": seq, "event_id": hashlib.sha256(b"e%d" % seq).hexdigest(),
            "event_type": "action.authorized",
            "payload_hash": hashlib.sha256(b"payload %d" % seq).hexdigest(),
            "prev_event_hash": prev, "timestamp": start + seq,
        }
        digest = hashlib.sha256(canonical(body)).hexdigest()
        stored = dict(body, event_digest=digest)
        rows.append((seq, tenant, body["event_id"], body["event_type"], body["payload_hash"], prev,
                     body["timestamp"], digest, canonical(stored).decode()))
        prev = digest
    with db:
        db.executemany(
            "INSERT INTO event_stream (sequence_number, tenant_id, event_id, event_type, payload_hash,"
            " prev_event_hash, timestamp, event_digest, event_json) VALUES (?,?,?,?,?,?,?,?,?)", rows)
    db.close()


# ----------------------------------------------------------------------------
# The measurements


def bench_ledger(world, args, rows, notes):
    ledger_db = os.path.join(world.work, "ledger.db")
    ledger = _orvane_ddb.OrvaneDDB(ledger_db, world.gate_key.path)
    ledger.register_agent(world.gate_key.public, "gate")
    ledger.record('{"event":"genesis"}', '["init"]', True)

    samples = [timed(ledger.record, '{"decision":"approve","amount":%d}' % i, '["limit<=100"]')[0]
               for i in range(args.records)]
    rows["record"] = median(samples)

    batch = [('{"decision":"approve","amount":%d,"note":"batch"}' % i, '["limit<=100","kyc"]')
             for i in range(1000)]
    samples = [timed(ledger.record_batch, batch)[0] / len(batch) for _ in range(args.batches)]
    rows["record_batch"] = median(samples)

    have = ledger.count()
    if have < args.ledger:
        fill = [('{"decision":"fill","n":%d}' % i, '[]') for i in range(args.ledger - have)]
        ledger.record_batch(fill)
    total = ledger.count()

    report = json.loads(ledger.validate())
    assert report["status"] == "valid", report
    # One core: worker threads inherit the caller's CPU set.
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        samples = [timed(ledger.validate)[0] / total for _ in range(args.validates)]
    finally:
        os.sched_setaffinity(0, cpus)
    rows["validate (1 core)"] = median(samples)
    samples = [timed(ledger.validate)[0] / total for _ in range(args.validates)]
    rows[f"validate ({len(cpus)} cores)"] = median(samples)
    notes.append(f"validate: a ledger of {total} decisions; one worker per core "
                 f"({len(cpus)} here); the floor stays one verify per decision.")
    del ledger


def bench_authorization(world, args, rows):
    samples = [timed(world.gate.verify_agent, world.agent_key.public)[0] for _ in range(args.n)]
    assert world.gate.verify_agent(world.agent_key.public)
    rows["verify_agent"] = median(samples)

    requests = [world.signed_intent(f"bench-{os.getpid()}-{i}") for i in range(args.n)]
    permits, samples = [], []
    for text, signature in requests:
        spent, permit = timed(world.gate.request_action_signed, text, world.agent_key.public, signature, 300)
        samples.append(spent)
        permits.append(permit)
    assert json.loads(permits[0])["authorization"]["decision"] == "ALLOWED", permits[0]
    rows["request_action_signed (fresh)"] = median(samples)

    samples = []
    for (text, signature), permit in zip(requests, permits):
        spent, again = timed(world.gate.request_action_signed, text, world.agent_key.public, signature, 300)
        samples.append(spent)
        assert again == permit
    rows["request_action_signed (replay)"] = median(samples)

    samples = [timed(world.executor.verify_and_consume_permit, p)[0] for p in permits]
    rows["verify_and_consume_permit"] = median(samples)

    receipts = [json.loads(p)["authorization"] for p in permits]
    outcomes, samples = [], []
    for r in receipts:
        spent, outcome = timed(world.executor.complete_execution, r["authorization_id"], r["action_id"],
                               "SUCCEEDED", '{"transfer_id":"tx-%s"}' % r["action_id"][:8])
        samples.append(spent)
        outcomes.append(outcome)
    rows["complete_execution"] = median(samples)

    results, samples = [], []
    for r, outcome in zip(receipts, outcomes):
        spent, result = timed(world.gate.commit_outcome_signed, r["authorization_id"], outcome)
        samples.append(spent)
        results.append(result)
    assert json.loads(results[0])["receipt"]["status"] == "SUCCEEDED"
    rows["commit_outcome_signed (fresh)"] = median(samples)

    samples = []
    for r, outcome, result in zip(receipts, outcomes, results):
        spent, again = timed(world.gate.commit_outcome_signed, r["authorization_id"], outcome)
        samples.append(spent)
        assert again == result
    rows["commit_outcome_signed (replay)"] = median(samples)


def bench_identity(world, args, rows):
    metadata = json.dumps({"role": "proposer", "tenant_id": TENANT})
    rotating = [world.fresh_key() for _ in range(args.identities)]
    revoking = [world.fresh_key() for _ in range(args.identities)]
    for i, key in enumerate(rotating + revoking):
        world.gate.register_agent(key.public, f"bench-agent-{i}", metadata)
    successors = [world.fresh_key() for _ in rotating]
    rows["rotate_agent"] = median([timed(world.gate.rotate_agent, old.public, new.public)[0]
                                   for old, new in zip(rotating, successors)])
    rows["revoke_agent"] = median([timed(world.gate.revoke_agent, key.public, "benchmark")[0]
                                   for key in revoking])


def bench_checkpoints(world, args, rows, sizes):
    fill_stream(world.gate_db, STREAM_TENANT, args.events)
    samples, checkpoint = [], None
    for _ in range(args.checkpoints):
        spent, checkpoint = timed(world.gate.create_checkpoint, STREAM_TENANT)
        samples.append(spent)
    rows["create_checkpoint"] = median(samples)
    assert json.loads(checkpoint)["total_events"] == args.events

    stream = world.gate.export_event_stream(STREAM_TENANT, 1, args.events)
    samples = []
    for _ in range(args.checkpoints):
        spent, verdict = timed(world.gate.verify_checkpoint_stream, checkpoint, stream, world.gate_key.public)
        samples.append(spent)
    assert json.loads(verdict)["status"] == "VERIFIED", verdict
    rows["verify_checkpoint_stream"] = median(samples)
    sizes["create_checkpoint"] = 64 * args.events
    sizes["verify_checkpoint_stream"] = len(stream.encode())


# ----------------------------------------------------------------------------
# The table


def floors(floor, sizes, cores):
    s, v, c = floor["sign"], floor["verify"], floor["commit"]
    sha = floor["sha256"]
    return {
        # operation: (floor in µs, how the floor is made up, target ratio)
        "record": (s + c, "sign + commit", 1.3),
        "record_batch": (s + c / 1000, "sign + commit/1000", 1.5),
        "validate (1 core)": (v, "verify", 1.25),
        f"validate ({cores} cores)": (v, "verify", None),
        "verify_agent": (v, "verify", None),
        "request_action_signed (fresh)": (v + s + c, "verify + sign + commit", 1.5),
        "request_action_signed (replay)": (v + s + c, "verify + sign + commit", None),
        "verify_and_consume_permit": (v + s + c, "verify + sign + commit", 1.5),
        "complete_execution": (s + c, "sign + commit", 2.5),
        "commit_outcome_signed (fresh)": (v + s + c, "verify + sign + commit", 1.5),
        "commit_outcome_signed (replay)": (v + s + c, "verify + sign + commit", None),
        "create_checkpoint": (sha[sizes["create_checkpoint"]],
                              f"SHA-256 of {sizes['create_checkpoint']:,} B", None),
        "verify_checkpoint_stream": (sha[sizes["verify_checkpoint_stream"]],
                                     f"SHA-256 of {sizes['verify_checkpoint_stream']:,} B", None),
        "rotate_agent": (2 * s + 2 * v + c, "2 sign + 2 verify + commit", None),
        "revoke_agent": (s + 2 * v + c, "sign + 2 verify + commit", None),
    }


NOTES = [
    "Times are medians of single calls (record_batch: of 1,000-decision batches, per decision; "
    "validate: of whole runs, per decision). The floor is measured three times (before, between "
    "and after the operations) and its median is used; the commit varies most, with the disk.",
    "The floor commit writes one small row; the operations' commits write several b-trees "
    "(table, unique keys, indexes, the event stream), so their own commit costs more than the floor's.",
    "Each object remembers its valid Ed25519 checks from call to call: after the first call, a fresh "
    "request verifies the intent, a consumption the receipt, and a fresh commit the stored receipt and "
    "the outcome; the unchanged registrations, bundles and attestations are looked up.",
    "verify_agent of an agent registered by the gate verifies two signatures (the agent's "
    "registration and the gate's own); its floor is one, as asked.",
    "verify_and_consume_permit keeps its read-only gate connection while the file stays the same "
    "(revocation and outcome checks) and commits in the executor database.",
    "rotate_agent signs twice (the event and the new key's registration) and verifies the current "
    "key's and the gate's registrations; revoke_agent signs once and verifies the same two.",
    "create_checkpoint hashes the 64-character digests of all events, signs and stores one row; "
    "verify_checkpoint_stream parses the exported stream and recomputes every event digest.",
]


def table(rows, floor, sizes, cores):
    made = floors(floor, sizes, cores)
    lines = ["| operation | µs/op | floor (µs) | floor is | ratio | target |",
             "|---|---:|---:|---|---:|---:|"]
    for name, micros in rows.items():
        base, what, target = made[name]
        ratio = micros / base
        mark = "" if target is None else (" ✓" if ratio <= target else " ✗")
        lines.append(f"| {name} | {micros:,.1f} | {base:,.1f} | {what} | {ratio:.2f}{mark} | "
                     f"{'—' if target is None else f'≤{target}'} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", help="where orvane_bench_floor is (default: build-dev)",
                        default=os.environ.get("ORVANE_BUILD_DIR", os.path.join(os.path.dirname(HERE), "build-dev")))
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (a smoke run)")
    parser.add_argument("--json", help="also write the numbers to this file")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    parser.add_argument("--no-counts", dest="counts", action="store_false",
                        help="skip counting the Ed25519 calls of each operation")
    args = parser.parse_args()
    scale = 0.2 if args.quick else 1.0
    args.n = max(10, int(200 * scale))          # calls per authorization-road operation
    args.records = max(20, int(200 * scale))
    args.batches = max(2, int(9 * scale))
    args.ledger = 10_000
    args.validates = max(3, int(7 * scale))
    args.identities = max(10, int(40 * scale))
    args.events = 10_000
    args.checkpoints = max(3, int(9 * scale))

    work = tempfile.mkdtemp(prefix="orvane-bench-")
    try:
        runs = [measure_floor(args.build_dir, work, [])]
        world = World(work)
        rows, sizes, notes = {}, {}, []
        bench_ledger(world, args, rows, notes)
        bench_authorization(world, args, rows)
        runs.append(measure_floor(args.build_dir, work, []))
        bench_checkpoints(world, args, rows, sizes)
        bench_identity(world, args, rows)
        cores = len(os.sched_getaffinity(0))
        last = measure_floor(args.build_dir, work, sorted(set(sizes.values())))
        floor = combine_floors(runs + [last], last)
        del world
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    print(f"Floor (µs, median of 3 runs): Ed25519 sign {floor['sign']:.1f}, verify {floor['verify']:.1f} "
          f"(libsodium {floor['sodium']}); WAL commit, synchronous=FULL {floor['commit']:.1f} "
          f"(runs: {', '.join(f'{c:.0f}' for c in floor['commit_runs'])}; SQLite {floor['sqlite']}); " +
          ", ".join(f"SHA-256 of {n:,} B {t:.1f}" for n, t in sorted(floor["sha256"].items())))
    print()
    print(table(rows, floor, sizes, cores))
    print()
    for note in notes + NOTES:
        print("- " + note)
    if args.counts:
        print()
        print("Ed25519 work per call (bench/count_verifications.py):")
        print()
        sys.stdout.flush()
        subprocess.run([sys.executable, os.path.join(HERE, "count_verifications.py")], check=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"floor": floor, "rows": rows, "sizes": sizes}, f, indent=2)


if __name__ == "__main__":
    sys.exit(main())
