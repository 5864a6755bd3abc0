"""The whole road of one action, every document re-checked from its bytes with
hashlib and PyNaCl: keys, bootstrap, registrations, a tenant policy, the
permit, its consumption and completion at the executor, the commit at the gate,
the trace and a checkpoint over the tenant's stream."""

import hashlib
import json

from nacl.signing import SigningKey

import _orvane_ddb
from executor_helpers import canonical, evidence_digest, verify
from outcome_helpers import check_execution_result, outcome_hash


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def without(document: dict, *names) -> dict:
    return {k: v for k, v in document.items() if k not in names}


def test_one_action_from_keys_to_checkpoint(tmp_path):
    # Keys: the public key is the one the private key derives.
    keys = {}
    for name in ("gate", "agent", "executor"):
        path = str(tmp_path / f"{name}.json")
        _orvane_ddb.gen_keys(path)
        with open(path) as f:
            pair = json.load(f)
        signing = SigningKey(bytes.fromhex(pair["private_key"]))
        assert signing.verify_key.encode().hex() == pair["public_key"]
        keys[name] = (path, pair["public_key"], signing)
    gate_file, gate_pub, _ = keys["gate"]
    agent_file, agent_pub, agent_signing = keys["agent"]
    executor_file, executor_pub, _ = keys["executor"]
    gate_db, executor_db = str(tmp_path / "gate.db"), str(tmp_path / "executor.db")

    # Bootstrap and registrations, each signed by the gate over its event id.
    gate = _orvane_ddb.OrvaneDDB(gate_db, gate_file)
    registrations = [json.loads(gate.register_agent(gate_pub, "gate")),
                     json.loads(gate.register_agent(agent_pub, "bot", '{"role": "proposer", "tenant_id": "acme"}')),
                     json.loads(gate.register_agent(executor_pub, "runner", '{"role": "executor"}'))]
    for registration in registrations:
        body = registration["registration"]
        assert registration["event_id"] == sha(canonical(body))
        assert verify(gate_pub, bytes.fromhex(registration["event_id"]), registration["signature"])
        assert body["registered_by"] == gate_pub
    assert registrations[0]["registration"]["can_delegate"] is True
    assert registrations[1]["registration"]["tenant_id"] == "acme"

    # The tenant's policy, signed by the gate over its digest.
    spec = {"schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-payments-1", "tenant_id": "acme",
            "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["account:acme/*"],
                            "allowed_executors": [executor_pub], "max_ttl_seconds": 600, "max_input_bytes": 4096}}
    bundle = json.loads(gate.install_policy(json.dumps(spec)))
    assert bundle["policy_digest"] == sha(canonical(without(bundle, "policy_digest", "signature")))
    assert verify(gate_pub, bytes.fromhex(bundle["policy_digest"]), bundle["signature"])
    assert (bundle["constraints"], bundle["signer"]["public_key"]) == (spec["constraints"], gate_pub)

    # The agent signs its intent; the gate answers with a permit.
    intent = {"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": agent_pub,
              "idempotency_key": "pay-1", "action_type": "payment.send", "resource": "account:acme/ops",
              "requested_at": registrations[2]["registration"]["registered_at"], "input": {"cents": 1250}}
    agent_signature = agent_signing.sign(canonical(intent)).signature.hex()
    permit_text = gate.request_action_signed(canonical(intent).decode(), agent_pub, agent_signature, 120)
    permit = json.loads(permit_text)
    assert permit_text == canonical(permit).decode()
    assert (permit["intent"], permit["agent_signature"], permit["policy_bundle"]) == (intent, agent_signature, bundle)
    receipt = permit["authorization"]
    action_id = sha(b"\0".join(s.encode() for s in ("orvane.action.v1", "acme", agent_pub, "pay-1")))
    assert receipt["authorization_id"] == sha(canonical(without(receipt, "authorization_id", "gate_signature")))
    assert verify(gate_pub, bytes.fromhex(receipt["authorization_id"]), receipt["gate_signature"])
    assert without(receipt, "authorization_id", "gate_signature", "issued_at", "expires_at", "gate_signer") == {
        "schema_version": "orvane.authorization-receipt.v1", "action_id": action_id, "tenant_id": "acme",
        "agent_id": agent_pub, "intent_hash": sha(canonical(intent)), "decision": "ALLOWED",
        "reason_codes": ["IDENTITY_VERIFIED", "POLICY_ALLOWED"], "policy_version": "acme-payments-1",
        "policy_digest": bundle["policy_digest"], "evidence_digest": evidence_digest(bundle, intent, 120),
        "executor_constraints": {"allowed_executors": [executor_pub]}, "gate_id": gate_pub,
    }
    assert receipt["expires_at"] == receipt["issued_at"] + 120_000_000

    # The executor consumes the permit once and signs the outcome.
    executor = _orvane_ddb.OrvaneExecutor(executor_db, executor_file, gate_pub, "acme", gate_db=gate_db)
    assert executor.verify_and_consume_permit(permit_text) == canonical(receipt).decode()
    auth_id = receipt["authorization_id"]
    outcome_text = executor.complete_execution(auth_id, action_id, "SUCCEEDED", '{"transfer_id": "tx-42"}')
    outcome = json.loads(outcome_text)
    assert without(outcome, "executor_signature") == {
        "schema_version": "orvane.action-outcome.v1", "authorization_id": auth_id, "action_id": action_id,
        "status": "SUCCEEDED", "executor_id": executor_pub, "output": {"transfer_id": "tx-42"}}
    assert verify(executor_pub, canonical(without(outcome, "executor_signature")), outcome["executor_signature"])
    state = json.loads(executor.get_execution_state(auth_id))
    assert (state["status"], state["outcome"]) == ("SUCCEEDED", outcome)

    # The gate commits it and signs an execution receipt.
    execution_text = gate.commit_outcome_signed(auth_id, outcome_text)
    result = check_execution_result(execution_text, gate_pub, permit, outcome_text)
    assert result["receipt"]["outcome_hash"] == outcome_hash(outcome)
    assert gate.commit_outcome_signed(auth_id, outcome_text) == execution_text

    # The trace holds both documents and verifies.
    trace = json.loads(gate.get_trace(action_id))
    assert (trace["authorization"], trace["execution"]) == (permit, result)
    report = json.loads(gate.verify_trace(action_id))
    assert (report["status"], report["phase"], report["errors"]) == ("VERIFIED", "COMPLETED", [])

    # The stream mirrors the road: each event hashes the record it announces.
    stream = json.loads(gate.export_event_stream("acme"))
    assert [(e["event_type"], e["event_id"], e["payload_hash"]) for e in stream] == [
        ("agent.registered", registrations[1]["event_id"], sha(canonical(registrations[1]["registration"]))),
        ("policy.published", bundle["policy_digest"], stream[1]["payload_hash"]),
        ("action.authorized", auth_id, sha(permit_text.encode())),
        ("action.executed", result["receipt"]["receipt_id"], sha(execution_text.encode())),
    ]
    previous = "0" * 64
    for event in stream:
        assert event["event_digest"] == sha(canonical(without(event, "event_digest")))
        assert event["prev_event_hash"] == previous
        previous = event["event_digest"]
    checkpoint = gate.create_checkpoint("acme")
    signed = json.loads(checkpoint)
    assert verify(gate_pub, canonical(without(signed, "signature")), signed["signature"])
    verification = json.loads(gate.verify_checkpoint_stream(checkpoint, json.dumps(stream), gate_pub))
    assert (verification["status"], verification["events_verified"]) == ("VERIFIED", len(stream))
