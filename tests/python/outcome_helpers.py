"""A real gate with an agent, an executor and a tenant policy, for the outcome,
trace and full-road tests.

Permits come from the gate itself; outcomes, re-signed receipts and forged
permits are built here with PyNaCl and hashlib, independently of the module.
"""

import copy
import hashlib
import json
import sqlite3

import _orvane_ddb

from executor_helpers import Key, canonical, digest_hex, evidence_digest, now_micros, sign_receipt, verify

TENANT = "acme"
OUTCOME_SCHEMA = "orvane.action-outcome.v1"


def outcome_body(permit, executor: Key, status="SUCCEEDED", output=None, **members):
    receipt = permit["authorization"]
    body = {
        "schema_version": OUTCOME_SCHEMA,
        "authorization_id": receipt["authorization_id"],
        "action_id": receipt["action_id"],
        "executor_id": executor.public_hex,
        "status": status,
        "output": {"transfer": "tx-1"} if output is None else output,
    }
    body.update(members)
    return {k: v for k, v in body.items() if v is not None}


def sign_outcome(body: dict, signer: Key) -> dict:
    signed = {k: v for k, v in body.items() if k != "executor_signature"}
    signed["executor_signature"] = signer.sign_hex(canonical(signed))
    return signed


def outcome_hash(outcome: dict) -> str:
    return digest_hex({k: v for k, v in outcome.items() if k != "executor_signature"})


def sign_execution_receipt(gate: Key, receipt: dict) -> dict:
    body = {k: v for k, v in receipt.items() if k not in ("receipt_id", "gate_signature")}
    signed = dict(body)
    signed["receipt_id"] = digest_hex(body)
    signed["gate_signature"] = gate.sign_hex(bytes.fromhex(signed["receipt_id"]))
    return signed


class Road:
    """A bootstrapped gate (its key known to the test), an agent of tenant acme
    with the proposer role, an executor, and an installed acme policy."""

    def __init__(self, tmp_path, executors=None, executor_metadata=None):
        self.tmp = tmp_path
        self.gate_key, self.agent, self.executor = Key(), Key(), Key()
        self.db_path = str(tmp_path / "gate.db")
        self.gate_keyfile = self.gate_key.write_keyfile(tmp_path / "gate.json")
        self.executor_keyfile = self.executor.write_keyfile(tmp_path / "executor.json")
        self.ddb = _orvane_ddb.OrvaneDDB(self.db_path, self.gate_keyfile)
        self.ddb.register_agent(self.gate_key.public_hex, "gate")
        self.ddb.register_agent(self.agent.public_hex, "bot", canonical(
            {"role": "proposer", "tenant_id": TENANT}).decode())
        self.ddb.register_agent(self.executor.public_hex, "runner", canonical(
            executor_metadata if executor_metadata is not None else {"role": "executor"}).decode())
        self.install_policy(executors if executors is not None else [self.executor.public_hex])
        self.counter = 0

    def install_policy(self, executors, **constraints):
        spec = {
            "schema_version": "orvane.policy-bundle.v1",
            "policy_version": f"acme-{now_micros()}",
            "tenant_id": TENANT,
            "constraints": {
                "allowed_action_types": ["payment.*"],
                "allowed_resources": ["account:acme/*"],
                "allowed_executors": list(executors),
                "max_ttl_seconds": 3600,
                "max_input_bytes": 4096,
                **constraints,
            },
        }
        return json.loads(self.ddb.install_policy(json.dumps(spec)))

    def register(self, alias, metadata) -> Key:
        key = Key()
        self.ddb.register_agent(key.public_hex, alias, canonical(metadata).decode())
        return key

    def intent(self, resource="account:acme/ops", **members):
        self.counter += 1
        intent = {
            "schema_version": "orvane.action-intent.v1",
            "tenant_id": TENANT,
            "agent_id": self.agent.public_hex,
            "idempotency_key": f"pay-{self.counter}",
            "action_type": "payment.send",
            "resource": resource,
            "requested_at": now_micros(),
            "input": {"to": "bob", "cents": 1250},
        }
        intent.update(members)
        return intent

    def permit_text(self, ttl=120, **intent_members) -> str:
        intent = self.intent(**intent_members)
        text = canonical(intent).decode()
        return self.ddb.request_action_signed(text, self.agent.public_hex,
                                              self.agent.sign_hex(canonical(intent)), ttl)

    def permit(self, ttl=120, **intent_members) -> dict:
        return json.loads(self.permit_text(ttl, **intent_members))

    def outcome(self, permit, status="SUCCEEDED", signer=None, **members) -> str:
        executor = members.pop("executor", self.executor)
        body = outcome_body(permit, executor, status, **members)
        return canonical(sign_outcome(body, signer or executor)).decode()

    def commit(self, permit, outcome_text):
        return self.ddb.commit_outcome_signed(permit["authorization"]["authorization_id"], outcome_text)

    # Direct database access.
    def sql(self):
        return sqlite3.connect(self.db_path, isolation_level=None)

    def query(self, statement, *args):
        conn = self.sql()
        try:
            return conn.execute(statement, args).fetchall()
        finally:
            conn.close()

    def execute(self, statement, *args):
        conn = self.sql()
        try:
            conn.execute(statement, args)
        finally:
            conn.close()

    def outcome_rows(self):
        return self.query("SELECT receipt_id, authorization_id, action_id, executor_id, outcome_hash, "
                          "completed_at, execution_json FROM action_outcomes ORDER BY completed_at")

    def outcome_events(self):
        return self.query("SELECT tenant_id, event_type, event_id, payload_hash, timestamp FROM event_stream "
                          "WHERE event_type IN ('action.executed', 'action.failed') ORDER BY sequence_number")

    def revoke_permit(self, authorization_id):
        self.execute("INSERT INTO revoked_authorizations (authorization_id, revoked_at, reason, identity_event_id) "
                     "VALUES (?1, 0, 'test', 'e')", authorization_id)

    def store_permit(self, permit, authorization_id=None):
        """Replaces the stored authorization result of the permit's row."""
        self.execute("UPDATE action_authorizations SET authorization_json = ?1 WHERE authorization_id = ?2",
                     canonical(permit).decode(), authorization_id or permit["authorization"]["authorization_id"])

    def forge_permit(self, permit, **receipt_changes):
        """Stores a copy of `permit` under a new, gate-signed receipt; returns it."""
        forged = copy.deepcopy(permit)
        receipt = {k: v for k, v in forged["authorization"].items()
                   if k not in ("authorization_id", "gate_signature")}
        receipt.update(receipt_changes)
        expires_at, issued_at = receipt["expires_at"], receipt["issued_at"]
        ttl = (expires_at - issued_at) // 1_000_000 if isinstance(expires_at, int) and expires_at >= issued_at else 0
        if "policy_bundle" in forged:
            receipt["evidence_digest"] = evidence_digest(forged["policy_bundle"], forged["intent"], ttl)
        forged["authorization"] = sign_receipt(self.gate_key, receipt)
        old_id = permit["authorization"]["authorization_id"]
        self.execute("UPDATE action_authorizations SET authorization_id = ?1, expires_at = ?2, "
                     "authorization_json = ?3 WHERE authorization_id = ?4",
                     forged["authorization"]["authorization_id"], receipt["expires_at"],
                     canonical(forged).decode(), old_id)
        return forged

    def execution(self, action_id) -> dict:
        (text,), = self.query("SELECT execution_json FROM action_outcomes WHERE action_id = ?1", action_id)
        return json.loads(text)

    def store_execution(self, action_id, value):
        text = value if isinstance(value, str) else canonical(value).decode()
        self.execute("UPDATE action_outcomes SET execution_json = ?1 WHERE action_id = ?2", text, action_id)

    def resign_receipt(self, result: dict, **changes) -> dict:
        result = copy.deepcopy(result)
        result["receipt"].update(changes)
        result["receipt"] = sign_execution_receipt(self.gate_key, result["receipt"])
        return result

    def resign_outcome(self, result: dict, signer: Key, **changes) -> dict:
        """Re-signs a changed outcome and a receipt that binds it."""
        result = copy.deepcopy(result)
        result["outcome"].update(changes)
        result["outcome"] = sign_outcome(result["outcome"], signer)
        return self.resign_receipt(result, outcome_hash=outcome_hash(result["outcome"]),
                                   executor_id=result["outcome"]["executor_id"])

    def report(self, action_id) -> dict:
        return json.loads(self.ddb.verify_trace(action_id))


