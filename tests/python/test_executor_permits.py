"""Permit verification and consumption: every refusal, the gate database checks, exactly once."""

import copy
import hashlib
import json
import multiprocessing
import os
import sqlite3

import pytest

from executor_helpers import (
    TENANT, Key, action_id, canonical, make_bundle, make_gate_db, make_intent, make_permit,
    now_micros, open_executor, permit_text, race_consume, resign, sign_bundle, verify,
)


@pytest.fixture
def env(tmp_path):
    class Env:
        gate, agent, executor_key = Key(), Key(), Key()
        keyfile = executor_key.write_keyfile(tmp_path / "executor.json")
        db = tmp_path / "exec.db"

        def executor(self, **kwargs):
            kwargs.setdefault("pool_size", 1)
            trusted = kwargs.pop("trusted_gate", self.gate)
            return open_executor(self.db, self.keyfile, trusted, **kwargs)

        def permit(self, **kwargs):
            return make_permit(self.gate, self.agent, **kwargs)

    return Env()


def refusal(executor, permit) -> str:
    text = permit if isinstance(permit, str) else permit_text(permit)
    with pytest.raises(PermissionError) as err:
        executor.verify_and_consume_permit(text)
    return str(err.value)


def rows(db):
    return sqlite3.connect(db).execute("SELECT * FROM consumed_permits").fetchall()


def test_consumption_returns_the_receipt_and_records_a_signed_observation(env):
    executor = env.executor()
    permit = env.permit()
    returned = executor.verify_and_consume_permit(json.dumps(permit, indent=2))
    receipt = permit["authorization"]
    assert returned == canonical(receipt).decode()

    (auth_id, act_id, status, started_at, completed_at, outcome, observation_json), = rows(env.db)
    assert (auth_id, act_id, status, completed_at, outcome) == (
        receipt["authorization_id"], receipt["action_id"], "STARTED", None, None)
    assert abs(started_at - now_micros()) < 60_000_000
    observation = json.loads(observation_json)
    assert canonical(observation).decode() == observation_json
    signature = observation.pop("executor_signature")
    assert verify(env.executor_key.public_hex, canonical(observation), signature)
    assert observation == {
        "schema_version": "orvane.executor-observation.v1",
        "authorization_id": auth_id,
        "action_id": act_id,
        "executor_id": env.executor_key.public_hex,
        "status": "STARTED",
        "observed_at": observation["observed_at"],
        "details": {"policy_version": receipt["policy_version"], "policy_digest": receipt["policy_digest"]},
    }


class TestPermitShape:
    def test_not_json_reports_the_parser(self, env):
        message = refusal(env.executor(), "{")
        assert " at line 1 column " in message

    def test_receipt_instead_of_result(self, env):
        permit = env.permit()
        assert refusal(env.executor(), permit["authorization"]) == "Invalid permit schema"

    def test_missing_parts(self, env):
        executor, permit = env.executor(), env.permit()
        assert refusal(executor, {k: v for k, v in permit.items() if k != "authorization"}) == "Missing authorization"
        assert refusal(executor, {k: v for k, v in permit.items() if k != "intent"}) == "Missing intent"
        no_tenant = copy.deepcopy(permit)
        del no_tenant["intent"]["tenant_id"]
        assert refusal(executor, no_tenant) == "Missing tenant_id in intent"

    def test_other_tenant_is_rejected_before_any_signature(self, env):
        permit = env.permit(intent=make_intent(env.agent, tenant="globex"))
        permit["authorization"]["gate_signature"] = "zz"
        assert refusal(env.executor(), permit) == "Cross-tenant permit rejected"

    def test_missing_receipt_members(self, env):
        executor = env.executor()
        for name, message in [("gate_signature", "Missing gate_signature"), ("gate_id", "Missing gate_id")]:
            permit = env.permit()
            del permit["authorization"][name]
            assert refusal(executor, permit) == message


class TestGateIdentity:
    def test_upper_case_trusted_gate_rejects_its_own_permits(self, env):
        upper = copy.copy(env.gate)
        upper.public_hex = env.gate.public_hex.upper()
        assert refusal(env.executor(trusted_gate=upper), env.permit()) == "Untrusted gate ID"

    def test_malformed_gate_key_and_signature(self, env):
        def with_gate_id(gate_id, signature=None):
            permit = env.permit()
            permit["authorization"]["gate_id"] = gate_id
            if signature is not None:
                permit["authorization"]["gate_signature"] = signature
            trusted = copy.copy(env.gate)
            trusted.public_hex = gate_id
            return refusal(env.executor(trusted_gate=trusted), permit)

        assert with_gate_id("abc") == "Odd number of digits"
        assert with_gate_id("abcd") == "Invalid string length"
        assert with_gate_id("zz" + "0" * 62) == "Invalid character 'z' at position 0"
        # y = 2 is not the y coordinate of any point on the curve.
        assert with_gate_id("02" + "0" * 62) == "Invalid gate pk"
        assert with_gate_id(env.gate.public_hex, signature="ab" * 63) == "Invalid string length"

    def test_any_changed_receipt_member_breaks_the_identifier(self, env):
        executor = env.executor()
        for name, value in [("expires_at", 1), ("decision", "BLOCKED"), ("tenant_id", "x"), ("extra", True)]:
            permit = env.permit()
            permit["authorization"][name] = value
            assert refusal(executor, permit) == "Authorization ID mismatch", name
        permit = env.permit()
        del permit["authorization"]["authorization_id"]
        assert refusal(executor, permit) == "Missing authorization_id"

    def test_signature_by_another_key(self, env):
        permit = env.permit()
        permit["authorization"]["gate_signature"] = Key().sign_hex(
            bytes.fromhex(permit["authorization"]["authorization_id"]))
        assert refusal(env.executor(), permit) == "Invalid gate signature"

    def test_blocked_permit(self, env):
        assert refusal(env.executor(), env.permit(decision="BLOCKED")) == "Permit is not ALLOWED"


