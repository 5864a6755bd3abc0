"""Identity verification: every answer is re-derived from signed data, so any
edit of the database that the signatures do not cover turns a key untrusted."""

import json
import time

import pytest

from identity_helpers import Gate, Key, insert_lifecycle_event, insert_signed_agent


def now_micros():
    return time.time_ns() // 1000


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


def test_gate_key_after_bootstrap(gate):
    assert gate.ddb.verify_agent(gate.key.public) is True
    record = gate.record(gate.key.public)
    assert record["trusted"] is True
    assert record["can_delegate"] is True
    assert record["registered_by"] == record["public_key"] == gate.key.public
    assert record["valid_until"] is None and record["revoked_at"] is None
    assert set(record) == {
        "public_key", "alias", "status", "registered_by", "registration_event_id", "identity_id", "tenant_id",
        "signer_uri", "algorithm", "registered_at", "key_version", "valid_from", "valid_until", "revoked_at",
        "metadata", "can_delegate", "trusted",
    }


def test_rotation_and_revocation_change_activity(gate):
    old = gate.register("bot")
    assert gate.ddb.verify_agent(old.public) is True
    new = Key()
    gate.ddb.rotate_agent(old.public, new.public)
    assert gate.ddb.verify_agent(old.public) is False
    assert gate.ddb.verify_agent(new.public) is True
    assert gate.record(old.public)["trusted"] is True
    gate.ddb.revoke_agent(new.public, "compromised")
    assert gate.ddb.verify_agent(new.public) is False
    assert gate.record(new.public)["trusted"] is True


def test_unknown_keys(gate):
    stranger = Key()
    assert gate.ddb.verify_agent(stranger.public) is False
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_NOT_FOUND$"):
        gate.ddb.get_agent(stranger.public)
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_NOT_FOUND$"):
        gate.ddb.get_agent(gate.key.public.upper())
    assert gate.ddb.verify_agent(gate.key.public.upper()) is False


def test_empty_database_lists(tmp_path):
    gate = Gate(tmp_path, bootstrap=False)
    assert gate.ddb.list_agents() == "[]"
    assert gate.ddb.list_identity_events() == "[]"


TAMPERING = [
    ("alias", "'renamed'"),
    ("metadata", "'{\"role\":\"admin\"}'"),
    ("metadata", "'not json'"),
    ("tenant_id", "'acme'"),
    ("can_delegate", "1 - can_delegate"),
    ("registered_at", "registered_at + 1"),
    ("registered_by", "public_key"),
    ("key_version", "key_version + 1"),
    ("signer_uri", "'vault://elsewhere'"),
    ("algorithm", "'RSA'"),
    ("status", "'rotated'"),
    ("valid_until", "registered_at + 10"),
    ("revoked_at", "registered_at"),
    ("registration_event_id", "(CASE WHEN substr(registration_event_id, 1, 2) = '00' THEN 'ff' ELSE '00' END) || substr(registration_event_id, 3)"),
    ("registration_signature", "(CASE WHEN substr(registration_signature, 1, 2) = '00' THEN 'ff' ELSE '00' END) || substr(registration_signature, 3)"),
    ("registration_event", "replace(registration_event, '\"alias\":\"bot\"', '\"alias\":\"bob\"')"),
    ("registration_signature", "''"),
]


@pytest.mark.parametrize("column,expression", TAMPERING)
def test_editing_a_signed_column_untrusts_the_key(gate, column, expression):
    agent = gate.register("bot", {"role": "reader"})
    gate.execute(f"UPDATE agents SET {column} = {expression} WHERE public_key = ?", agent.public)
    assert gate.ddb.verify_agent(agent.public) is False
    assert gate.record(agent.public)["trusted"] is False
    # The rest of the registry is untouched.
    assert gate.ddb.verify_agent(gate.key.public) is True


def test_tampered_registration_event_text_that_is_not_json_raises(gate):
    agent = gate.register("bot")
    gate.execute("UPDATE agents SET registration_event = '{' WHERE public_key = ?", agent.public)
    with pytest.raises(RuntimeError, match="^registration_event must be valid JSON: "):
        gate.ddb.verify_agent(agent.public)


def test_a_tampered_gate_row_untrusts_everything_it_registered(gate):
    agent = gate.register("bot")
    gate.execute("UPDATE agents SET alias = 'root' WHERE public_key = ?", gate.key.public)
    assert gate.ddb.verify_agent(gate.key.public) is False
    assert gate.ddb.verify_agent(agent.public) is False


def test_deleting_the_trusted_root(gate):
    agent = gate.register("bot")
    gate.execute("DELETE FROM trusted_roots")
    for key in (gate.key.public, agent.public):
        assert gate.ddb.verify_agent(key) is False
    assert [r["trusted"] for r in json.loads(gate.ddb.list_agents())] == [False, False]


def test_another_self_registered_key_is_not_a_root(gate):
    rogue = Key()
    insert_signed_agent(gate, rogue, rogue, now_micros(), can_delegate=True)
    assert gate.ddb.verify_agent(rogue.public) is False


def test_tampered_lifecycle_envelope_fails_every_key_of_the_identity(gate):
    old = gate.register("bot")
    new = Key()
    gate.ddb.rotate_agent(old.public, new.public)
    (row,) = gate.query("SELECT event_id, event_json FROM identity_lifecycle_events")
    envelope = json.loads(row[1])
    envelope["event"]["effective_at"] += 1
    gate.execute("UPDATE identity_lifecycle_events SET event_json = ? WHERE event_id = ?",
                 json.dumps(envelope), row[0])
    for key in (old.public, new.public):
        with pytest.raises(RuntimeError, match="^ORVANE_IDENTITY_EVENT_INVALID: digest mismatch$"):
            gate.ddb.verify_agent(key)
    with pytest.raises(RuntimeError, match="digest mismatch"):
        gate.ddb.list_agents()
    # Listing the envelopes does not verify them.
    assert json.loads(gate.ddb.list_identity_events())[0]["event"]["effective_at"] == envelope["event"]["effective_at"]


