"""Builds gate-signed permits for executor tests without a gate.

Everything here is computed independently of the module (PyNaCl, hashlib,
json): canonical JSON, policy bundles, evidence digests, receipts and the
authorization result that an executor consumes.
"""

import copy
import hashlib
import json
import os
import sqlite3
import time

from nacl.signing import SigningKey, VerifyKey

TENANT = "acme"


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def digest_hex(value) -> str:
    return hashlib.sha256(canonical(value)).hexdigest()


def now_micros() -> int:
    return time.time_ns() // 1000


class Key:
    def __init__(self, seed: bytes | None = None):
        self.signing = SigningKey(seed if seed is not None else os.urandom(32))
        self.public_hex = self.signing.verify_key.encode().hex()
        self.private_hex = bytes(self.signing).hex()

    def sign_hex(self, message: bytes) -> str:
        return self.signing.sign(message).signature.hex()

    def write_keyfile(self, path) -> str:
        with open(path, "w") as f:
            json.dump({"public_key": self.public_hex, "private_key": self.private_hex}, f)
        return str(path)


def verify(public_hex: str, message: bytes, signature_hex: str) -> bool:
    try:
        VerifyKey(bytes.fromhex(public_hex)).verify(message, bytes.fromhex(signature_hex))
        return True
    except Exception:
        return False


def signer_identity(key: Key) -> dict:
    return {
        "algorithm": "Ed25519",
        "key_version": "1",
        "public_key": key.public_hex,
        "signer_uri": "local-ed25519://" + key.public_hex,
    }


def make_bundle(gate: Key, executors=("*",), tenant=TENANT, version="acme-v1", **extra) -> dict:
    constraints = {
        "allowed_action_types": ["payment.*"],
        "allowed_resources": ["*"],
        "allowed_executors": list(executors),
        "max_ttl_seconds": 3600,
        "max_input_bytes": 10000,
    }
    constraints.update(extra)
    bundle = {
        "schema_version": "orvane.policy-bundle.v1",
        "policy_version": version,
        "tenant_id": tenant,
        "constraints": constraints,
        "issued_at": now_micros(),
        "signer": signer_identity(gate),
    }
    return sign_bundle(gate, bundle)


def sign_bundle(gate: Key, bundle: dict) -> dict:
    body = {k: v for k, v in bundle.items() if k not in ("policy_digest", "signature", "status", "retired_at")}
    bundle = dict(body)
    bundle["policy_digest"] = digest_hex(body)
    bundle["signature"] = gate.sign_hex(bytes.fromhex(bundle["policy_digest"]))
    return bundle


def make_intent(agent: Key, key="idem-1", tenant=TENANT, **extra) -> dict:
    intent = {
        "schema_version": "orvane.action-intent.v1",
        "tenant_id": tenant,
        "agent_id": agent.public_hex,
        "idempotency_key": key,
        "action_type": "payment.send",
        "resource": "account/42",
        "requested_at": now_micros(),
        "input": {"amount": 5},
    }
    intent.update(extra)
    return intent


def action_id(intent: dict) -> str:
    data = b"\0".join(
        s.encode() for s in ("orvane.action.v1", intent["tenant_id"], intent["agent_id"], intent["idempotency_key"])
    )
    return hashlib.sha256(data).hexdigest()


def evidence_digest(bundle: dict, intent: dict, ttl_seconds: int) -> str:
    return digest_hex(
        {
            "schema_version": "orvane.policy-evidence.v1",
            "policy_digest": bundle["policy_digest"],
            "intent": intent,
            "ttl_seconds": ttl_seconds,
        }
    )


def sign_receipt(gate: Key, receipt: dict) -> dict:
    body = {k: v for k, v in receipt.items() if k not in ("authorization_id", "gate_signature")}
    signed = dict(body)
    signed["authorization_id"] = digest_hex(body)
    signed["gate_signature"] = gate.sign_hex(bytes.fromhex(signed["authorization_id"]))
    return signed


