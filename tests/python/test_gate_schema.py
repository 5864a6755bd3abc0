"""Opening a gate database creates every table and migrates older layouts."""
import sqlite3

import _orvane_ddb

TABLES = {"decisions", "agents", "trusted_roots", "action_authorizations", "action_outcomes",
          "policy_bundles", "active_policy_attestations", "identity_lifecycle_events",
          "revoked_authorizations", "event_stream", "checkpoints"}

AGENT_COLUMNS = ["public_key", "alias", "registered_at", "metadata", "status", "can_delegate",
                 "registered_by", "registration_event_id", "registration_event",
                 "registration_signature", "identity_id", "tenant_id", "key_version", "signer_uri",
                 "algorithm", "valid_from", "valid_until", "revoked_at"]


def schema(path):
    with sqlite3.connect(path) as conn:
        return sorted(conn.execute("SELECT type, name, sql FROM sqlite_master").fetchall(),
                      key=lambda r: (r[0], r[1]))


def test_fresh_file_gets_every_table(db_path, keyfile):
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    with sqlite3.connect(db_path) as conn:
        names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        assert TABLES <= names
        assert [r[1] for r in conn.execute("PRAGMA table_info(agents)")] == AGENT_COLUMNS
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        conn.execute("INSERT INTO agents (public_key, alias, registered_at) VALUES ('k', 'a', 5)")
        assert conn.execute("SELECT status FROM agents").fetchone()[0] == "active"
        assert conn.execute("SELECT COUNT(*) FROM trusted_roots").fetchone()[0] == 0
        conn.execute("INSERT INTO trusted_roots VALUES (1, 'a', 1)")
        try:
            conn.execute("INSERT INTO trusted_roots VALUES (2, 'b', 1)")
            raise AssertionError("a second trusted root was accepted")
        except sqlite3.IntegrityError:
            pass


def test_reopening_changes_nothing(db_path, keyfile):
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    before = schema(db_path)
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    assert schema(db_path) == before


def test_old_agents_layout_is_migrated(db_path, keyfile):
    with sqlite3.connect(db_path) as conn:
        conn.execute("CREATE TABLE agents (public_key TEXT PRIMARY KEY, alias TEXT NOT NULL, "
                     "registered_at INTEGER NOT NULL, metadata TEXT NOT NULL DEFAULT '{}')")
        conn.execute("INSERT INTO agents VALUES ('ab', 'old', 77, '{}')")
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    with sqlite3.connect(db_path) as conn:
        conn.row_factory = sqlite3.Row
        row = dict(conn.execute("SELECT * FROM agents").fetchone())
        assert [r[1] for r in conn.execute("PRAGMA table_info(agents)")] == AGENT_COLUMNS
    assert row["status"] == "legacy"
    assert row["can_delegate"] == 0
    assert row["tenant_id"] == "*"
    assert row["key_version"] == 1
    assert row["algorithm"] == "Ed25519"
    assert row["identity_id"] == "ab"
    assert row["signer_uri"] == "local-ed25519://ab"
    assert row["valid_from"] == 77
    assert row["valid_until"] is None


def test_trusted_root_is_backfilled_from_earliest_self_registration(db_path, keyfile):
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    with sqlite3.connect(db_path) as conn:
        conn.execute("INSERT INTO agents (public_key, alias, registered_at, registered_by) "
                     "VALUES ('late', 'l', 20, 'late'), ('early', 'e', 10, 'early'), ('other', 'o', 1, 'x')")
    _orvane_ddb.OrvaneDDB(db_path, keyfile)
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("SELECT id, public_key, established_at FROM trusted_roots").fetchall() == [
            (1, "early", 10)]
