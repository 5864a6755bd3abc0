"""Identity resolution over the signed documents an evidence file carries.

Whether a key spoke for a valid identity at a time is re-derived from the
key's signed registration, every signed lifecycle event of its identity, the
chain of registrars back to the trusted root, and the key's validity window.
The trusted root is the key the auditor passes, never something the file says.

A registry is built from the file's documents alone: the first registration
of each key, and the lifecycle envelopes (the first of each event id). A key's
state (active, rotated or revoked, and since when) follows from the last
lifecycle event that ended it.
"""

from .canonical import canonical_bytes, canonical_text, json_equal
from .rules import (canonical_digest, sha256_hex, has_member, is_non_blank, is_uint, member,
                    verify_digest_signature)

REGISTRATION_SCHEMA = "orvane.agent-registration.v1"
LIFECYCLE_SCHEMA = "orvane.identity-lifecycle-event.v1"
INT64_MAX = 2**63 - 1
MAX_PATH_KEYS = 16
MAX_NESTING = 64


class IdentityError(Exception):
    """A defective lifecycle event: resolution fails with this message."""


class Resolved:
    __slots__ = ("tenant_id", "identity_id", "metadata", "active", "can_delegate", "revoked_at")

    def __init__(self, tenant_id, identity_id, metadata, active, can_delegate, revoked_at=None):
        self.tenant_id = tenant_id
        self.identity_id = identity_id
        self.metadata = metadata
        self.active = active
        self.can_delegate = can_delegate
        # effective_at of the verified revocation that ended the key, if any
        self.revoked_at = revoked_at


def _contract(name):
    return "ORVANE_INVALID_CONTRACT: '%s' must be a non-empty string" % name


def _str(document, name):
    value = member(document, name)
    return value if isinstance(value, str) else None


def _or(value, fallback):
    return fallback if value is None else value


def _sort_time(value):
    return value if is_uint(value) and value <= INT64_MAX else 0


def _lifecycle_key(envelope):
    event_id = member(envelope, "event_id")
    return event_id if isinstance(event_id, str) else canonical_text(event_id)


