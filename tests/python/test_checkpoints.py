"""The event stream export and gate-signed checkpoints over it. Digests, root
hashes and signatures are recomputed here with hashlib and PyNaCl."""

import copy
import hashlib
import json

import pytest

import _orvane_ddb

from identity_helpers import Gate, Key, canonical

GENESIS = "0" * 64
VALID = "Event stream and checkpoint root hash verified mathematically"


@pytest.fixture
def gate(tmp_path):
    """A bootstrapped gate with five events in the stream of tenant "acme"."""
    gate = Gate(tmp_path)
    for n in range(5):
        gate.register(f"bot-{n}", {"tenant_id": "acme"})
    return gate


def export(gate, *args, **kwargs):
    text = gate.ddb.export_event_stream(*args, **kwargs)
    return json.loads(text)


def event_digest(event):
    body = {k: v for k, v in event.items() if k != "event_digest"}
    return hashlib.sha256(canonical(body).encode()).hexdigest()


def root_hash(events):
    return hashlib.sha256("".join(e["event_digest"] for e in events).encode()).hexdigest()


def verify(gate, checkpoint, stream, expected=None):
    checkpoint = checkpoint if isinstance(checkpoint, str) else canonical(checkpoint)
    stream = stream if isinstance(stream, str) else canonical(stream)
    return json.loads(gate.ddb.verify_checkpoint_stream(checkpoint, stream, expected))


def invalid(result, code, message, verified):
    assert set(result) == {"schema_version", "status", "checkpoint_id", "events_verified", "reason_code", "message"}
    assert (result["status"], result["reason_code"], result["message"], result["events_verified"]) == \
        ("INVALID", code, message, verified)


def sign_checkpoint(key, checkpoint):
    """Signs a checkpoint the way the gate does: over its canonical bytes."""
    body = {k: v for k, v in checkpoint.items() if k != "signature"}
    return dict(body, signature=key.signing.sign(canonical(body).encode()).signature.hex())


class TestExport:
    def test_events_chain_and_digest_independently(self, gate):
        events = export(gate, "acme")
        assert [e["sequence_number"] for e in events] == [1, 2, 3, 4, 5]
        assert events[0]["prev_event_hash"] == GENESIS
        for previous, event in zip(events, events[1:]):
            assert event["prev_event_hash"] == previous["event_digest"]
        for event in events:
            assert event["event_digest"] == event_digest(event)
            assert list(event) == sorted(event) and event["tenant_id"] == "acme"
            assert event["schema_version"] == "orvane.event-stream-event.v1"
        registration = gate.query("SELECT registration_event FROM agents WHERE registration_event_id = ?",
                                  events[0]["event_id"])[0][0]
        assert events[0]["payload_hash"] == hashlib.sha256(registration.encode()).hexdigest()

    def test_paging(self, gate):
        text = gate.ddb.export_event_stream("acme", 5, 2)
        assert text == canonical(json.loads(text))
        assert [e["sequence_number"] for e in json.loads(text)] == [5]
        assert [e["sequence_number"] for e in export(gate, "acme", from_sequence=2, limit=2)] == [2, 3]
        assert export(gate, "acme", 0) == export(gate, "acme", 1) == export(gate, "acme")
        assert gate.ddb.export_event_stream("acme", limit=0) == "[]"
        assert gate.ddb.export_event_stream("acme", 2**64 - 1, 2**32 - 1) == "[]"
        assert gate.ddb.export_event_stream("nobody") == "[]"
        with pytest.raises(TypeError):
            gate.ddb.export_event_stream(None)
        with pytest.raises(OverflowError):
            gate.ddb.export_event_stream("acme", 1, 2**32)

    def test_the_default_tenant_is_the_star_stream(self, gate):
        events = export(gate)
        assert events and {e["tenant_id"] for e in events} == {"*"}
        assert [e["event_type"] for e in events] == ["policy.published", "agent.registered"]  # the bootstrap

    def test_a_corrupt_stored_event(self, gate):
        gate.execute("UPDATE event_stream SET event_json = '{oops' WHERE tenant_id = 'acme' AND sequence_number = 2")
        with pytest.raises(RuntimeError, match="^Corrupt event JSON in database: "):
            gate.ddb.export_event_stream("acme")
        assert len(export(gate, "acme", 3)) == 3


