"""Rows edited with plain sqlite3 to hold what the module never writes: text
that is not UTF-8, and counters at the end of what SQLite can store. Each is
refused with the reader's or writer's own message, and nothing is written."""

import json
import sqlite3

import pytest

import _orvane_ddb
from identity_helpers import Gate, Key
from outcome_helpers import TENANT, Road, canonical

INT64_MAX = 2**63 - 1
NOT_UTF8 = b'{"a":"\xff"}'


def refusal(error, call, *args):
    with pytest.raises(error) as err:
        call(*args)
    return str(err.value)


class TestUnreadableStoredText:
    def test_ledger_rows(self, gate, db_path):
        gate.record('{"n":0}', "[]", True)
        gate.record('{"n":1}', "[]")
        conn = sqlite3.connect(db_path, isolation_level=None)
        conn.execute("UPDATE decisions SET payload = CAST(? AS TEXT) WHERE causal_depth = 1", (NOT_UTF8,))
        for call in (gate.export, gate.list):
            assert refusal(RuntimeError, call) == "Error reading record: Invalid UTF-8 text in column payload"
        assert json.loads(gate.list(1, 1))[0]["causal_depth"] == 0  # the other row still reads
        # A latest id that cannot be read is reported as the empty text.
        conn.execute("UPDATE decisions SET id = CAST(? AS TEXT) WHERE causal_depth = 1", (b"\xfe" * 64,))
        assert gate.record_batch([]) == '{"status": "success", "action": "recorded_batch", "latest_hash": ""}'

    def test_agent_rows(self, tmp_path):
        gate = Gate(tmp_path)
        agent = gate.register("bot")
        gate.execute("UPDATE agents SET alias = CAST(? AS TEXT) WHERE public_key = ?", b"b\xc0t", agent.public)
        message = "Error reading agent: Invalid UTF-8 text at index: 1, name: alias"
        assert refusal(RuntimeError, gate.ddb.list_agents) == message
        assert refusal(RuntimeError, gate.ddb.get_agent, agent.public) == message

    def test_execution_rows(self, tmp_path):
        road = Road(tmp_path)
        executor = _orvane_ddb.OrvaneExecutor(str(tmp_path / "exec.db"), road.executor_keyfile,
                                              road.gate_key.public_hex, TENANT, 1)
        permit = road.permit()
        auth_id = permit["authorization"]["authorization_id"]
        executor.verify_and_consume_permit(canonical(permit).decode())
        conn = sqlite3.connect(tmp_path / "exec.db", isolation_level=None)
        conn.execute("UPDATE consumed_permits SET action_id = CAST(? AS TEXT)", (b"\xed\xa0\x80",))  # a surrogate
        message = "Invalid UTF-8 text at index: 1, name: action_id"
        assert refusal(RuntimeError, executor.get_execution_state, auth_id) == message
        assert refusal(RuntimeError, executor.mark_unknown, auth_id, "lost") == message
        assert refusal(RuntimeError, executor.recover_incomplete) == message
        (status,), = conn.execute("SELECT status FROM consumed_permits").fetchall()
        assert status == "STARTED"


class TestCounters:
    def test_causal_depth_at_the_storable_limit(self, tmp_path):
        ledger = _orvane_ddb.OrvaneDDB(str(tmp_path / "l.db"), str(tmp_path / "l.key"))
        _orvane_ddb.gen_keys(str(tmp_path / "l.key"))
        ledger.record("{}", "[]", True)
        conn = sqlite3.connect(tmp_path / "l.db", isolation_level=None)
        conn.execute("UPDATE decisions SET causal_depth = ?", (INT64_MAX,))
        message = f"Cannot extend the ledger: causal depth {INT64_MAX} is the largest that can be stored"
        assert refusal(PermissionError, ledger.record, "{}", "[]") == message
        assert refusal(PermissionError, ledger.record_batch, [("{}", "[]")]) == message
        assert ledger.count() == 1
        assert json.loads(ledger.export())[0]["causal_depth"] == INT64_MAX
        # A batch that would cross the limit midway stores none of it.
        conn.execute("UPDATE decisions SET causal_depth = ?", (INT64_MAX - 2,))
        assert refusal(PermissionError, ledger.record_batch, [("{}", "[]")] * 3) == message
        assert ledger.count() == 1

    def test_key_versions_beyond_storage_are_refused_at_registration(self, tmp_path):
        gate = Gate(tmp_path)
        too_big = json.dumps({"key_version": INT64_MAX + 1})
        assert refusal(RuntimeError, gate.ddb.register_agent, Key().public, "big", too_big) == \
            f"ORVANE_INVALID_AGENT: key_version must be at most {INT64_MAX}"
        assert refusal(RuntimeError, gate.ddb.register_agent, Key().public, "big",
                       json.dumps({"key_version": str(2**64 - 1)})) == \
            f"ORVANE_INVALID_AGENT: key_version must be at most {INT64_MAX}"
        largest = gate.register("largest", {"key_version": INT64_MAX})
        assert gate.record(largest.public)["key_version"] == INT64_MAX  # rotating it is refused

    def test_stream_and_checkpoint_sequences_at_the_limit(self, tmp_path):
        road = Road(tmp_path)
        road.permit()
        road.ddb.create_checkpoint(TENANT)
        events = road.query("SELECT COUNT(*) FROM event_stream")
        # The latest checkpoint must verify under the gate key, so the test signs one at the limit.
        (stored,), = road.query("SELECT checkpoint_json FROM checkpoints")
        body = {k: v for k, v in json.loads(stored).items() if k != "signature"}
        body["checkpoint_sequence"] = INT64_MAX
        signed = dict(body, signature=road.gate_key.sign_hex(canonical(body)))
        road.execute("UPDATE checkpoints SET checkpoint_sequence = ?1, checkpoint_json = ?2", INT64_MAX,
                     canonical(signed).decode())
        assert refusal(RuntimeError, road.ddb.create_checkpoint, TENANT) == \
            f"Failed to query latest checkpoint sequence: checkpoint sequence {INT64_MAX} cannot be followed"
        assert road.query("SELECT COUNT(*) FROM checkpoints") == [(1,)]
        road.execute("UPDATE event_stream SET sequence_number = ?1 WHERE tenant_id = ?2 AND sequence_number = "
                     "(SELECT MAX(sequence_number) FROM event_stream WHERE tenant_id = ?2)", INT64_MAX, TENANT)
        authorizations = road.query("SELECT COUNT(*) FROM action_authorizations")
        assert refusal(RuntimeError, road.permit) == \
            f"Failed to query latest event stream state: sequence number {INT64_MAX} cannot be followed"
        assert road.query("SELECT COUNT(*) FROM action_authorizations") == authorizations
        assert road.query("SELECT COUNT(*) FROM event_stream") == events

    def test_export_from_beyond_every_stored_sequence(self, tmp_path):
        road = Road(tmp_path)
        road.permit()
        for start in (2**64 - 1, 2**63, INT64_MAX):
            assert road.ddb.export_event_stream(TENANT, start) == "[]"
            assert road.ddb.export_event_stream("*", start, 5) == "[]"
        assert json.loads(road.ddb.export_event_stream(TENANT, 1))
