"""One action from end to end: keys, a gate, decisions, an agent asking for permission,
an executor running the action exactly once, the signed outcome at the gate, and an
offline re-check of everything the gate signed.

Run: python examples/walkthrough.py [work_dir]
"""

import hashlib
import json
import os
import sys
import tempfile
import time

import _orvane_ddb

try:  # an independent check of the gate's signatures, when PyNaCl is installed
    from nacl.signing import VerifyKey
except ImportError:  # pragma: no cover
    VerifyKey = None


def step(title, value=None):
    print(f"\n== {title}")
    if value is not None:
        print(value if isinstance(value, str) else json.dumps(value, indent=2, sort_keys=True))


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def check_receipt(receipt):
    """Recomputes the receipt's identifier and checks the gate's signature over it."""
    body = {k: v for k, v in receipt.items() if k not in ("authorization_id", "gate_signature")}
    assert hashlib.sha256(canonical(body)).hexdigest() == receipt["authorization_id"]
    if VerifyKey is not None:
        VerifyKey(bytes.fromhex(receipt["gate_id"])).verify(
            bytes.fromhex(receipt["authorization_id"]), bytes.fromhex(receipt["gate_signature"]))
    return "authorization_id recomputed, gate_signature verified" + ("" if VerifyKey else " (PyNaCl missing: skipped)")


def main(work):
    os.makedirs(work, exist_ok=True)
    keys = {name: os.path.join(work, f"{name}.json") for name in ("gate", "agent", "executor")}
    for name, path in keys.items():
        if os.path.exists(path):
            os.remove(path)
        json.loads(_orvane_ddb.gen_keys(path))
    public = {name: json.load(open(path))["public_key"] for name, path in keys.items()}
    step("Key files", public)

    gate_db, exec_db = os.path.join(work, "gate.db"), os.path.join(work, "executor.db")
    for path in (gate_db, exec_db):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
    gate = _orvane_ddb.OrvaneDDB(gate_db, keys["gate"])
    step("whoami", json.loads(gate.whoami()))

    step("Decision ledger: genesis and two decisions",
         [json.loads(gate.record('{"event":"genesis"}', '["init"]', genesis=True)),
          json.loads(gate.record_batch([('{"decision":"approve","amount":10}', '["limit<=100"]'),
                                        ('{"decision":"deny","amount":900}', '["limit<=100"]')]))])
    step("validate", json.loads(gate.validate()))
    step("count and export", {"count": gate.count(), "export": json.loads(gate.export())})

    step("Bootstrap: the gate key becomes the trusted root", gate.register_agent(public["gate"], "gate"))
    step("Register the agent and the executor",
         [gate.register_agent(public["agent"], "payments-bot", json.dumps({"role": "proposer", "tenant_id": "acme"})),
          gate.register_agent(public["executor"], "payments-runner", json.dumps({"role": "executor"}))])
    step("verify_agent", {name: gate.verify_agent(key) for name, key in public.items()})

    policy = {
        "schema_version": "orvane.policy-bundle.v1",
        "policy_version": "acme-payments-1",
        "tenant_id": "acme",
        "constraints": {
            "allowed_action_types": ["payment.*"],
            "allowed_resources": ["account:acme/*"],
            "allowed_executors": [public["executor"]],
            "max_ttl_seconds": 600,
            "max_input_bytes": 4096,
        },
    }
    bundle = json.loads(gate.install_policy(json.dumps(policy)))
    step("Install the tenant's policy", {k: bundle[k] for k in ("policy_version", "policy_digest", "tenant_id")})

    def intent(key, resource):
        return json.dumps({
            "schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": public["agent"],
            "idempotency_key": key, "action_type": "payment.send", "resource": resource,
            "requested_at": time.time_ns() // 1000, "input": {"to": "bob", "cents": 1250},
        })

    blocked = json.loads(gate.request_action(intent("pay-2", "account:other/1"), keys["agent"], 120))
    step("A request outside the policy", {k: blocked["authorization"][k] for k in ("decision", "reason_codes")})

    permit_text = gate.request_action(intent("pay-1", "account:acme/ops"), keys["agent"], 120)
    permit = json.loads(permit_text)
    receipt = permit["authorization"]
    step("An allowed request", {k: receipt[k] for k in ("decision", "reason_codes", "action_id", "expires_at")})
    step("Offline re-check of the receipt", check_receipt(receipt))

    executor = _orvane_ddb.OrvaneExecutor(exec_db, keys["executor"], public["gate"], "acme", gate_db=gate_db)
    consumed = json.loads(executor.verify_and_consume_permit(permit_text))
    step("The executor verifies and consumes the permit", {"authorization_id": consumed["authorization_id"]})
    try:
        executor.verify_and_consume_permit(permit_text)
    except PermissionError as refused:
        step("A second consumption is refused", str(refused))

    outcome = executor.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED",
                                          json.dumps({"transfer_id": "tx-42"}))
    step("The executor signs the outcome", json.loads(outcome))
    step("Execution state", json.loads(executor.get_execution_state(receipt["authorization_id"])))

    result = json.loads(gate.commit_outcome_signed(receipt["authorization_id"], outcome))
    step("The gate commits the outcome", {k: result["receipt"][k] for k in ("status", "receipt_id", "outcome_hash")}
         if "receipt" in result else result)

    step("Trace of the action, re-verified", json.loads(gate.verify_trace(receipt["action_id"])))

    checkpoint = gate.create_checkpoint("acme")
    stream = gate.export_event_stream("acme")
    step("Checkpoint of tenant acme", json.loads(checkpoint))
    step("Checkpoint verified against the exported stream",
         json.loads(gate.verify_checkpoint_stream(checkpoint, stream, public["gate"])))
    del executor, gate


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="orvane-walkthrough-"))
