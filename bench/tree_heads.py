#!/usr/bin/env python3
"""Benchmark of the stream trees: what keeping the tree adds to an
authorization, what a signed tree head, a proof and its verification cost at
10^3 and 10^6 events, and a checkpoint at the same sizes beside them.

Run by hand, from the worktree:

    PYTHONPATH=build-dev python3 bench/tree_heads.py [--quick] [--max-events N]

The large streams are written straight into a gate file (the gate's own event
format, chained as the gate chains it) and their trees are built the way an
older file gets them: by the gate, once, when it is opened.
"""

import argparse
import hashlib
import json
import math
import os
import random
import shutil
import sqlite3
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import _orvane_ddb  # noqa: E402

from bench import TENANT, World, canonical, measure_floor, median, now_micros, timed  # noqa: E402

STREAM = "bench-tree"


def event_row(tenant, seq, prev, start):
    body = {
        "schema_version": "orvane.event-stream-event.v1", "tenant_id": tenant,
        "sequence_number": seq, "event_id": hashlib.sha256(b"e%d" % seq).hexdigest(),
        "event_type": "action.authorized",
        "payload_hash": hashlib.sha256(b"payload %d" % seq).hexdigest(),
        "prev_event_hash": prev, "timestamp": start + seq,
    }
    digest = hashlib.sha256(canonical(body)).hexdigest()
    stored = canonical(dict(body, event_digest=digest)).decode()
    return (seq, tenant, body["event_id"], body["event_type"], body["payload_hash"], prev, body["timestamp"],
            digest, stored), digest


def write_stream(db_path, tenant, count, first=1, prev="0" * 64):
    db = sqlite3.connect(db_path)
    start = now_micros()
    batch = []
    with db:
        for seq in range(first, first + count):
            row, prev = event_row(tenant, seq, prev, start)
            batch.append(row)
            if len(batch) == 50_000:
                db.executemany("INSERT INTO event_stream VALUES (?,?,?,?,?,?,?,?,?)", batch)
                batch.clear()
        db.executemany("INSERT INTO event_stream VALUES (?,?,?,?,?,?,?,?,?)", batch)
    db.close()
    return prev


def bench_append_cost(work, args):
    """request_action_signed with the tree kept (A) and with the tree's work
    cut short (B: a leaf far ahead of the stream makes each append stop after
    its one size lookup), interleaved so the disk's moods hit both alike."""
    a_dir, b_dir = os.path.join(work, "a"), os.path.join(work, "b")
    os.makedirs(a_dir)
    os.makedirs(b_dir)
    a, b = World(a_dir), World(b_dir)
    conn = sqlite3.connect(b.gate_db)
    with conn:
        conn.execute("INSERT INTO log_nodes VALUES (?1, 0, 1000000000000, zeroblob(32))", (TENANT,))
    conn.close()
    samples = {"a": [], "b": []}
    for i in range(args.n):
        for name, world in (("a", a), ("b", b)) if i % 2 == 0 else (("b", b), ("a", a)):
            text, signature = world.signed_intent(f"tree-{name}-{i}")
            spent, permit = timed(world.gate.request_action_signed, text, world.agent_key.public, signature, 300)
            samples[name].append(spent)
    assert json.loads(permit)["authorization"]["decision"] == "ALLOWED"
    nodes = sqlite3.connect(a.gate_db).execute("SELECT count(*) FROM log_nodes WHERE tenant_id = ?1",
                                               (TENANT,)).fetchone()[0]
    assert nodes > args.n, nodes  # A kept its tree
    return median(samples["a"]), median(samples["b"])


