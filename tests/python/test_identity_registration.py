"""Agent registration: bootstrap of the trusted root, custody and tenant rules,
what exactly the gate signs, and that every refusal writes nothing."""

import hashlib
import json

import pytest

from identity_helpers import Gate, Key, canonical, verify_digest


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


def table_counts(gate):
    return {t: gate.query(f"SELECT COUNT(*) FROM {t}")[0][0]
            for t in ("agents", "trusted_roots", "policy_bundles", "event_stream")}


def test_bootstrap_requires_the_gate_key(tmp_path):
    gate = Gate(tmp_path, bootstrap=False)
    with pytest.raises(RuntimeError, match="^ORVANE_ROOT_MISMATCH: the first registration must bootstrap the gate key itself$"):
        gate.ddb.register_agent(Key().public, "first")
    assert table_counts(gate) == {"agents": 0, "trusted_roots": 0, "policy_bundles": 0, "event_stream": 0}

    result = json.loads(gate.ddb.register_agent(gate.key.public, "gate", '{"can_delegate": false}'))
    registration = result["registration"]
    assert registration["can_delegate"] is True
    assert registration["registered_by"] == registration["agent_id"] == gate.key.public
    assert gate.query("SELECT id, public_key FROM trusted_roots") == [(1, gate.key.public)]
    assert gate.query("SELECT policy_version, tenant_id FROM policy_bundles") == [("orvane.baseline.v1", "*")]
    events = gate.query("SELECT tenant_id, event_id, payload_hash, timestamp FROM event_stream "
                        "WHERE event_type = 'agent.registered'")
    assert events == [("*", result["event_id"], hashlib.sha256(canonical(registration).encode()).hexdigest(),
                       registration["registered_at"])]


def test_registration_result_is_signed_by_the_gate(gate):
    agent = Key()
    text = gate.ddb.register_agent(agent.public, " bot ", '{"b": 1, "a": {"z": true}}')
    result = json.loads(text)
    assert text == canonical(result)
    assert set(result) == {"schema_version", "event_id", "registration", "signature"}
    assert result["schema_version"] == "orvane.agent-registration.v1"
    registration = result["registration"]
    assert result["event_id"] == hashlib.sha256(canonical(registration).encode()).hexdigest()
    verify_digest(gate.key.public, result["event_id"], result["signature"])
    assert registration == {
        "schema_version": "orvane.agent-registration.v1",
        "agent_id": agent.public,
        "identity_id": agent.public,
        "alias": " bot ",
        "metadata": {"a": {"z": True}, "b": 1},
        "status": "active",
        "can_delegate": False,
        "registered_at": registration["registered_at"],
        "registered_by": gate.key.public,
        "tenant_id": "*",
        "key_version": 1,
        "signer": {"signer_uri": "local-ed25519://" + agent.public, "key_version": "1",
                   "algorithm": "Ed25519", "public_key": agent.public},
    }
    row = gate.query("SELECT alias, metadata, registration_event, registration_event_id, registration_signature, "
                     "valid_from, registered_at, status FROM agents WHERE public_key = ?", agent.public)[0]
    assert row == (" bot ", '{"a":{"z":true},"b":1}', canonical(registration), result["event_id"],
                   result["signature"], registration["registered_at"], registration["registered_at"], "active")


def test_registrations_are_immutable(gate):
    before = table_counts(gate)
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ALREADY_REGISTERED: registrations are immutable$"):
        gate.ddb.register_agent(gate.key.public, "again")
    agent = gate.register()
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ALREADY_REGISTERED"):
        gate.ddb.register_agent(agent.public, "again")
    assert table_counts(gate)["agents"] == before["agents"] + 1


