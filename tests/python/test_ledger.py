"""The decision ledger as Python sees it: recording, validation and queries.

Ids are recomputed with hashlib and signatures checked with PyNaCl; stored rows
are read and tampered with through sqlite3.
"""
import hashlib
import json
import os
import sqlite3

import pytest

import _orvane_ddb
from ledger_helpers import (COLUMNS, decision_digest, execute, make_keys, preimage, register_actor,
                            result, rows, verify_row)

EMPTY = "Database is empty. Use genesis=true to record the first decision."


class Ledger:
    def __init__(self, tmp_path, with_key=True):
        self.db_path = str(tmp_path / "gate.db")
        self.keyfile = str(tmp_path / "gate.key")
        self.actor = self.signing_key = None
        if with_key:
            self.actor, self.signing_key = make_keys(self.keyfile)
        self.ddb = _orvane_ddb.OrvaneDDB(self.db_path, self.keyfile)

    def rows(self, order="ORDER BY causal_depth ASC, timestamp ASC"):
        return rows(self.db_path, order)

    def count(self):
        return len(self.rows())

    def forge(self, parent_id, depth, timestamp, payload="{}", rules="[]", actor=None,
              signature=None):
        """Inserts a row whose id matches its content; signed unless told otherwise."""
        actor = self.actor if actor is None else actor
        text = preimage(parent_id, actor, timestamp, payload, rules)
        digest = hashlib.sha256(text.encode()).digest()
        if signature is None:
            signature = self.signing_key.sign(digest).signature.hex()
        execute(self.db_path, f"INSERT INTO decisions ({', '.join(COLUMNS)}) VALUES (?,?,?,?,?,?,?,?)",
                (digest.hex(), parent_id, depth, actor, timestamp, payload, rules, signature))
        return digest.hex()

    def validate_errors(self):
        with pytest.raises(RuntimeError) as info:
            self.ddb.validate()
        report = json.loads(info.value.args[0])
        assert report["status"] == "invalid"
        return report


@pytest.fixture
def ledger(tmp_path):
    return Ledger(tmp_path)


@pytest.fixture
def chain(ledger):
    """A genesis and two decisions, actor registered."""
    ledger.ddb.record('{"n":0}', "[]", genesis=True)
    ledger.ddb.record('{"n":1}', '["r1"]')
    ledger.ddb.record('{"n":2}', '["r2"]')
    register_actor(ledger.db_path, ledger.actor)
    return ledger


# --- recording -------------------------------------------------------------

def test_empty_ledger_needs_genesis(ledger):
    with pytest.raises(PermissionError, match="^" + EMPTY.replace(".", r"\.") + "$"):
        ledger.ddb.record("{}", "[]")
    with pytest.raises(PermissionError, match="^Database is empty"):
        ledger.ddb.record_batch([("{}", "[]")])
    assert ledger.count() == 0


def test_chain_of_records(ledger):
    out = [ledger.ddb.record('{"a":1}', "[]", genesis=True)]
    for i in range(3):
        out.append(ledger.ddb.record(json.dumps({"step": i}), '["rule"]'))
    stored = ledger.rows()
    assert [r["causal_depth"] for r in stored] == [0, 1, 2, 3]
    assert stored[0]["parent_id"] == "genesis"
    for parent, child in zip(stored, stored[1:]):
        assert child["parent_id"] == parent["id"]
        assert child["timestamp"] >= parent["timestamp"]
    for row, text in zip(stored, out):
        assert text == result("recorded", row["id"])
        assert row["actor_id"] == ledger.actor
        verify_row(row)
    with pytest.raises(PermissionError, match="^A genesis decision already exists in the database.$"):
        ledger.ddb.record("{}", "[]", genesis=True)
    assert ledger.rows() == stored


def test_digest_embeds_canonical_payload(ledger):
    ledger.ddb.record('{"b":1,"a":2}', ' [ "x" ] ', genesis=True)
    (row,) = ledger.rows()
    assert row["payload"] == '{"b":1,"a":2}' and row["rules_evaluated"] == ' [ "x" ] '
    # Another spelling of the same value gives the same id.
    same = dict(row, payload='{ "a" : 2, "b" : 1 }', rules_evaluated='["\\u0078"]')
    assert decision_digest(same).hex() == row["id"]
    verify_row(row)


