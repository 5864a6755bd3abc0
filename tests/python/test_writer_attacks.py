"""A database writer without keys: every attack is done with plain sqlite3
(and, where it helps, a key of the attacker's own), then the call that must
refuse is made, up to the executor consuming and the trace saying VERIFIED.
Identities, execution results, the trusted root, revocations and traces."""

import copy
import hashlib
import json

import pytest

import _orvane_ddb
from executor_helpers import Key, canonical, digest_hex, now_micros
from outcome_helpers import TENANT, Road, sign_execution_receipt

REGISTRATION_SCHEMA = "orvane.agent-registration.v1"


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path)


def executor_of(road, name="exec.db"):
    return _orvane_ddb.OrvaneExecutor(str(road.tmp / name), road.executor_keyfile, road.gate_key.public_hex,
                                      TENANT, gate_db=road.db_path)


def refusal(call, *args):
    with pytest.raises((RuntimeError, PermissionError)) as err:
        call(*args)
    return str(err.value)


def run_to_the_end(road, executor, permit):
    """Consumes, completes and commits a permit; returns the trace report."""
    receipt = permit["authorization"]
    executor.verify_and_consume_permit(canonical(permit).decode())
    outcome = executor.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED", "{}")
    road.commit(permit, outcome)
    return road.report(receipt["action_id"])


def insert_registration(road, key: Key, registrar: Key, *, can_delegate=False, tenant="*"):
    """An agents row for `key` whose registration `registrar` signed."""
    at = now_micros()
    event = {
        "schema_version": REGISTRATION_SCHEMA, "agent_id": key.public_hex, "identity_id": key.public_hex,
        "alias": "hand", "metadata": {}, "status": "active", "can_delegate": can_delegate, "registered_at": at,
        "registered_by": registrar.public_hex, "tenant_id": tenant, "key_version": 1,
        "signer": {"signer_uri": "local-ed25519://" + key.public_hex, "key_version": "1", "algorithm": "Ed25519",
                   "public_key": key.public_hex},
    }
    event_id = digest_hex(event)
    road.execute(
        "INSERT OR REPLACE INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, "
        "registered_by, registration_event_id, registration_event, registration_signature, identity_id, tenant_id, "
        "key_version, signer_uri, algorithm, valid_from) VALUES (?, 'hand', ?, '{}', 'active', ?, ?, ?, ?, ?, ?, ?, "
        "1, ?, 'Ed25519', ?)",
        key.public_hex, at, int(can_delegate), registrar.public_hex, event_id, canonical(event).decode(),
        registrar.sign_hex(bytes.fromhex(event_id)), key.public_hex, tenant, "local-ed25519://" + key.public_hex, at)


def signed_request(road, agent: Key, **members):
    intent = road.intent(agent_id=agent.public_hex, **members)
    return road.ddb.request_action_signed(canonical(intent).decode(), agent.public_hex,
                                          agent.sign_hex(canonical(intent)), 120)


def undo_revocation(road, key: Key):
    """What a writer does to undo a revocation: the event row, the permit
    index and the key row's lifecycle columns."""
    road.execute("DELETE FROM identity_lifecycle_events WHERE public_key = ?", key.public_hex)
    road.execute("DELETE FROM revoked_authorizations")
    road.execute("UPDATE agents SET status = 'active', valid_until = NULL, revoked_at = NULL WHERE public_key = ?",
                 key.public_hex)


MISSING = "ORVANE_IDENTITY_EVENT_INVALID: a lifecycle event named by the event stream is missing"


