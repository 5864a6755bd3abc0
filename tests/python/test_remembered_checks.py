"""Signature checks remembered from one call to the next.

A gate or executor object keeps the positive answers of its Ed25519 checks
across calls. Every check still reads and re-derives its document from the
database on every call, so a stored document changed between two calls is a
different message and must be verified afresh. Each test warms one object with
a call that succeeds, edits one kind of signed row with plain sqlite3 (the
signature kept, digests recomputed where the row carries one, or a signature
swapped in that the object verified before for another document), and checks
that the next call of the warm object refuses exactly as a freshly opened
object, which remembers nothing, does.
"""

import copy
import hashlib
import json

import pytest

import _orvane_ddb
from executor_helpers import Key, canonical, digest_hex
from outcome_helpers import TENANT, Road


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path)


def answer(call, *args):
    """What a call says, without the parts that differ between two calls."""
    try:
        out = call(*args)
    except (RuntimeError, PermissionError) as err:
        return ("refused", str(err))
    if isinstance(out, bool):
        return ("answer", out)
    document = json.loads(out)
    if "authorization" in document and "decision" in document["authorization"]:
        receipt = document["authorization"]
        return (receipt["decision"], receipt.get("reason_codes"))
    if "status" in document:
        return ("status", document["status"], document.get("reason_codes"))
    return ("document", sorted(document))


def fresh_gate(road):
    return _orvane_ddb.OrvaneDDB(road.db_path, road.gate_keyfile)


def redigest_registration(road, public_key, **changes):
    (text,), = road.query("SELECT registration_event FROM agents WHERE public_key = ?1", public_key)
    event = json.loads(text)
    event.update(changes)
    road.execute("UPDATE agents SET registration_event = ?1, registration_event_id = ?2 WHERE public_key = ?3",
                 canonical(event).decode(), digest_hex(event), public_key)


def redigest_bundle(road, tenant, **constraint_changes):
    (version, text), = road.query(
        "SELECT policy_version, bundle_json FROM policy_bundles WHERE tenant_id = ?1 AND retired_at IS NULL", tenant)
    bundle = json.loads(text)
    bundle["constraints"].update(constraint_changes)
    body = {k: v for k, v in bundle.items() if k not in ("policy_digest", "signature", "status", "retired_at")}
    bundle["policy_digest"] = digest_hex(body)
    road.execute("UPDATE policy_bundles SET bundle_json = ?1 WHERE policy_version = ?2",
                 canonical(bundle).decode(), version)
    road.execute("UPDATE active_policy_attestations SET policy_digest = ?1 WHERE tenant_id = ?2",
                 bundle["policy_digest"], tenant)


def request(road):
    return lambda ddb: ddb.request_action_signed(*signed_intent(road), 120)


def signed_intent(road):
    intent = road.intent()
    return canonical(intent).decode(), road.agent.public_hex, road.agent.sign_hex(canonical(intent))


def assert_refuses_again(road, warm_call, fresh_call=None):
    """The warm object's answer after the edit is a refusal and the same as a fresh object's."""
    after = answer(warm_call, road.ddb)
    expected = answer(fresh_call or warm_call, fresh_gate(road))
    assert after == expected
    assert after[0] in ("refused", "BLOCKED") or after == ("answer", False) or after[0] == "status"
    return after


# Edits of the documents a request re-verifies: the agent's and the gate's
# registrations, the tenant's bundle and attestation, the baseline bundle.
REQUEST_EDITS = {
    "agent registration": lambda road: redigest_registration(road, road.agent.public_hex, alias="bot2"),
    "gate registration": lambda road: redigest_registration(road, road.gate_key.public_hex, alias="gate2"),
    "tenant bundle": lambda road: redigest_bundle(road, TENANT, max_input_bytes=4095),
    "baseline bundle": lambda road: redigest_bundle(road, "*", max_input_bytes=4095),
    "tenant attestation": lambda road: road.execute(
        "UPDATE active_policy_attestations SET attestation_json = replace(attestation_json, "
        "'\"activated_at\":', '\"activated_at\":1') WHERE tenant_id = ?1", TENANT),
}


@pytest.mark.parametrize("edit", REQUEST_EDITS, ids=list(REQUEST_EDITS))
def test_request_after_an_edited_document(road, edit):
    call = request(road)
    assert answer(call, road.ddb)[0] == "ALLOWED"
    assert answer(call, road.ddb)[0] == "ALLOWED"  # everything the first call checked is remembered now
    REQUEST_EDITS[edit](road)
    assert_refuses_again(road, call)