class Registry:
    def __init__(self, registrations, lifecycle_events, trusted_root, stream_events=()):
        self.trusted_root = trusted_root
        # The logged stream events, as a gate's stream table would hold them:
        # the first of each (tenant, sequence number) and of each (tenant, event id).
        self.stream = []
        taken = set()
        for event in stream_events:
            fields = [member(event, n) for n in ("tenant_id", "event_id", "event_type", "payload_hash")]
            sequence = member(event, "sequence_number")
            if not all(isinstance(f, str) for f in fields) or not is_uint(sequence):
                continue
            keys = (("seq", fields[0], sequence), ("id", fields[0], fields[1]))
            if keys[0] in taken or keys[1] in taken:
                continue
            taken.update(keys)
            self.stream.append(fields)
        self.rows = {}
        self.events = {}  # identity id -> envelopes, ordered by effective_at
        seen = set()
        ordered = []
        for envelope in lifecycle_events:
            key = _lifecycle_key(envelope)
            if key in seen:
                continue
            seen.add(key)
            ordered.append(envelope)
        for index, envelope in enumerate(ordered):
            event = member(envelope, "event")
            identity = _str(event, "identity_id")
            if identity is None:
                continue
            self.events.setdefault(identity, []).append(
                (_sort_time(member(event, "effective_at")), index, envelope))
        for entries in self.events.values():
            entries.sort(key=lambda e: (e[0], e[1]))
        for entry in registrations:
            row = self._row(entry)
            if row is not None and row["public_key"] not in self.rows:
                self.rows[row["public_key"]] = row

    def _ending(self, identity, key):
        """The last lifecycle event (unverified) that ended the key."""
        ending = None
        for effective_at, _, envelope in self.events.get(identity, []):
            event = member(envelope, "event")
            kind = _str(event, "event_type")
            if kind == "ROTATE" and _str(event, "previous_public_key") == key:
                ending = ("rotated", effective_at)
            elif kind == "REVOKE" and _str(event, "public_key") == key:
                ending = ("revoked", effective_at)
        return ending

    def _row(self, entry):
        """The key record a registration entry stands for, as the gate stores it."""
        registration = member(entry, "registration")
        key = _str(registration, "agent_id")
        if key is None:
            return None
        metadata = member(registration, "metadata") if has_member(registration, "metadata") else {}
        registered_at = member(registration, "registered_at")
        registered_at = registered_at if is_uint(registered_at) else 0
        identity = _str(registration, "identity_id")
        identity = key if identity is None else identity
        signer = member(registration, "signer")
        version = member(registration, "key_version")
        can_delegate = member(registration, "can_delegate")
        row = {
            "public_key": key,
            "alias": _str(registration, "alias") or "",
            "registered_at": registered_at,
            "metadata": canonical_text(metadata),
            "status": "active",
            "can_delegate": can_delegate is True,
            "registered_by": _str(registration, "registered_by") or "",
            "registration_event_id": _str(entry, "event_id") or "",
            "registration_event": registration,
            "registration_signature": _str(entry, "signature") or "",
            "identity_id": identity,
            "tenant_id": _or(_str(registration, "tenant_id"), "*"),
            "valid_from": registered_at,
            "valid_until": None,
            "revoked_at": None,
            "key_version": version if is_uint(version) else 1,
            "signer_uri": _str(signer, "signer_uri") or "",
            "algorithm": _or(_str(signer, "algorithm"), "Ed25519"),
        }
        ending = self._ending(identity, key)
        if ending is not None:
            row["status"], row["valid_until"] = ending
            if ending[0] == "revoked":
                row["revoked_at"] = ending[1]
        return row

    # -- resolution --------------------------------------------------------

    def resolve(self, key, at):
        """A Resolved, None for no identity; raises IdentityError."""
        ctx = {"depth": 0, "exhausted": False}
        return self._resolve(ctx, key, at, [])

    def _resolve(self, ctx, key, at, visited):
        if ctx["exhausted"]:
            return None
        if ctx["depth"] >= MAX_NESTING:
            ctx["exhausted"] = True
            return None
        if len(visited) > MAX_PATH_KEYS or key in visited:
            return None
        visited.append(key)
        ctx["depth"] += 1
        try:
            return self._resolve_row(ctx, key, at, visited)
        finally:
            ctx["depth"] -= 1

    def _resolve_row(self, ctx, key, at, visited):
        row = self.rows.get(key)
        if row is None:
            return None
        if not row["registration_event_id"] or not row["registration_signature"] or not row["registered_by"]:
            return None
        event = row["registration_event"]
        if canonical_digest(event) != row["registration_event_id"]:
            return None
        if not verify_digest_signature(row["registered_by"], row["registration_event_id"],
                                       row["registration_signature"]):
            return None
        if not _event_matches_row(event, key, row):
            return None
        ending = self._replay(ctx, row["identity_id"], row["tenant_id"], key)
        if ctx["exhausted"]:
            return None
        active = _activity(row, ending, at)
        if active is None:
            return None
        # The root's own key must be its self-registration.
        if key == self.trusted_root and row["registered_by"] != key:
            return None
        if key != row["registered_by"]:
            registrar = self._resolve(ctx, row["registered_by"], row["registered_at"], visited)
            if ctx["exhausted"] or registrar is None:
                return None
            if not registrar.active or not registrar.can_delegate or (
                    registrar.tenant_id != "*" and registrar.tenant_id != row["tenant_id"]):
                return None
        elif key != self.trusted_root:
            return None
        revoked_at = ending[1] if ending is not None and not ending[0] else None
        return Resolved(row["tenant_id"], row["identity_id"], row["metadata"], active, row["can_delegate"],
                        revoked_at)

    def _check_stream_names(self, tenant, identity, replayed):
        """Every lifecycle event the identity's stream names must be among those replayed,
        as the same text: a dropped revocation must not undo itself."""
        prefix = identity + ":"
        for event_tenant, event_id, event_type, payload_hash in self.stream:
            if event_tenant != tenant or not event_id.startswith(prefix) or event_id == prefix:
                continue
            found = replayed.get(event_id[len(prefix):])
            if found is None:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: a lifecycle event named by the event stream "
                                    "is missing")
            if event_type != ("identity.rotated" if found[0] else "identity.revoked") or payload_hash != found[1]:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: lifecycle event does not match the event stream")

    def _replay(self, ctx, identity, tenant, key):
        """Checks every lifecycle event of the identity; the last one that ended the key."""
        ending = None
        replayed = {}
        for _, _, envelope in self.events.get(identity, []):
            event = member(envelope, "event")
            if not isinstance(envelope, dict) or "event" not in envelope:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: event is missing")
            if (not isinstance(event, dict) or not event or _str(event, "schema_version") != LIFECYCLE_SCHEMA
                    or _str(event, "identity_id") != identity):
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: schema or identity mismatch")
            event_id = member(envelope, "event_id")
            if not is_non_blank(event_id):
                raise IdentityError(_contract("event_id"))
            signature = member(envelope, "signature")
            if not is_non_blank(signature):
                raise IdentityError(_contract("signature"))
            if canonical_digest(event) != event_id:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: digest mismatch")
            authority = member(event, "authorized_by")
            if not is_non_blank(authority):
                raise IdentityError(_contract("authorized_by"))
            if not verify_digest_signature(authority, event_id, signature):
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: signature mismatch")
            if _str(member(event, "signer"), "public_key") != authority:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: signer metadata mismatch")
            effective_at = member(event, "effective_at")
            if not is_uint(effective_at):
                raise IdentityError("ORVANE_INVALID_CONTRACT: 'effective_at' must be an unsigned integer")
            resolved = self._resolve(ctx, authority, effective_at, [])
            if ctx["exhausted"]:
                return None
            if resolved is None or not resolved.active or not resolved.can_delegate:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: signing authority was not valid")
            tenant = member(event, "tenant_id")
            if not is_non_blank(tenant):
                raise IdentityError(_contract("tenant_id"))
            if resolved.tenant_id != "*" and resolved.tenant_id != tenant:
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: tenant delegation mismatch")
            kind = member(event, "event_type")
            if not is_non_blank(kind):
                raise IdentityError(_contract("event_type"))
            if kind not in ("ROTATE", "REVOKE"):
                raise IdentityError("ORVANE_IDENTITY_EVENT_INVALID: unknown event type")
            subject = _str(event, "previous_public_key" if kind == "ROTATE" else "public_key")
            if subject == key:
                ending = (kind == "ROTATE", effective_at)
            replayed.setdefault(event_id, (kind == "ROTATE", sha256_hex(canonical_bytes(envelope))))
        self._check_stream_names(tenant, identity, replayed)
        return ending