class TestLifecycleInTheStream:
    def test_rotation_and_revocation_are_mirrored_into_the_identitys_stream(self, road):
        old, new = road.agent, Key()
        rotation = json.loads(road.ddb.rotate_agent(old.public_hex, new.public_hex))
        revocation = json.loads(road.ddb.revoke_agent(new.public_hex, "leaked"))
        rows = road.query("SELECT tenant_id, event_type, event_id, payload_hash, timestamp, event_json "
                          "FROM event_stream WHERE event_type LIKE 'identity.%' ORDER BY sequence_number")
        stored = dict(road.query("SELECT event_id, event_json FROM identity_lifecycle_events"))
        expected = [("identity.rotated", rotation), ("identity.revoked", revocation)]
        assert [r[:3] for r in rows] == [(TENANT, kind, f"{old.public_hex}:{envelope['event_id']}")
                                         for kind, envelope in expected]
        for row, (_, envelope) in zip(rows, expected):
            # The payload is the stored, signed envelope (without the returned permit count).
            text = stored[envelope["event_id"]]
            assert json.loads(text) == {k: v for k, v in envelope.items() if k != "revoked_unconsumed_permits"}
            assert row[3] == hashlib.sha256(text.encode()).hexdigest()
            assert row[4] == envelope["event"]["effective_at"]
        # The stream still chains: each digest covers its body, each link the previous digest.
        stream = json.loads(road.ddb.export_event_stream(TENANT))
        for previous, event in zip(stream, stream[1:]):
            assert event["prev_event_hash"] == previous["event_digest"]
        for event in stream:
            body = {k: v for k, v in event.items() if k != "event_digest"}
            assert event["event_digest"] == digest_hex(body)

    def test_a_deleted_revocation_does_not_bring_the_agent_back(self, road):
        permit = road.permit()
        road.ddb.revoke_agent(road.agent.public_hex, "leaked")
        undo_revocation(road, road.agent)
        for call, args in ((road.ddb.verify_agent, (road.agent.public_hex,)),
                           (signed_request, (road, road.agent)),
                           (executor_of(road).verify_and_consume_permit, (canonical(permit).decode(),))):
            assert refusal(call, *args) == MISSING
        assert road.query("SELECT COUNT(*) FROM action_authorizations")[0][0] == 1

    def test_a_deleted_rotation_does_not_bring_the_old_key_back(self, road):
        new = Key()
        road.ddb.rotate_agent(road.agent.public_hex, new.public_hex)
        road.execute("DELETE FROM identity_lifecycle_events")
        road.execute("DELETE FROM agents WHERE public_key = ?", new.public_hex)
        road.execute("UPDATE agents SET status = 'active', valid_until = NULL WHERE public_key = ?",
                     road.agent.public_hex)
        assert refusal(road.ddb.verify_agent, road.agent.public_hex) == MISSING

    @pytest.mark.parametrize("attack", [
        "UPDATE identity_lifecycle_events SET identity_id = 'elsewhere'",
        "UPDATE identity_lifecycle_events SET event_json = replace(event_json, '{\"event\":', '{ \"event\":')",
    ])
    def test_an_event_moved_or_rewritten_is_noticed(self, road, attack):
        road.ddb.revoke_agent(road.agent.public_hex, "leaked")
        road.execute(attack)
        with pytest.raises(RuntimeError, match="^ORVANE_IDENTITY_EVENT_INVALID: "):
            road.ddb.verify_agent(road.agent.public_hex)

    def test_identities_without_stream_events_still_resolve(self, road):
        # A lifecycle event written before rotations were mirrored has no stream event.
        new = Key()
        road.ddb.rotate_agent(road.agent.public_hex, new.public_hex)
        road.execute("DELETE FROM event_stream WHERE event_type = 'identity.rotated'")
        assert road.ddb.verify_agent(new.public_hex) is True
        assert road.ddb.verify_agent(road.agent.public_hex) is False