def test_verify_agent_after_edited_registrations_and_lifecycle_events(road):
    agent = road.agent.public_hex
    verify = lambda ddb: ddb.verify_agent(agent)
    assert answer(verify, road.ddb) == ("answer", True)
    redigest_registration(road, agent, alias="bot2")
    assert assert_refuses_again(road, verify) == ("answer", False)

    old = road.register("rotating", {"role": "proposer", "tenant_id": TENANT})
    new = Key()
    road.ddb.rotate_agent(old.public_hex, new.public_hex)
    verify_new = lambda ddb: ddb.verify_agent(new.public_hex)
    assert answer(verify_new, road.ddb) == ("answer", True)
    (event_id, text), = road.query("SELECT event_id, event_json FROM identity_lifecycle_events")
    envelope = json.loads(text)
    envelope["event"]["effective_at"] -= 1
    envelope["event_id"] = digest_hex(envelope["event"])
    road.execute("UPDATE identity_lifecycle_events SET event_id = ?1, event_json = ?2 WHERE event_id = ?3",
                 envelope["event_id"], canonical(envelope).decode(), event_id)
    assert assert_refuses_again(road, verify_new)[0] == "refused"


def committed_pair(road):
    """Two permits; the first one committed, so its receipt's signature is remembered."""
    first, second = road.permit(), road.permit()
    road.commit(first, road.outcome(first))
    return first, second


def test_commit_after_a_receipt_signature_swapped_in(road):
    first, second = committed_pair(road)
    stored = copy.deepcopy(second)
    stored["authorization"]["gate_signature"] = first["authorization"]["gate_signature"]
    road.store_permit(stored)
    outcome = road.outcome(second)
    call = lambda ddb: ddb.commit_outcome_signed(second["authorization"]["authorization_id"], outcome)
    assert assert_refuses_again(road, call)[0] == "refused"


def test_commit_after_edited_executor_registration(road):
    first, second = committed_pair(road)
    redigest_registration(road, road.executor.public_hex, alias="runner2")
    outcome = road.outcome(second)
    call = lambda ddb: ddb.commit_outcome_signed(second["authorization"]["authorization_id"], outcome)
    assert assert_refuses_again(road, call)[0] == "refused"


def test_replay_and_trace_after_an_execution_receipt_signature_swapped_in(road):
    first, second = road.permit(), road.permit()
    outcomes = [road.outcome(first), road.outcome(second)]
    results = [json.loads(road.commit(p, o)) for p, o in zip((first, second), outcomes)]
    replay = lambda ddb: ddb.commit_outcome_signed(first["authorization"]["authorization_id"], outcomes[0])
    trace = lambda ddb: ddb.verify_trace(first["authorization"]["action_id"])
    assert answer(replay, road.ddb) == ("document", ["outcome", "receipt", "schema_version"])
    assert answer(trace, road.ddb)[:2] == ("status", "VERIFIED")
    stored = road.execution(first["authorization"]["action_id"])
    stored["receipt"]["gate_signature"] = results[1]["receipt"]["gate_signature"]
    road.store_execution(first["authorization"]["action_id"], stored)
    assert assert_refuses_again(road, replay)[0] == "refused"
    assert assert_refuses_again(road, trace)[1] != "VERIFIED"


class TestExecutor:
    @pytest.fixture
    def executor(self, road, tmp_path):
        return self.open(road, tmp_path)

    @staticmethod
    def open(road, tmp_path):
        return _orvane_ddb.OrvaneExecutor(str(tmp_path / "executor.db"), road.executor_keyfile,
                                          road.gate_key.public_hex, TENANT, gate_db=road.db_path)

    def check(self, road, tmp_path, executor, edit):
        first, second = road.permit(), road.permit()
        executor.verify_and_consume_permit(json.dumps(first))
        forged = copy.deepcopy(second)
        edit(forged, first)
        text = json.dumps(forged)
        warm = answer(executor.verify_and_consume_permit, text)
        assert warm[0] == "refused"
        assert warm == answer(self.open(road, tmp_path).verify_and_consume_permit, text)
        return warm[1]

    def test_a_gate_signature_verified_for_another_permit(self, road, tmp_path, executor):
        def swap(forged, first):
            forged["authorization"]["gate_signature"] = first["authorization"]["gate_signature"]
        assert self.check(road, tmp_path, executor, swap) == "Invalid gate signature"

    def test_an_edited_policy_bundle(self, road, tmp_path, executor):
        def edit(forged, first):
            bundle = forged["policy_bundle"]
            bundle["constraints"]["max_input_bytes"] = 4095
            body = {k: v for k, v in bundle.items() if k not in ("policy_digest", "signature", "status", "retired_at")}
            bundle["policy_digest"] = hashlib.sha256(canonical(body)).hexdigest()
        assert self.check(road, tmp_path, executor, edit) == "Invalid policy bundle: ORVANE_POLICY_SIGNATURE_INVALID"
