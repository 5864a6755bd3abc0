"""Key rotation and revocation: the signed envelopes, the rows they change and
the permits a revocation makes unusable."""

import hashlib
import json
import time

import pytest

import _orvane_ddb

from identity_helpers import Gate, Key, canonical, verify_digest


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


def check_envelope(envelope):
    event = envelope["event"]
    assert envelope["event_id"] == hashlib.sha256(canonical(event).encode()).hexdigest()
    verify_digest(event["authorized_by"], envelope["event_id"], envelope["signature"])
    assert event["signer"]["public_key"] == event["authorized_by"]


def agent_row(gate, key):
    return gate.query("SELECT status, valid_until, revoked_at, identity_id, alias, tenant_id, metadata, can_delegate, "
                      "key_version, registration_event FROM agents WHERE public_key = ?", key.public)[0]


def test_rotation(gate):
    old = gate.register("bot", {"tenant_id": "acme", "can_delegate": True, "key_version": "4"})
    new = Key()
    text = gate.ddb.rotate_agent(old.public, new.public)
    envelope = json.loads(text)
    assert text == canonical(envelope) and set(envelope) == {"event", "event_id", "signature"}
    check_envelope(envelope)
    event = envelope["event"]
    assert event["event_type"] == "ROTATE" and event["authorized_by"] == gate.key.public
    assert (event["previous_public_key"], event["public_key"]) == (old.public, new.public)
    assert (event["previous_key_version"], event["key_version"]) == (4, 5)
    assert (event["identity_id"], event["tenant_id"]) == (old.public, "acme")

    retired, installed = agent_row(gate, old), agent_row(gate, new)
    assert retired[0] == "rotated" and retired[1] == event["effective_at"] and retired[2] is None
    assert installed[0] == "active" and installed[1] is None
    assert installed[3:8] == retired[3:8]
    assert installed[8] == 5
    registration = json.loads(installed[9])
    assert registration["rotation_event_id"] == envelope["event_id"]
    assert registration["signer"] == {"signer_uri": "local-ed25519://" + new.public, "key_version": "5",
                                      "algorithm": "Ed25519", "public_key": new.public}
    assert json.loads(gate.ddb.list_identity_events()) == [envelope]
    assert gate.query("SELECT event_type, public_key FROM identity_lifecycle_events") == [("ROTATE", new.public)]
    # Rotation does not touch the event stream.
    assert gate.query("SELECT COUNT(*) FROM event_stream WHERE event_type LIKE 'agent.%'")[0][0] == 2


def test_rotation_refusals(gate):
    a, b = gate.register("a"), Key()
    with pytest.raises(RuntimeError, match="^ORVANE_ROTATION_INVALID: new key must differ from current key$"):
        gate.ddb.rotate_agent(a.public, a.public)
    with pytest.raises(RuntimeError, match="^Invalid public key hex: "):
        gate.ddb.rotate_agent(a.public, "xyz!")
    with pytest.raises(RuntimeError, match="^ORVANE_ROTATION_INVALID: gate signer rotation requires an offline root ceremony$"):
        gate.ddb.rotate_agent(gate.key.public, b.public)
    with pytest.raises(RuntimeError, match="^ORVANE_ROTATION_INVALID: current identity is not active$"):
        gate.ddb.rotate_agent(Key().public, b.public)
    gate.ddb.rotate_agent(a.public, b.public)
    with pytest.raises(RuntimeError, match="^ORVANE_ROTATION_INVALID: current identity is not active$"):
        gate.ddb.rotate_agent(a.public, Key().public)
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ALREADY_REGISTERED$"):
        gate.ddb.rotate_agent(b.public, a.public)
    other = gate.register("other")  # already registered, here spelled in upper case
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ALREADY_REGISTERED$"):
        gate.ddb.rotate_agent(b.public, other.public.upper())
    assert gate.query("SELECT COUNT(*) FROM identity_lifecycle_events")[0][0] == 1


def test_rotation_version_overflow(gate):
    a = gate.register("a", {"key_version": str(2**63 - 1)})  # the largest the agents table holds
    with pytest.raises(RuntimeError, match="^ORVANE_ROTATION_INVALID: key version overflow$"):
        gate.ddb.rotate_agent(a.public, Key().public)
    assert gate.ddb.verify_agent(a.public) is True


def test_rotation_within_a_tenant_gate(tmp_path):
    gate = Gate(tmp_path, metadata='{"tenant_id": "acme"}')
    a, b = gate.register("a", {"tenant_id": "acme"}), Key()
    gate.ddb.rotate_agent(a.public, b.public)
    assert gate.ddb.verify_agent(b.public) is True
    assert gate.record(b.public)["tenant_id"] == "acme"