class TestCreate:
    def test_checkpoint_is_signed_over_its_canonical_bytes(self, gate):
        text = gate.ddb.create_checkpoint("acme")
        checkpoint = json.loads(text)
        assert text == canonical(checkpoint)
        events = export(gate, "acme")
        assert checkpoint == {
            "schema_version": "orvane.checkpoint.v1",
            "checkpoint_id": f"chk_acme_1_{checkpoint['created_at']}",
            "tenant_id": "acme",
            "checkpoint_sequence": 1,
            "first_sequence": 1,
            "last_sequence": 5,
            "stream_root_hash": root_hash(events),
            "total_events": 5,
            "created_at": checkpoint["created_at"],
            "signer": {"signer_uri": "local-ed25519://" + gate.key.public, "key_version": "1",
                       "algorithm": "Ed25519", "public_key": gate.key.public},
            "signature": checkpoint["signature"],
        }
        body = canonical({k: v for k, v in checkpoint.items() if k != "signature"}).encode()
        gate.key.signing.verify_key.verify(body, bytes.fromhex(checkpoint["signature"]))
        assert gate.query("SELECT checkpoint_id, tenant_id, checkpoint_sequence, first_sequence, last_sequence, "
                          "stream_root_hash, total_events, created_at, checkpoint_json FROM checkpoints") == [
            (checkpoint["checkpoint_id"], "acme", 1, 1, 5, checkpoint["stream_root_hash"], 5,
             checkpoint["created_at"], text)]

    def test_every_checkpoint_covers_the_whole_stream(self, gate):
        first = json.loads(gate.ddb.create_checkpoint("acme"))
        gate.register("late", {"tenant_id": "acme"})
        second = json.loads(gate.ddb.create_checkpoint("acme"))
        assert (second["checkpoint_sequence"], second["first_sequence"], second["last_sequence"]) == (2, 1, 6)
        assert second["stream_root_hash"] == root_hash(export(gate, "acme"))
        assert first["stream_root_hash"] == root_hash(export(gate, "acme", limit=5))

    def test_one_event(self, tmp_path):
        gate = Gate(tmp_path)
        gate.register("solo", {"tenant_id": "solo"})
        (event,) = export(gate, "solo")
        checkpoint = json.loads(gate.ddb.create_checkpoint("solo"))
        assert checkpoint["stream_root_hash"] == hashlib.sha256(event["event_digest"].encode()).hexdigest()

    def test_default_tenant_and_a_tenant_without_events(self, gate):
        assert json.loads(gate.ddb.create_checkpoint())["tenant_id"] == "*"
        with pytest.raises(RuntimeError, match="^Cannot create checkpoint: No events recorded for tenant 'globex'$"):
            gate.ddb.create_checkpoint("globex")
        assert gate.query("SELECT tenant_id FROM checkpoints") == [("*",)]


