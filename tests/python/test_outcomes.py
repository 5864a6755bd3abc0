"""Outcome commits at the gate: the execution result, every refusal in its order,
the replay of a committed outcome, signing on the executor's behalf, and a
permit yielding one outcome when several processes race for it."""

import hashlib
import json
import multiprocessing

import pytest

import _orvane_ddb
from executor_helpers import Key, canonical, verify
from outcome_helpers import (
    TENANT, Road, check_execution_result, outcome_body, outcome_hash, race_commit, sign_outcome,
)

ANY_EXECUTOR = ["*"]


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path)


def refusal(call, *args):
    with pytest.raises(RuntimeError) as err:
        call(*args)
    return str(err.value)


def refused_commit(road, authorization_id, outcome_text):
    """Commits expecting a refusal that writes neither a row nor an event."""
    before = (road.outcome_rows(), road.outcome_events())
    message = refusal(road.ddb.commit_outcome_signed, authorization_id, outcome_text)
    assert (road.outcome_rows(), road.outcome_events()) == before
    return message


class TestCommittedOutcome:
    @pytest.mark.parametrize("status, event_type", [("SUCCEEDED", "action.executed"), ("FAILED", "action.failed")])
    def test_one_row_and_one_event_hold_the_signed_result(self, road, status, event_type):
        permit = road.permit()
        receipt = permit["authorization"]
        outcome = road.outcome(permit, status, output={"transfer": "tx-9", "fee": [1, 2]})
        text = road.commit(permit, outcome)

        result = check_execution_result(text, road.gate_key.public_hex, permit, outcome)
        stated = result["receipt"]
        assert stated["status"] == status
        (row,) = road.outcome_rows()
        assert row == (stated["receipt_id"], receipt["authorization_id"], receipt["action_id"],
                       road.executor.public_hex, outcome_hash(result["outcome"]), stated["completed_at"], text)
        assert road.outcome_events() == [(TENANT, event_type, stated["receipt_id"],
                                          hashlib.sha256(text.encode()).hexdigest(), stated["completed_at"])]
        assert receipt["issued_at"] <= stated["completed_at"] <= receipt["expires_at"]


