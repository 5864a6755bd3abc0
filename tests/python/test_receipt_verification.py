"""A stored authorization result is re-verified before a repeated request gets
it back: every altered part of it is named, in a fixed order, and the decision
is reproduced with the same thresholds the gate applied when it answered."""

import copy
import hashlib
import json

import pytest

from authorization_helpers import (TENANT, Gate, Key, canonical, evidence_digest, intent, request, resign,
                                   sign_intent, policy_spec, store, text)

REFUSED = "ORVANE_STORED_AUTHORIZATION_INVALID: "
ALLOWED = ["IDENTITY_VERIFIED", "POLICY_ALLOWED"]


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


@pytest.fixture
def issued(gate):
    """An agent, its intent and the stored ALLOWED answer to it."""
    agent = gate.register("agent", {"tenant_id": TENANT})
    gate.ddb.install_policy(policy_spec("acme-v1", allowed_executors=["exec-1"]))
    document = intent(agent)
    answer, result = request(gate, agent, document, ttl=90)
    return agent, document, answer, result


def receipt_change(**changes):
    def tamper(result, gate, agent):
        result["authorization"].update(changes)
        return result
    return tamper


def drop(*names):
    def tamper(result, gate, agent):
        for name in names:
            result["authorization"].pop(name)
        return result
    return tamper


def signed(tamper):
    return lambda result, gate, agent: resign(gate.key, tamper(result, gate, agent))


def signed_by_stranger(result, gate, agent):
    stranger = Key()
    result["authorization"]["gate_signature"] = stranger.sign_digest(result["authorization"]["authorization_id"])
    return result


def issued_by_stranger(result, gate, agent):
    stranger = Key()
    result["authorization"]["gate_id"] = stranger.public
    return resign(stranger, result)


def odd_identifier(result, gate, agent):
    result["authorization"]["authorization_id"] = result["authorization"]["authorization_id"][:-1]
    return result


def widened_bundle(result, gate, agent):
    result["policy_bundle"]["constraints"]["allowed_resources"].append("more")
    return result


def newer_bundle(result, gate, agent):
    result["policy_bundle"] = json.loads(gate.ddb.install_policy(policy_spec("acme-v2", allowed_executors=["exec-2"])))
    return result


def no_bundle(result, gate, agent):
    del result["policy_bundle"]
    return result


def other_intent(result, gate, agent):
    result["intent"]["resource"] = "account/43"
    return result


def other_agent_signature(result, gate, agent):
    result["agent_signature"] = sign_intent(Key(), result["intent"])
    return result


@pytest.mark.parametrize("tamper,expected", [
    (receipt_change(note="added"), ["AUTHORIZATION_ID_MISMATCH"]),
    (receipt_change(decision="BLOCKED"),
     ["AUTHORIZATION_ID_MISMATCH", "AUTHORIZATION_POLICY_DECISION_MISMATCH", "AUTHORIZATION_DECISION_NOT_REPRODUCIBLE"]),
    (signed(receipt_change(reason_codes=ALLOWED[::-1])), ["AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE"]),
    (signed(receipt_change(tenant_id="beta")), ["AUTHORIZATION_TENANT_ID_MISMATCH"]),
    (signed(receipt_change(action_id="00" * 32)), ["AUTHORIZATION_ACTION_ID_MISMATCH"]),
    (signed(receipt_change(schema_version="orvane.authorization-receipt.v2")),
     ["AUTHORIZATION_RECEIPT_SCHEMA_MISMATCH"]),
    (signed(receipt_change(expires_at=0)),
     ["AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH"]),
    (signed(receipt_change(executor_constraints={"allowed_executors": ["*"]})),
     ["AUTHORIZATION_EXECUTOR_CONSTRAINTS_MISMATCH"]),
    (signed_by_stranger, ["GATE_SIGNATURE_INVALID"]),
    (issued_by_stranger, ["GATE_IDENTITY_NOT_TRUSTED", "ORVANE_POLICY_SIGNER_UNTRUSTED"]),
    (odd_identifier, ["AUTHORIZATION_ID_MISMATCH", "GATE_SIGNATURE_INVALID"]),
    (drop("authorization_id", "gate_signature"), ["AUTHORIZATION_ID_MISSING"]),
    (drop("gate_signature"), ["GATE_SIGNATURE_MISSING"]),
    # The altered bundle fails its own check and both evaluations that need it.
    (widened_bundle, ["ORVANE_POLICY_DIGEST_MISMATCH"] * 3),
    (newer_bundle, ["AUTHORIZATION_POLICY_VERSION_MISMATCH", "AUTHORIZATION_POLICY_DIGEST_MISMATCH",
                    "AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH", "AUTHORIZATION_EXECUTOR_CONSTRAINTS_MISMATCH"]),
    (no_bundle, ["AUTHORIZATION_POLICY_BUNDLE_MISSING"]),
    (other_intent, ["INTENT_HASH_MISMATCH", "AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH", "AGENT_SIGNATURE_INVALID",
                    "AUTHORIZATION_DECISION_NOT_REPRODUCIBLE", "AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE"]),
    (other_agent_signature, ["AGENT_SIGNATURE_INVALID", "AUTHORIZATION_DECISION_NOT_REPRODUCIBLE",
                             "AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE"]),
    (lambda result, gate, agent: dict(result, schema_version="orvane.authorization-result.v0"),
     ["AUTHORIZATION_RESULT_SCHEMA_MISMATCH"]),
    (lambda result, gate, agent: dict(result, authorization="receipt"), ["AUTHORIZATION_RECEIPT_INVALID"]),
    (lambda result, gate, agent: [result], ["AUTHORIZATION_RESULT_SCHEMA_MISMATCH", "AUTHORIZATION_RECEIPT_MISSING"]),
])
def test_an_altered_stored_result_is_refused(gate, issued, tamper, expected):
    agent, document, _, result = issued
    store(gate, result["authorization"]["action_id"], tamper(copy.deepcopy(result), gate, agent))
    with pytest.raises(RuntimeError) as raised:
        request(gate, agent, document)
    assert str(raised.value) == REFUSED + ",".join(expected)