class TestVerdicts:
    @pytest.fixture
    def signed(self, gate):
        return json.loads(gate.ddb.create_checkpoint("acme")), export(gate, "acme")

    def test_an_untouched_stream_verifies(self, gate, signed):
        checkpoint, stream = signed
        assert verify(gate, checkpoint, stream) == {
            "schema_version": "orvane.checkpoint-verification.v1",
            "status": "VERIFIED",
            "checkpoint_id": checkpoint["checkpoint_id"],
            "events_verified": 5,
            "reason_code": "CHECKPOINT_VALID",
            "message": VALID,
            "checkpoint_sequence": 1,
            "tenant_id": "acme",
            "first_sequence": 1,
            "last_sequence": 5,
            "stream_root_hash": checkpoint["stream_root_hash"],
        }
        text = gate.ddb.verify_checkpoint_stream(canonical(checkpoint), canonical(stream), gate.key.public)
        assert text == canonical(json.loads(text))

    def test_a_longer_or_shorter_stream(self, gate, signed):
        checkpoint, _ = signed
        gate.register("late", {"tenant_id": "acme"})
        invalid(verify(gate, checkpoint, export(gate, "acme")), "ERR_ROLLBACK_DETECTED",
                "Stream ended at sequence 6, but checkpoint requires 5", 6)
        assert verify(gate, checkpoint, export(gate, "acme", limit=5))["status"] == "VERIFIED"
        invalid(verify(gate, checkpoint, export(gate, "acme", limit=4)), "ERR_ROLLBACK_DETECTED",
                "Stream ended at sequence 4, but checkpoint requires 5", 4)

    def test_a_dropped_or_reordered_event(self, gate, signed):
        checkpoint, stream = signed
        invalid(verify(gate, checkpoint, stream[:2] + stream[3:]), "ERR_SEQUENCE_GAP",
                "Sequence gap detected at index 2: expected 3, got 4", 2)
        invalid(verify(gate, checkpoint, [stream[1], stream[0]] + stream[2:]), "ERR_SEQUENCE_GAP",
                "Sequence gap detected at index 0: expected 1, got 2", 0)
        invalid(verify(gate, checkpoint, stream[1:]), "ERR_SEQUENCE_GAP",
                "Sequence gap detected at index 0: expected 1, got 2", 0)

    def test_an_altered_event(self, gate, signed):
        checkpoint, stream = signed
        altered = copy.deepcopy(stream)
        altered[2]["timestamp"] += 1
        invalid(verify(gate, checkpoint, altered), "ERR_EVENT_TAMPERED", "Event payload tampered at sequence 3", 2)
        altered[2]["event_digest"] = event_digest(altered[2])
        invalid(verify(gate, checkpoint, altered), "ERR_CHAIN_LINKAGE_BROKEN", "Hash chain broken at sequence 4", 3)

        last = copy.deepcopy(stream)
        last[4]["payload_hash"] = "0" * 64
        last[4]["event_digest"] = event_digest(last[4])
        invalid(verify(gate, checkpoint, last), "ERR_STREAM_HASH_MISMATCH",
                "Calculated stream root hash does not match checkpoint root hash", 5)

        extra = copy.deepcopy(stream)
        extra[0]["note"] = "added"
        invalid(verify(gate, checkpoint, extra), "ERR_EVENT_TAMPERED", "Event payload tampered at sequence 1", 0)

    def test_an_event_of_another_tenant(self, gate, signed):
        checkpoint, stream = signed
        foreign = copy.deepcopy(stream)
        foreign[1]["tenant_id"] = "globex"
        invalid(verify(gate, checkpoint, foreign), "ERR_TENANT_MISMATCH",
                "Event at index 1 belongs to tenant 'globex', expected 'acme'", 1)
        foreign[1] = 42  # not an event at all: it has no tenant
        invalid(verify(gate, checkpoint, foreign), "ERR_TENANT_MISMATCH",
                "Event at index 1 belongs to tenant '', expected 'acme'", 1)

    def test_an_altered_checkpoint(self, gate, signed):
        checkpoint, stream = signed
        for member, value in [("last_sequence", 4), ("tenant_id", "acmf"), ("stream_root_hash", "1" * 64),
                              ("created_at", checkpoint["created_at"] + 1), ("checkpoint_id", "chk_other")]:
            changed = dict(checkpoint, **{member: value})
            result = verify(gate, changed, stream)
            invalid(result, "ERR_SIGNATURE_INVALID", "Checkpoint Gate signature is mathematically invalid", 0)
            assert result["checkpoint_id"] == changed["checkpoint_id"]
        without_id = {k: v for k, v in checkpoint.items() if k != "checkpoint_id"}
        assert verify(gate, without_id, stream)["checkpoint_id"] == "unknown"

        stranger = Key()
        forged = dict(checkpoint, signer=dict(checkpoint["signer"], public_key=stranger.public))
        invalid(verify(gate, sign_checkpoint(stranger, forged), stream), "ERR_UNTRUSTED_SIGNER",
                f"Checkpoint signer {stranger.public} does not match expected trusted key {gate.key.public}", 0)

    def test_an_empty_stream(self, gate, signed):
        checkpoint, _ = signed
        invalid(verify(gate, checkpoint, []), "ERR_EMPTY_STREAM",
                "Event stream is empty but checkpoint declares events", 0)
        # The signature is checked first.
        invalid(verify(gate, dict(checkpoint, total_events=0), []), "ERR_SIGNATURE_INVALID",
                "Checkpoint Gate signature is mathematically invalid", 0)

    def test_a_checkpoint_that_starts_later_in_the_stream(self, gate, signed):
        # Signed here with the gate key: a checkpoint over events 3..5 chains
        # from the first event's own prev_event_hash.
        checkpoint, stream = signed
        tail = stream[2:]
        partial = sign_checkpoint(gate.key, dict(checkpoint, first_sequence=3, total_events=3,
                                                 stream_root_hash=root_hash(tail)))
        result = verify(gate, partial, tail)
        assert (result["status"], result["events_verified"], result["first_sequence"]) == ("VERIFIED", 3, 3)
        # Without first_sequence the walk expects sequence 0.
        unnumbered = sign_checkpoint(gate.key, {k: v for k, v in partial.items() if k != "first_sequence"})
        invalid(verify(gate, unnumbered, tail), "ERR_SEQUENCE_GAP",
                "Sequence gap detected at index 0: expected 0, got 3", 0)


