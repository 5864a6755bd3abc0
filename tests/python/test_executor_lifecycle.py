"""Execution lifecycle: completion with a signed outcome, unknown results, recovery, state reports."""

import hashlib
import json
import sqlite3

import pytest

from executor_helpers import Key, canonical, make_intent, make_permit, now_micros, open_executor, permit_text, verify


@pytest.fixture
def env(tmp_path):
    class Env:
        gate, agent, executor_key = Key(), Key(), Key()
        keyfile = executor_key.write_keyfile(tmp_path / "executor.json")
        db = tmp_path / "exec.db"
        executor = None
        counter = 0

        def consume(self):
            Env.counter += 1
            permit = make_permit(self.gate, self.agent, intent=make_intent(self.agent, key=f"k{Env.counter}"))
            self.executor.verify_and_consume_permit(permit_text(permit))
            return permit["authorization"]["authorization_id"], permit["authorization"]["action_id"]

        def state(self, auth_id):
            return json.loads(self.executor.get_execution_state(auth_id))

    e = Env()
    e.executor = open_executor(e.db, e.keyfile, e.gate, pool_size=2)
    return e


def runtime_error(call, *args) -> str:
    with pytest.raises(RuntimeError) as err:
        call(*args)
    return str(err.value)


def check_observation(env, text, status, details):
    observation = json.loads(text)
    assert canonical(observation).decode() == text
    signature = observation.pop("executor_signature")
    assert verify(env.executor_key.public_hex, canonical(observation), signature)
    assert observation["status"] == status
    assert observation["details"] == details
    assert observation["executor_id"] == env.executor_key.public_hex
    return observation


class TestCompletion:
    def test_refusals_in_order(self, env):
        auth_id, act_id = env.consume()
        complete = env.executor.complete_execution
        assert runtime_error(complete, auth_id, act_id, "SUCCESS", "{").startswith("Invalid output JSON: ")
        assert runtime_error(complete, auth_id, act_id, "SUCCESS", "{}") == \
            "Execution status must be SUCCEEDED or FAILED"
        assert runtime_error(complete, "0" * 64, act_id, "FAILED", "{}") == "Consumption not found"
        assert runtime_error(complete, auth_id, "0" * 64, "FAILED", "{}") == \
            "Consumption does not match a STARTED action"
        assert env.state(auth_id)["status"] == "STARTED"

    def test_outcome_is_signed_and_stored_once(self, env):
        auth_id, act_id = env.consume()
        text = env.executor.complete_execution(auth_id, act_id, "SUCCEEDED", ' {"paid": [1, "x"]} ')
        outcome = json.loads(text)
        assert canonical(outcome).decode() == text
        signature = outcome.pop("executor_signature")
        assert outcome == {
            "schema_version": "orvane.action-outcome.v1",
            "authorization_id": auth_id,
            "action_id": act_id,
            "status": "SUCCEEDED",
            "executor_id": env.executor_key.public_hex,
            "output": {"paid": [1, "x"]},
        }
        assert verify(env.executor_key.public_hex, canonical(outcome), signature)

        state = env.state(auth_id)
        assert state["status"] == "SUCCEEDED"
        assert state["outcome"] == json.loads(text)
        assert state["completed_at"] >= state["started_at"]
        check_observation(env, canonical(state["observation"]).decode(), "SUCCEEDED",
                          {"outcome_hash": hashlib.sha256(text.encode()).hexdigest()})

        assert runtime_error(env.executor.complete_execution, auth_id, act_id, "FAILED", "{}") == \
            "Consumption does not match a STARTED action"
        assert env.state(auth_id)["outcome"] == json.loads(text)
        assert runtime_error(env.executor.mark_unknown, auth_id, "late") == "Execution is not in STARTED state"

    def test_failed_status_is_recorded(self, env):
        auth_id, act_id = env.consume()
        env.executor.complete_execution(auth_id, act_id, "FAILED", "null")
        assert env.state(auth_id)["status"] == "FAILED"


class TestUnknown:
    def test_mark_unknown_ends_the_execution(self, env):
        auth_id, act_id = env.consume()
        text = env.executor.mark_unknown(auth_id, "operator gave up")
        observation = check_observation(env, text, "UNKNOWN", {"reason": "operator gave up"})
        assert (observation["authorization_id"], observation["action_id"]) == (auth_id, act_id)
        state = env.state(auth_id)
        assert state["status"] == "UNKNOWN" and state["outcome"] is None
        assert state["observation"] == json.loads(text)
        assert runtime_error(env.executor.complete_execution, auth_id, act_id, "SUCCEEDED", "{}") == \
            "Consumption does not match a STARTED action"
        assert runtime_error(env.executor.mark_unknown, "0" * 64, "x") == "Consumption not found"

    def test_recovery_respects_the_age_limit(self, env):
        old_id, _ = env.consume()
        recent_id, _ = env.consume()
        done_id, done_action = env.consume()
        env.executor.complete_execution(done_id, done_action, "SUCCEEDED", "{}")
        conn = sqlite3.connect(env.db)
        conn.execute("UPDATE consumed_permits SET started_at = ? WHERE authorization_id = ?",
                     (now_micros() - 7200 * 1_000_000, old_id))
        conn.commit()
        conn.close()

        assert env.executor.recover_incomplete(2 ** 64 - 1) == "[]"
        recovered = json.loads(env.executor.recover_incomplete(3600))
        assert [o["authorization_id"] for o in recovered] == [old_id]
        check_observation(env, canonical(recovered[0]).decode(), "UNKNOWN", {"reason": "EXECUTOR_RECOVERY_TIMEOUT"})
        assert env.state(recent_id)["status"] == "STARTED"

        recovered = json.loads(env.executor.recover_incomplete())
        assert [o["authorization_id"] for o in recovered] == [recent_id]
        assert [env.state(a)["status"] for a in (old_id, recent_id, done_id)] == ["UNKNOWN", "UNKNOWN", "SUCCEEDED"]
        assert env.executor.recover_incomplete() == "[]"


def test_state_of_a_started_execution(env):
    auth_id, act_id = env.consume()
    state = env.state(auth_id)
    assert state["authorization_id"] == auth_id and state["action_id"] == act_id
    assert state["completed_at"] is None and state["outcome"] is None
    assert state["observation"]["status"] == "STARTED"
    assert runtime_error(env.executor.get_execution_state, "missing") == "Consumption not found"


def test_unparsable_stored_texts_are_reported_as_null(env):
    auth_id, act_id = env.consume()
    env.executor.complete_execution(auth_id, act_id, "SUCCEEDED", "{}")
    conn = sqlite3.connect(env.db)
    conn.execute("UPDATE consumed_permits SET outcome = '{', observation_json = 'x'")
    conn.commit()
    state = env.state(auth_id)
    assert state["outcome"] is None and state["observation"] is None
