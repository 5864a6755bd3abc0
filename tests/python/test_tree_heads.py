"""Signed tree heads, inclusion and consistency proofs of the tenant streams,
checked against an independent tree and note reader (tree_helpers)."""

import base64
import json

import pytest

import _orvane_ddb as m

import tree_helpers as th
from identity_helpers import Gate, Key, canonical

TENANT = "acme"


def stream(gate, tenant=TENANT):
    return json.loads(gate.ddb.export_event_stream(tenant, 1, 100000))


def leaves(gate, tenant=TENANT):
    return [th.leaf(e["event_digest"]) for e in stream(gate, tenant)]


@pytest.fixture(scope="module")
def grown(tmp_path_factory):
    """A stream of 70 events with a head taken after every event."""
    gate = Gate(tmp_path_factory.mktemp("grown"))
    heads = []
    for n in range(70):
        gate.register(f"bot-{n}", {"tenant_id": TENANT})
        heads.append(gate.ddb.create_tree_head(TENANT))
    return gate, heads


def test_every_head_signs_the_root_of_its_stream(grown):
    gate, heads = grown
    hashes = leaves(gate)
    assert len(hashes) == 70
    expected_origin = th.origin(gate.key.public, TENANT)
    for n, note in enumerate(heads, start=1):
        origin, size, root = th.open_note(note, gate.key.public)
        assert (origin, size, root) == (expected_origin, n, th.mth(hashes[:n]))
        verdict = json.loads(m.verify_tree_head(note, gate.key.public))
        assert (verdict["status"], verdict["reason_code"], verdict["tree_size"]) == ("VERIFIED", "TREE_HEAD_VALID", n)
        assert verdict["tenant_id"] == TENANT
    assert gate.query("SELECT count(*) FROM tree_heads WHERE tenant_id = ?1", TENANT) == [(70,)]