class TestTrustedKey:
    @pytest.fixture
    def signed(self, gate):
        return gate.ddb.create_checkpoint("acme"), gate.ddb.export_event_stream("acme")

    def test_the_expected_key_is_compared_exactly(self, gate, signed):
        checkpoint, stream = signed
        result = json.loads(gate.ddb.verify_checkpoint_stream(checkpoint, stream, gate.key.public.upper()))
        invalid(result, "ERR_UNTRUSTED_SIGNER", f"Checkpoint signer {gate.key.public} does not match expected "
                                                f"trusted key {gate.key.public.upper()}", 0)
        other = Key().public
        assert json.loads(gate.ddb.verify_checkpoint_stream(checkpoint, stream, other))["message"] == \
            f"Checkpoint signer {gate.key.public} does not match expected trusted key {other}"

    def test_another_gate_trusts_its_own_key(self, gate, signed, tmp_path):
        checkpoint, stream = signed
        other = _orvane_ddb.OrvaneDDB(str(tmp_path / "other.db"), Key().write(tmp_path / "other.key"))
        assert json.loads(other.verify_checkpoint_stream(checkpoint, stream))["reason_code"] == "ERR_UNTRUSTED_SIGNER"
        assert json.loads(other.verify_checkpoint_stream(checkpoint, stream, gate.key.public))["status"] == "VERIFIED"

    def test_without_a_signer_the_key_must_be_given(self, gate, signed, tmp_path):
        # The trusted_roots row is as writable as the checkpoints it would vouch for.
        checkpoint, stream = signed
        keyless = _orvane_ddb.OrvaneDDB(gate.db_path, str(tmp_path / "missing.json"))
        invalid(json.loads(keyless.verify_checkpoint_stream(checkpoint, stream)), "ERR_UNTRUSTED_SIGNER",
                "Expected trusted signer public key must be provided to verify checkpoint", 0)
        broken = tmp_path / "broken.json"
        keyless_too = _orvane_ddb.OrvaneDDB(gate.db_path, str(broken))
        broken.write_text("{}")
        assert json.loads(keyless_too.verify_checkpoint_stream(checkpoint, stream, gate.key.public))["status"] == \
            "VERIFIED"

    def test_without_a_signer_or_a_trusted_root(self, gate, signed, tmp_path):
        checkpoint, stream = signed
        fresh = _orvane_ddb.OrvaneDDB(str(tmp_path / "fresh.db"), str(tmp_path / "missing.json"))
        invalid(json.loads(fresh.verify_checkpoint_stream(checkpoint, stream)), "ERR_UNTRUSTED_SIGNER",
                "Expected trusted signer public key must be provided to verify checkpoint", 0)
        assert json.loads(fresh.verify_checkpoint_stream(checkpoint, stream, gate.key.public))["status"] == "VERIFIED"