@pytest.mark.parametrize("mutate,message", [
    (lambda e: e.pop("event"), "ORVANE_IDENTITY_EVENT_INVALID: event is missing"),
    (lambda e: e["event"].update(schema_version="v0"), "ORVANE_IDENTITY_EVENT_INVALID: schema or identity mismatch"),
    (lambda e: e.update(event_id=" "), "ORVANE_INVALID_CONTRACT: 'event_id' must be a non-empty string"),
    (lambda e: e.update(signature=7), "ORVANE_INVALID_CONTRACT: 'signature' must be a non-empty string"),
    (lambda e: e.update(signature="00" * 64), "ORVANE_IDENTITY_EVENT_INVALID: signature mismatch"),
])
def test_defective_lifecycle_envelopes(gate, mutate, message):
    agent = gate.register("bot")
    gate.ddb.revoke_agent(agent.public, "gone")
    (row,) = gate.query("SELECT event_id, event_json FROM identity_lifecycle_events")
    envelope = json.loads(row[1])
    mutate(envelope)
    gate.execute("UPDATE identity_lifecycle_events SET event_json = ? WHERE event_id = ?", json.dumps(envelope), row[0])
    with pytest.raises(RuntimeError, match="^" + message.replace("(", r"\(") + "$"):
        gate.ddb.verify_agent(agent.public)


def test_lifecycle_event_signed_by_an_agent_without_delegation(gate):
    agent = gate.register("bot")
    outsider = gate.register("outsider")
    insert_lifecycle_event(gate, outsider, agent.public, "REVOKE", agent.public, now_micros())
    with pytest.raises(RuntimeError, match="^ORVANE_IDENTITY_EVENT_INVALID: signing authority was not valid$"):
        gate.ddb.verify_agent(agent.public)


def test_registrar_cycle_is_no_identity(gate):
    at = now_micros()
    a, b = Key(), Key()
    insert_signed_agent(gate, a, b, at, can_delegate=True)
    insert_signed_agent(gate, b, a, at, can_delegate=True)
    assert gate.ddb.verify_agent(a.public) is False
    assert gate.ddb.verify_agent(b.public) is False


def test_lifecycle_authorities_referring_to_each_other_end_as_no_identity(gate):
    at = now_micros()
    a = gate.register("a", {"can_delegate": True})
    b = gate.register("b", {"can_delegate": True})
    # Each identity carries an event authorized by the other: replaying one
    # resolves the other, whose replay resolves the first again.
    insert_lifecycle_event(gate, b, a.public, "REVOKE", Key().public, at)
    insert_lifecycle_event(gate, a, b.public, "REVOKE", Key().public, at)
    assert gate.ddb.verify_agent(a.public) is False
    assert gate.ddb.verify_agent(b.public) is False
    assert gate.ddb.verify_agent(gate.key.public) is True


def test_a_registration_event_that_is_not_json_is_an_error(gate):
    agent = gate.register("bot")
    gate.execute("UPDATE agents SET registration_event = '' WHERE public_key = ?", agent.public)
    with pytest.raises(RuntimeError, match="^registration_event must be valid JSON: "):
        gate.ddb.verify_agent(agent.public)


def test_a_long_registrar_chain_is_cut(gate):
    registrar = gate.register("head", {"can_delegate": True})
    at = now_micros()  # the registrar must already be valid when it signs
    chain = []
    for _ in range(20):
        key = Key()
        insert_signed_agent(gate, key, registrar, at, can_delegate=True)
        chain.append(key)
        registrar = key
    assert gate.ddb.verify_agent(chain[0].public) is True
    assert gate.ddb.verify_agent(chain[-1].public) is False


def test_delegated_registrar_in_scope(gate):
    lead = gate.register("lead", {"can_delegate": True, "tenant_id": "acme"})
    at = now_micros()
    inside, outside = Key(), Key()
    insert_signed_agent(gate, inside, lead, at, tenant="acme")
    insert_signed_agent(gate, outside, lead, at, tenant="beta")
    assert gate.ddb.verify_agent(inside.public) is True
    assert gate.ddb.verify_agent(outside.public) is False
    worker = gate.register("worker")
    sub = Key()
    insert_signed_agent(gate, sub, worker, now_micros())  # valid then, but may not delegate
    assert gate.ddb.verify_agent(sub.public) is False


def test_validity_that_starts_later(gate):
    later = now_micros() + 3_600_000_000
    agent = Key()
    insert_signed_agent(gate, agent, gate.key, later)
    assert gate.ddb.verify_agent(agent.public) is False
    record = gate.record(agent.public)
    assert record["trusted"] is True
    assert record["valid_from"] == later


def test_list_agents_order_and_records(gate):
    first = gate.register("first", {"tenant_id": "acme", "extra": [1, 2]})
    gate.execute("UPDATE agents SET metadata = 'broken' WHERE public_key = ?", first.public)
    records = json.loads(gate.ddb.list_agents())
    assert [r["public_key"] for r in records] == [gate.key.public, first.public]
    assert records[1]["metadata"] == {}
    assert records[1]["trusted"] is False
    assert gate.ddb.get_agent(first.public) == json.dumps(records[1], sort_keys=True, separators=(",", ":"))
