#!/usr/bin/env python3
"""Per-call cost as the gate grows: the scale table of the benchmark.

Run by hand (never part of the test suite), from the worktree:

    PYTHONPATH=build-dev python3 bench/scale.py [--sizes 1000,100000,1000000] [--samples 30]

One gate, its executor and a tenant policy grow step by step to each size: the
decision ledger, the authorizations with their outcomes, the tenant's event
stream and the executor's consumed permits all hold that many rows. The rows
are valid ones, as the gate and the executor would write them (each filled
action has its signed intent, gate-signed receipt, signed outcome and
execution receipt, signed observation and its two chained events), but are
built here with PyNaCl and hashlib in large transactions: the first filled
action is rebuilt from the inputs of a real action and compared with what the
module wrote, so the templates cannot drift from the module's formats. At each
size every per-call operation is timed (median of single calls) and the table
gives its ratio to the smallest size.
"""

import argparse
import hashlib
import json
import multiprocessing
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import _orvane_ddb  # noqa: E402
from nacl.signing import SigningKey  # noqa: E402

from bench import TENANT, World, canonical, now_micros, timed  # noqa: E402

TARGET = 1.3
PAGE = 100  # events of one export page
LIST_PAGE = 10  # decisions of one list page


def sha_hex(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def digest_of(value) -> str:
    return sha_hex(canonical(value))


# ----------------------------------------------------------------------------
# Rows of one completed action, as the gate and the executor write them


class Templates:
    """What a real action left in the databases, and the keys to re-sign with."""

    def __init__(self, world, permit_text, outcome_text, execution_text, observation_text):
        self.gate_seed = bytes(world.gate_key.signing)
        self.agent_seed = bytes(world.agent_key.signing)
        self.executor_seed = bytes(world.executor_key.signing)
        self.permit = json.loads(permit_text)
        self.outcome = json.loads(outcome_text)
        self.execution = json.loads(execution_text)
        self.observation = json.loads(observation_text)


def action_rows(t, keys, idempotency_key, at):
    """The rows of one completed action: (authorization row, outcome row,
    consumed-permit row, authorized event, executed event)."""
    gate, agent, executor = keys
    permit = t.permit
    intent = dict(permit["intent"], idempotency_key=idempotency_key, requested_at=at)
    intent_bytes = canonical(intent)
    old = permit["authorization"]
    ttl = (old["expires_at"] - old["issued_at"]) // 1_000_000
    receipt = {k: v for k, v in old.items() if k not in ("authorization_id", "gate_signature")}
    receipt["action_id"] = sha_hex(b"\0".join(s.encode() for s in (
        "orvane.action.v1", intent["tenant_id"], intent["agent_id"], idempotency_key)))
    receipt["intent_hash"] = sha_hex(intent_bytes)
    receipt["evidence_digest"] = digest_of({
        "schema_version": "orvane.policy-evidence.v1", "policy_digest": permit["policy_bundle"]["policy_digest"],
        "intent": intent, "ttl_seconds": ttl})
    receipt["issued_at"] = at
    receipt["expires_at"] = at + ttl * 1_000_000
    authorization_id = digest_of(receipt)
    receipt["authorization_id"] = authorization_id
    receipt["gate_signature"] = gate.sign(bytes.fromhex(authorization_id)).signature.hex()
    result = {"schema_version": permit["schema_version"], "intent": intent,
              "agent_signature": agent.sign(intent_bytes).signature.hex(),
              "policy_bundle": permit["policy_bundle"], "authorization": receipt}
    result_text = canonical(result).decode()
    action_id = receipt["action_id"]

    outcome = {k: v for k, v in t.outcome.items() if k != "executor_signature"}
    outcome.update(authorization_id=authorization_id, action_id=action_id)
    outcome_bytes = canonical(outcome)
    outcome["executor_signature"] = executor.sign(outcome_bytes).signature.hex()
    outcome_text = canonical(outcome).decode()
    completed_at = at + 1
    body = {k: v for k, v in t.execution["receipt"].items() if k not in ("receipt_id", "gate_signature")}
    body.update(authorization_id=authorization_id, action_id=action_id, intent_hash=receipt["intent_hash"],
                outcome_hash=sha_hex(outcome_bytes), completed_at=completed_at)
    receipt_id = digest_of(body)
    execution_receipt = dict(body, receipt_id=receipt_id,
                             gate_signature=gate.sign(bytes.fromhex(receipt_id)).signature.hex())
    execution_text = canonical({"schema_version": t.execution["schema_version"], "receipt": execution_receipt,
                                "outcome": outcome}).decode()

    observation = {k: v for k, v in t.observation.items() if k != "executor_signature"}
    observation.update(authorization_id=authorization_id, action_id=action_id, observed_at=completed_at,
                       details={"outcome_hash": sha_hex(outcome_text.encode())})
    observation["executor_signature"] = executor.sign(canonical(observation)).signature.hex()

    tenant = intent["tenant_id"]
    return (
        (authorization_id, action_id, tenant, intent["agent_id"], idempotency_key, receipt["intent_hash"],
         receipt["decision"], at, receipt["expires_at"], result_text),
        (receipt_id, authorization_id, action_id, outcome["executor_id"], body["outcome_hash"], completed_at,
         execution_text),
        (authorization_id, action_id, "SUCCEEDED", at, completed_at, outcome_text, canonical(observation).decode()),
        ("action.authorized", authorization_id, sha_hex(result_text.encode()), at),
        ("action.executed" if outcome["status"] == "SUCCEEDED" else "action.failed", receipt_id,
         sha_hex(execution_text.encode()), completed_at),
    )


def build_chunk(args):
    templates, start, count, at = args
    keys = tuple(SigningKey(seed) for seed in (templates.gate_seed, templates.agent_seed, templates.executor_seed))
    return [action_rows(templates, keys, f"fill-{i}", at + i) for i in range(start, start + count)]


def event_row(tenant, sequence, prev, event_type, event_id, payload_hash, timestamp):
    event = {"schema_version": "orvane.event-stream-event.v1", "tenant_id": tenant, "sequence_number": sequence,
             "event_id": event_id, "event_type": event_type, "payload_hash": payload_hash,
             "prev_event_hash": prev, "timestamp": timestamp}
    digest = digest_of(event)
    event["event_digest"] = digest
    return (sequence, tenant, event_id, event_type, payload_hash, prev, timestamp, digest,
            canonical(event).decode())


def stream_head(db, tenant):
    row = db.execute("SELECT sequence_number, event_digest FROM event_stream WHERE tenant_id = ?1 "
                     "ORDER BY sequence_number DESC LIMIT 1", (tenant,)).fetchone()
    return (row[0], row[1]) if row else (0, "0" * 64)


def fill_actions(world, templates, pool, first, count):
    """Appends `count` completed actions (fill-<first> onwards) in large transactions."""
    gate = sqlite3.connect(world.gate_db, isolation_level=None)
    executor = sqlite3.connect(world.executor_db, isolation_level=None)
    chunk = 5_000
    at = now_micros()
    jobs = [(templates, s, min(chunk, first + count - s), at) for s in range(first, first + count, chunk)]
    sequence, prev = stream_head(gate, TENANT)
    for rows in pool.imap(build_chunk, jobs):
        events = []
        for _, _, _, authorized, executed in rows:
            for event in (authorized, executed):
                sequence += 1
                events.append(event_row(TENANT, sequence, prev, *event))
                prev = events[-1][7]
        gate.execute("BEGIN")
        gate.executemany("INSERT INTO action_authorizations (authorization_id, action_id, tenant_id, agent_id, "
                         "idempotency_key, intent_hash, decision, issued_at, expires_at, authorization_json) "
                         "VALUES (?,?,?,?,?,?,?,?,?,?)", [r[0] for r in rows])
        gate.executemany("INSERT INTO action_outcomes (receipt_id, authorization_id, action_id, executor_id, "
                         "outcome_hash, completed_at, execution_json) VALUES (?,?,?,?,?,?,?)", [r[1] for r in rows])
        gate.executemany("INSERT INTO event_stream (sequence_number, tenant_id, event_id, event_type, payload_hash,"
                         " prev_event_hash, timestamp, event_digest, event_json) VALUES (?,?,?,?,?,?,?,?,?)", events)
        gate.execute("COMMIT")
        executor.execute("BEGIN")
        executor.executemany("INSERT INTO consumed_permits (authorization_id, action_id, status, started_at, "
                             "completed_at, outcome, observation_json) VALUES (?,?,?,?,?,?,?)", [r[2] for r in rows])
        executor.execute("COMMIT")
    gate.close()
    executor.close()


def check_templates(world, templates, idempotency_key, requested_at, permit_text, outcome_text,
                    execution_text, observation_text):
    """The rows built from a real action's own inputs equal what the module stored."""
    keys = tuple(SigningKey(s) for s in (templates.gate_seed, templates.agent_seed, templates.executor_seed))
    issued_at = templates.permit["authorization"]["issued_at"]
    rebuilt = action_rows(templates, keys, idempotency_key, requested_at)
    authorization = json.loads(rebuilt[0][9])
    expected = json.loads(permit_text)
    # Only the times differ: the module stamped its own.
    authorization["authorization"] = {k: v for k, v in authorization["authorization"].items()
                                      if k not in ("authorization_id", "gate_signature")}
    expected["authorization"] = {k: v for k, v in expected["authorization"].items()
                                 if k not in ("authorization_id", "gate_signature")}
    authorization["authorization"]["issued_at"] = issued_at
    authorization["authorization"]["expires_at"] = expected["authorization"]["expires_at"]
    assert authorization == expected, "authorization template drifted"
    assert set(json.loads(rebuilt[1][6])) == set(json.loads(execution_text)), "execution template drifted"
    assert set(json.loads(rebuilt[2][6])) == set(json.loads(observation_text)), "observation template drifted"
    assert set(json.loads(rebuilt[2][5])) == set(json.loads(outcome_text)), "outcome template drifted"


# ----------------------------------------------------------------------------
# The measurements at one size


def real_action(world, key):
    text, signature = world.signed_intent(key)
    return json.loads(text), world.gate.request_action_signed(text, world.agent_key.public, signature, 300)


def measure(world, samples, tag):
    gate, executor = world.gate, world.executor
    rows = {}
    rows["record"] = statistics.median(
        timed(gate.record, '{"decision":"approve","amount":%d}' % i, '["limit<=100"]')[0] for i in range(samples))

    requests = [world.signed_intent(f"scale-{tag}-{i}") for i in range(samples)]
    spent, permits = [], []
    for text, signature in requests:
        micros, permit = timed(gate.request_action_signed, text, world.agent_key.public, signature, 300)
        spent.append(micros)
        permits.append(permit)
    rows["request_action_signed (fresh)"] = statistics.median(spent)
    rows["verify_and_consume_permit"] = statistics.median(
        timed(executor.verify_and_consume_permit, p)[0] for p in permits)
    receipts = [json.loads(p)["authorization"] for p in permits]
    outcomes = [executor.complete_execution(r["authorization_id"], r["action_id"], "SUCCEEDED",
                                            '{"transfer_id":"tx-%s"}' % r["action_id"][:8]) for r in receipts]
    rows["commit_outcome_signed (fresh)"] = statistics.median(
        timed(gate.commit_outcome_signed, r["authorization_id"], o)[0] for r, o in zip(receipts, outcomes))

    db = sqlite3.connect(world.gate_db)
    (head,), = db.execute("SELECT MAX(sequence_number) FROM event_stream WHERE tenant_id = ?1", (TENANT,))
    db.close()
    start = max(1, head - PAGE + 1)
    rows["export_event_stream (last page)"] = statistics.median(
        timed(gate.export_event_stream, TENANT, start, PAGE)[0] for _ in range(samples))
    total = gate.count()
    offset = max(0, total - LIST_PAGE)
    page = gate.list(LIST_PAGE, offset)
    assert json.loads(page)[-1]["parent_id"] == "genesis"
    rows["list (last page)"] = statistics.median(timed(gate.list, LIST_PAGE, offset)[0] for _ in range(samples))
    if hasattr(gate, "create_tree_head"):
        # The signed tree head over the tenant's stream, once its API is there.
        rows["create_tree_head"] = statistics.median(
            timed(gate.create_tree_head, TENANT)[0] for _ in range(samples))
    return rows


def sizes_of(world):
    db = sqlite3.connect(world.gate_db)
    counts = {table: db.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]
              for table in ("decisions", "action_authorizations", "action_outcomes", "event_stream")}
    db.close()
    return counts


