"""One action from bootstrap to checkpoint with a gate and an executor whose
keys live in Vault Transit: every signature comes from the stand-in `vault`
program and is checked here with PyNaCl."""

import hashlib
import json
import sqlite3
import time

import nacl.signing
import pytest

import _orvane_ddb

from vault_helpers import VaultKey, exiting_standin, signer_config, signing_standin, write_config


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def test_an_action_signed_through_vault_end_to_end(tmp_path):
    gate_key, executor_key = VaultKey(), VaultKey()
    agent = nacl.signing.SigningKey.generate()
    agent_id = agent.verify_key.encode().hex()
    gate_vault = signing_standin(tmp_path / "gate-bin", gate_key)
    executor_vault = signing_standin(tmp_path / "executor-bin", executor_key, version="3")
    gate_config = write_config(tmp_path / "gate-signer.json", signer_config(gate_key.public, gate_vault.path))
    executor_config = write_config(tmp_path / "executor-signer.json", signer_config(
        executor_key.public, executor_vault.path, signer_uri="vault-transit://transit/executor", key_version="3"))
    gate_db = str(tmp_path / "gate.db")
    gate = _orvane_ddb.OrvaneDDB(gate_db, gate_config)

    # Bootstrap and registrations: the registration events are signed in Vault.
    gate.register_agent(gate_key.public, "gate")
    gate.register_agent(agent_id, "payments-bot", json.dumps({"tenant_id": "acme", "role": "proposer"}))
    gate.register_agent(executor_key.public, "runner", json.dumps({"role": "executor"}))
    registrations = rows(gate_db, "SELECT registration_event_id, registration_event, registration_signature "
                                  "FROM agents")
    assert len(registrations) == 3
    for event_id, event, signature in registrations:
        assert hashlib.sha256(event.encode()).hexdigest() == event_id
        gate_key.verify(bytes.fromhex(event_id), signature)
    assert json.loads(gate.get_agent(gate_key.public))["alias"] == "gate"

    bundle = json.loads(gate.install_policy(json.dumps({
        "schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-1", "tenant_id": "acme",
        "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["*"],
                        "allowed_executors": [executor_key.public], "max_ttl_seconds": 600,
                        "max_input_bytes": 4096}})))
    assert bundle["signer"]["signer_uri"] == "vault-transit://transit/gate"
    gate_key.verify(bytes.fromhex(bundle["policy_digest"]), bundle["signature"])

    intent = {"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": agent_id,
              "idempotency_key": "pay-1", "action_type": "payment.send", "resource": "account/7",
              "requested_at": time.time_ns() // 1000, "input": {"cents": 1250}}
    intent_text = json.dumps(intent)
    signature = agent.sign(canonical(intent)).signature.hex()
    permit_text = gate.request_action_signed(intent_text, agent_id, signature, 120)
    receipt = json.loads(permit_text)["authorization"]
    assert receipt["decision"] == "ALLOWED"
    assert receipt["gate_signer"] == {"algorithm": "Ed25519", "key_version": "1", "public_key": gate_key.public,
                                      "signer_uri": "vault-transit://transit/gate"}
    gate_key.verify(bytes.fromhex(receipt["authorization_id"]), receipt["gate_signature"])
    signed_by_gate = {start["message"] for start in gate_vault.starts()}
    assert receipt["authorization_id"] in signed_by_gate

    executor = _orvane_ddb.OrvaneExecutor(str(tmp_path / "executor.db"), executor_config, gate_key.public, "acme",
                                          gate_db=gate_db)
    executor.verify_and_consume_permit(permit_text)
    (observation_text,), = rows(tmp_path / "executor.db", "SELECT observation_json FROM consumed_permits")
    observation = json.loads(observation_text)
    executor_signature = observation.pop("executor_signature")
    assert observation["executor_id"] == executor_key.public and observation["status"] == "STARTED"
    executor_key.verify(canonical(observation), executor_signature)
    assert canonical(observation).hex() in {start["message"] for start in executor_vault.starts()}

    outcome_text = executor.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED",
                                               json.dumps({"transfer": "tx-1"}))
    outcome = json.loads(outcome_text)
    unsigned = {k: v for k, v in outcome.items() if k != "executor_signature"}
    executor_key.verify(canonical(unsigned), outcome["executor_signature"])

    execution = json.loads(gate.commit_outcome_signed(receipt["authorization_id"], outcome_text))
    execution_receipt = execution["receipt"]
    gate_key.verify(bytes.fromhex(execution_receipt["receipt_id"]), execution_receipt["gate_signature"])

    checkpoint_text = gate.create_checkpoint("acme")
    checkpoint = json.loads(checkpoint_text)
    assert checkpoint["signer"]["signer_uri"] == "vault-transit://transit/gate"
    body = {k: v for k, v in checkpoint.items() if k != "signature"}
    gate_key.verify(canonical(body), checkpoint["signature"])
    stream = gate.export_event_stream("acme")
    assert [e["event_type"] for e in json.loads(stream)] == ["agent.registered", "policy.published",
                                                             "action.authorized", "action.executed"]
    verdict = json.loads(gate.verify_checkpoint_stream(checkpoint_text, stream))
    assert (verdict["status"], verdict["events_verified"]) == ("VERIFIED", 4)

    whoami = json.loads(gate.whoami())
    assert (whoami["alias"], whoami["signer_uri"], whoami["keyfile"]) == (
        "gate", "vault-transit://transit/gate", gate_config)


def rows(db_path, statement):
    conn = sqlite3.connect(str(db_path))
    try:
        return conn.execute(statement).fetchall()
    finally:
        conn.close()


def test_a_signer_that_becomes_unavailable_changes_nothing(tmp_path):
    gate_key = VaultKey()
    vault = signing_standin(tmp_path / "bin", gate_key)
    gate_db = str(tmp_path / "gate.db")
    gate = _orvane_ddb.OrvaneDDB(gate_db, write_config(tmp_path / "signer.json",
                                                       signer_config(gate_key.public, vault.path)))
    gate.register_agent(gate_key.public, "gate")
    agent = VaultKey()
    gate.register_agent(agent.public, "bot")
    gate.create_checkpoint()
    tables = ("agents", "identity_lifecycle_events", "event_stream", "checkpoints", "policy_bundles")
    before = {t: rows(gate_db, f"SELECT * FROM {t}") for t in tables}

    exiting_standin(tmp_path / "bin", 2, "Code: 403. Errors: permission denied")  # same path, new behaviour
    unavailable = "ORVANE_SIGNER_UNAVAILABLE: attempt 2/2: signer exited with exit code: 2: " \
                  "Code: 403. Errors: permission denied"
    for call in (lambda: gate.register_agent(VaultKey().public, "late"),
                 lambda: gate.rotate_agent(agent.public, VaultKey().public),
                 lambda: gate.revoke_agent(agent.public, "leaked"),
                 lambda: gate.create_checkpoint(),
                 lambda: gate.install_policy(json.dumps({
                     "schema_version": "orvane.policy-bundle.v1", "policy_version": "p", "tenant_id": "acme",
                     "constraints": {"allowed_action_types": ["*"], "allowed_resources": ["*"],
                                     "allowed_executors": ["*"], "max_ttl_seconds": 60,
                                     "max_input_bytes": 100}}))):
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == unavailable
    assert {t: rows(gate_db, f"SELECT * FROM {t}") for t in tables} == before