class TestPolicyEvidence:
    def test_missing_bundle(self, env):
        permit = env.permit()
        del permit["policy_bundle"]
        assert refusal(env.executor(), permit) == "Missing signed policy bundle"

    def test_bundle_from_another_gate(self, env):
        other = Key()
        permit = env.permit(bundle=make_bundle(other))
        assert refusal(env.executor(), permit) == "Invalid policy bundle: ORVANE_POLICY_SIGNER_UNTRUSTED"

    def test_removing_allowed_executors_breaks_the_bundle_digest(self, env):
        permit = env.permit()
        del permit["policy_bundle"]["constraints"]["allowed_executors"]
        assert refusal(env.executor(), permit) == "Invalid policy bundle: ORVANE_POLICY_DIGEST_MISMATCH"

    def test_receipt_bound_to_another_policy_version(self, env):
        permit = env.permit(policy_version="other-v9")
        assert refusal(env.executor(), permit) == "Authorization policy binding mismatch"
        permit = env.permit()
        del permit["authorization"]["policy_digest"]
        assert refusal(env.executor(), resign(env.gate, permit)) == "Authorization policy binding mismatch"

    def test_executor_outside_allowed_executors(self, env):
        bundle = make_bundle(env.gate, executors=["ffff*"])
        assert refusal(env.executor(), env.permit(bundle=bundle)) == "Executor is denied by policy"
        bundle = make_bundle(env.gate, executors=[env.executor_key.public_hex[:10] + "*"])
        env.executor().verify_and_consume_permit(permit_text(env.permit(bundle=bundle)))

    def test_intent_changed_after_issue(self, env):
        permit = env.permit()
        permit["intent"]["resource"] = "account/43"
        assert refusal(env.executor(), permit) == "Intent hash mismatch"
        permit = env.permit()
        del permit["authorization"]["intent_hash"]
        assert refusal(env.executor(), resign(env.gate, permit)) == "Missing intent_hash in permit"

    def test_expiry(self, env):
        executor = env.executor()
        old = now_micros() - 120_000_000
        assert refusal(executor, env.permit(issued_at=old, ttl_seconds=60)) == "Permit has expired"
        permit = env.permit()
        permit["authorization"]["expires_at"] = 1.5
        assert refusal(executor, resign(env.gate, permit)) == "Missing expires_at"
        permit = env.permit()
        del permit["authorization"]["issued_at"]
        assert refusal(executor, resign(env.gate, permit)) == "Missing issued_at"

    def test_evidence_must_reproduce(self, env):
        executor = env.executor()
        assert refusal(executor, env.permit(evidence_digest="00" * 32)) == "Policy evidence is not reproducible"
        assert refusal(executor, env.permit(executor_constraints={"allowed_executors": ["x"]})) == \
            "Policy evidence is not reproducible"
        permit = env.permit()
        del permit["authorization"]["executor_constraints"]
        assert refusal(executor, resign(env.gate, permit)) == "Policy evidence is not reproducible"
        # An intent the policy blocks cannot be turned into a permit by the gate's word alone.
        blocked = make_intent(env.agent, action_type="refund.send")
        assert refusal(executor, env.permit(intent=blocked)) == "Policy evidence is not reproducible"

    def test_policy_evaluation_errors_are_passed_on(self, env):
        intent = make_intent(env.agent, money={"currency": "EUR", "amount": "1.234"})
        assert refusal(env.executor(), env.permit(intent=intent)) == (
            "ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two fractional digits")

    def test_missing_action_id_is_checked_last(self, env):
        permit = env.permit()
        del permit["authorization"]["action_id"]
        assert refusal(env.executor(), resign(env.gate, permit)) == "Missing action_id"
        assert rows(env.db) == []


