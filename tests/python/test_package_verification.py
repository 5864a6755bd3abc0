"""Verification without a gate: module-level checks of checkpoints and
authorization results under a key the caller gives, and what a permit allows."""

import json

import pytest

import orvane_ddb
from executor_helpers import Key, make_bundle, make_intent, make_permit, resign, sign_bundle

from package_helpers import build_road


@pytest.fixture
def road(tmp_path):
    return build_road(tmp_path)


def verdict(result, key):
    return json.loads(orvane_ddb.verify_authorization(result, key))


def test_a_gate_permit_and_a_blocked_answer_verify_under_the_gate_key_only(road):
    permit = road.permit()
    ok = verdict(permit, road.public["gate"])
    receipt = json.loads(permit)["authorization"]
    assert ok == {"schema_version": "orvane.authorization-verification.v1", "status": "VERIFIED",
                  "reason_codes": [], "authorization_id": receipt["authorization_id"],
                  "action_id": receipt["action_id"], "decision": "ALLOWED"}
    assert verdict(permit, road.public["gate"].upper())["status"] == "VERIFIED"  # hex in either case
    assert verdict(permit, road.public["agent"])["reason_codes"] == ["GATE_IDENTITY_NOT_TRUSTED"]

    blocked = road.gate.request_action(road.intent("idem-2", resource="account:other/1"), road.keys["agent"])
    answer = verdict(blocked, road.public["gate"])
    assert (answer["status"], answer["decision"]) == ("VERIFIED", "BLOCKED")


def test_documents_built_independently_verify_and_every_edit_is_caught():
    gate, agent = Key(), Key()
    bundle = sign_bundle(gate, make_bundle(gate))
    permit = make_permit(gate, agent, bundle=bundle)
    assert verdict(permit, gate.public_hex)["status"] == "VERIFIED"

    edited = json.loads(json.dumps(permit))
    edited["intent"]["resource"] = "account:acme/elsewhere"
    assert {"INTENT_HASH_MISMATCH", "AGENT_SIGNATURE_INVALID"} <= set(verdict(edited, gate.public_hex)["reason_codes"])

    edited = json.loads(json.dumps(permit))
    edited["authorization"]["expires_at"] += 3_600_000_000
    assert verdict(edited, gate.public_hex)["reason_codes"][0] == "AUTHORIZATION_ID_MISMATCH"

    # An attacker's own key signs a well-formed permit: it verifies only under that key.
    attacker = Key()
    forged = make_permit(attacker, agent, bundle=sign_bundle(attacker, make_bundle(attacker)))
    assert verdict(forged, attacker.public_hex)["status"] == "VERIFIED"
    assert "GATE_IDENTITY_NOT_TRUSTED" in verdict(forged, gate.public_hex)["reason_codes"]

    # Re-signed by the gate after the intent changed: the evidence no longer matches.
    edited = json.loads(json.dumps(permit))
    edited["intent"] = make_intent(agent, key="other", resource="account:acme/x")
    edited["agent_signature"] = agent.sign_hex(json.dumps(edited["intent"], sort_keys=True,
                                                          separators=(",", ":")).encode())
    codes = verdict(resign(gate, edited), gate.public_hex)["reason_codes"]
    assert "AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH" in codes and "GATE_SIGNATURE_INVALID" not in codes


def test_malformed_inputs_are_refused_with_codes(road):
    permit = road.permit()
    for call, code in [
        (lambda: orvane_ddb.verify_authorization("{", road.public["gate"]), "ORVANE_JSON_INVALID"),
        (lambda: orvane_ddb.verify_authorization(permit, "zz"), "ORVANE_KEY_INVALID"),
        (lambda: orvane_ddb.verify_authorization(permit, "ab"), "ORVANE_KEY_INVALID"),
        (lambda: orvane_ddb.verify_checkpoint_stream("{}", "[]", "00"), "ORVANE_KEY_INVALID"),
        (lambda: orvane_ddb.permit_info("[1"), "ORVANE_JSON_INVALID"),
        (lambda: orvane_ddb.permit_info({"intent": {}}), "ORVANE_PERMIT_MALFORMED"),
    ]:
        with pytest.raises(orvane_ddb.OrvaneRuntimeError) as caught:
            call()
        assert caught.value.code == code, str(caught.value)
    answer = verdict({"schema_version": "x"}, road.public["gate"])
    assert answer["status"] == "INVALID" and answer["authorization_id"] is None
    with pytest.raises(TypeError):
        orvane_ddb.native.verify_authorization(permit, None)  # the key is required
    with pytest.raises(TypeError):
        orvane_ddb.native.verify_checkpoint_stream("{}", "[]")


def test_checkpoints_verify_under_the_given_key_without_a_gate(road):
    road.permit()
    checkpoint = road.gate.create_checkpoint("acme")
    stream = road.gate.export_event_stream("acme")
    ok = json.loads(orvane_ddb.verify_checkpoint_stream(checkpoint, stream, road.public["gate"]))
    assert ok == json.loads(road.gate.verify_checkpoint_stream(checkpoint, stream, road.public["gate"]))
    assert ok["status"] == "VERIFIED" and ok["events_verified"] == len(json.loads(stream))
    other = json.loads(orvane_ddb.verify_checkpoint_stream(checkpoint, stream, road.public["agent"]))
    assert (other["status"], other["reason_code"]) == ("INVALID", "ERR_UNTRUSTED_SIGNER")
    shortened = json.loads(stream)[:-1]
    cut = json.loads(orvane_ddb.verify_checkpoint_stream(json.loads(checkpoint), shortened, road.public["gate"]))
    assert (cut["status"], cut["reason_code"]) == ("INVALID", "ERR_ROLLBACK_DETECTED")


def test_permit_info_shows_what_a_permit_allows_without_consuming_it(road):
    permit = road.permit()
    info = json.loads(orvane_ddb.permit_info(permit))
    receipt = json.loads(permit)["authorization"]
    assert info["schema_version"] == "orvane.permit-info.v1"
    assert (info["action_type"], info["resource"], info["tenant_id"]) == ("payment.send", "account:acme/ops", "acme")
    assert info["executor_constraints"] == {"allowed_executors": [road.public["executor"]]}
    assert (info["decision"], info["expired"]) == ("ALLOWED", False)
    for name in ("authorization_id", "action_id", "agent_id", "gate_id", "issued_at", "expires_at", "policy_version"):
        assert info[name] == receipt[name]
    executor = road.executor()
    executor.verify_and_consume_permit(permit)  # still consumable after being looked at

    expired = json.loads(permit)
    expired["authorization"]["expires_at"] = 1
    assert json.loads(orvane_ddb.permit_info(expired))["expired"] is True
    bare = json.loads(orvane_ddb.permit_info({"authorization": {}}))
    assert bare["expired"] is None and bare["action_type"] is None