def test_a_stored_result_that_is_not_json_is_refused(gate, issued):
    agent, document, answer, result = issued
    store(gate, result["authorization"]["action_id"], answer[:-1])
    with pytest.raises(RuntimeError) as raised:
        request(gate, agent, document)
    assert str(raised.value).startswith(REFUSED) and len(str(raised.value)) > len(REFUSED)


def test_standing_is_judged_as_of_the_issue(gate, issued):
    agent, document, answer, _ = issued
    gate.ddb.revoke_agent(agent.public, "compromised")
    assert request(gate, agent, document)[0] == answer


def restate(gate, agent, result, requested_at, decision, reason_codes):
    """The stored result rewritten as if the intent had been requested at
    `requested_at`, correctly signed by the agent and the gate."""
    result = copy.deepcopy(result)
    receipt = result["authorization"]
    result["intent"]["requested_at"] = requested_at
    result["agent_signature"] = sign_intent(agent, result["intent"])
    receipt["intent_hash"] = hashlib.sha256(canonical(result["intent"])).hexdigest()
    receipt["evidence_digest"] = evidence_digest(result["policy_bundle"], result["intent"], 90)
    receipt["decision"], receipt["reason_codes"] = decision, reason_codes
    result = resign(gate.key, result)
    store(gate, receipt["action_id"], result)
    gate.execute("UPDATE action_authorizations SET intent_hash = ? WHERE action_id = ?",
                 receipt["intent_hash"], receipt["action_id"])
    return result


NOT_REPRODUCIBLE = REFUSED + "AUTHORIZATION_DECISION_NOT_REPRODUCIBLE,AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE"


@pytest.mark.parametrize("offset,decision,reason_codes,refusal", [
    (-300_000_000, "ALLOWED", ALLOWED, None),
    (-300_000_001, "ALLOWED", ALLOWED, NOT_REPRODUCIBLE),
    (-300_000_001, "BLOCKED", ["REQUEST_STALE"], None),
    (-300_000_000, "BLOCKED", ["REQUEST_STALE"], NOT_REPRODUCIBLE),
    (60_000_000, "ALLOWED", ALLOWED, None),
    (60_000_001, "ALLOWED", ALLOWED, NOT_REPRODUCIBLE),
    (60_000_001, "BLOCKED", ["REQUEST_FROM_FUTURE"], None),
])
def test_freshness_is_reproduced_to_the_microsecond(gate, issued, offset, decision, reason_codes, refusal):
    agent, _, _, result = issued
    restated = restate(gate, agent, result, result["authorization"]["issued_at"] + offset, decision, reason_codes)
    if refusal is None:
        assert request(gate, agent, restated["intent"])[0] == text(restated)
    else:
        with pytest.raises(RuntimeError) as raised:
            request(gate, agent, restated["intent"])
        assert str(raised.value) == refusal
