"""The witness: it cosigns heads that extend the one it holds, refuses the
others and keeps both heads of each refusal. Cosignatures are checked here
with hashlib and PyNaCl."""

import base64
import hashlib
import json
import sqlite3
import struct
import time

import nacl.signing
import pytest

import _orvane_ddb as m

import tree_helpers as th
from identity_helpers import Gate, Key

TENANT = "acme"


@pytest.fixture
def setup(tmp_path):
    gate = Gate(tmp_path)
    wkey = Key()
    witness = m.OrvaneWitness(str(tmp_path / "witness.db"), wkey.write(tmp_path / "witness.key"))
    return gate, witness, wkey, str(tmp_path / "witness.db")


def grow(gate, count, tenant=TENANT):
    for _ in range(count):
        gate.register("bot", {"tenant_id": tenant})
    return gate.ddb.create_tree_head(tenant)


def check_cosignature(line, note, wkey):
    assert line.startswith(th.DASH) and line.endswith("\n")
    name, blob = line[len(th.DASH):-1].split(" ")
    assert name == "orvane-ddb/witness/" + wkey.public
    raw = base64.b64decode(blob, validate=True)
    assert raw[:4] == th.key_id(name, wkey.public, 4)
    (stamp,) = struct.unpack(">Q", raw[4:12])
    assert abs(stamp - time.time()) < 120
    body = note.split("\n\n")[0] + "\n"
    nacl.signing.VerifyKey(bytes.fromhex(wkey.public)).verify(
        ("cosignature/v1\ntime %d\n" % stamp).encode() + body.encode(), raw[12:])
    return stamp


def held(path):
    with sqlite3.connect(path) as conn:
        return conn.execute("SELECT origin, tree_size, note FROM witness_heads").fetchall()


def test_heads_that_extend_the_held_one_are_cosigned(setup):
    gate, witness, wkey, path = setup
    first = grow(gate, 3)
    check_cosignature(witness.add_tree_head(first, gate.key.public, "not read for the first head"), first, wkey)
    second = grow(gate, 4)
    proof = gate.ddb.prove_consistency(TENANT, 3, 7)
    check_cosignature(witness.add_tree_head(second, gate.key.public, proof), second, wkey)
    # The same head again is cosigned without a change; a second log is held apart.
    check_cosignature(witness.add_tree_head(second, gate.key.public, '{"old_size":7,"new_size":7,"hashes":[]}'),
                      second, wkey)
    other = grow(gate, 1, "globex")
    witness.add_tree_head(other, gate.key.public, "{}")
    assert sorted((o, n) for o, n, _ in held(path)) == sorted(
        [(th.origin(gate.key.public, TENANT), 7), (th.origin(gate.key.public, "globex"), 1)])
    assert json.loads(witness.split_views()) == []


def forked(gate, tmp_path):
    """A second gate database with the same key whose stream of the tenant
    differs from the first after three events: a split view."""
    twin = Gate.__new__(Gate)
    twin.key = gate.key
    twin.db_path = str(tmp_path / "twin.db")
    twin.keyfile = gate.keyfile
    twin.ddb = m.OrvaneDDB(twin.db_path, twin.keyfile)
    twin.ddb.register_agent(gate.key.public, "gate", "{}")
    return twin


def test_a_head_that_does_not_extend_the_held_one_is_refused_and_kept(setup, tmp_path):
    gate, witness, wkey, path = setup
    earlier = grow(gate, 2)
    held_note = grow(gate, 3)
    witness.add_tree_head(held_note, gate.key.public, "{}")
    twin = forked(gate, tmp_path)
    fork = grow(twin, 8)  # a different stream of the same tenant, signed by the same key
    proof = twin.ddb.prove_consistency(TENANT, 5, 8)
    with pytest.raises(RuntimeError, match=r"^ORVANE_WITNESS_SPLIT_VIEW: the tree head of size 8 of origin '.*' "
                                           r"does not extend the held head of size 5 \(ERR_CONSISTENCY_PROOF_INVALID\)$"):
        witness.add_tree_head(fork, gate.key.public, proof)
    (view,) = json.loads(witness.split_views())
    assert (view["held_note"], view["offered_note"], view["proof_json"], view["reason_code"]) == (
        held_note, fork, proof, "ERR_CONSISTENCY_PROOF_INVALID")
    assert [n for _, n, _ in held(path)] == [5]  # the held head stays
    # An older head than the held one is a rollback, kept as well.
    with pytest.raises(RuntimeError, match=r"\(ERR_ROLLBACK_DETECTED\)$"):
        witness.add_tree_head(earlier, gate.key.public, '{"old_size":5,"new_size":2,"hashes":[]}')
    assert [v["reason_code"] for v in json.loads(witness.split_views())] == [
        "ERR_CONSISTENCY_PROOF_INVALID", "ERR_ROLLBACK_DETECTED"]