def bench_size(work, key, events, args):
    db_path = os.path.join(work, f"stream-{events}.db")
    gate = _orvane_ddb.OrvaneDDB(db_path, key.path)
    del gate
    prev = write_stream(db_path, STREAM, events)
    conn = sqlite3.connect(db_path)
    conn.execute("DROP TABLE log_nodes")
    conn.execute("DROP TABLE tree_heads")
    conn.close()
    backfill, gate = timed(_orvane_ddb.OrvaneDDB, db_path, key.path)
    out = {"backfill": backfill}

    # Each head covers one more event than the last, so each call signs and
    # commits (the same tree again returns the stored head).
    # The first heads after the tree is built warm the connection's caches and
    # the file's pages; only the steady state after them is measured.
    heads, samples = [], []
    size = events
    for i in range(args.warmup_heads + args.heads):
        prev = write_stream(db_path, STREAM, 1, first=size + 1, prev=prev)
        size += 1
        spent, note = timed(gate.create_tree_head, STREAM)
        if i >= args.warmup_heads:
            samples.append(spent)
        heads.append(note)
    out["create_tree_head"] = median(samples)
    head = heads[-1]
    assert int(head.split("\n")[1]) == size

    rng = random.Random(7)
    picks = [rng.randrange(1, size + 1) for _ in range(args.proofs)]
    out["prove_inclusion"] = median([timed(gate.prove_inclusion, STREAM, s, size)[0] for s in picks])
    olds = [rng.randrange(1, size) for _ in range(args.proofs)]
    out["prove_consistency"] = median([timed(gate.prove_consistency, STREAM, o, size)[0] for o in olds])

    key_hex = key.public
    checks = []
    for s in picks[: args.verifies]:
        event = gate.export_event_stream(STREAM, s, 1)[1:-1]
        proof = gate.prove_inclusion(STREAM, s, size)
        checks.append((event, proof))
    samples = []
    for event, proof in checks:
        spent, verdict = timed(_orvane_ddb.verify_inclusion, head, key_hex, event, proof)
        samples.append(spent)
    assert json.loads(verdict)["status"] == "VERIFIED", verdict
    out["verify_inclusion"] = median(samples)
    out["proof_hashes"] = len(json.loads(checks[0][1])["hashes"])

    samples = [timed(gate.create_checkpoint, STREAM)[0] for _ in range(args.checkpoints)]
    out["create_checkpoint"] = median(samples)
    out["events"] = size
    del gate
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ORVANE_BUILD_DIR",
                                                              os.path.join(os.path.dirname(HERE), "build-dev")))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--max-events", type=int, default=1_000_000)
    args = parser.parse_args()
    scale = 0.2 if args.quick else 1.0
    args.n = max(20, int(600 * scale))
    args.heads = max(20, int(150 * scale))
    args.warmup_heads = max(5, int(20 * scale))
    args.proofs = max(50, int(500 * scale))
    args.verifies = max(50, int(300 * scale))
    args.checkpoints = 3

    work = tempfile.mkdtemp(prefix="orvane-tree-bench-")
    try:
        floor = measure_floor(args.build_dir, work, [65])
        with_tree, without_tree = bench_append_cost(work, args)
        from bench import Key
        key = Key(os.path.join(work, "stream-gate.json"))
        sizes = [n for n in (1_000, args.max_events) if n <= args.max_events]
        results = [bench_size(work, key, n, args) for n in sorted(set(sizes))]
        floor2 = measure_floor(args.build_dir, work, [65])
    finally:
        shutil.rmtree(work, ignore_errors=True)

    s = median([floor["sign"], floor2["sign"]])
    v = median([floor["verify"], floor2["verify"]])
    c = median([floor["commit"], floor2["commit"]])
    h65 = median([floor["sha256"][65], floor2["sha256"][65]])
    print(f"Floor (µs): Ed25519 sign {s:.1f}, verify {v:.1f}; WAL commit (synchronous=FULL) {c:.1f}; "
          f"SHA-256 of 65 B {h65:.2f}")
    print()
    print("| operation | events | µs/op | floor (µs) | floor is | ratio | target |")
    print("|---|---:|---:|---:|---|---:|---:|")
    extra = (with_tree - without_tree) / without_tree
    print(f"| request_action_signed, tree kept vs cut short | — | {with_tree:,.1f} vs {without_tree:,.1f} | "
          f"{without_tree:,.1f} | the same call without the tree | +{extra * 100:.1f} % | ≤ +5 % |")
    for r in results:
        n = r["events"]
        depth = math.ceil(math.log2(n))
        rows = [
            ("create_tree_head", r["create_tree_head"], s + c, "sign + commit", 1.2),
            ("prove_inclusion", r["prove_inclusion"], None, "", 200),
            ("prove_consistency", r["prove_consistency"], None, "", 200),
            ("verify_inclusion", r["verify_inclusion"], v + depth * h65, f"verify + {depth} × SHA-256(65 B)", 1.5),
            ("create_checkpoint", r["create_checkpoint"], s + c, "sign + commit", None),
        ]
        for name, micros, base, what, target in rows:
            if base is None:
                mark = " ✓" if micros <= target else " ✗"
                print(f"| {name} | {n:,} | {micros:,.1f} | — | — | —{mark} | ≤ {target} µs |")
            else:
                ratio = micros / base
                mark = "" if target is None else (" ✓" if ratio <= target else " ✗")
                print(f"| {name} | {n:,} | {micros:,.1f} | {base:,.1f} | {what} | {ratio:.2f}{mark} | "
                      f"{'—' if target is None else f'≤ {target}'} |")
    print()
    for r in results:
        print(f"- {r['events']:,} events: the tree of the stream was built on open in "
              f"{r['backfill'] / 1e6:.2f} s; proofs hold {r['proof_hashes']} hashes.")
    print("- create_tree_head: each head covers one event more than the last (written straight into the "
          "stream), so each call takes that event into the tree, signs and commits.")
    print("- The 'cut short' run keeps one size lookup per append (the leaf far ahead of the stream is "
          "found and the append stops); everything else of the tree is left out.")


if __name__ == "__main__":
    sys.exit(main())