def make_permit(gate: Key, agent: Key, bundle: dict | None = None, intent: dict | None = None,
                ttl_seconds=60, decision="ALLOWED", issued_at=None, **receipt_overrides) -> dict:
    bundle = bundle if bundle is not None else make_bundle(gate)
    intent = intent if intent is not None else make_intent(agent)
    issued_at = issued_at if issued_at is not None else now_micros()
    receipt = {
        "schema_version": "orvane.authorization-receipt.v1",
        "action_id": action_id(intent),
        "tenant_id": intent["tenant_id"],
        "agent_id": intent["agent_id"],
        "intent_hash": hashlib.sha256(canonical(intent)).hexdigest(),
        "decision": decision,
        "reason_codes": ["IDENTITY_VERIFIED", "POLICY_ALLOWED"],
        "policy_version": bundle["policy_version"],
        "policy_digest": bundle["policy_digest"],
        "evidence_digest": evidence_digest(bundle, intent, ttl_seconds),
        "executor_constraints": {"allowed_executors": bundle["constraints"]["allowed_executors"]},
        "issued_at": issued_at,
        "expires_at": issued_at + ttl_seconds * 1_000_000,
        "gate_id": gate.public_hex,
        "gate_signer": signer_identity(gate),
    }
    receipt.update(receipt_overrides)
    return {
        "schema_version": "orvane.authorization-result.v1",
        "authorization": sign_receipt(gate, receipt),
        "intent": intent,
        "agent_signature": agent.sign_hex(canonical(intent)),
        "policy_bundle": bundle,
    }


def permit_text(permit: dict) -> str:
    return canonical(permit).decode()


def resign(gate: Key, permit: dict) -> dict:
    """Re-signs the receipt of a permit after a test changed it."""
    permit = copy.deepcopy(permit)
    permit["authorization"] = sign_receipt(gate, permit["authorization"])
    return permit


def make_gate_db(path, gate: Key, agent: Key, revoked=(), revoke_agent=False, outcomes=()) -> str:
    """A gate database written by the gate itself: the gate key bootstrapped,
    the agent registered (and revoked when asked), then the listed permits put
    into revoked_authorizations and action_outcomes directly."""
    import pathlib

    import _orvane_ddb

    path = pathlib.Path(path)
    gate_db = _orvane_ddb.OrvaneDDB(str(path), gate.write_keyfile(path.with_suffix(".key")))
    gate_db.register_agent(gate.public_hex, "gate")
    gate_db.register_agent(agent.public_hex, "bot", json.dumps({"tenant_id": TENANT}))
    if revoke_agent:
        gate_db.revoke_agent(agent.public_hex, "test")
    del gate_db
    db = sqlite3.connect(path)
    db.executemany("INSERT INTO revoked_authorizations VALUES (?, 0, 'test', 'e')", [(a,) for a in revoked])
    db.executemany("INSERT INTO action_outcomes VALUES (?, ?, ?, 'x', 'h', 0, '{}')",
                   [(f"r{i}", a, f"a{i}") for i, a in enumerate(outcomes)])
    db.commit()
    db.close()
    return str(path)


def open_executor(db_path, keyfile, gate: Key, tenant=TENANT, **kwargs):
    import _orvane_ddb

    return _orvane_ddb.OrvaneExecutor(str(db_path), str(keyfile), gate.public_hex, tenant, **kwargs)


def race_consume(db_path, keyfile, gate_hex, tenant, text, barrier, results):
    """One contender of the exactly-once race: its own executor, one attempt."""
    import _orvane_ddb

    executor = _orvane_ddb.OrvaneExecutor(db_path, keyfile, gate_hex, tenant, pool_size=2)
    barrier.wait()
    try:
        executor.verify_and_consume_permit(text)
        results.put("consumed")
    except PermissionError as err:
        results.put(str(err))
