"""Action traces: assembly, the phase of an action, the grouping of checks, and
the reason codes of a stored execution result that was tampered with."""

import json

import pytest

import _orvane_ddb
from executor_helpers import Key, canonical
from outcome_helpers import TENANT, Road, sign_outcome


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path, executors=["*"])


def refusal(call, *args):
    with pytest.raises(RuntimeError) as err:
        call(*args)
    return str(err.value)


def committed(road, status="SUCCEEDED"):
    permit = road.permit()
    road.commit(permit, road.outcome(permit, status))
    return permit, permit["authorization"]["action_id"]


class TestAssembly:
    def test_an_unknown_action(self, road):
        for call in (road.ddb.get_trace, road.ddb.verify_trace):
            assert refusal(call, "0" * 64) == "ORVANE_ACTION_NOT_FOUND"

    def test_trace_holds_both_stored_documents(self, road):
        permit = road.permit()
        action_id = permit["authorization"]["action_id"]
        text = road.ddb.get_trace(action_id)
        assert text == canonical({"schema_version": "orvane.action-trace.v1", "action_id": action_id,
                                  "authorization": permit, "execution": None}).decode()
        execution = json.loads(road.commit(permit, road.outcome(permit)))
        assert json.loads(road.ddb.get_trace(action_id))["execution"] == execution

    def test_stored_text_that_is_not_json(self, road):
        permit, action_id = committed(road)
        road.store_execution(action_id, "{")
        for call in (road.ddb.get_trace, road.ddb.verify_trace):
            assert refusal(call, action_id).startswith("Stored execution receipt is invalid JSON: ")
        road.execute("UPDATE action_authorizations SET authorization_json = 'x' WHERE action_id = ?1", action_id)
        for call in (road.ddb.get_trace, road.ddb.verify_trace):
            assert refusal(call, action_id).startswith("Stored authorization is invalid JSON: ")


class TestPhase:
    def test_authorized_consumed_then_completed(self, road, tmp_path):
        permit = road.permit()
        action_id = permit["authorization"]["action_id"]
        text = road.ddb.verify_trace(action_id)
        assert text == canonical({"schema_version": "orvane.trace-verification.v1", "status": "VERIFIED",
                                  "action_id": action_id, "phase": "AUTHORIZED",
                                  "checks": {"authorization": "VERIFIED", "execution": "NOT_PRESENT"},
                                  "errors": []}).decode()
        assert list(json.loads(text)) == ["action_id", "checks", "errors", "phase", "schema_version", "status"]

        # Consumption happens at the executor; the gate learns only of the outcome.
        executor = _orvane_ddb.OrvaneExecutor(str(tmp_path / "exec.db"), road.executor_keyfile,
                                              road.gate_key.public_hex, TENANT, gate_db=road.db_path)
        executor.verify_and_consume_permit(canonical(permit).decode())
        assert road.report(action_id)["phase"] == "AUTHORIZED"

        outcome = executor.complete_execution(permit["authorization"]["authorization_id"], action_id,
                                              "FAILED", '{"error": "declined"}')
        road.commit(permit, outcome)
        report = road.report(action_id)
        assert (report["phase"], report["status"], report["checks"], report["errors"]) == (
            "COMPLETED", "VERIFIED", {"authorization": "VERIFIED", "execution": "VERIFIED"}, [])

    def test_expired_and_blocked(self, road):
        permit = road.permit()
        permit = road.forge_permit(permit, expires_at=permit["authorization"]["issued_at"])
        report = road.report(permit["authorization"]["action_id"])
        assert (report["phase"], report["status"]) == ("EXPIRED", "VERIFIED")

        blocked = road.permit(resource="account:other/1")
        assert road.report(blocked["authorization"]["action_id"])["phase"] == "BLOCKED"
        receipt = blocked["authorization"]
        blocked = road.forge_permit(blocked, expires_at=receipt["issued_at"])
        report = road.report(receipt["action_id"])
        assert (report["phase"], report["status"]) == ("BLOCKED", "VERIFIED")

    def test_phase_does_not_depend_on_verification(self, road):
        permit, action_id = committed(road)
        broken = json.loads(json.dumps(permit))
        broken["authorization"]["decision"] = "BLOCKED"
        road.store_permit(broken)
        report = road.report(action_id)
        assert report["phase"] == "BLOCKED" and report["status"] == "INVALID"
        assert report["checks"]["authorization"] == "FAILED"


