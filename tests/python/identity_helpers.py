"""Helpers for the identity tests: key files, independent signing of
registration rows and lifecycle envelopes, and direct database access."""

import hashlib
import json
import sqlite3

import nacl.signing

import _orvane_ddb

REGISTRATION_SCHEMA = "orvane.agent-registration.v1"
LIFECYCLE_SCHEMA = "orvane.identity-lifecycle-event.v1"


def canonical(value):
    """Canonical JSON for the ASCII documents these tests build."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def digest(value):
    return hashlib.sha256(canonical(value).encode()).hexdigest()


class Key:
    def __init__(self, seed=None):
        self.signing = nacl.signing.SigningKey(seed) if seed else nacl.signing.SigningKey.generate()
        self.public = self.signing.verify_key.encode().hex()

    def sign_digest(self, digest_hex):
        return self.signing.sign(bytes.fromhex(digest_hex)).signature.hex()

    def write(self, path):
        text = '{\n  "public_key": "%s",\n  "private_key": "%s"\n}' % (
            self.public,
            bytes(self.signing).hex(),
        )
        path.write_text(text)
        return str(path)


def verify_digest(public_hex, digest_hex, signature_hex):
    nacl.signing.VerifyKey(bytes.fromhex(public_hex)).verify(
        bytes.fromhex(digest_hex), bytes.fromhex(signature_hex)
    )


class Gate:
    """A gate database with its key file, bootstrapped or not."""

    def __init__(self, tmp_path, bootstrap=True, metadata="{}"):
        self.key = Key()
        self.db_path = str(tmp_path / "gate.db")
        self.keyfile = self.key.write(tmp_path / "gate.key")
        self.ddb = _orvane_ddb.OrvaneDDB(self.db_path, self.keyfile)
        if bootstrap:
            self.ddb.register_agent(self.key.public, "gate", metadata)

    def sql(self):
        return sqlite3.connect(self.db_path, isolation_level=None)

    def query(self, statement, *args):
        with self.sql() as conn:
            return conn.execute(statement, args).fetchall()

    def execute(self, statement, *args):
        conn = self.sql()
        try:
            conn.execute(statement, args)
        finally:
            conn.close()

    def register(self, alias="agent", metadata=None):
        key = Key()
        self.ddb.register_agent(key.public, alias, canonical(metadata or {}))
        return key

    def record(self, public_key):
        return json.loads(self.ddb.get_agent(public_key))


def insert_signed_agent(gate, key, registrar, at, *, tenant="*", can_delegate=False, alias="hand",
                        identity=None, valid_from=None):
    """Writes an agents row whose registration `registrar` signed, as the gate would."""
    identity = identity or key.public
    event = {
        "schema_version": REGISTRATION_SCHEMA,
        "agent_id": key.public,
        "identity_id": identity,
        "alias": alias,
        "metadata": {},
        "status": "active",
        "can_delegate": can_delegate,
        "registered_at": at,
        "registered_by": registrar.public,
        "tenant_id": tenant,
        "key_version": 1,
        "signer": {
            "signer_uri": "local-ed25519://" + key.public,
            "key_version": "1",
            "algorithm": "Ed25519",
            "public_key": key.public,
        },
    }
    event_id = digest(event)
    gate.execute(
        "INSERT INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, registered_by, "
        "registration_event_id, registration_event, registration_signature, identity_id, tenant_id, key_version, "
        "signer_uri, algorithm, valid_from) VALUES (?, ?, ?, '{}', 'active', ?, ?, ?, ?, ?, ?, ?, 1, ?, 'Ed25519', ?)",
        key.public, alias, at, int(can_delegate), registrar.public, event_id, canonical(event),
        registrar.sign_digest(event_id), identity, tenant, "local-ed25519://" + key.public,
        at if valid_from is None else valid_from,
    )


def insert_lifecycle_event(gate, authority, identity, event_type, public_key, at, tenant="*", **extra):
    """Writes a lifecycle envelope signed by `authority` (nothing else changes)."""
    event = {
        "schema_version": LIFECYCLE_SCHEMA,
        "event_type": event_type,
        "identity_id": identity,
        "tenant_id": tenant,
        "public_key": public_key,
        "effective_at": at,
        "authorized_by": authority.public,
        "signer": {"signer_uri": "local-ed25519://" + authority.public, "key_version": "1",
                   "algorithm": "Ed25519", "public_key": authority.public},
        **extra,
    }
    event_id = digest(event)
    envelope = {"event": event, "event_id": event_id, "signature": authority.sign_digest(event_id)}
    gate.execute(
        "INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, effective_at, "
        "event_json) VALUES (?, ?, ?, ?, ?, ?)",
        event_id, identity, public_key, event_type, at, canonical(envelope),
    )
    return envelope
