"""Orvane DDB for Python: tamper-evident records of agent decisions and
exactly-once execution permits.

This package wraps the native extension ``_orvane_ddb`` without changing what
it does: the same classes and methods, the same JSON text results, plus

- refusals raised as :class:`OrvaneError` subclasses that are also
  ``PermissionError`` / ``RuntimeError``, with the stable code in ``.code``;
- document parameters that also accept ``dict``, and ``.dicts`` views whose
  methods return parsed documents;
- :mod:`orvane_ddb.aio` for asyncio code.

Objects are bound to the thread that created them.
"""

from __future__ import annotations

import _orvane_ddb as native

from .documents import Document, as_text, dumps, loads
from .errors import CODES, OrvaneError, OrvanePermissionError, OrvaneRuntimeError, classify, translate
from .executor import OrvaneExecutor
from .gate import OrvaneDDB
from .witness import OrvaneWitness

__version__ = "0.1.0"

__all__ = [
    "CODES",
    "OrvaneDDB",
    "OrvaneError",
    "OrvaneExecutor",
    "OrvanePermissionError",
    "OrvaneRuntimeError",
    "OrvaneWitness",
    "__version__",
    "classify",
    "dumps",
    "gen_keys",
    "loads",
    "native",
    "permit_info",
    "verify_authorization",
    "verify_checkpoint_stream",
    "verify_consistency",
    "verify_evidence",
    "verify_inclusion",
    "verify_tree_head",
]


def gen_keys(output: str) -> str:
    """Writes a new Ed25519 key file to ``output`` and returns its text
    (``{"private_key": ..., "public_key": ...}`` in hex)."""
    try:
        return native.gen_keys(output)
    except RuntimeError as error:
        raise translate(error) from None


def verify_checkpoint_stream(checkpoint: Document, stream: Document, public_key: str) -> str:
    """Checks an exported event stream against a checkpoint signed by
    ``public_key`` (the gate key, hex; required), without a gate; returns the
    verdict (``status`` VERIFIED or INVALID with its ``reason_code``)."""
    try:
        return native.verify_checkpoint_stream(as_text(checkpoint), as_text(stream), public_key)
    except RuntimeError as error:
        raise translate(error) from None


def verify_tree_head(note: str, public_key: str) -> str:
    """Checks a signed tree head under the gate key; returns the verdict document."""
    try:
        return native.verify_tree_head(note, public_key)
    except RuntimeError as error:
        raise translate(error) from None


def verify_authorization(result: Document, public_key: str) -> str:
    """Verifies an authorization result (a permit, or a BLOCKED answer) under
    the gate key ``public_key`` (hex; required), without a gate: the receipt's
    id and signature, the policy bundle and its binding, the evidence, the
    intent hash and contract, the agent's signature. Returns the verdict
    (``status`` VERIFIED or INVALID with ``reason_codes``). Whether the agent
    was a registered, active identity is known only to the gate (its trace and
    its executors check that); expiry is not judged (see :func:`permit_info`)."""
    try:
        return native.verify_authorization(as_text(result), public_key)
    except RuntimeError as error:
        raise translate(error) from None


def verify_inclusion(note: str, public_key: str, event_json: str, proof_json: str) -> str:
    """Checks that an exported event is in the tree a signed head commits to."""
    try:
        return native.verify_inclusion(note, public_key, event_json, proof_json)
    except RuntimeError as error:
        raise translate(error) from None


def permit_info(permit: Document) -> str:
    """What a permit allows (action type, resource, tenant, agent, executor
    constraints, decision, ``issued_at`` / ``expires_at`` in microseconds and
    whether it has expired), read without consuming it. Nothing is verified
    here: use :func:`verify_authorization` for that."""
    try:
        return native.permit_info(as_text(permit))
    except RuntimeError as error:
        raise translate(error) from None


def verify_consistency(old_note: str, new_note: str, public_key: str, proof_json: str) -> str:
    """Checks that a later signed tree head extends an earlier one."""
    try:
        return native.verify_consistency(old_note, new_note, public_key, proof_json)
    except RuntimeError as error:
        raise translate(error) from None


def verify_evidence(evidence_json: Document, trusted_gate_public_key: str) -> str:
    """Checks an evidence file under the gate key the caller trusts (never one the
    file names); returns the verdict document ("orvane.evidence-verification.v1")."""
    try:
        return native.verify_evidence(as_text(evidence_json), trusted_gate_public_key)
    except RuntimeError as error:
        raise translate(error) from None