def check_execution_result(text, gate_public_hex, permit, outcome_text):
    """Re-checks a returned execution result from its bytes alone."""
    result = json.loads(text)
    assert canonical(result).decode() == text
    assert set(result) == {"schema_version", "receipt", "outcome"}
    assert result["schema_version"] == "orvane.execution-result.v1"
    assert result["outcome"] == json.loads(outcome_text)
    receipt = result["receipt"]
    body = {k: v for k, v in receipt.items() if k not in ("receipt_id", "gate_signature")}
    permit_receipt = permit["authorization"]
    assert body == {
        "schema_version": "orvane.execution-receipt.v1",
        "authorization_id": permit_receipt["authorization_id"],
        "action_id": permit_receipt["action_id"],
        "intent_hash": permit_receipt["intent_hash"],
        "outcome_hash": outcome_hash(result["outcome"]),
        "executor_id": result["outcome"]["executor_id"],
        "status": result["outcome"]["status"],
        "completed_at": body["completed_at"],
        "gate_id": gate_public_hex,
    }
    assert receipt["receipt_id"] == hashlib.sha256(canonical(body)).hexdigest()
    assert verify(gate_public_hex, bytes.fromhex(receipt["receipt_id"]), receipt["gate_signature"])
    unsigned = {k: v for k, v in result["outcome"].items() if k != "executor_signature"}
    assert verify(unsigned["executor_id"], canonical(unsigned), result["outcome"]["executor_signature"])
    return result


def race_commit(db_path, gate_keyfile, authorization_id, outcome_text, barrier, results):
    """One contender of the gate-side race: its own gate object, one commit."""
    import _orvane_ddb

    gate = _orvane_ddb.OrvaneDDB(db_path, gate_keyfile)
    barrier.wait()
    try:
        results.put(("committed", gate.commit_outcome_signed(authorization_id, outcome_text)))
    except RuntimeError as err:
        results.put(("refused", str(err)))