def _string_equals(event, name, expected):
    value = member(event, name)
    return is_non_blank(value) and value == expected


def _event_matches_row(event, key, row):
    if not isinstance(event, dict):
        return False
    if not _string_equals(event, "schema_version", REGISTRATION_SCHEMA):
        return False
    if not (_string_equals(event, "agent_id", key) and _string_equals(event, "alias", row["alias"])
            and _string_equals(event, "registered_by", row["registered_by"])):
        return False
    registered_at = member(event, "registered_at")
    if not is_uint(registered_at) or registered_at != row["registered_at"]:
        return False
    if "metadata" not in event:
        return False
    from .canonical import parse

    if not json_equal(event["metadata"], parse(row["metadata"])):
        return False
    can_delegate = member(event, "can_delegate")
    if not isinstance(can_delegate, bool) or can_delegate != row["can_delegate"]:
        return False
    for name in ("identity_id", "tenant_id"):
        value = _str(event, name)
        if value is not None and value != row[name]:
            return False
    version = member(event, "key_version")
    if is_uint(version) and version != row["key_version"]:
        return False
    if "signer" in event:
        signer = event["signer"]
        if not isinstance(signer, dict):
            return False
        if (_str(signer, "signer_uri") != row["signer_uri"] or _str(signer, "algorithm") != row["algorithm"]
                or _str(signer, "public_key") != key):
            return False
    return True


def _activity(row, ending, at):
    """The key's activity at `at`, or None when its state disagrees with the events."""
    if ending is None:
        if row["status"] != "active" or row["valid_until"] is not None or row["revoked_at"] is not None:
            return None
        return at >= row["valid_from"]
    rotate, effective_at = ending
    if row["status"] != ("rotated" if rotate else "revoked"):
        return None
    if row["valid_until"] is None or row["valid_until"] != effective_at:
        return None
    if not rotate and (row["revoked_at"] is None or row["revoked_at"] != row["valid_until"]):
        return None
    return row["valid_from"] <= at < row["valid_until"] and (row["revoked_at"] is None or at < row["revoked_at"])