def test_revocation(gate):
    agent = gate.register("bot")
    text = gate.ddb.revoke_agent(agent.public, " leaked ")
    envelope = json.loads(text)
    assert text == canonical(envelope)
    assert envelope["revoked_unconsumed_permits"] == 0
    del envelope["revoked_unconsumed_permits"]
    check_envelope(envelope)
    event = envelope["event"]
    assert (event["event_type"], event["public_key"], event["reason"]) == ("REVOKE", agent.public, " leaked ")
    row = agent_row(gate, agent)
    assert row[:3] == ("revoked", event["effective_at"], event["effective_at"])
    assert json.loads(gate.ddb.list_identity_events()) == [envelope]
    with pytest.raises(RuntimeError, match="^ORVANE_REVOCATION_INVALID: identity key is not active$"):
        gate.ddb.revoke_agent(agent.public, "again")


def test_revocation_refusals(gate):
    agent = gate.register("bot")
    with pytest.raises(RuntimeError, match="^ORVANE_REVOCATION_INVALID: reason must not be empty$"):
        gate.ddb.revoke_agent(agent.public, "  \n")
    with pytest.raises(RuntimeError, match="^ORVANE_REVOCATION_INVALID: rotate the active gate signer before revoking it$"):
        gate.ddb.revoke_agent(gate.key.public, "no")
    new = Key()
    gate.ddb.rotate_agent(agent.public, new.public)
    with pytest.raises(RuntimeError, match="^ORVANE_REVOCATION_INVALID: identity key is not active$"):
        gate.ddb.revoke_agent(agent.public, "old key")
    assert gate.query("SELECT COUNT(*) FROM identity_lifecycle_events")[0][0] == 1


def insert_permit(gate, authorization_id, agent, expires_at, decision="ALLOWED"):
    gate.execute(
        "INSERT INTO action_authorizations (authorization_id, action_id, tenant_id, agent_id, idempotency_key, "
        "intent_hash, decision, issued_at, expires_at, authorization_json) VALUES (?, ?, '*', ?, ?, 'h', ?, 1, ?, '{}')",
        authorization_id, "act-" + authorization_id, agent.public, "idem-" + authorization_id, decision, expires_at)


def test_revocation_invalidates_unconsumed_permits(gate):
    agent, other = gate.register("bot"), gate.register("other")
    future = time.time_ns() // 1000 + 3_600_000_000
    insert_permit(gate, "p1", agent, future)
    insert_permit(gate, "p2", agent, future)
    insert_permit(gate, "expired", agent, 5)
    insert_permit(gate, "denied", agent, future, decision="DENIED")
    insert_permit(gate, "committed", agent, future)
    insert_permit(gate, "someone-else", other, future)
    gate.execute("INSERT INTO action_outcomes (receipt_id, authorization_id, action_id, executor_id, outcome_hash, "
                 "completed_at, execution_json) VALUES ('r', 'committed', 'act-committed', 'e', 'h', 2, '{}')")
    envelope = json.loads(gate.ddb.revoke_agent(agent.public, "leaked"))
    assert envelope["revoked_unconsumed_permits"] == 2
    rows = gate.query("SELECT authorization_id, revoked_at, reason, identity_event_id FROM revoked_authorizations "
                      "ORDER BY authorization_id")
    at = envelope["event"]["effective_at"]
    assert rows == [("p1", at, "leaked", envelope["event_id"]), ("p2", at, "leaked", envelope["event_id"])]


def test_gate_authority_is_required(gate, tmp_path):
    agent = gate.register("bot")
    # Any other key, registered or not, opening the gate's file finds a root it was not given.
    mismatch = "^ORVANE_TRUSTED_ROOT_MISMATCH: trusted_roots must hold exactly one row, the gate key$"
    for key in (Key(), gate.register("worker")):
        other = _orvane_ddb.OrvaneDDB(gate.db_path, key.write(tmp_path / f"{key.public}.key"))
        with pytest.raises(RuntimeError, match=mismatch):
            other.revoke_agent(agent.public, "x")
        with pytest.raises(RuntimeError, match=mismatch):
            other.rotate_agent(agent.public, Key().public)
        with pytest.raises(RuntimeError, match=mismatch):
            other.register_agent(Key().public, "x")
    assert gate.query("SELECT COUNT(*) FROM identity_lifecycle_events")[0][0] == 0