def test_proofs_for_every_leaf_and_size_match_an_independent_tree(grown):
    gate, heads = grown
    hashes = leaves(gate)
    events = stream(gate)
    for n in range(1, 71):
        for i in range(n):
            proof = json.loads(gate.ddb.prove_inclusion(TENANT, i + 1, n))
            assert (proof["schema_version"], proof["leaf_index"], proof["tree_size"]) == (
                "orvane.inclusion-proof.v1", i, n)
            assert proof["hashes"] == [h.hex() for h in th.path(i, hashes[:n])], (i, n)
        for old in range(1, n + 1):
            proof = json.loads(gate.ddb.prove_consistency(TENANT, old, n))
            assert proof["hashes"] == [h.hex() for h in th.consistency(old, hashes[:n])], (old, n)
    # The proofs check out against the signed heads, for a spread of pairs.
    for n in (1, 2, 3, 7, 8, 9, 31, 32, 33, 64, 70):
        for i in sorted({0, n // 2, n - 1}):
            verdict = json.loads(m.verify_inclusion(heads[n - 1], gate.key.public, canonical(events[i]),
                                                    gate.ddb.prove_inclusion(TENANT, i + 1, n)))
            assert verdict["reason_code"] == "INCLUSION_VALID", (i, n, verdict)
        for old in sorted({1, n // 3 or 1, n}):
            verdict = json.loads(m.verify_consistency(heads[old - 1], heads[n - 1], gate.key.public,
                                                      gate.ddb.prove_consistency(TENANT, old, n)))
            assert verdict["reason_code"] == "CONSISTENCY_VALID", (old, n, verdict)


def test_proof_arguments_outside_the_tree_are_refused(grown):
    gate, _ = grown
    for args in ((0, 5), (6, 5), (1, 71)):
        with pytest.raises(RuntimeError, match="^ORVANE_PROOF_OUT_OF_RANGE: "):
            gate.ddb.prove_inclusion(TENANT, *args)
    for args in ((0, 5), (6, 5), (1, 71)):
        with pytest.raises(RuntimeError, match="^ORVANE_PROOF_OUT_OF_RANGE: "):
            gate.ddb.prove_consistency(TENANT, *args)
    with pytest.raises(RuntimeError, match="^ORVANE_PROOF_OUT_OF_RANGE: "):
        gate.ddb.prove_inclusion("nobody", 1, 1)


@pytest.fixture
def small(tmp_path):
    gate = Gate(tmp_path)
    for n in range(5):
        gate.register(f"bot-{n}", {"tenant_id": TENANT})
    old = gate.ddb.create_tree_head(TENANT)
    for n in range(3):
        gate.register(f"late-{n}", {"tenant_id": TENANT})
    new = gate.ddb.create_tree_head(TENANT)
    return gate, old, new


def edit_note(note, line, value):
    text, sigs = note.split("\n\n")
    lines = text.split("\n")
    lines[line] = value
    return "\n".join(lines) + "\n\n" + sigs


def inclusion(gate, note, event, proof):
    return json.loads(m.verify_inclusion(note, gate.key.public, canonical(event), canonical(proof)))["reason_code"]


def test_tampered_events_notes_and_inclusion_proofs_each_give_their_code(small):
    gate, _, note = small
    events = stream(gate)
    event = events[2]
    proof = json.loads(gate.ddb.prove_inclusion(TENANT, 3, 8))
    assert inclusion(gate, note, event, proof) == "INCLUSION_VALID"

    changed = dict(event, timestamp=event["timestamp"] + 1)
    assert inclusion(gate, note, changed, proof) == "ERR_EVENT_TAMPERED"
    body = {k: v for k, v in changed.items() if k != "event_digest"}
    rehashed = dict(body, event_digest=th.hashlib.sha256(canonical(body).encode()).hexdigest())
    assert inclusion(gate, note, rehashed, proof) == "ERR_INCLUSION_PROOF_INVALID"
    # An event moved to another place, or one inserted that the gate never logged.
    assert inclusion(gate, note, events[3], proof) == "ERR_LEAF_INDEX_MISMATCH"
    moved = dict({k: v for k, v in events[3].items() if k != "event_digest"}, sequence_number=3)
    moved["event_digest"] = th.hashlib.sha256(canonical(moved).encode()).hexdigest()
    assert inclusion(gate, note, moved, proof) == "ERR_INCLUSION_PROOF_INVALID"
    assert inclusion(gate, note, dict(event, tenant_id="other"), proof) == "ERR_TENANT_MISMATCH"

    for hashes in ([proof["hashes"][0][:-1] + ("0" if proof["hashes"][0][-1] != "0" else "1")] + proof["hashes"][1:],
                   proof["hashes"] + ["00" * 32], proof["hashes"][:-1]):
        assert inclusion(gate, note, event, dict(proof, hashes=hashes)) == "ERR_INCLUSION_PROOF_INVALID"
    assert inclusion(gate, note, event, dict(proof, tree_size=7)) == "ERR_TREE_SIZE_MISMATCH"

    root = base64.b64encode(bytes(32)).decode()
    assert inclusion(gate, edit_note(note, 2, root), event, proof) == "ERR_SIGNATURE_INVALID"
    assert inclusion(gate, edit_note(note, 1, "9"), event, proof) == "ERR_SIGNATURE_INVALID"
    other_tenant = th.origin(gate.key.public, "globex")
    assert inclusion(gate, edit_note(note, 0, other_tenant), event, proof) == "ERR_ORIGIN_MISMATCH"
    assert inclusion(gate, note.replace(gate.key.public, Key().public), event, proof) == "ERR_ORIGIN_MISMATCH"
    verdict = json.loads(m.verify_inclusion(note, Key().public, canonical(event), canonical(proof)))
    assert (verdict["status"], verdict["reason_code"]) == ("INVALID", "ERR_ORIGIN_MISMATCH")


def test_consistency_verdicts(small):
    gate, old, new = small
    proof = json.loads(gate.ddb.prove_consistency(TENANT, 5, 8))

    def verdict(a, b, p):
        return json.loads(m.verify_consistency(a, b, gate.key.public, canonical(p)))["reason_code"]

    assert verdict(old, new, proof) == "CONSISTENCY_VALID"
    for hashes in ([("00" * 32)] + proof["hashes"][1:], proof["hashes"] + ["00" * 32], proof["hashes"][:-1]):
        assert verdict(old, new, dict(proof, hashes=hashes)) == "ERR_CONSISTENCY_PROOF_INVALID"
    assert verdict(new, old, proof) == "ERR_TREE_SIZE_MISMATCH"
    assert verdict(new, old, dict(proof, old_size=8, new_size=5)) == "ERR_ROLLBACK_DETECTED"
    assert verdict(old, edit_note(new, 2, base64.b64encode(bytes(32)).decode()), proof) == "ERR_SIGNATURE_INVALID"
    gate.register("elsewhere", {"tenant_id": "globex"})
    foreign = gate.ddb.create_tree_head("globex")
    assert verdict(foreign, new, dict(proof, old_size=1)) == "ERR_ORIGIN_MISMATCH"


def test_input_that_cannot_be_checked_raises(small):
    gate, old, new = small
    key = gate.key.public
    for bad in ("", "no blank line\n", old.replace("\n\n", "\n\n\u2014 x\n"), old.rstrip("\n"),
                edit_note(old, 1, "05"), edit_note(old, 1, "99999999999999999999"), edit_note(old, 1, "+5"),
                edit_note(old, 2, "not base64"), old.replace("=\n\n", "\n\n"), old + "\r"):
        with pytest.raises(RuntimeError, match="^Invalid tree head note: "):
            m.verify_tree_head(bad, key)
    with pytest.raises(RuntimeError, match="^Invalid trusted public key: "):
        m.verify_tree_head(old, "zz")
    event = canonical(stream(gate)[0])
    with pytest.raises(RuntimeError, match="^Invalid inclusion proof JSON: "):
        m.verify_inclusion(old, key, event, "{")
    with pytest.raises(RuntimeError, match="^Invalid inclusion proof: "):
        m.verify_inclusion(old, key, event, '{"leaf_index":0,"tree_size":5,"hashes":["xyz"]}')
    with pytest.raises(RuntimeError, match="^Invalid consistency proof: "):
        m.verify_consistency(old, new, key, '{"old_size":-1,"new_size":8,"hashes":[]}')
    with pytest.raises(TypeError):
        m.verify_tree_head(old.encode(), key)


def test_odd_tenant_ids_are_encoded_in_the_origin(tmp_path):
    gate = Gate(tmp_path)
    tenant = "a b/c+%ü*"
    gate.register("odd", {"tenant_id": tenant})
    note = gate.ddb.create_tree_head(tenant)
    origin, size, _ = th.open_note(note, gate.key.public)
    assert origin == th.origin(gate.key.public, tenant)
    assert origin.endswith("/tenant/a%20b%2Fc%2B%25%C3%BC%2A") and size == 1
    assert json.loads(m.verify_tree_head(note, gate.key.public))["tenant_id"] == tenant
    # Only the one spelling of an origin names the tenant.
    lower = edit_note(note, 0, origin.replace("%C3%BC", "%c3%bc"))
    assert json.loads(m.verify_tree_head(lower, gate.key.public))["reason_code"] == "ERR_ORIGIN_MISMATCH"
    # The gate's own tenant "*" is written %2A.
    assert gate.ddb.create_tree_head().split("\n")[0].endswith("/tenant/%2A")


def counts(gate):
    return gate.query("SELECT (SELECT count(*) FROM tree_heads), (SELECT count(*) FROM log_nodes)")[0]


def test_a_rewritten_stream_or_tree_is_not_signed(small):
    gate, _, _ = small
    before = counts(gate)
    with pytest.raises(RuntimeError, match="^Cannot create tree head: No events recorded for tenant 'nobody'$"):
        gate.ddb.create_tree_head("nobody")
    # A dropped last event: the tree no longer ends where the stream does.
    gate.execute("DELETE FROM event_stream WHERE tenant_id = ?1 AND sequence_number = 8", TENANT)
    with pytest.raises(RuntimeError, match="^ORVANE_TREE_STREAM_MISMATCH: the stored tree of tenant 'acme' does "
                                           "not match its event stream$"):
        gate.ddb.create_tree_head(TENANT)
    assert counts(gate) == before


def test_a_tree_rewritten_under_a_signed_head_is_not_signed(small):
    gate, _, _ = small
    gate.register("more", {"tenant_id": TENANT})
    gate.execute("UPDATE log_nodes SET hash = zeroblob(32) WHERE tenant_id = ?1 AND level = 3 AND node_index = 0",
                 TENANT)
    before = counts(gate)
    with pytest.raises(RuntimeError, match="^ORVANE_TREE_HEAD_INCONSISTENT: the stored tree of tenant 'acme' does "
                                           "not extend its latest tree head 2$"):
        gate.ddb.create_tree_head(TENANT)
    assert counts(gate) == before


def test_an_edited_stored_head_is_refused(small):
    gate, _, new = small
    refused = ("^ORVANE_TREE_HEAD_INVALID: the latest stored tree head of tenant 'acme' does not verify under "
               "the gate key$")
    # Lines added to the stored note would be handed out as the gate's own head: a cosignature of a witness
    # that never saw it, or the gate's line twice.
    stranger = Key()
    name = "orvane-ddb/witness/" + stranger.public
    fake = th.DASH + name + " " + base64.b64encode(th.key_id(name, stranger.public, 4) + bytes(72)).decode() + "\n"
    gate_line = new.split("\n\n")[1]
    for edited in (new + fake, new + gate_line):
        assert json.loads(m.verify_tree_head(edited, gate.key.public))["status"] == "VERIFIED"
        gate.execute("UPDATE tree_heads SET note = ?1 WHERE note = ?2", edited, new)
        with pytest.raises(RuntimeError, match=refused):
            gate.ddb.create_tree_head(TENANT)
        gate.execute("UPDATE tree_heads SET note = ?1 WHERE note = ?2", new, edited)
    assert gate.ddb.create_tree_head(TENANT) == new
    gate.register("more", {"tenant_id": TENANT})
    gate.execute("UPDATE tree_heads SET note = replace(note, '\n8\n', '\n4\n')")
    with pytest.raises(RuntimeError, match=refused):
        gate.ddb.create_tree_head(TENANT)


def test_the_same_tree_gives_the_stored_head_again(small):
    gate, _, new = small
    before = counts(gate)
    assert gate.ddb.create_tree_head(TENANT) == new
    assert counts(gate) == before


def test_an_older_database_gets_its_trees_built_once_on_open(small, tmp_path):
    gate, _, new = small
    roots = {t: th.mth(leaves(gate, t)) for t in (TENANT, "*")}
    gate.ddb = None
    gate.execute("DROP TABLE log_nodes")
    gate.execute("DROP TABLE tree_heads")
    gate.ddb = m.OrvaneDDB(gate.db_path, gate.keyfile)
    assert gate.query("SELECT count(*) FROM log_nodes WHERE tenant_id = ?1 AND level = 0", TENANT) == [(8,)]
    note = gate.ddb.create_tree_head(TENANT)
    assert note == new  # the same tree, signed again (Ed25519 signatures are deterministic)
    assert th.open_note(gate.ddb.create_tree_head("*"), gate.key.public)[2] == roots["*"]
    gate.register("after", {"tenant_id": TENANT})
    proof = json.loads(gate.ddb.prove_consistency(TENANT, 8, 9))
    assert proof["hashes"] == [h.hex() for h in th.consistency(8, leaves(gate))]
