"""Executor construction: pool size, schema and its migration, signer, gate database path."""

import sqlite3

import pytest

import _orvane_ddb
from executor_helpers import Key, make_gate_db, make_permit, open_executor, permit_text


@pytest.fixture
def keys(tmp_path):
    gate, agent, executor = Key(), Key(), Key()
    return gate, agent, executor, executor.write_keyfile(tmp_path / "executor.json")


def test_pool_size_zero_fails_before_touching_the_database(tmp_path, keys):
    gate, _, _, keyfile = keys
    db = tmp_path / "exec.db"
    with pytest.raises(RuntimeError) as err:
        open_executor(db, keyfile, gate, pool_size=0)
    assert str(err.value) == "Executor SQLite pool size must be greater than zero"
    assert not db.exists()


def test_schema_is_created_once_and_reopening_is_harmless(tmp_path, keys):
    gate, _, _, keyfile = keys
    db = tmp_path / "exec.db"
    first = open_executor(db, keyfile, gate, pool_size=1)
    second = open_executor(db, keyfile, gate, pool_size=3)
    del first, second
    conn = sqlite3.connect(db)
    columns = [row[1] for row in conn.execute("PRAGMA table_info(consumed_permits)")]
    assert columns == ["authorization_id", "action_id", "status", "started_at", "completed_at",
                       "outcome", "observation_json"]
    indexes = {row[1] for row in conn.execute("PRAGMA index_list(consumed_permits)")}
    assert "idx_consumed_permits_recovery" in indexes
    assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_old_table_gains_the_observation_column(tmp_path, keys):
    gate, _, _, keyfile = keys
    db = tmp_path / "exec.db"
    conn = sqlite3.connect(db)
    conn.executescript(
        "CREATE TABLE consumed_permits (authorization_id TEXT PRIMARY KEY, action_id TEXT NOT NULL UNIQUE,"
        " status TEXT NOT NULL, started_at INTEGER NOT NULL, completed_at INTEGER, outcome TEXT);"
        "INSERT INTO consumed_permits VALUES ('a1', 'x1', 'STARTED', 5, NULL, NULL);"
    )
    conn.close()
    executor = open_executor(db, keyfile, gate, pool_size=1)
    state = executor.get_execution_state("a1")
    assert '"observation":{}' in state
    conn = sqlite3.connect(db)
    assert conn.execute("SELECT observation_json FROM consumed_permits").fetchone()[0] == "{}"


def test_missing_keyfile_fails_after_the_database_exists(tmp_path, keys):
    gate = keys[0]
    db = tmp_path / "exec.db"
    missing = str(tmp_path / "nope.json")
    with pytest.raises(RuntimeError) as err:
        open_executor(db, missing, gate, pool_size=1)
    assert str(err.value).startswith(f"Failed to read signer configuration '{missing}': ")
    assert db.exists()


def test_unopenable_database_times_out_with_sqlite_reason(tmp_path, keys):
    gate, _, _, keyfile = keys
    with pytest.raises(RuntimeError) as err:
        open_executor(tmp_path / "no" / "dir" / "exec.db", keyfile, gate, pool_size=1)
    assert str(err.value) == ("Failed to initialize executor SQLite pool: timed out waiting for connection: "
                              "unable to open database file")


class TestGateDatabasePath:
    def test_environment_names_the_gate_database(self, tmp_path, keys, monkeypatch):
        gate, agent, _, keyfile = keys
        monkeypatch.setenv("ORVANE_GATE_DB", str(tmp_path / "missing-gate.db"))
        executor = open_executor(tmp_path / "exec.db", keyfile, gate, pool_size=1)
        monkeypatch.delenv("ORVANE_GATE_DB")  # fixed at construction
        with pytest.raises(PermissionError) as err:
            executor.verify_and_consume_permit(permit_text(make_permit(gate, agent)))
        assert str(err.value).startswith("Failed to open gate DB for revocation check: ")

    def test_explicit_gate_db_wins_over_environment(self, tmp_path, keys, monkeypatch):
        gate, agent, _, keyfile = keys
        monkeypatch.setenv("ORVANE_GATE_DB", str(tmp_path / "missing-gate.db"))
        gate_db = make_gate_db(tmp_path / "gate.db", gate, agent)
        executor = open_executor(tmp_path / "exec.db", keyfile, gate, pool_size=1, gate_db=gate_db)
        executor.verify_and_consume_permit(permit_text(make_permit(gate, agent)))

    def test_no_gate_database_skips_the_gate_checks(self, tmp_path, keys, monkeypatch):
        gate, agent, _, keyfile = keys
        monkeypatch.delenv("ORVANE_GATE_DB", raising=False)
        executor = open_executor(tmp_path / "exec.db", keyfile, gate, pool_size=1)
        executor.verify_and_consume_permit(permit_text(make_permit(gate, agent)))