def resigned_outcome(road, result, signer, **changes):
    outcome = {**result["outcome"], **changes}
    return sign_outcome(outcome, signer)


# Each case changes the stored execution result of a committed SUCCEEDED
# outcome; the report lists exactly these codes, in this order.
EXECUTION_CASES = {
    "not an object": (lambda road, r: '"text"',
                      ["EXECUTION_RESULT_SCHEMA_MISMATCH", "EXECUTION_RECEIPT_MISSING"]),
    "wrong schema": (lambda road, r: {**r, "schema_version": "orvane.execution-result.v2"},
                     ["EXECUTION_RESULT_SCHEMA_MISMATCH"]),
    "no receipt": (lambda road, r: {k: v for k, v in r.items() if k != "receipt"}, ["EXECUTION_RECEIPT_MISSING"]),
    "receipt not an object": (lambda road, r: {**r, "receipt": "r"}, ["EXECUTION_RECEIPT_INVALID"]),
    "no identifier nor signature": (
        lambda road, r: {**r, "receipt": {k: v for k, v in r["receipt"].items()
                                          if k not in ("receipt_id", "gate_signature")}},
        ["EXECUTION_RECEIPT_ID_MISSING"]),
    "no gate signature": (
        lambda road, r: {**r, "receipt": {**r["receipt"], "gate_signature": None}},
        ["EXECUTION_GATE_SIGNATURE_MISSING"]),
    "member added to the receipt": (
        lambda road, r: {**r, "receipt": {**r["receipt"], "note": 1}}, ["EXECUTION_RECEIPT_ID_MISMATCH"]),
    "odd receipt identifier": (
        lambda road, r: {**r, "receipt": {**r["receipt"], "receipt_id": r["receipt"]["receipt_id"][1:]}},
        ["EXECUTION_RECEIPT_ID_MISMATCH", "EXECUTION_GATE_SIGNATURE_INVALID"]),
    "receipt schema": (lambda road, r: road.resign_receipt(r, schema_version="orvane.execution-receipt.v0"),
                       ["EXECUTION_RECEIPT_SCHEMA_MISMATCH"]),
    "signed by another key": (
        lambda road, r: {**r, "receipt": {**r["receipt"],
                                          "gate_signature": Key().sign_hex(bytes.fromhex(r["receipt"]["receipt_id"]))}},
        ["EXECUTION_GATE_SIGNATURE_INVALID"]),
    "bound to another permit": (
        lambda road, r: road.resign_receipt(r, authorization_id="a" * 64, action_id="b" * 64, intent_hash="c" * 64),
        ["EXECUTION_AUTHORIZATION_ID_MISMATCH", "EXECUTION_ACTION_ID_MISMATCH", "EXECUTION_INTENT_HASH_MISMATCH"]),
    "executed by the agent": (
        lambda road, r: road.resign_outcome(r, road.agent, executor_id=road.agent.public_hex),
        ["EXECUTOR_AGENT_COLLUSION", "EXECUTOR_ROLE_INVALID"]),
    "no outcome": (lambda road, r: {k: v for k, v in r.items() if k != "outcome"}, ["OUTCOME_MISSING"]),
    "output changed": (lambda road, r: {**r, "outcome": {**r["outcome"], "output": "other"}},
                       ["OUTCOME_HASH_MISMATCH", "EXECUTOR_SIGNATURE_INVALID"]),
    "signature removed": (
        lambda road, r: {**r, "outcome": {k: v for k, v in r["outcome"].items() if k != "executor_signature"}},
        ["EXECUTOR_SIGNATURE_INVALID"]),
    "unregistered executor": (
        lambda road, r: (lambda k: road.resign_outcome(r, k, executor_id=k.public_hex))(Key()),
        ["EXECUTOR_IDENTITY_NOT_TRUSTED"]),
    "executor of another tenant": (
        lambda road, r: road.resign_outcome(r, road.globex, executor_id=road.globex.public_hex),
        ["EXECUTOR_TENANT_SCOPE_MISMATCH"]),
    "executor with the proposer role": (
        lambda road, r: road.resign_outcome(r, road.bot, executor_id=road.bot.public_hex),
        ["EXECUTOR_ROLE_INVALID"]),
    "status disagrees": (lambda road, r: road.resign_receipt(r, status="FAILED"), ["EXECUTION_STATUS_MISMATCH"]),
    "outcome breaks its contract": (
        lambda road, r: road.resign_receipt(road.resign_outcome(r, road.executor, status="succeeded"),
                                            status="succeeded"),
        ["ORVANE_INVALID_CONTRACT: outcome status must be SUCCEEDED or FAILED"]),
}