def test_split_views_list_only_what_the_witness_recorded(setup, tmp_path):
    gate, witness, wkey, path = setup
    witness.add_tree_head(grow(gate, 5), gate.key.public, "{}")
    twin = forked(gate, tmp_path)
    fork = grow(twin, 8)
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_SPLIT_VIEW: "):
        witness.add_tree_head(fork, gate.key.public, twin.ddb.prove_consistency(TENANT, 5, 8))
    recorded = witness.split_views()
    (view,) = json.loads(recorded)
    # Edited or planted rows would accuse the log of what it never showed.
    planted = ("INSERT INTO witness_split_views (origin, public_key, held_note, offered_note, proof_json, "
               "reason_code, refused_at, witness_signature) SELECT origin, public_key, held_note, held_note, "
               "proof_json, reason_code, refused_at, witness_signature FROM witness_split_views")
    for attack in ("UPDATE witness_split_views SET reason_code = 'ERR_ROLLBACK_DETECTED'",
                   "UPDATE witness_split_views SET offered_note = held_note", planted):
        with sqlite3.connect(path) as conn:
            conn.execute(attack)
        with pytest.raises(RuntimeError, match=r"^ORVANE_WITNESS_STORE_INVALID: split view \d+ is not one this "
                                               r"witness recorded$"):
            witness.split_views()
        with sqlite3.connect(path) as conn:
            conn.execute("DELETE FROM witness_split_views WHERE id > 1")
            conn.execute("UPDATE witness_split_views SET reason_code = ?, offered_note = ?",
                         (view["reason_code"], view["offered_note"]))
        assert witness.split_views() == recorded


def test_refusals_that_prove_nothing_write_nothing(setup):
    gate, witness, wkey, path = setup
    first = grow(gate, 2)
    witness.add_tree_head(first, gate.key.public, "{}")
    second = grow(gate, 2)
    before = held(path)
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_HEAD_INVALID: "):
        witness.add_tree_head(second.replace("\n4\n", "\n5\n"), gate.key.public, "{}")
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_HEAD_INVALID: "):
        witness.add_tree_head(second, Key().public, "{}")
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_PROOF_MISMATCH: "):
        witness.add_tree_head(second, gate.key.public, gate.ddb.prove_consistency(TENANT, 1, 4))
    with pytest.raises(RuntimeError, match="^Invalid consistency proof JSON: "):
        witness.add_tree_head(second, gate.key.public, "{")
    with pytest.raises(RuntimeError, match="^Invalid tree head note: "):
        witness.add_tree_head("nonsense", gate.key.public, "{}")
    assert held(path) == before and json.loads(witness.split_views()) == []


def test_an_edited_held_head_is_not_trusted(setup):
    gate, witness, wkey, path = setup
    witness.add_tree_head(grow(gate, 2), gate.key.public, "{}")
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE witness_heads SET note = replace(note, char(10) || '2' || char(10), "
                     "char(10) || '1' || char(10))")
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_STORE_INVALID: "):
        witness.add_tree_head(grow(gate, 1), gate.key.public, gate.ddb.prove_consistency(TENANT, 2, 3))