class TestForgedExecutionResult:
    def committed(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        road.commit(permit, outcome)
        return permit, outcome

    @pytest.mark.parametrize("sealer", ["own key", "registered executor", "self-registered delegate"])
    def test_a_result_sealed_by_another_key_is_refused(self, road, sealer):
        permit, outcome = self.committed(road)
        action_id = permit["authorization"]["action_id"]
        forger = road.executor if sealer == "registered executor" else Key()
        if sealer == "self-registered delegate":
            insert_registration(road, forger, forger, can_delegate=True)
        result = copy.deepcopy(road.execution(action_id))
        result["receipt"]["gate_id"] = forger.public_hex
        result["receipt"] = sign_execution_receipt(forger, result["receipt"])
        road.store_execution(action_id, result)
        report = road.report(action_id)
        assert (report["status"], report["checks"]["execution"]) == ("INVALID", "FAILED")
        assert report["errors"] == ["EXECUTION_GATE_NOT_TRUSTED"]
        assert refusal(road.commit, permit, outcome) == \
            "ORVANE_STORED_EXECUTION_INVALID: EXECUTION_GATE_NOT_TRUSTED"

    def test_the_gates_own_result_verifies(self, road):
        permit, outcome = self.committed(road)
        assert road.report(permit["authorization"]["action_id"])["status"] == "VERIFIED"
        assert road.commit(permit, outcome) == canonical(road.execution(permit["authorization"]["action_id"])).decode()


ROOT_MISMATCH = "ORVANE_TRUSTED_ROOT_MISMATCH: trusted_roots must hold exactly one row, the gate key"


class TestTrustedRoot:
    def replace_root(self, road, second_row=False):
        """The attacker's root X: a self-registration, the root table, the gate
        key's row re-signed by X, and a made-up agent M under X."""
        x, m = Key(), Key()
        insert_registration(road, x, x, can_delegate=True)
        if second_row:
            road.execute("ALTER TABLE trusted_roots RENAME TO old_roots")
            road.execute("CREATE TABLE trusted_roots (id INTEGER PRIMARY KEY, public_key TEXT NOT NULL UNIQUE, "
                         "established_at INTEGER NOT NULL)")
            road.execute("INSERT INTO trusted_roots SELECT * FROM old_roots")
            road.execute("INSERT INTO trusted_roots VALUES (2, ?, 0)", x.public_hex)
        else:
            road.execute("UPDATE trusted_roots SET public_key = ?", x.public_hex)
        insert_registration(road, road.gate_key, x, can_delegate=True)
        insert_registration(road, m, x, tenant=TENANT)
        return m

    @pytest.mark.parametrize("second_row", [False, True])
    def test_a_replaced_root_gives_a_made_up_agent_nothing(self, road, second_row):
        permit = road.permit()
        m = self.replace_root(road, second_row)
        assert refusal(road.ddb.verify_agent, m.public_hex) == ROOT_MISMATCH
        assert refusal(signed_request, road, m) == ROOT_MISMATCH
        assert refusal(executor_of(road).verify_and_consume_permit, canonical(permit).decode()) == ROOT_MISMATCH
        assert refusal(road.ddb.verify_trace, permit["authorization"]["action_id"]) == ROOT_MISMATCH
        assert road.query("SELECT COUNT(*) FROM action_authorizations")[0][0] == 1

    def test_a_self_registration_stands_only_for_the_given_root(self, road):
        x, m = Key(), Key()
        insert_registration(road, x, x, can_delegate=True)
        insert_registration(road, m, x, tenant=TENANT)
        assert road.ddb.verify_agent(m.public_hex) is False
        assert json.loads(signed_request(road, m))["authorization"]["reason_codes"] == ["AGENT_NOT_REGISTERED"]

    def test_the_gates_row_must_be_its_self_registration(self, road):
        x = Key()
        insert_registration(road, x, x, can_delegate=True)
        road.execute("UPDATE trusted_roots SET public_key = ?", x.public_hex)
        insert_registration(road, road.gate_key, x, can_delegate=True)
        road.execute("UPDATE trusted_roots SET public_key = ?", road.gate_key.public_hex)
        assert road.ddb.verify_agent(road.gate_key.public_hex) is False
        assert road.ddb.verify_agent(road.agent.public_hex) is False
        assert refusal(signed_request, road, road.agent) == \
            "ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as the root agent"

    def test_the_root_is_the_gates_own_key(self, road, tmp_path):
        # Another key opening the same file finds a root it was not given.
        other = _orvane_ddb.OrvaneDDB(road.db_path, Key().write_keyfile(tmp_path / "other.json"))
        assert refusal(other.verify_agent, road.agent.public_hex) == ROOT_MISMATCH
        # An executor that trusts another gate refuses the permit before the gate database is read.
        stranger = _orvane_ddb.OrvaneExecutor(str(tmp_path / "x.db"), road.executor_keyfile, Key().public_hex,
                                              TENANT, gate_db=road.db_path)
        assert refusal(stranger.verify_and_consume_permit, road.permit_text()) == "Untrusted gate ID"

    def test_a_checkpoint_is_judged_by_the_key_given_never_by_a_row(self, road, tmp_path):
        x = Key()
        checkpoint = json.loads(road.ddb.create_checkpoint(TENANT))
        body = {k: v for k, v in checkpoint.items() if k != "signature"}
        body["signer"] = dict(body["signer"], public_key=x.public_hex)
        forged = dict(body, signature=x.sign_hex(canonical(body)))
        road.execute("UPDATE trusted_roots SET public_key = ?", x.public_hex)
        keyless = _orvane_ddb.OrvaneDDB(road.db_path, str(tmp_path / "missing.json"))
        stream = road.ddb.export_event_stream(TENANT)
        report = json.loads(keyless.verify_checkpoint_stream(json.dumps(forged), stream))
        assert (report["status"], report["reason_code"]) == ("INVALID", "ERR_UNTRUSTED_SIGNER")


class TestRevokedPermit:
    def hide_revocation(self, road):
        road.execute("DELETE FROM revoked_authorizations")
        road.execute("UPDATE identity_lifecycle_events SET event_type = 'ROTATE'")

    def test_a_revoked_permit_stays_revoked_without_its_index_rows(self, road):
        permit = road.permit()
        road.ddb.revoke_agent(road.agent.public_hex, "leaked")
        self.hide_revocation(road)
        assert road.ddb.verify_agent(road.agent.public_hex) is False
        assert refusal(executor_of(road).verify_and_consume_permit, canonical(permit).decode()) == \
            "ORVANE_PERMIT_REVOKED: agent identity has been revoked"
        assert refusal(road.commit, permit, road.outcome(permit)) == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"
        assert road.outcome_rows() == []

    def test_a_permit_consumed_before_the_revocation_is_not_committed_after_it(self, road):
        permit = road.permit()
        executor = executor_of(road)
        receipt = permit["authorization"]
        executor.verify_and_consume_permit(canonical(permit).decode())
        outcome = executor.complete_execution(receipt["authorization_id"], receipt["action_id"], "SUCCEEDED", "{}")
        road.ddb.revoke_agent(road.agent.public_hex, "leaked")
        road.execute("DELETE FROM revoked_authorizations")
        assert refusal(road.commit, permit, outcome) == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"
        assert road.outcome_rows() == []

    def test_an_outcome_committed_before_the_revocation_stands(self, road):
        permit = road.permit()
        report = run_to_the_end(road, executor_of(road), permit)
        assert report["status"] == "VERIFIED"
        (text,), = road.query("SELECT execution_json FROM action_outcomes")
        road.ddb.revoke_agent(road.agent.public_hex, "leaked")
        outcome = canonical(json.loads(text)["outcome"]).decode()
        assert road.commit(permit, outcome) == text
        assert road.report(permit["authorization"]["action_id"])["status"] == "VERIFIED"

    def test_an_outcome_stored_after_the_revocation_is_refused_on_replay(self, road):
        permit = road.permit()
        outcome = road.outcome(permit)
        road.commit(permit, outcome)
        envelope = json.loads(road.ddb.revoke_agent(road.agent.public_hex, "leaked"))
        # Move the revocation before the commit: only the gate could sign that,
        # so the writer instead moves the stored receipt after the revocation.
        action_id = permit["authorization"]["action_id"]
        result = road.execution(action_id)
        result["receipt"]["completed_at"] = envelope["event"]["effective_at"] + 1
        road.store_execution(action_id, road.resign_receipt(result))
        assert refusal(road.commit, permit, outcome) == \
            "ORVANE_PERMIT_REVOKED: identity revocation invalidated this unconsumed permit"
        report = road.report(action_id)
        assert (report["status"], report["errors"]) == ("INVALID", ["EXECUTION_AFTER_REVOCATION"])


class TestTraceNamesTheAction:
    def test_rows_moved_under_another_action_do_not_verify(self, road):
        blocked = road.permit(resource="account:globex/ops")
        assert blocked["authorization"]["decision"] == "BLOCKED"
        ran = road.permit()
        assert run_to_the_end(road, executor_of(road), ran)["status"] == "VERIFIED"
        x, y = blocked["authorization"]["action_id"], ran["authorization"]["action_id"]
        road.execute("DELETE FROM action_authorizations WHERE action_id = ?", x)
        road.execute("UPDATE action_authorizations SET action_id = ? WHERE action_id = ?", x, y)
        road.execute("UPDATE action_outcomes SET action_id = ? WHERE action_id = ?", x, y)
        report = road.report(x)
        assert (report["status"], report["checks"]) == ("INVALID", {"authorization": "FAILED",
                                                                     "execution": "FAILED"})
        assert report["errors"] == ["AUTHORIZATION_TRACE_ACTION_ID_MISMATCH", "EXECUTION_TRACE_ACTION_ID_MISMATCH"]
