"""The worked examples of docs/formats.md, re-checked from the page itself:
every digest with hashlib, every signature with PyNaCl, every link between the
documents, and the module's own verification of the same documents."""

import hashlib
import json
import re
from pathlib import Path

import pytest
from nacl.signing import SigningKey, VerifyKey

import orvane_ddb

PAGE = Path(__file__).resolve().parents[2] / "docs" / "formats.md"
pytestmark = pytest.mark.skipif(not PAGE.is_file(), reason="needs docs/formats.md")


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def digest(value) -> str:
    return hashlib.sha256(canonical(value)).hexdigest()


def without(document: dict, *names) -> dict:
    return {k: v for k, v in document.items() if k not in names}


def verifies(public_hex: str, message: bytes, signature_hex: str) -> bool:
    try:
        VerifyKey(bytes.fromhex(public_hex)).verify(message, bytes.fromhex(signature_hex))
        return True
    except Exception:
        return False


@pytest.fixture(scope="module")
def ex() -> dict:
    text = PAGE.read_text()
    blocks = re.findall(r"<!-- example: (\w+) -->\n```(\w+)\n(.*?)\n```", text, re.S)
    found = {name: (body if kind == "text" else json.loads(body)) for name, kind, body in blocks}
    assert len(found) == len(blocks), "example names are unique"
    return found


def test_the_example_keys_come_from_their_published_seeds(ex):
    for name, seed in (("gate", 1), ("agent", 2), ("executor", 3)):
        assert SigningKey(bytes([seed]) * 32).verify_key.encode().hex() == ex["keys"][name]


def test_registration(ex):
    gate, result = ex["keys"]["gate"], ex["registration"]
    registration = result["registration"]
    assert result["event_id"] == digest(registration)
    assert verifies(gate, bytes.fromhex(result["event_id"]), result["signature"])
    assert registration["metadata"] == ex["registration_metadata"]
    assert (registration["agent_id"], registration["registered_by"]) == (ex["keys"]["agent"], gate)
    assert (registration["tenant_id"], registration["can_delegate"]) == ("acme", False)


def test_policy_bundle(ex):
    bundle, spec, gate = ex["policy_bundle"], ex["policy_spec"], ex["keys"]["gate"]
    assert bundle["policy_digest"] == digest(without(bundle, "policy_digest", "signature", "status", "retired_at"))
    assert verifies(gate, bytes.fromhex(bundle["policy_digest"]), bundle["signature"])
    for name in ("schema_version", "policy_version", "tenant_id", "constraints"):
        assert bundle[name] == spec[name]
    assert bundle["signer"]["public_key"] == gate


def test_intent_and_authorization(ex):
    intent, result, keys = ex["intent"], ex["authorization_result"], ex["keys"]
    receipt = result["authorization"]
    assert ex["intent_canonical"].encode() == canonical(intent)
    assert receipt["intent_hash"] == hashlib.sha256(ex["intent_canonical"].encode()).hexdigest()
    assert verifies(keys["agent"], canonical(intent), result["agent_signature"])
    action = b"\0".join(s.encode() for s in ("orvane.action.v1", intent["tenant_id"], intent["agent_id"],
                                             intent["idempotency_key"]))
    assert receipt["action_id"] == hashlib.sha256(action).hexdigest()

    assert receipt["authorization_id"] == digest(without(receipt, "authorization_id", "gate_signature"))
    assert verifies(keys["gate"], bytes.fromhex(receipt["authorization_id"]), receipt["gate_signature"])
    bundle = result["policy_bundle"]
    assert bundle == ex["policy_bundle"] and receipt["policy_digest"] == bundle["policy_digest"]
    ttl = (receipt["expires_at"] - receipt["issued_at"]) // 1_000_000
    assert ttl == 120 and receipt["expires_at"] - receipt["issued_at"] == ttl * 1_000_000
    evidence = {"schema_version": "orvane.policy-evidence.v1", "policy_digest": bundle["policy_digest"],
                "intent": intent, "ttl_seconds": ttl}
    assert receipt["evidence_digest"] == digest(evidence)
    assert receipt["executor_constraints"] == {"allowed_executors": bundle["constraints"]["allowed_executors"]}
    assert result["intent"] == intent and receipt["decision"] == "ALLOWED"
    # requested_at and issued_at are microseconds: a few milliseconds apart here.
    assert 0 <= receipt["issued_at"] - intent["requested_at"] < 10_000_000

    verdict = json.loads(orvane_ddb.verify_authorization(result, keys["gate"]))
    assert (verdict["status"], verdict["reason_codes"]) == ("VERIFIED", [])


def test_outcome_and_execution_result(ex):
    keys, outcome, result = ex["keys"], ex["action_outcome"], ex["execution_result"]
    receipt = ex["authorization_result"]["authorization"]
    unsigned = canonical(without(outcome, "executor_signature"))
    assert verifies(keys["executor"], unsigned, outcome["executor_signature"])
    assert result["outcome"] == outcome
    execution = result["receipt"]
    assert execution["outcome_hash"] == hashlib.sha256(unsigned).hexdigest()
    assert execution["receipt_id"] == digest(without(execution, "receipt_id", "gate_signature"))
    assert verifies(keys["gate"], bytes.fromhex(execution["receipt_id"]), execution["gate_signature"])
    for name in ("authorization_id", "action_id", "intent_hash"):
        assert execution[name] == receipt[name]
    assert execution["executor_id"] == outcome["executor_id"] == keys["executor"]
    assert execution["completed_at"] > receipt["issued_at"]


def test_event_stream_and_checkpoint(ex):
    stream, checkpoint, gate = ex["event_stream"], ex["checkpoint"], ex["keys"]["gate"]
    previous = "0" * 64
    for number, event in enumerate(stream, start=1):
        assert event["sequence_number"] == number and event["prev_event_hash"] == previous
        assert event["event_digest"] == digest(without(event, "event_digest"))
        previous = event["event_digest"]
    types = [event["event_type"] for event in stream]
    assert types == ["agent.registered", "agent.registered", "policy.published", "action.authorized",
                     "action.executed"]
    assert stream[0]["payload_hash"] == ex["registration"]["event_id"]
    assert stream[2]["event_id"] == ex["policy_bundle"]["policy_digest"]
    assert stream[3]["event_id"] == ex["authorization_result"]["authorization"]["authorization_id"]
    assert stream[4]["event_id"] == ex["execution_result"]["receipt"]["receipt_id"]

    covered = stream[checkpoint["first_sequence"] - 1:checkpoint["last_sequence"]]
    root = hashlib.sha256("".join(event["event_digest"] for event in covered).encode()).hexdigest()
    assert checkpoint["stream_root_hash"] == root and checkpoint["total_events"] == len(covered)
    assert verifies(gate, canonical(without(checkpoint, "signature")), checkpoint["signature"])
    verdict = json.loads(orvane_ddb.verify_checkpoint_stream(checkpoint, stream, gate))
    assert verdict["status"] == "VERIFIED"
    forged = dict(checkpoint, total_events=checkpoint["total_events"] + 1)
    assert not verifies(gate, canonical(without(forged, "signature")), forged["signature"])