class TestReplay:
    def test_the_identical_outcome_returns_the_stored_text(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        first = road.commit(permit, outcome)
        state = (road.outcome_rows(), road.outcome_events())
        # Same outcome, other formatting: the same canonical bytes, the same hash.
        reformatted = json.dumps(json.loads(outcome), indent=3)
        assert road.commit(permit, outcome) == first
        assert road.commit(permit, reformatted) == first
        assert (road.outcome_rows(), road.outcome_events()) == state

    @pytest.mark.parametrize("change", [{"output": {"transfer": "tx-2"}}, {"status": "FAILED"}, {"extra": 1}])
    def test_another_outcome_for_a_consumed_permit_is_refused(self, road, change):
        permit = road.permit()
        road.commit(permit, road.outcome(permit))
        assert refused_commit(road, permit["authorization"]["authorization_id"], road.outcome(permit, **change)) == \
            "ORVANE_PERMIT_ALREADY_CONSUMED: a permit can produce only one outcome"

    def test_a_replay_verifies_the_stored_result_first(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        road.commit(permit, outcome)
        action_id, auth_id = permit["authorization"]["action_id"], permit["authorization"]["authorization_id"]
        stored = road.execution(action_id)

        tampered = json.loads(json.dumps(stored))
        tampered["outcome"]["output"] = {"transfer": "tx-666"}
        road.store_execution(action_id, tampered)
        assert refused_commit(road, auth_id, outcome) == \
            "ORVANE_STORED_EXECUTION_INVALID: OUTCOME_HASH_MISMATCH,EXECUTOR_SIGNATURE_INVALID"

        road.store_execution(action_id, "{not json")
        assert refused_commit(road, auth_id, outcome).startswith("ORVANE_STORED_EXECUTION_INVALID: ")

        road.store_execution(action_id, stored)
        assert road.commit(permit, outcome) == canonical(stored).decode()

    def test_revocation_comes_before_the_replay(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        road.commit(permit, outcome)
        auth_id = permit["authorization"]["authorization_id"]
        road.revoke_permit(auth_id)
        assert refused_commit(road, auth_id, outcome) == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"


def expired(road, permit):
    receipt = permit["authorization"]
    return road.forge_permit(permit, expires_at=receipt["issued_at"])


class TestRefusalsInOrder:
    """Each case builds a permit and an outcome that fail at one step only, and
    checks that the failure at an earlier step wins over later ones."""

    def test_the_permit(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        auth_id = permit["authorization"]["authorization_id"]
        assert refused_commit(road, "0" * 64, outcome) == "ORVANE_AUTHORIZATION_NOT_FOUND"

        road.execute("UPDATE action_authorizations SET authorization_json = '{' WHERE authorization_id = ?1", auth_id)
        assert refused_commit(road, auth_id, "no json either").startswith("Stored authorization is invalid JSON: ")

        changed = json.loads(json.dumps(permit))
        changed["authorization"]["note"] = "added"
        road.store_permit(changed)
        assert refused_commit(road, auth_id, outcome) == "ORVANE_AUTHORIZATION_INVALID: AUTHORIZATION_ID_MISMATCH"
        road.store_permit(permit)
        check_execution_result(road.commit(permit, outcome), road.gate_key.public_hex, permit, outcome)

    def test_a_blocked_permit_even_when_revoked_and_expired(self, road):
        blocked = road.permit(resource="account:other/1")
        assert blocked["authorization"]["decision"] == "BLOCKED"
        blocked = expired(road, blocked)
        auth_id = blocked["authorization"]["authorization_id"]
        road.revoke_permit(auth_id)
        assert refused_commit(road, auth_id, road.outcome(blocked)) == \
            "ORVANE_ACTION_BLOCKED: denied authorizations cannot be consumed"

    def test_a_revoked_permit_even_when_expired(self, road):
        permit = expired(road, road.permit())
        auth_id = permit["authorization"]["authorization_id"]
        # The permit is judged before the outcome is read.
        assert refused_commit(road, auth_id, "not json") == "ORVANE_PERMIT_EXPIRED"
        road.revoke_permit(auth_id)
        assert refused_commit(road, auth_id, road.outcome(permit)) == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"

    def test_revoking_the_agent_revokes_its_unused_permits(self, road):
        used, unused = road.permit(), road.permit()
        road.commit(used, road.outcome(used))
        road.ddb.revoke_agent(road.agent.public_hex, "compromised")
        assert refused_commit(road, unused["authorization"]["authorization_id"], "not json") == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"

    def test_an_expiry_that_is_no_integer(self, road):
        permit = road.forge_permit(road.permit(), expires_at="soon")
        assert refused_commit(road, permit["authorization"]["authorization_id"], "{") == \
            "ORVANE_INVALID_CONTRACT: 'expires_at' must be an unsigned integer"

    def test_the_outcome_document(self, road):
        permit = road.permit()
        receipt = permit["authorization"]
        auth_id = receipt["authorization_id"]

        def signed(**changes):
            body = outcome_body(permit, road.executor)
            body.update(changes)
            return canonical(sign_outcome({k: v for k, v in body.items() if v is not None}, road.executor)).decode()

        cases = [
            ("{", "outcome must be valid JSON: "),
            ("[1, 2]", "ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature"),
            # The signature is looked for before the contract.
            (canonical({"schema_version": "wrong"}).decode(),
             "ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature"),
            (canonical({**outcome_body(permit, road.executor), "executor_signature": 7}).decode(),
             "ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature"),
            (signed(schema_version=None), "ORVANE_INVALID_CONTRACT: 'schema_version' must be a non-empty string"),
            (signed(schema_version="orvane.action-outcome.v2"),
             "ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-outcome.v1'"),
            (signed(authorization_id=" \t"), "ORVANE_INVALID_CONTRACT: 'authorization_id' must be a non-empty string"),
            (signed(authorization_id=auth_id.upper(), action_id="x"),
             "ORVANE_AUTHORIZATION_MISMATCH: outcome authorization_id does not match"),
            (signed(action_id=5), "ORVANE_INVALID_CONTRACT: 'action_id' must be a non-empty string"),
            (signed(action_id=receipt["action_id"] + " ", status="bad"),
             "ORVANE_ACTION_ID_MISMATCH: outcome action_id does not match"),
            (signed(status=1), "ORVANE_INVALID_CONTRACT: 'status' must be a non-empty string"),
            (signed(status="succeeded"), "ORVANE_INVALID_CONTRACT: outcome status must be SUCCEEDED or FAILED"),
            (signed(status="UNKNOWN"), "ORVANE_INVALID_CONTRACT: outcome status must be SUCCEEDED or FAILED"),
            (signed(executor_id=None), "ORVANE_INVALID_CONTRACT: 'executor_id' must be a non-empty string"),
            (signed(executor_id="\u2003"), "ORVANE_INVALID_CONTRACT: 'executor_id' must be a non-empty string"),
        ]
        for text, message in cases:
            got = refused_commit(road, auth_id, text)
            assert got.startswith(message) if message.endswith(": ") else got == message, (text, got)

    def test_an_outcome_nested_too_deeply_to_be_read_back(self, road):
        permit = road.permit()
        deepest = 1
        for _ in range(125):
            deepest = [deepest]
        # 126 levels of outcome are stored and traced; one more would give a
        # record that the gate could no longer read.
        road.commit(permit, road.outcome(permit, output=deepest))
        assert json.loads(road.ddb.verify_trace(permit["authorization"]["action_id"]))["status"] == "VERIFIED"
        assert road.commit(permit, road.outcome(permit, output=deepest))
        other = road.permit()
        assert refused_commit(road, other["authorization"]["authorization_id"],
                              road.outcome(other, output=[deepest])) == \
            "ORVANE_INVALID_CONTRACT: action outcome is nested too deeply"

    def test_the_parties(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]
        # The agent is not admitted by the policy either: the agent check comes first.
        assert refused_commit(road, auth_id, road.outcome(permit, executor=road.agent)) == \
            "ORVANE_EXECUTOR_INVALID: proposer agent cannot execute its own permit"
        # An unregistered key the policy does not admit, with a bad signature.
        stranger = Key()
        assert refused_commit(road, auth_id, road.outcome(permit, executor=stranger, signer=road.agent)) == \
            "ORVANE_EXECUTOR_POLICY_DENIED"

    def test_policy_admission_by_prefix(self, tmp_path):
        road = Road(tmp_path)
        prefix = road.executor.public_hex[:8]
        road.install_policy([prefix + "*"])
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]
        other = Key()
        while other.public_hex.startswith(prefix):
            other = Key()
        assert refused_commit(road, auth_id, road.outcome(permit, executor=other)) == "ORVANE_EXECUTOR_POLICY_DENIED"
        outcome = road.outcome(permit)
        check_execution_result(road.commit(permit, outcome), road.gate_key.public_hex, permit, outcome)

    def test_a_permit_without_a_policy_bundle(self, road):
        permit = road.permit()
        forged = json.loads(json.dumps(permit))
        del forged["policy_bundle"]
        forged = road.forge_permit(forged, policy_version="orvane.identity-gate.v1")
        assert refused_commit(road, forged["authorization"]["authorization_id"], road.outcome(forged)) == \
            "ORVANE_POLICY_BUNDLE_MISSING"

    def test_registry_admission(self, tmp_path):
        road = Road(tmp_path, executors=ANY_EXECUTOR)
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]

        def attempt(executor, signer=None):
            return refused_commit(road, auth_id, road.outcome(permit, executor=executor, signer=signer))

        # Registry problems come before the signature is looked at.
        assert attempt(Key(), signer=road.agent) == "ORVANE_EXECUTOR_NOT_REGISTERED"
        revoked = road.register("old-runner", {"role": "executor"})
        road.ddb.revoke_agent(revoked.public_hex, "retired")
        assert attempt(revoked, signer=road.agent) == "ORVANE_EXECUTOR_NOT_ACTIVE"
        globex = road.register("globex-runner", {"role": "executor", "tenant_id": "globex"})
        assert attempt(globex, signer=road.agent) == \
            "ORVANE_EXECUTOR_TENANT_SCOPE_DENIED: executor cannot operate outside assigned tenant"
        proposer = road.register("other-bot", {"role": "proposer", "tenant_id": TENANT})
        assert attempt(proposer, signer=road.agent) == \
            "ORVANE_EXECUTOR_INVALID: executor agent cannot have proposer role"
        # The signature, last of the executor checks.
        assert attempt(road.executor, signer=road.agent) == "ORVANE_EXECUTOR_SIGNATURE_INVALID"
        acme = road.register("acme-runner", {"role": "PROPOSER", "tenant_id": TENANT})
        outcome = road.outcome(permit, executor=acme)
        check_execution_result(road.commit(permit, outcome), road.gate_key.public_hex, permit, outcome)

    def test_a_permit_of_tenant_star_admits_only_star_executors(self, tmp_path):
        road = Road(tmp_path, executors=ANY_EXECUTOR)
        # Tenant "*" acts under the baseline policy, which admits every executor.
        agent = road.register("star-bot", {"role": "proposer"})
        intent = road.intent(tenant_id="*", agent_id=agent.public_hex)
        permit = json.loads(road.ddb.request_action_signed(
            canonical(intent).decode(), agent.public_hex, agent.sign_hex(canonical(intent)), 60))
        assert permit["authorization"]["decision"] == "ALLOWED"
        auth_id = permit["authorization"]["authorization_id"]
        scoped = road.register("acme-runner", {"role": "executor", "tenant_id": TENANT})
        assert refused_commit(road, auth_id, road.outcome(permit, executor=scoped)) == \
            "ORVANE_EXECUTOR_TENANT_SCOPE_DENIED: executor cannot operate outside assigned tenant"
        road.commit(permit, road.outcome(permit))

    def test_the_gate_must_still_be_a_delegation_root(self, road):
        permit = road.permit()
        other_gate = Key().write_keyfile(road.tmp / "other-gate.json")
        stranger = _orvane_ddb.OrvaneDDB(road.db_path, other_gate)
        before = road.outcome_rows()
        assert refusal(stranger.commit_outcome_signed, permit["authorization"]["authorization_id"],
                       road.outcome(permit)) == \
            "ORVANE_TRUSTED_ROOT_MISMATCH: trusted_roots must hold exactly one row, the gate key"
        assert road.outcome_rows() == before


class TestSigningOnTheExecutorsBehalf:
    def test_the_key_file_supplies_executor_id_and_signature(self, road):
        permit = road.permit()
        body = outcome_body(permit, road.executor, executor_id=None)
        # The key file's public_key member is not consulted: the key is derived.
        keyfile = road.tmp / "runner.json"
        keyfile.write_text(json.dumps({"public_key": road.agent.public_hex,
                                       "private_key": road.executor.private_hex}))
        text = road.ddb.commit_outcome(permit["authorization"]["authorization_id"], json.dumps(body), str(keyfile))
        result = json.loads(text)
        outcome = result["outcome"]
        assert outcome["executor_id"] == road.executor.public_hex
        assert len(outcome["executor_signature"]) == 128
        unsigned = {k: v for k, v in outcome.items() if k != "executor_signature"}
        assert unsigned == {**body, "executor_id": road.executor.public_hex}
        assert verify(road.executor.public_hex, canonical(unsigned), outcome["executor_signature"])
        check_execution_result(text, road.gate_key.public_hex, permit, canonical(outcome).decode())
        # The same unsigned outcome again, now with a wrong executor_id that the key replaces: a replay.
        again = {**body, "executor_id": road.agent.public_hex}
        assert road.ddb.commit_outcome(permit["authorization"]["authorization_id"], json.dumps(again),
                                       road.executor_keyfile) == text

    def test_refusals(self, road):
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]
        commit = road.ddb.commit_outcome
        body = outcome_body(permit, road.executor)
        assert refusal(commit, auth_id, json.dumps(body), str(road.tmp / "missing.json")).startswith(
            "Failed to read key file ")
        assert refusal(commit, auth_id, "{", road.executor_keyfile).startswith("outcome must be valid JSON: ")
        assert refusal(commit, auth_id, "[]", road.executor_keyfile) == \
            "ORVANE_OUTCOME_MISSING_SIGNATURE: outcome must have an executor_signature"
        # A signature member already present is signed along, so the signature cannot verify.
        presigned = json.dumps({**body, "executor_signature": "00" * 64})
        assert refusal(commit, auth_id, presigned, road.executor_keyfile) == "ORVANE_EXECUTOR_SIGNATURE_INVALID"
        assert refusal(commit, auth_id, json.dumps(body), road.gate_keyfile) == \
            "ORVANE_EXECUTOR_POLICY_DENIED"
        assert road.outcome_rows() == []


class TestExactlyOnceAtTheGate:
    def test_racing_processes_commit_one_outcome(self, road):
        contenders = 4
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]
        outcomes = [road.outcome(permit, "SUCCEEDED" if i % 2 == 0 else "FAILED", output={"by": i})
                    for i in range(contenders)]
        ctx = multiprocessing.get_context("spawn")
        barrier, results = ctx.Barrier(contenders), ctx.Queue()
        procs = [ctx.Process(target=race_commit, args=(road.db_path, road.gate_keyfile, auth_id, text,
                                                       barrier, results))
                 for text in outcomes]
        for p in procs:
            p.start()
        answers = [results.get(timeout=120) for _ in procs]
        for p in procs:
            p.join(timeout=60)
            assert p.exitcode == 0

        committed = [text for kind, text in answers if kind == "committed"]
        refused = [text for kind, text in answers if kind == "refused"]
        assert len(committed) == 1 and len(refused) == contenders - 1
        for message in refused:
            # Checked before the write (the winner had committed), or refused by the
            # unique constraints under the write lock.
            assert message == "ORVANE_PERMIT_ALREADY_CONSUMED: a permit can produce only one outcome" or \
                message.startswith("Failed to persist execution receipt: UNIQUE constraint failed: action_outcomes."), \
                message
        (row,) = road.outcome_rows()
        assert row[-1] == committed[0]
        winner = json.loads(committed[0])
        assert winner["outcome"] in [json.loads(text) for text in outcomes]
        events = road.outcome_events()
        assert len(events) == 1 and events[0][2] == winner["receipt"]["receipt_id"]
        assert events[0][1] == ("action.executed" if winner["receipt"]["status"] == "SUCCEEDED" else "action.failed")
        # The stream stays one unbroken chain.
        checkpoint = road.ddb.create_checkpoint(TENANT)
        stream = road.ddb.export_event_stream(TENANT)
        assert json.loads(road.ddb.verify_checkpoint_stream(checkpoint, stream,
                                                            road.gate_key.public_hex))["status"] == "VERIFIED"
        # The winner's outcome replays; every other one is refused.
        winning_text = next(t for t in outcomes if json.loads(t) == winner["outcome"])
        assert road.commit(permit, winning_text) == committed[0]
