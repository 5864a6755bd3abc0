"""Processes racing on one database file: the idempotent calls answer every
contender with the stored answer, checkpoints of one tenant get consecutive
sequences, and waits for another process's lock end in a named refusal."""

import json
import subprocess
import sys

import pytest

import _orvane_ddb
from outcome_helpers import TENANT, Road, canonical
from race_helpers import authorize_rounds, checkpoint_rounds, commit_rounds, race

ROUNDS = 8


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path)


class TestIdempotentCallsUnderRace:
    def test_identical_requests_get_one_identical_answer(self, road):
        requests = []
        for _ in range(ROUNDS):
            intent = road.intent()
            requests.append((canonical(intent).decode(), road.agent.public_hex,
                             road.agent.sign_hex(canonical(intent)), 60))
        for answers in race(authorize_rounds, road.db_path, road.gate_keyfile, requests):
            assert [kind for kind, _ in answers] == ["ok", "ok"], answers
            assert answers[0][1] == answers[1][1]
        assert road.query("SELECT COUNT(*) FROM action_authorizations") == [(ROUNDS,)]
        assert road.query("SELECT COUNT(*) FROM event_stream WHERE event_type = 'action.authorized'") == \
            [(ROUNDS,)]

    def test_identical_outcomes_get_one_identical_execution_result(self, road):
        commits = []
        for _ in range(ROUNDS):
            permit = road.permit()
            commits.append((permit["authorization"]["authorization_id"], road.outcome(permit)))
        results = race(commit_rounds, road.db_path, road.gate_keyfile, commits)
        for answers in results:
            assert [kind for kind, _ in answers] == ["ok", "ok"], answers
            assert answers[0][1] == answers[1][1]
        assert [row[-1] for row in road.outcome_rows()] == [answers[0][1] for answers in results]
        assert len(road.outcome_events()) == ROUNDS


class TestCheckpointsUnderRace:
    def test_every_contender_gets_the_next_sequence(self, road):
        road.permit()
        results = race(checkpoint_rounds, road.db_path, road.gate_keyfile, [TENANT] * ROUNDS)
        sequences = []
        for answers in results:
            assert [kind for kind, _ in answers] == ["ok", "ok"], answers
            sequences += [json.loads(text)["checkpoint_sequence"] for _, text in answers]
        assert sorted(sequences) == list(range(1, 2 * ROUNDS + 1))
        stream = road.ddb.export_event_stream(TENANT)
        for answers in results:
            for _, text in answers:
                verdict = json.loads(road.ddb.verify_checkpoint_stream(text, stream, road.gate_key.public_hex))
                assert verdict["status"] == "VERIFIED"


class TestExecutorDatabase:
    def test_a_lock_held_by_another_process_ends_in_a_named_refusal(self, road, tmp_path):
        db = tmp_path / "exec.db"
        executor = _orvane_ddb.OrvaneExecutor(str(db), road.executor_keyfile, road.gate_key.public_hex,
                                              TENANT, 1)
        permit = canonical(road.permit()).decode()
        holder = subprocess.Popen(
            [sys.executable, "-c", "import sqlite3, sys\n"
             f"c = sqlite3.connect({str(db)!r}, isolation_level=None)\n"
             "c.execute('BEGIN IMMEDIATE')\nprint('locked', flush=True)\nsys.stdin.readline()\n"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline().strip() == "locked"
            with pytest.raises(PermissionError) as err:
                executor.verify_and_consume_permit(permit)  # after the busy timeout of 5 s
            assert str(err.value) == "Failed to begin permit consumption transaction: database is locked"
        finally:
            holder.communicate("done\n", timeout=30)
        assert json.loads(executor.verify_and_consume_permit(permit))["decision"] == "ALLOWED"

    def test_pool_sizes_above_the_bound_are_refused_at_once(self, road, tmp_path):
        db = tmp_path / "exec.db"
        with pytest.raises(RuntimeError) as err:
            _orvane_ddb.OrvaneExecutor(str(db), road.executor_keyfile, road.gate_key.public_hex, TENANT, 257)
        assert str(err.value) == "Executor SQLite pool size must be at most 256"
        assert not db.exists()  # refused before a single connection was opened