class TestInputsThatCannotBeChecked:
    @pytest.fixture
    def signed(self, gate):
        return json.loads(gate.ddb.create_checkpoint("acme")), gate.ddb.export_event_stream("acme")

    def raises(self, gate, checkpoint, stream, message, expected=None):
        checkpoint = checkpoint if isinstance(checkpoint, str) else canonical(checkpoint)
        with pytest.raises(RuntimeError) as raised:
            gate.ddb.verify_checkpoint_stream(checkpoint, stream, expected)
        assert str(raised.value).startswith(message)
        return str(raised.value)

    def test_documents_that_are_not_json(self, gate, signed):
        checkpoint, stream = signed
        self.raises(gate, "{", "[", "Invalid checkpoint JSON: ")
        self.raises(gate, checkpoint, "[", "Invalid stream JSON: ")
        assert self.raises(gate, checkpoint, '{"events": []}', "") == "Event stream must be a JSON array of events"

    @pytest.mark.parametrize("change, message", [
        ({"tenant_id": None}, "Checkpoint missing tenant_id"),
        ({"tenant_id": None, "signature": None}, "Checkpoint missing tenant_id"),
        ({"stream_root_hash": None}, "Checkpoint missing stream_root_hash"),
        ({"stream_root_hash": None, "signature": None}, "Checkpoint missing stream_root_hash"),
        ({"signature": None, "signer": None}, "Checkpoint missing signature"),
        ({"signer": None}, "Checkpoint missing signer"),
        ({"signer": {"signer_uri": "x"}}, "Checkpoint signer missing public_key"),
    ])
    def test_missing_members(self, gate, signed, change, message):
        checkpoint, stream = signed
        changed = {k: v for k, v in dict(checkpoint, **change).items() if v is not None}
        assert self.raises(gate, changed, stream, "") == message

    def test_a_checkpoint_that_is_not_an_object(self, gate, signed):
        _, stream = signed
        assert self.raises(gate, "[]", stream, "") == "Checkpoint missing tenant_id"

    @pytest.mark.parametrize("signer_key, signature, message", [
        ("xyz", None, "Invalid signer public key hex: "),
        ("abcd", None, "Invalid public key length"),
        ("01" + "00" * 31, None, "Failed parsing verifying key: "),
        (None, "zz", "Invalid signature hex: "),
        (None, "ab" * 63, "Invalid signature length"),
    ])
    def test_keys_and_signatures_that_do_not_decode(self, gate, signed, signer_key, signature, message):
        checkpoint, stream = signed
        signer_key = signer_key or gate.key.public
        changed = dict(checkpoint, signer=dict(checkpoint["signer"], public_key=signer_key),
                       signature=signature or checkpoint["signature"])
        self.raises(gate, changed, stream, message, expected=signer_key)
        # The trust check comes first: a key that is not the trusted one is a verdict.
        if signer_key != gate.key.public:
            result = json.loads(gate.ddb.verify_checkpoint_stream(canonical(changed), stream))
            assert result["reason_code"] == "ERR_UNTRUSTED_SIGNER"
