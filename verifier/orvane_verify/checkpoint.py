"""Checking an exported event stream against a gate-signed checkpoint.

The checkpoint's signature covers its canonical bytes without `signature`; its
`stream_root_hash` is SHA-256 over the `event_digest` texts of every covered
event, concatenated in sequence order. Each event's `event_digest` is the
digest of the event's canonical form without that member, and each event names
the digest of the one before it (sixty-four "0" for the first).
"""

import hashlib

from .canonical import canonical_bytes
from .rules import ZERO_HASH, hex_bytes, is_uint, member, sha256_hex, verify_signature

RESULT_SCHEMA = "orvane.checkpoint-verification.v1"
UINT_MOD = 2**64


class MalformedInput(ValueError):
    """The inputs cannot be checked at all."""


def _uint(document, name):
    value = member(document, name)
    return value if is_uint(value) else None


def _text(document, name):
    value = member(document, name)
    return value if isinstance(value, str) else ""


def event_digest_of(event):
    body = {k: v for k, v in event.items() if k != "event_digest"} if isinstance(event, dict) else event
    return sha256_hex(canonical_bytes(body))


def verify_checkpoint_stream(checkpoint, stream, trusted_key):
    """The verification result for parsed inputs; raises MalformedInput."""
    if not isinstance(stream, list):
        raise MalformedInput("Event stream must be a JSON array of events")
    checkpoint_id = member(checkpoint, "checkpoint_id")
    checkpoint_id = checkpoint_id if isinstance(checkpoint_id, str) else "unknown"
    tenant = member(checkpoint, "tenant_id")
    if not isinstance(tenant, str):
        raise MalformedInput("Checkpoint missing tenant_id")
    checkpoint_sequence = _uint(checkpoint, "checkpoint_sequence")
    first_sequence = _uint(checkpoint, "first_sequence")
    last_sequence = _uint(checkpoint, "last_sequence") or 0
    root_hash = member(checkpoint, "stream_root_hash")
    if not isinstance(root_hash, str):
        raise MalformedInput("Checkpoint missing stream_root_hash")
    signature = member(checkpoint, "signature")
    if not isinstance(signature, str):
        raise MalformedInput("Checkpoint missing signature")
    signed = canonical_bytes({k: v for k, v in checkpoint.items() if k != "signature"})
    if "signer" not in checkpoint:
        raise MalformedInput("Checkpoint missing signer")
    signer_key = member(checkpoint["signer"], "public_key")
    if not isinstance(signer_key, str):
        raise MalformedInput("Checkpoint signer missing public_key")

    def invalid(verified, code, message):
        return {"schema_version": RESULT_SCHEMA, "status": "INVALID", "checkpoint_id": checkpoint_id,
                "events_verified": verified, "reason_code": code, "message": message}

    if trusted_key is None:
        return invalid(0, "ERR_UNTRUSTED_SIGNER",
                       "Expected trusted signer public key must be provided to verify checkpoint")
    if trusted_key != signer_key:
        return invalid(0, "ERR_UNTRUSTED_SIGNER", "Checkpoint signer %s does not match expected trusted key %s"
                       % (signer_key, trusted_key))
    key = hex_bytes(signer_key)
    if key is None:
        raise MalformedInput("Invalid signer public key hex")
    if len(key) != 32:
        raise MalformedInput("Invalid public key length")
    raw_signature = hex_bytes(signature)
    if raw_signature is None:
        raise MalformedInput("Invalid signature hex")
    if len(raw_signature) != 64:
        raise MalformedInput("Invalid signature length")
    if not verify_signature(signer_key, signed, signature):
        return invalid(0, "ERR_SIGNATURE_INVALID", "Checkpoint Gate signature is mathematically invalid")
    if not stream:
        return invalid(0, "ERR_EMPTY_STREAM", "Event stream is empty but checkpoint declares events")

    expected = first_sequence or 0
    expected_prev = ZERO_HASH if expected == 1 else _text(stream[0], "prev_event_hash")
    running = hashlib.sha256()
    verified = 0
    for index, event in enumerate(stream):
        sequence = _uint(event, "sequence_number") or 0
        event_tenant = _text(event, "tenant_id")
        if event_tenant != tenant:
            return invalid(verified, "ERR_TENANT_MISMATCH", "Event at index %d belongs to tenant '%s', expected '%s'"
                           % (index, event_tenant, tenant))
        if sequence != expected:
            return invalid(verified, "ERR_SEQUENCE_GAP", "Sequence gap detected at index %d: expected %d, got %d"
                           % (index, expected, sequence))
        if _text(event, "prev_event_hash") != expected_prev:
            return invalid(verified, "ERR_CHAIN_LINKAGE_BROKEN", "Hash chain broken at sequence %d" % sequence)
        digest = _text(event, "event_digest")
        if event_digest_of(event) != digest:
            return invalid(verified, "ERR_EVENT_TAMPERED", "Event payload tampered at sequence %d" % sequence)
        running.update(digest.encode("utf-8"))
        expected_prev = digest
        expected = (expected + 1) % UINT_MOD
        verified += 1
    if expected != (last_sequence + 1) % UINT_MOD:
        return invalid(verified, "ERR_ROLLBACK_DETECTED", "Stream ended at sequence %d, but checkpoint requires %d"
                       % ((expected - 1) % UINT_MOD, last_sequence))
    recomputed = running.hexdigest()
    if recomputed != root_hash:
        return invalid(verified, "ERR_STREAM_HASH_MISMATCH",
                       "Calculated stream root hash does not match checkpoint root hash")
    return {"schema_version": RESULT_SCHEMA, "status": "VERIFIED", "checkpoint_id": checkpoint_id,
            "events_verified": verified, "reason_code": "CHECKPOINT_VALID",
            "message": "Event stream and checkpoint root hash verified mathematically",
            "checkpoint_sequence": checkpoint_sequence or 0, "tenant_id": tenant,
            "first_sequence": first_sequence or 0, "last_sequence": last_sequence,
            "stream_root_hash": recomputed}