def test_a_head_too_large_to_hold_is_refused_without_a_write(setup):
    gate, witness, wkey, path = setup
    own = nacl.signing.SigningKey.generate()
    key = own.verify_key.encode().hex()
    origin = th.origin(key, TENANT)
    text = "%s\n%d\n%s\n" % (origin, 2 ** 63, base64.b64encode(b"\x11" * 32).decode())
    blob = th.key_id(origin, key, 1) + own.sign(text.encode()).signature
    note = text + "\n" + th.DASH + origin + " " + base64.b64encode(blob).decode() + "\n"
    assert json.loads(m.verify_tree_head(note, key))["status"] == "VERIFIED"
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_HEAD_INVALID: tree size 9223372036854775808 is "
                                           "larger than a witness can hold$"):
        witness.add_tree_head(note, key, "{}")
    assert held(path) == []


def test_a_missing_witness_key_file_fails_construction(tmp_path):
    with pytest.raises(RuntimeError, match="^Failed to read signer configuration "):
        m.OrvaneWitness(str(tmp_path / "w.db"), str(tmp_path / "absent.key"))


def test_a_held_head_swapped_for_another_signed_head_is_not_trusted(setup, tmp_path):
    """A writer of the witness file who swaps the held head for another head
    the gate did sign (an older one the witness never saw, one of another
    tenant) must not get a head cosigned that does not extend the held one."""
    gate, witness, wkey, path = setup
    common = grow(gate, 3)  # the witness never sees this one
    twin_path = str(tmp_path / "twin.db")
    with sqlite3.connect(gate.db_path) as src, sqlite3.connect(twin_path) as dst:
        src.backup(dst)
    witness.add_tree_head(grow(gate, 2), gate.key.public, "{}")
    other = grow(gate, 1, "globex")
    twin = Gate.__new__(Gate)
    twin.key, twin.db_path, twin.keyfile = gate.key, twin_path, gate.keyfile
    twin.ddb = m.OrvaneDDB(twin_path, gate.keyfile)
    fork = grow(twin, 4)  # size 7: extends the head of size 3, not the held one of size 5
    proof = twin.ddb.prove_consistency(TENANT, 3, 7)
    assert json.loads(m.verify_consistency(common, fork, gate.key.public, proof))["status"] == "VERIFIED"
    before = held(path)
    for swapped in (common, other):
        with sqlite3.connect(path) as conn:
            conn.execute("UPDATE witness_heads SET note = ?", (swapped,))
        with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_STORE_INVALID: the held tree head of origin "):
            witness.add_tree_head(fork, gate.key.public, proof)
        assert json.loads(witness.split_views()) == []
        with sqlite3.connect(path) as conn:
            assert conn.execute("SELECT note FROM witness_heads").fetchall() == [(swapped,)]
    # Put back, the held head refuses the fork and keeps the evidence.
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE witness_heads SET note = ?", (before[0][2],))
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_SPLIT_VIEW: "):
        witness.add_tree_head(fork, gate.key.public, twin.ddb.prove_consistency(TENANT, 5, 7))


def test_a_witness_file_without_cosigned_heads_refuses_its_held_heads(tmp_path):
    gate = Gate(tmp_path)
    wkey = Key()
    path = str(tmp_path / "old-witness.db")
    first = grow(gate, 2)
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE witness_heads (origin TEXT PRIMARY KEY, public_key TEXT NOT NULL, "
                     "tree_size INTEGER NOT NULL, root_hash TEXT NOT NULL, note TEXT NOT NULL, "
                     "accepted_at INTEGER NOT NULL)")
        conn.execute("INSERT INTO witness_heads VALUES (?, ?, 2, '', ?, 0)",
                     (th.origin(gate.key.public, TENANT), gate.key.public, first))
    witness = m.OrvaneWitness(path, wkey.write(tmp_path / "witness.key"))
    second = grow(gate, 1)
    with pytest.raises(RuntimeError, match="^ORVANE_WITNESS_STORE_INVALID: "):
        witness.add_tree_head(second, gate.key.public, gate.ddb.prove_consistency(TENANT, 2, 3))
    # Another log is held, and later heads of it are cosigned, as in a new file.
    witness.add_tree_head(grow(gate, 1, "globex"), gate.key.public, "{}")
    later = grow(gate, 2, "globex")
    check_cosignature(witness.add_tree_head(later, gate.key.public, gate.ddb.prove_consistency("globex", 1, 3)),
                      later, wkey)