def test_the_rotated_key_gets_a_complete_registration_signed_by_the_gate(gate):
    old = gate.register("bot", {"tenant_id": "acme", "role": "proposer"})
    new = Key()
    envelope = json.loads(gate.ddb.rotate_agent(old.public, new.public))
    (event_id, event_text, signature, registered_by, registered_at, valid_from), = gate.query(
        "SELECT registration_event_id, registration_event, registration_signature, registered_by, registered_at, "
        "valid_from FROM agents WHERE public_key = ?", new.public)
    registration = json.loads(event_text)
    assert event_text == canonical(registration)
    assert event_id == hashlib.sha256(event_text.encode()).hexdigest()
    verify_digest(gate.key.public, event_id, signature)
    at = envelope["event"]["effective_at"]
    assert registration == {
        "schema_version": "orvane.agent-registration.v1", "agent_id": new.public, "identity_id": old.public,
        "alias": "bot", "metadata": {"tenant_id": "acme", "role": "proposer"}, "status": "active",
        "can_delegate": False, "registered_at": at, "registered_by": gate.key.public, "tenant_id": "acme",
        "key_version": 2, "rotation_event_id": envelope["event_id"],
        "signer": {"signer_uri": "local-ed25519://" + new.public, "key_version": "2", "algorithm": "Ed25519",
                   "public_key": new.public}}
    assert (registered_by, registered_at, valid_from) == (gate.key.public, at, at)
    assert gate.ddb.verify_agent(new.public) is True and gate.ddb.verify_agent(old.public) is False


class TestRevocationEffects:
    """A revocation reaches the executor's gate check and the gate's commit."""

    @pytest.fixture
    def road(self, gate, tmp_path):
        executor_key = Key()
        gate.ddb.register_agent(executor_key.public, "runner", canonical({"role": "executor"}))
        agent = gate.register("bot", {"tenant_id": "acme"})
        gate.ddb.install_policy(canonical({
            "schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-1", "tenant_id": "acme",
            "constraints": {"allowed_action_types": ["*"], "allowed_resources": ["*"], "allowed_executors": ["*"],
                            "max_ttl_seconds": 600, "max_input_bytes": 1000}}))

        def permit(key):
            intent = {"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": agent.public,
                      "idempotency_key": key, "action_type": "payment.send", "resource": "r",
                      "requested_at": time.time_ns() // 1000, "input": {}}
            signature = agent.signing.sign(canonical(intent).encode()).signature.hex()
            return gate.ddb.request_action_signed(canonical(intent), agent.public, signature, 300)

        def executor():
            return _orvane_ddb.OrvaneExecutor(str(tmp_path / "executor.db"),
                                              executor_key.write(tmp_path / "executor.key"),
                                              gate.key.public, "acme", gate_db=gate.db_path)

        return agent, permit, executor

    def test_unconsumed_permits_are_refused_by_the_executor(self, gate, road):
        agent, permit, executor = road
        first, second = permit("one"), permit("two")
        envelope = json.loads(gate.ddb.revoke_agent(agent.public, "key leaked"))
        assert envelope["revoked_unconsumed_permits"] == 2
        with pytest.raises(PermissionError, match="^ORVANE_PERMIT_REVOKED: permit has been revoked at gate$"):
            executor().verify_and_consume_permit(first)
        # A permit the revocation did not list is still refused: the agent itself is revoked.
        gate.execute("DELETE FROM revoked_authorizations WHERE authorization_id = ?",
                     json.loads(second)["authorization"]["authorization_id"])
        with pytest.raises(PermissionError, match="^ORVANE_PERMIT_REVOKED: agent identity has been revoked$"):
            executor().verify_and_consume_permit(second)

    def test_a_permit_revoked_while_it_runs_cannot_be_committed(self, gate, road):
        agent, permit, executor = road
        text = permit("one")
        receipt = json.loads(text)["authorization"]
        running = executor()
        running.verify_and_consume_permit(text)
        assert json.loads(gate.ddb.revoke_agent(agent.public, "key leaked"))["revoked_unconsumed_permits"] == 1
        outcome = running.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED", "{}")
        with pytest.raises(RuntimeError, match="^ORVANE_PERMIT_REVOKED: identity revocation invalidated this "
                                               "unconsumed permit$"):
            gate.ddb.commit_outcome_signed(receipt["authorization_id"], outcome)
        assert gate.query("SELECT COUNT(*) FROM action_outcomes")[0][0] == 0

    def test_a_committed_permit_is_not_revoked(self, gate, road):
        agent, permit, executor = road
        text = permit("one")
        receipt = json.loads(text)["authorization"]
        running = executor()
        running.verify_and_consume_permit(text)
        outcome = running.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED", "{}")
        committed = gate.ddb.commit_outcome_signed(receipt["authorization_id"], outcome)
        assert json.loads(gate.ddb.revoke_agent(agent.public, "retired"))["revoked_unconsumed_permits"] == 0
        # The recorded outcome stays answerable.
        assert gate.ddb.commit_outcome_signed(receipt["authorization_id"], outcome) == committed