class TestExecutionVerification:
    @pytest.mark.parametrize("case", list(EXECUTION_CASES))
    def test_reason_codes_in_order(self, road, case):
        change, expected = EXECUTION_CASES[case]
        # Registered before the commit: executors are judged as of completed_at.
        road.globex = road.register("globex-runner", {"tenant_id": "globex"})
        road.bot = road.register("bot-2", {"role": "proposer", "tenant_id": TENANT})
        permit, action_id = committed(road)
        changed = change(road, road.execution(action_id))
        if isinstance(changed, dict) and isinstance(changed.get("receipt"), dict):
            changed["receipt"] = {k: v for k, v in changed["receipt"].items() if v is not None}
        road.store_execution(action_id, changed)
        report = road.report(action_id)
        assert report["errors"] == expected
        assert report["status"] == "INVALID" and report["phase"] == "COMPLETED"
        assert report["checks"]["execution"] == "FAILED"
        # Codes that name the gate, the agent, the intent or the authorization
        # mark the authorization check as well.
        marks_authorization = any(w in code for code in expected for w in ("AUTHORIZATION", "INTENT", "AGENT", "GATE"))
        assert report["checks"]["authorization"] == ("FAILED" if marks_authorization else "VERIFIED")

    def test_executor_judged_as_of_completion(self, road):
        permit, action_id = committed(road)
        road.ddb.revoke_agent(road.executor.public_hex, "retired after the action")
        assert road.report(action_id)["errors"] == []

    def test_authorization_result_without_its_receipt(self, road):
        permit, action_id = committed(road)
        road.store_permit({k: v for k, v in permit.items() if k != "authorization"},
                          permit["authorization"]["authorization_id"])
        report = road.report(action_id)
        assert report["errors"] == [
            "AUTHORIZATION_RECEIPT_MISSING",
            "EXECUTION_AUTHORIZATION_ID_MISMATCH", "EXECUTION_ACTION_ID_MISMATCH", "EXECUTION_INTENT_HASH_MISMATCH",
            "ORVANE_AUTHORIZATION_MISMATCH: outcome authorization_id does not match",
        ]
        assert (report["phase"], report["checks"]) == ("COMPLETED", {"authorization": "FAILED",
                                                                    "execution": "FAILED"})

    def test_authorization_codes_come_first(self, road):
        permit, action_id = committed(road)
        changed = json.loads(json.dumps(permit))
        changed["authorization"]["note"] = "x"
        road.store_permit(changed)
        result = road.execution(action_id)
        result["outcome"]["output"] = "other"
        road.store_execution(action_id, result)
        assert road.report(action_id)["errors"] == [
            "AUTHORIZATION_ID_MISMATCH", "OUTCOME_HASH_MISMATCH", "EXECUTOR_SIGNATURE_INVALID"]


class TestCheckGrouping:
    def test_a_failed_verification_fails_its_check_whatever_its_words(self, road):
        permit, action_id = committed(road)
        changed = json.loads(json.dumps(permit))
        changed["policy_bundle"]["signature"] = "00" * 64
        road.store_permit(changed)
        report = road.report(action_id)
        assert report["errors"] and all("POLICY" in code for code in report["errors"])
        assert report["checks"] == {"authorization": "FAILED", "execution": "VERIFIED"}