def grow(world, templates, pool, size, filled):
    """Fills every table up to `size` rows; returns the number of filled actions."""
    have = world.gate.count()
    while have < size:
        step = min(50_000, size - have)
        world.gate.record_batch([('{"decision":"fill","n":%d}' % (have + i), '[]') for i in range(step)])
        have += step
    db = sqlite3.connect(world.gate_db)
    (actions,), = db.execute("SELECT COUNT(*) FROM action_authorizations")
    db.close()
    if actions < size:
        fill_actions(world, templates, pool, filled, size - actions)
        filled += size - actions
    return filled


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,100000",
                        help="comma-separated row counts, ascending (add 1000000 for the full table)")
    parser.add_argument("--samples", type=int, default=30, help="single calls timed per operation and size")
    parser.add_argument("--json", help="also write the numbers to this file")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    # The workers that sign the filled rows start before the module opens
    # anything (threads and connections are not forked).
    pool = multiprocessing.Pool(len(os.sched_getaffinity(0)))
    work = tempfile.mkdtemp(prefix="orvane-scale-")
    results = {}
    try:
        world = World(work)
        world.executor_db = os.path.join(work, "executor.db")
        world.gate.record('{"event":"genesis"}', '["init"]', True)
        intent, permit = real_action(world, "template")
        receipt = json.loads(permit)["authorization"]
        world.executor.verify_and_consume_permit(permit)
        outcome = world.executor.complete_execution(receipt["authorization_id"], receipt["action_id"],
                                                    "SUCCEEDED", '{"transfer_id":"tx-template"}')
        execution = world.gate.commit_outcome_signed(receipt["authorization_id"], outcome)
        db = sqlite3.connect(world.executor_db)
        (observation,), = db.execute("SELECT observation_json FROM consumed_permits WHERE authorization_id = ?1",
                                     (receipt["authorization_id"],))
        db.close()
        templates = Templates(world, permit, outcome, execution, observation)
        check_templates(world, templates, "template", intent["requested_at"], permit, outcome, execution,
                        observation)

        filled = 0
        for size in sizes:
            began = time.monotonic()
            filled = grow(world, templates, pool, size, filled)
            fill_seconds = time.monotonic() - began
            results[size] = measure(world, args.samples, size)
            results[size]["_rows"] = sizes_of(world)
            results[size]["_fill_seconds"] = fill_seconds
            print(f"size {size:,}: filled in {fill_seconds:.0f} s; rows {results[size]['_rows']}",
                  file=sys.stderr)
        del world
    finally:
        pool.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    print(table(results, sizes))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({str(k): v for k, v in results.items()}, f, indent=2)


def table(results, sizes):
    base = sizes[0]
    head = "| operation | " + " | ".join(f"{s:,} rows µs" for s in sizes) + " | " + \
        " | ".join(f"ratio {s:,}/{base:,}" for s in sizes[1:]) + " | target |"
    lines = [head, "|---|" + "---:|" * (2 * len(sizes) - 1) + "---:|"]
    names = [n for n in results[base] if not n.startswith("_")]
    for name in names:
        cells = [f"{results[s][name]:,.1f}" for s in sizes]
        ratios = []
        for s in sizes[1:]:
            r = results[s][name] / results[base][name]
            ratios.append(f"{r:.2f}{' ✓' if r <= TARGET else ' ✗'}")
        lines.append(f"| {name} | " + " | ".join(cells + ratios) + f" | ≤{TARGET} |")
    if "create_tree_head" not in names:
        lines.append("| create_tree_head | " + " | ".join("—" for _ in range(2 * len(sizes) - 1)) +
                     " | not in this build |")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