class TestGateDatabase:
    def test_revoked_permit(self, env, tmp_path):
        permit = env.permit()
        gate_db = make_gate_db(tmp_path / "gate.db", env.gate, env.agent,
                               revoked=[permit["authorization"]["authorization_id"]])
        assert refusal(env.executor(gate_db=gate_db), permit) == \
            "ORVANE_PERMIT_REVOKED: permit has been revoked at gate"
        assert rows(env.db) == []
        env.executor().verify_and_consume_permit(permit_text(permit))  # no gate database: consumed

    def test_revoked_agent(self, env, tmp_path):
        gate_db = make_gate_db(tmp_path / "gate.db", env.gate, env.agent, revoke_agent=True)
        assert refusal(env.executor(gate_db=gate_db), env.permit()) == \
            "ORVANE_PERMIT_REVOKED: agent identity has been revoked"

    def test_an_agent_the_gate_database_cannot_vouch_for(self, env, tmp_path):
        gate_db = make_gate_db(tmp_path / "gate.db", env.gate, Key())
        assert refusal(env.executor(gate_db=gate_db), env.permit()) == \
            "ORVANE_AGENT_NOT_TRUSTED: agent identity does not verify at gate"
        assert rows(env.db) == []

    def test_outcome_already_committed(self, env, tmp_path):
        permit = env.permit()
        gate_db = make_gate_db(tmp_path / "gate.db", env.gate, env.agent,
                               outcomes=[permit["authorization"]["authorization_id"]])
        assert refusal(env.executor(gate_db=gate_db), permit) == \
            "ORVANE_PERMIT_ALREADY_CONSUMED: permit already has an outcome committed to gate"

    def test_unreadable_gate_database(self, env, tmp_path):
        assert refusal(env.executor(gate_db=str(tmp_path / "absent.db")), env.permit()) == \
            "Failed to open gate DB for revocation check: unable to open database file"
        empty = tmp_path / "empty.db"
        sqlite3.connect(empty).execute("CREATE TABLE t (x)").connection.close()
        assert refusal(env.executor(gate_db=str(empty)), env.permit()) == \
            "Failed to query revoked_authorizations: no such table: revoked_authorizations"


    def test_kept_connection_follows_the_file_at_the_path(self, env, tmp_path):
        """One executor, one gate path: the file is changed in place, replaced
        by another file, removed and put back between consumptions, and every
        consumption answers as a first one on that file would."""
        path = tmp_path / "gate.db"
        make_gate_db(path, env.gate, env.agent)
        executor = env.executor(gate_db=str(path))
        executor.verify_and_consume_permit(permit_text(env.permit(intent=make_intent(env.agent, "k1"))))

        second = env.permit(intent=make_intent(env.agent, "k2"))
        db = sqlite3.connect(path)  # in place: the kept connection sees it
        with db:
            db.execute("INSERT INTO revoked_authorizations VALUES (?, 0, 'test', 'e')",
                       (second["authorization"]["authorization_id"],))
        db.close()
        assert refusal(executor, second) == "ORVANE_PERMIT_REVOKED: permit has been revoked at gate"

        third = env.permit(intent=make_intent(env.agent, "k3"))
        replacement = make_gate_db(tmp_path / "next.db", env.gate, env.agent, outcomes=[third["authorization"]["authorization_id"]])
        os.replace(replacement, path)
        assert refusal(executor, third) == \
            "ORVANE_PERMIT_ALREADY_CONSUMED: permit already has an outcome committed to gate"

        os.remove(path)
        fourth = env.permit(intent=make_intent(env.agent, "k4"))
        assert refusal(executor, fourth) == "Failed to open gate DB for revocation check: unable to open database file"
        make_gate_db(path, env.gate, env.agent)
        executor.verify_and_consume_permit(permit_text(fourth))
        assert len(rows(env.db)) == 2


class TestExactlyOnce:
    def test_second_consumption_and_reused_action_are_refused(self, env):
        executor = env.executor()
        intent = make_intent(env.agent)
        first = env.permit(intent=intent)
        executor.verify_and_consume_permit(permit_text(first))
        before = rows(env.db)
        assert refusal(executor, first) == "Permit already consumed or action ID re-used"
        # Another permit (new TTL, hence new id) for the same action.
        second = env.permit(intent=intent, ttl_seconds=120)
        assert second["authorization"]["authorization_id"] != first["authorization"]["authorization_id"]
        assert refusal(executor, second) == "Permit already consumed or action ID re-used"
        assert rows(env.db) == before

    def test_racing_processes_consume_a_permit_once(self, env):
        ctx = multiprocessing.get_context("spawn")
        contenders = 4
        env.executor()  # create the schema before the race
        text = permit_text(env.permit())
        barrier, results = ctx.Barrier(contenders), ctx.Queue()
        procs = [ctx.Process(target=race_consume,
                             args=(str(env.db), env.keyfile, env.gate.public_hex, TENANT, text, barrier, results))
                 for _ in range(contenders)]
        for p in procs:
            p.start()
        outcomes = sorted(results.get(timeout=120) for _ in procs)
        for p in procs:
            p.join(timeout=60)
            assert p.exitcode == 0
        assert outcomes == ["Permit already consumed or action ID re-used"] * (contenders - 1) + ["consumed"]
        assert len(rows(env.db)) == 1
