"""Helpers for the policy and authorization tests: policy documents, signed
intents, and independent recomputation (hashlib, PyNaCl) of what the gate
derives and signs. Stored rows are read and tampered with through sqlite3."""

import copy
import hashlib
import json
import time

import nacl.exceptions
import nacl.signing

from identity_helpers import Gate, Key  # noqa: F401  (re-exported for the tests)

TENANT = "acme"
BASELINE = "orvane.baseline.v1"


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def text(value) -> str:
    return canonical(value).decode()


def digest_hex(value) -> str:
    return hashlib.sha256(canonical(value)).hexdigest()


def now_micros() -> int:
    return time.time_ns() // 1000


def verifies(public_hex: str, message: bytes, signature_hex: str) -> bool:
    try:
        nacl.signing.VerifyKey(bytes.fromhex(public_hex)).verify(message, bytes.fromhex(signature_hex))
        return True
    except (nacl.exceptions.BadSignatureError, ValueError):
        return False


def policy_spec(version, tenant=TENANT, **constraints) -> str:
    body = {
        "allowed_action_types": ["*"],
        "allowed_resources": ["*"],
        "allowed_executors": ["*"],
        "max_ttl_seconds": 3600,
        "max_input_bytes": 1000,
    }
    body.update(constraints)
    body = {k: v for k, v in body.items() if v is not None}  # None drops a constraint
    return text({"schema_version": "orvane.policy-bundle.v1", "policy_version": version,
                 "tenant_id": tenant, "constraints": body})


def intent(agent: Key, key="idem-1", tenant=TENANT, **extra) -> dict:
    document = {
        "schema_version": "orvane.action-intent.v1",
        "tenant_id": tenant,
        "agent_id": agent.public,
        "idempotency_key": key,
        "action_type": "payment.send",
        "resource": "account/42",
        "requested_at": now_micros(),
        "input": {"amount": 5},
    }
    document.update(extra)
    return document


def sign_intent(agent: Key, document: dict) -> str:
    return agent.signing.sign(canonical(document)).signature.hex()


def request(gate: Gate, agent: Key, document: dict, ttl=60, signature=None):
    """request_action_signed; returns the text and the parsed result."""
    answer = gate.ddb.request_action_signed(
        text(document), agent.public, signature or sign_intent(agent, document), ttl)
    return answer, json.loads(answer)


def action_id(document: dict) -> str:
    parts = ("orvane.action.v1", document["tenant_id"], document["agent_id"], document["idempotency_key"])
    return hashlib.sha256(b"\0".join(p.encode() for p in parts)).hexdigest()


def evidence_digest(bundle: dict, document: dict, ttl_seconds: int) -> str:
    return digest_hex({"schema_version": "orvane.policy-evidence.v1", "policy_digest": bundle["policy_digest"],
                       "intent": document, "ttl_seconds": ttl_seconds})


def receipt_id(receipt: dict) -> str:
    return digest_hex({k: v for k, v in receipt.items() if k not in ("authorization_id", "gate_signature")})


def resign(gate_key: Key, result: dict) -> dict:
    """The result with its receipt's identifier and gate signature recomputed."""
    result = copy.deepcopy(result)
    receipt = result["authorization"]
    receipt["authorization_id"] = receipt_id(receipt)
    receipt["gate_signature"] = gate_key.sign_digest(receipt["authorization_id"])
    return result


def store(gate: Gate, action: str, stored) -> None:
    """Replaces the stored authorization result of an action."""
    gate.execute("UPDATE action_authorizations SET authorization_json = ? WHERE action_id = ?",
                 stored if isinstance(stored, str) else text(stored), action)


def authorization_count(gate: Gate) -> int:
    return gate.query("SELECT COUNT(*) FROM action_authorizations")[0][0]


def events(gate: Gate, event_type, tenant=None):
    rows = json.loads(gate.ddb.export_event_stream(tenant or "*"))
    return [e for e in rows if e["event_type"] == event_type]