@pytest.mark.parametrize("payload", ["5", "null", '"text"', "-0", "1e2", '{"a":[1,{"b":null}]}'])
def test_any_json_value_is_a_payload(ledger, payload):
    ledger.ddb.record(payload, "{}", genesis=True)
    verify_row(ledger.rows()[0])


def test_payload_and_rules_checked_before_the_key(tmp_path):
    ledger = Ledger(tmp_path, with_key=False)
    with pytest.raises(PermissionError, match="^Payload is not valid JSON: .+"):
        ledger.ddb.record("", "[]", genesis=True)
    with pytest.raises(PermissionError, match="^Rules is not valid JSON: .+"):
        ledger.ddb.record("{}", "[", genesis=True)
    with pytest.raises(PermissionError, match="^Failed to read key file '%s': .+" % ledger.keyfile):
        ledger.ddb.record("{}", "[]", genesis=True)
    # An empty batch loads no key.
    assert ledger.ddb.record_batch([]) == result("recorded_batch", "GENESIS")
    # Once the key file exists the next call succeeds, and the key is kept.
    ledger.actor, _ = make_keys(ledger.keyfile)
    ledger.ddb.record("{}", "[]", genesis=True)
    make_keys(ledger.keyfile)
    ledger.ddb.record("{}", "[]")
    assert {r["actor_id"] for r in ledger.rows()} == {ledger.actor}


def test_batch(ledger):
    assert ledger.ddb.record_batch([]) == result("recorded_batch", "GENESIS")
    assert ledger.ddb.record_batch([], genesis=True) == result("recorded_batch", "GENESIS")
    assert ledger.count() == 0
    out = ledger.ddb.record_batch([('{"i":0}', "[]"), ("1", "[1]"), ('"two"', "{}")], genesis=True)
    stored = ledger.rows()
    assert [r["causal_depth"] for r in stored] == [0, 1, 2]
    assert [r["parent_id"] for r in stored] == ["genesis", stored[0]["id"], stored[1]["id"]]
    assert out == result("recorded_batch", stored[2]["id"])
    for row in stored:
        verify_row(row)
    ledger.ddb.record_batch([("{}", "[]")])
    assert ledger.rows()[-1]["parent_id"] == stored[2]["id"]
    assert ledger.ddb.record_batch([]) == result("recorded_batch", ledger.rows()[-1]["id"])


@pytest.mark.parametrize("bad, message", [
    (("{}", "[}"), "Rules is not valid JSON: "),
    (("{", "[]"), "Payload is not valid JSON: "),
])
def test_batch_with_bad_element_stores_nothing(ledger, bad, message):
    ledger.ddb.record("{}", "[]", genesis=True)
    before = ledger.rows()
    with pytest.raises(PermissionError) as info:
        ledger.ddb.record_batch([("{}", "[]"), bad, ("{}", "[]")])
    assert info.value.args[0].startswith(message)
    assert ledger.rows() == before
    ledger.ddb.record("{}", "[]")  # the connection left no transaction open
    assert ledger.count() == 2


def test_refused_insert_rolls_back(ledger):
    ledger.ddb.record("{}", "[]", genesis=True)
    execute(ledger.db_path, "CREATE TRIGGER refuse BEFORE INSERT ON decisions "
                            "WHEN NEW.payload = '\"boom\"' BEGIN SELECT RAISE(ABORT, 'refused'); END")
    before = ledger.rows()
    with pytest.raises(PermissionError, match="^Failed to insert decision into SQLite: .*refused"):
        ledger.ddb.record('"boom"', "[]")
    with pytest.raises(PermissionError, match="^Failed to insert decision into SQLite: .*refused"):
        ledger.ddb.record_batch([("1", "[]"), ('"boom"', "[]")])
    assert ledger.rows() == before
    ledger.ddb.record_batch([("1", "[]"), ("2", "[]")])
    assert ledger.count() == 3