@pytest.mark.parametrize("public_key,alias,metadata,message", [
    ("zz" * 32, "a", "{}", "Invalid public key hex: "),
    ("ab" * 31, "a", "{}", "Public key must be exactly 32 bytes"),
    (None, " \t\u3000", "{}", "ORVANE_INVALID_AGENT: alias must not be empty"),
    (None, "a", "{", "metadata must be valid JSON: "),
    (None, "a", "[]", "ORVANE_INVALID_AGENT: metadata must be a JSON object"),
    (None, "a", '{"tenant_id": "  "}', "ORVANE_INVALID_AGENT: metadata.tenant_id must not be empty"),
    (None, "a", '{"key_version": 0}', "ORVANE_INVALID_AGENT: signer_uri, positive key_version, and Ed25519 are required"),
    (None, "a", '{"key_version": "0"}', "ORVANE_INVALID_AGENT: signer_uri, positive key_version"),
    (None, "a", '{"algorithm": "RSA"}', "ORVANE_INVALID_AGENT: signer_uri, positive key_version"),
    (None, "a", '{"signer_uri": " "}', "ORVANE_INVALID_AGENT: signer_uri, positive key_version"),
])
def test_refusals_write_nothing(gate, public_key, alias, metadata, message):
    before = table_counts(gate)
    with pytest.raises(RuntimeError) as raised:
        gate.ddb.register_agent(public_key or Key().public, alias, metadata)
    assert str(raised.value).startswith(message)
    assert table_counts(gate) == before


@pytest.mark.parametrize("metadata,version", [
    ({"key_version": "3"}, 3), ({"key_version": "+3"}, 3), ({"key_version": 3}, 3),
    ({"key_version": "abc"}, 1), ({"key_version": -2}, 1), ({"key_version": 2.0}, 1),
    ({"key_version": "18446744073709551616"}, 1), ({"algorithm": 7}, 1),
])
def test_custody_from_metadata(gate, metadata, version):
    agent = Key()
    registration = json.loads(gate.ddb.register_agent(agent.public, "a", canonical(metadata)))["registration"]
    assert registration["key_version"] == version
    assert registration["signer"]["key_version"] == str(version)
    assert registration["signer"]["algorithm"] == "Ed25519"
    assert gate.ddb.verify_agent(agent.public) is True


def test_custody_uri_and_delegation(gate):
    agent = Key()
    registration = json.loads(gate.ddb.register_agent(
        agent.public, "a", '{"signer_uri": "vault://transit/keys/a", "can_delegate": "yes"}'))["registration"]
    assert registration["signer"]["signer_uri"] == "vault://transit/keys/a"
    assert registration["can_delegate"] is False
    assert gate.record(agent.public)["signer_uri"] == "vault://transit/keys/a"


def test_tenant_scopes(tmp_path):
    gate = Gate(tmp_path, metadata='{"tenant_id": "acme"}')
    with pytest.raises(RuntimeError, match="^ORVANE_DELEGATION_SCOPE_DENIED: registrar cannot delegate across tenants$"):
        gate.ddb.register_agent(Key().public, "b", '{"tenant_id": "beta"}')
    with pytest.raises(RuntimeError, match="^ORVANE_DELEGATION_SCOPE_DENIED"):
        gate.ddb.register_agent(Key().public, "b", '{"tenant_id": 5}')
    agent = gate.register("a", {"tenant_id": "acme"})
    assert gate.record(agent.public)["tenant_id"] == "acme"
    tenants = [r[0] for r in gate.query("SELECT tenant_id FROM event_stream WHERE event_type = 'agent.registered'")]
    assert tenants == ["acme", "acme"]


def test_wildcard_gate_registers_any_tenant(gate):
    beta = gate.register("b", {"tenant_id": "beta"})
    loose = gate.register("n", {"tenant_id": 5})
    assert gate.record(beta.public)["tenant_id"] == "beta"
    assert gate.record(loose.public)["tenant_id"] == "*"


def test_gate_without_valid_registration_cannot_register(gate):
    gate.execute("UPDATE agents SET alias = 'forged' WHERE public_key = ?", gate.key.public)
    with pytest.raises(RuntimeError, match="^ORVANE_REGISTRAR_NOT_AUTHORIZED: registrar has no valid signed registration$"):
        gate.ddb.register_agent(Key().public, "a")