def test_write_lock_held_elsewhere(ledger):
    ledger.ddb.record("{}", "[]", genesis=True)
    other = sqlite3.connect(ledger.db_path, isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(PermissionError, match="^Failed to begin transaction: .+"):
            ledger.ddb.record("{}", "[]")
    finally:
        other.execute("ROLLBACK")
        other.close()
    ledger.ddb.record("{}", "[]")
    assert ledger.count() == 2


def test_genesis_allowed_when_no_genesis_row(ledger):
    ledger.ddb.record_batch([("{}", "[]")] * 3, genesis=True)
    execute(ledger.db_path, "UPDATE decisions SET parent_id = 'elsewhere' WHERE parent_id = 'genesis'")
    ledger.ddb.record('{"again":true}', "[]", genesis=True)
    fresh = [r for r in ledger.rows() if r["parent_id"] == "genesis"]
    assert len(fresh) == 1 and fresh[0]["causal_depth"] == 0
    verify_row(fresh[0])


# --- validation ------------------------------------------------------------

def test_validate_reports(ledger):
    assert ledger.ddb.validate() == '{"message":"Database is empty.","status":"valid","total_records":0}'
    ledger.ddb.record_batch([("{}", "[]")] * 4, genesis=True)
    warning = f"Actor '{ledger.actor}' is not registered in the agents table."
    assert ledger.ddb.validate() == (
        '{"message":"All decisions verified successfully.","status":"valid","total_records":4,'
        f'"unique_actors":1,"warnings":["{warning}"]}}')
    register_actor(ledger.db_path, ledger.actor)
    assert ledger.ddb.validate() == (
        '{"message":"All decisions verified successfully.","status":"valid","total_records":4,'
        '"unique_actors":1}')


def test_changed_payload(chain):
    row = chain.rows()[1]
    execute(chain.db_path, "UPDATE decisions SET payload = ? WHERE id = ?", ('{ "n" : 1 }', row["id"]))
    assert json.loads(chain.ddb.validate())["status"] == "valid"
    execute(chain.db_path, "UPDATE decisions SET payload = ? WHERE id = ?", ('{"n":7}', row["id"]))
    computed = decision_digest(dict(row, payload='{"n":7}')).hex()
    report = chain.validate_errors()
    assert report == {"errors": [f"Decision '{row['id']}' has invalid hash. Computed: '{computed}', "
                                 f"Recorded: '{row['id']}'"], "status": "invalid", "total_records": 3}
    execute(chain.db_path, "UPDATE decisions SET payload = 'not json' WHERE id = ?", (row["id"],))
    (error,) = chain.validate_errors()["errors"]
    assert error.startswith(f"Decision '{row['id']}' hash calculation error: Invalid payload JSON: ")
    execute(chain.db_path, "UPDATE decisions SET payload = '{}', rules_evaluated = '[' WHERE id = ?",
            (row["id"],))
    (error,) = chain.validate_errors()["errors"]
    assert error.startswith(f"Decision '{row['id']}' hash calculation error: Invalid rules JSON: ")


def test_changed_signature(chain):
    row = chain.rows()[1]
    sig = row["signature"]
    flipped = sig[:10] + ("0" if sig[10] != "0" else "1") + sig[11:]
    execute(chain.db_path, "UPDATE decisions SET signature = ? WHERE id = ?", (flipped, row["id"]))
    assert chain.validate_errors()["errors"] == [
        f"Decision '{row['id']}' signature verification failed: "
        "signature error: Verification equation was not satisfied"]


def _not_a_point():
    """32 bytes that no Ed25519 point encodes (x^2 has no square root)."""
    p = 2**255 - 19
    d = -121665 * pow(121666, p - 2, p) % p
    for y in range(2, 1000):
        u, v = (y * y - 1) % p, (d * y * y + 1) % p
        x2 = u * pow(v, p - 2, p) % p
        if x2 and pow(x2, (p - 1) // 2, p) != 1:
            return y.to_bytes(32, "little").hex()
    raise AssertionError("no candidate")


@pytest.mark.parametrize("actor, signature, error", [
    ("zz" * 32, None, "Invalid actor_id: Invalid character 'z' at position 0"),
    ("abc", None, "Invalid actor_id: Odd number of digits"),
    ("ab" * 31, None, "Invalid public key size"),
    (_not_a_point(), None, "Invalid public key: "),
    (None, "xyz", "Invalid signature hex: Odd number of digits"),
    (None, "ab" * 63, "Invalid signature size"),
])
def test_malformed_actor_or_signature(chain, actor, signature, error):
    last = chain.rows()[-1]
    chain.forge(last["id"], 3, last["timestamp"] + 1, actor=actor,
                signature="00" * 64 if signature is None else signature)
    report = chain.validate_errors()
    (message,) = report["errors"]
    assert message.startswith(error)
    if actor is not None:
        # The bogus actor is counted and warned about like any other.
        assert f"Actor '{actor}' is not registered in the agents table." in report["warnings"]


def test_changed_depth_cascades(chain):
    stored = chain.rows()
    execute(chain.db_path, "UPDATE decisions SET causal_depth = 5 WHERE id = ?", (stored[1]["id"],))
    report = chain.validate_errors()
    assert report["errors"] == [
        f"Decision '{stored[2]['id']}' causal depth mismatch. Expected '6', found '2'",
        f"Decision '{stored[1]['id']}' causal depth mismatch. Expected '1', found '5'",
    ]  # ledger order: depth 2 now sorts before depth 5


def test_genesis_rules(chain):
    stored = chain.rows()
    execute(chain.db_path, "UPDATE decisions SET causal_depth = 1 WHERE id = ?", (stored[0]["id"],))
    assert chain.validate_errors()["errors"] == [
        f"Genesis decision '{stored[0]['id']}' must have causal_depth 0",
        f"Decision '{stored[1]['id']}' causal depth mismatch. Expected '2', found '1'"]
    execute(chain.db_path, "UPDATE decisions SET causal_depth = 0 WHERE id = ?", (stored[0]["id"],))
    chain.forge("genesis", 0, stored[0]["timestamp"])
    assert chain.validate_errors()["errors"] == [
        "Multiple genesis decisions found (2). Only one is allowed."]
    execute(chain.db_path, "DELETE FROM decisions WHERE parent_id = 'genesis'")
    assert chain.validate_errors()["errors"] == [
        "No genesis decision found in the ledger.",
        f"Decision '{stored[1]['id']}' orphan node. Parent '{stored[0]['id']}' missing"]


def test_parent_time(chain):
    stored = chain.rows()
    parent, last = stored[1], stored[2]
    execute(chain.db_path, "DELETE FROM decisions WHERE id = ?", (last["id"],))
    same = chain.forge(parent["id"], 2, parent["timestamp"], payload=last["payload"])
    assert json.loads(chain.ddb.validate())["status"] == "valid"
    execute(chain.db_path, "DELETE FROM decisions WHERE id = ?", (same,))
    early = chain.forge(parent["id"], 2, parent["timestamp"] - 1)
    assert chain.validate_errors()["errors"] == [
        f"Decision '{early}' temporal anomaly. Precedes parent '{parent['id']}'"]


@pytest.mark.parametrize("column, value", [("timestamp", -1), ("causal_depth", -3),
                                           ("timestamp", "soon"), ("payload", b"{}")])
def test_unreadable_row(chain, column, value):
    execute(chain.db_path, f"UPDATE decisions SET {column} = ? WHERE causal_depth = 1", (value,))
    for call in (chain.ddb.validate, chain.ddb.export, lambda: chain.ddb.list(10, 0)):
        with pytest.raises(RuntimeError, match="^Error reading record: .+"):
            call()


def test_large_ledger_keeps_error_order(ledger):
    ledger.ddb.record_batch([(json.dumps({"i": i}), "[]") for i in range(700)], genesis=True)
    register_actor(ledger.db_path, ledger.actor)
    assert json.loads(ledger.ddb.validate())["total_records"] == 700
    stored = ledger.rows()
    for index in (650, 90):
        execute(ledger.db_path, "UPDATE decisions SET signature = ? WHERE id = ?",
                ("00" * 64, stored[index]["id"]))
    errors = ledger.validate_errors()["errors"]
    assert [e.split("'")[1] for e in errors] == [stored[90]["id"], stored[650]["id"]]


# --- queries ---------------------------------------------------------------

def test_queries_on_empty_ledger(ledger):
    assert ledger.ddb.list() == "[]" and ledger.ddb.export() == "[]"
    assert ledger.ddb.count() == 0


def test_listing(chain):
    stored = chain.rows()
    pairs = json.loads(chain.ddb.list(2), object_pairs_hook=lambda items: items)
    assert [[k for k, _ in obj] for obj in pairs] == [list(COLUMNS)] * 2
    assert [dict(obj) for obj in pairs] == [stored[2], stored[1]]
    assert json.loads(chain.ddb.list(offset=2)) == [stored[0]]
    assert json.loads(chain.ddb.list(10, 0)) == stored[::-1]
    assert chain.ddb.list(0) == "[]" and chain.ddb.list(5, 3) == "[]"
    assert chain.ddb.list(4294967295, 4294967295) == "[]"
    assert json.loads(chain.ddb.export()) == stored
    assert chain.ddb.count() == 3 == len(json.loads(chain.ddb.export()))


def test_deep_pages_are_the_pages_of_the_plain_query(ledger):
    """Pages far from the newest decision are found by depth; they must stay the
    pages of the plain ORDER BY ... LIMIT ... OFFSET query through the gate's own
    appends and through edits made by another connection."""
    plain = ("SELECT id FROM decisions ORDER BY causal_depth DESC, timestamp DESC, id LIMIT ?1 OFFSET ?2")

    def check(offsets, limit=7):
        with sqlite3.connect(ledger.db_path) as conn:
            for offset in offsets:
                expected = [r[0] for r in conn.execute(plain, (limit, offset))]
                got = [d["id"] for d in json.loads(ledger.ddb.list(limit, offset))]
                assert got == expected, offset

    ledger.ddb.record_batch([('{"n":%d}' % i, "[]") for i in range(600)], genesis=True)
    check([256, 300, 593, 599, 600, 10_000])
    ledger.ddb.record('{"n":600}', "[]")
    ledger.ddb.record_batch([('{"n":%d}' % i, "[]") for i in range(601, 700)])
    check([256, 257, 650, 699, 700])
    # Outside edits: depths shared by several decisions, a hole, a second root.
    top = ledger.rows()[-1]
    ledger.forge(top["id"], 700, top["timestamp"] + 1)
    ledger.forge(top["id"], 700, top["timestamp"] + 2)
    execute(ledger.db_path, "DELETE FROM decisions WHERE causal_depth BETWEEN 300 AND 310", ())
    ledger.forge("genesis", 0, 1)
    check(range(256, 700, 37))
    ledger.ddb.record('{"n":"after"}', "[]")
    check([256, 400, 688, 689, 690])
    # A depth that is not an integer (it sorts before every number): listed the plain way.
    execute(ledger.db_path, "UPDATE decisions SET causal_depth = 'x' WHERE causal_depth = 5", ())
    check(range(256, 700, 37))


def test_listing_keeps_caller_text(ledger):
    ledger.ddb.record('{"a": 1}', '["\u00e9\\n"]', genesis=True)
    text = ledger.ddb.export()
    assert '"payload":"{\\"a\\": 1}"' in text
    assert '"rules_evaluated":"[\\"\u00e9\\\\n\\"]"' in text
    assert " " not in text.replace('{\\"a\\": 1}', "")


# --- property: any text either records with its documented id or changes nothing


def test_random_payload_texts(tmp_path):
    hypothesis = pytest.importorskip("hypothesis")
    from hypothesis import HealthCheck, given, settings, strategies as st

    from ledger_helpers import NotJson, strict_loads

    ledger = Ledger(tmp_path)
    ledger.ddb.record("{}", "[]", genesis=True)
    state = {"count": 1}

    scalars = (st.none() | st.booleans() | st.integers(-(2**70), 2**70)
               | st.floats(allow_nan=False, allow_infinity=False, width=64) | st.text(max_size=8))
    values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                          | st.dictionaries(st.text(max_size=4), inner, max_size=4), max_leaves=12)

    @st.composite
    def spelled(draw):
        return json.dumps(draw(values), ensure_ascii=draw(st.booleans()),
                          indent=draw(st.none() | st.integers(0, 2)),
                          sort_keys=draw(st.booleans()))

    @st.composite
    def mutated(draw):
        text = draw(spelled())
        for _ in range(draw(st.integers(1, 3))):
            pos = draw(st.integers(0, len(text)))
            kind = draw(st.sampled_from(["drop", "insert", "cut"]))
            if kind == "drop":
                text = text[:pos] + text[pos + 1:]
            elif kind == "insert":
                text = text[:pos] + draw(st.sampled_from(list('{}[]",:.-+eE0\\u \t\x01xn'))) + text[pos:]
            else:
                text = text[:pos]
        return text

    deep = st.integers(120, 135).map(lambda n: "[" * n + "]" * n)

    @settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
    @given(spelled() | mutated() | st.text(max_size=12) | deep)
    def check(text):
        try:
            expected_valid = True
            strict_loads(text)
        except NotJson:
            expected_valid = False
        try:
            out = ledger.ddb.record(text, "[]")
        except PermissionError as exc:
            assert exc.args[0].startswith("Payload is not valid JSON: "), exc.args[0]
            assert not expected_valid, text
            assert ledger.count() == state["count"]
            return
        assert expected_valid, text
        state["count"] += 1
        row = ledger.rows("ORDER BY causal_depth DESC LIMIT 1")[0]
        assert row["payload"] == text
        assert out == result("recorded", row["id"])
        verify_row(row)

    check()
