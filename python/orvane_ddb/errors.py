"""Refusals as exceptions that carry a stable code.

The extension raises a failure as a bare ``PermissionError`` or ``RuntimeError``
whose single argument is the operation's message. This module turns such a
message into an :class:`OrvaneError` subclass that is still a
``PermissionError`` / ``RuntimeError`` (every existing ``except`` keeps
working), with the stable code in ``.code`` and the rest of the text in
``.detail``. ``str(error)`` is the message, unchanged.

A message that begins with an ``ORVANE_`` code keeps that code. Every other
fixed text of the module is listed in :data:`CODES`, the one table that gives
it a code.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Mapping
from typing import Any, Final

__all__ = [
    "CODES",
    "FALLBACK_CODE",
    "LEDGER_INVALID_CODE",
    "OrvaneError",
    "OrvanePermissionError",
    "OrvaneRuntimeError",
    "classify",
    "forward",
    "translate",
]

#: The code of a message that no entry of :data:`CODES` describes (for example
#: a bare SQLite error text while a database is opened).
FALLBACK_CODE: Final = "ORVANE_ERROR"

#: The code of a failed ledger validation, whose message is the JSON report.
LEDGER_INVALID_CODE: Final = "ORVANE_LEDGER_INVALID"

#: Every fixed text of the module that does not begin with a code of its own,
#: mapped to its stable code. An entry describes a message that equals it or
#: begins with it (the value filled in after a fixed head); the longest entry
#: that fits wins.
CODES: Final[Mapping[str, str]] = {
    # Permit checks of the executor.
    "Invalid permit schema": "ORVANE_PERMIT_SCHEMA_INVALID",
    "Missing authorization": "ORVANE_PERMIT_MALFORMED",
    "Missing intent": "ORVANE_PERMIT_MALFORMED",
    "Missing tenant_id in intent": "ORVANE_PERMIT_MALFORMED",
    "Missing gate_signature": "ORVANE_PERMIT_MALFORMED",
    "Missing gate_id": "ORVANE_PERMIT_MALFORMED",
    "Missing authorization_id": "ORVANE_PERMIT_MALFORMED",
    "Missing signed policy bundle": "ORVANE_PERMIT_MALFORMED",
    "Missing intent_hash in permit": "ORVANE_PERMIT_MALFORMED",
    "Missing expires_at": "ORVANE_PERMIT_MALFORMED",
    "Missing issued_at": "ORVANE_PERMIT_MALFORMED",
    "Missing action_id": "ORVANE_PERMIT_MALFORMED",
    "Cross-tenant permit rejected": "ORVANE_PERMIT_TENANT_MISMATCH",
    "Untrusted gate ID": "ORVANE_GATE_NOT_TRUSTED",
    "Invalid gate pk": "ORVANE_GATE_KEY_INVALID",
    "Authorization ID mismatch": "ORVANE_AUTHORIZATION_MISMATCH",
    "Invalid gate signature": "ORVANE_PERMIT_SIGNATURE_INVALID",
    "Permit is not ALLOWED": "ORVANE_PERMIT_NOT_ALLOWED",
    "Invalid policy bundle: ": "ORVANE_POLICY_INVALID",
    "Authorization policy binding mismatch": "ORVANE_POLICY_BINDING_MISMATCH",
    "Executor is denied by policy": "ORVANE_EXECUTOR_POLICY_DENIED",
    "Intent hash mismatch": "ORVANE_INTENT_HASH_MISMATCH",
    "Permit has expired": "ORVANE_PERMIT_EXPIRED",
    "Policy evidence is not reproducible": "ORVANE_POLICY_EVIDENCE_MISMATCH",
    "Permit already consumed or action ID re-used": "ORVANE_PERMIT_ALREADY_CONSUMED",
    # Executions.
    "Consumption not found": "ORVANE_EXECUTION_NOT_FOUND",
    "Consumption not found or already completed": "ORVANE_EXECUTION_NOT_STARTED",
    "Consumption does not match a STARTED action": "ORVANE_EXECUTION_MISMATCH",
    "Execution is not in STARTED state": "ORVANE_EXECUTION_NOT_STARTED",
    "Execution status must be SUCCEEDED or FAILED": "ORVANE_EXECUTION_STATUS_INVALID",
    "Executor SQLite pool size must be greater than zero": "ORVANE_POOL_SIZE_INVALID",
    "Executor SQLite pool size must be at most ": "ORVANE_POOL_SIZE_INVALID",
    # JSON documents given by the caller.
    "Payload is not valid JSON: ": "ORVANE_JSON_INVALID",
    "Rules is not valid JSON: ": "ORVANE_JSON_INVALID",
    "Invalid payload JSON: ": "ORVANE_JSON_INVALID",
    "Invalid rules JSON: ": "ORVANE_JSON_INVALID",
    "Invalid output JSON: ": "ORVANE_JSON_INVALID",
    "Invalid checkpoint JSON: ": "ORVANE_JSON_INVALID",
    "Invalid stream JSON: ": "ORVANE_JSON_INVALID",
    "Policy spec must be valid JSON: ": "ORVANE_JSON_INVALID",
    "intent must be valid JSON: ": "ORVANE_JSON_INVALID",
    "metadata must be valid JSON: ": "ORVANE_JSON_INVALID",
    "outcome must be valid JSON: ": "ORVANE_JSON_INVALID",
    "authorization result must be valid JSON: ": "ORVANE_JSON_INVALID",
    "permit must be valid JSON: ": "ORVANE_JSON_INVALID",
    "syntax error while parsing ": "ORVANE_JSON_INVALID",
    "recursion limit exceeded": "ORVANE_JSON_INVALID",
    "number overflow parsing ": "ORVANE_JSON_INVALID",
    # Decision ledger.
    "Database is empty. Use genesis=true to record the first decision.": "ORVANE_LEDGER_EMPTY",
    "A genesis decision already exists in the database.": "ORVANE_GENESIS_EXISTS",
    "Cannot extend the ledger: causal depth ": "ORVANE_LEDGER_DEPTH_EXHAUSTED",
    "Error advancing row: ": "ORVANE_STORAGE_FAILED",
    "Error reading record: ": "ORVANE_STORAGE_FAILED",
    "Error reading agent: ": "ORVANE_STORAGE_FAILED",
    "Prepare error: ": "ORVANE_STORAGE_FAILED",
    "Query error: ": "ORVANE_STORAGE_FAILED",
    # Keys, key files and hexadecimal text.
    "Failed to read key file '": "ORVANE_KEY_FILE_UNREADABLE",
    "Failed to parse key file '": "ORVANE_KEY_FILE_INVALID",
    "Failed to parse key file JSON: ": "ORVANE_KEY_FILE_INVALID",
    "Key file '": "ORVANE_KEY_FILE_INVALID",
    "stream did not contain valid UTF-8": "ORVANE_KEY_FILE_INVALID",
    "Error creating key file ": "ORVANE_KEY_FILE_WRITE_FAILED",
    "Error writing key file ": "ORVANE_KEY_FILE_WRITE_FAILED",
    "Invalid private key hex in '": "ORVANE_KEY_INVALID",
    "Invalid private key hex: ": "ORVANE_KEY_INVALID",
    "Private key must be exactly 32 bytes": "ORVANE_KEY_INVALID",
    "Invalid public key hex: ": "ORVANE_KEY_INVALID",
    "Public key must be exactly 32 bytes": "ORVANE_KEY_INVALID",
    "Invalid Ed25519 public key: ": "ORVANE_KEY_INVALID",
    "Invalid signer public key hex: ": "ORVANE_KEY_INVALID",
    "Invalid public key length": "ORVANE_KEY_INVALID",
    "Failed parsing verifying key: ": "ORVANE_KEY_INVALID",
    "Invalid signature hex: ": "ORVANE_SIGNATURE_INVALID",
    "Invalid signature length": "ORVANE_SIGNATURE_INVALID",
    "Invalid digest hex: ": "ORVANE_HEX_INVALID",
    "Odd number of digits": "ORVANE_HEX_INVALID",
    "Invalid string length": "ORVANE_HEX_INVALID",
    "Invalid character '": "ORVANE_HEX_INVALID",
    "internal error: secure random source unavailable": "ORVANE_INTERNAL_ERROR",
    "System time error: ": "ORVANE_CLOCK_FAILED",
    # Signer configuration.
    "Failed to read signer configuration '": "ORVANE_SIGNER_CONFIG_UNREADABLE",
    "Failed to parse signer configuration '": "ORVANE_SIGNER_CONFIG_INVALID",
    # Event stream and checkpoints.
    "Event stream must be a JSON array of events": "ORVANE_EVENT_STREAM_INVALID",
    "Corrupt event JSON in database: ": "ORVANE_EVENT_STREAM_INVALID",
    "Checkpoint missing tenant_id": "ORVANE_CHECKPOINT_INVALID",
    "Checkpoint missing stream_root_hash": "ORVANE_CHECKPOINT_INVALID",
    "Checkpoint missing signature": "ORVANE_CHECKPOINT_INVALID",
    "Checkpoint missing signer": "ORVANE_CHECKPOINT_INVALID",
    "Checkpoint signer missing public_key": "ORVANE_CHECKPOINT_INVALID",
    "Cannot create checkpoint: No events recorded for tenant '": "ORVANE_EVENT_STREAM_EMPTY",
    # Tree heads and proofs.
    "Cannot create tree head: No events recorded for tenant ": "ORVANE_EVENT_STREAM_EMPTY",
    "Invalid tree head note: ": "ORVANE_TREE_HEAD_MALFORMED",
    "Old tree head: ": "ORVANE_TREE_HEAD_MALFORMED",
    "New tree head: ": "ORVANE_TREE_HEAD_MALFORMED",
    "Invalid trusted public key: ": "ORVANE_KEY_INVALID",
    "Invalid event JSON: ": "ORVANE_JSON_INVALID",
    "Invalid event: not a JSON object": "ORVANE_JSON_INVALID",
    "Invalid inclusion proof JSON: ": "ORVANE_JSON_INVALID",
    "Invalid consistency proof JSON: ": "ORVANE_JSON_INVALID",
    "Invalid inclusion proof: ": "ORVANE_PROOF_MALFORMED",
    "Invalid consistency proof: ": "ORVANE_PROOF_MALFORMED",
    # Stored rows that no longer parse.
    "Stored agent metadata is invalid: ": "ORVANE_STORED_DATA_INVALID",
    "Stored authorization is invalid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "Stored execution receipt is invalid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "Stored identity event is invalid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "Stored identity lifecycle event is invalid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "Stored policy bundle is invalid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "registration_event must be valid JSON: ": "ORVANE_STORED_DATA_INVALID",
    "Invalid UTF-8 text in column ": "ORVANE_STORED_DATA_INVALID",
    "Invalid UTF-8 text at index: ": "ORVANE_STORED_DATA_INVALID",
    "Invalid column type ": "ORVANE_STORED_DATA_INVALID",
    "Invalid policy digest: ": "ORVANE_POLICY_DIGEST_INVALID",
    "active policy attestation must be valid JSON: ": "ORVANE_STORED_DATA_INVALID",
    # Storage.
    "Failed to open SQLite database '": "ORVANE_DATABASE_OPEN_FAILED",
    "Failed to open gate DB for revocation check: ": "ORVANE_GATE_DB_UNAVAILABLE",
    "Failed to acquire executor SQLite connection: ": "ORVANE_EXECUTOR_BUSY",
    "Failed reading event json: ": "ORVANE_STORAGE_FAILED",
    "Failed reading event row: ": "ORVANE_STORAGE_FAILED",
    "Failed to ": "ORVANE_STORAGE_FAILED",
    # The object itself.
    "Already borrowed": "ORVANE_OBJECT_BUSY",
    "Already mutably borrowed": "ORVANE_OBJECT_BUSY",
}

_CODE_AT_START = re.compile(r"ORVANE_[A-Z0-9_]*[A-Z0-9]")
# Longest entries first, so that "Missing intent_hash in permit" is not taken
# for "Missing intent".
_BY_LENGTH = sorted(CODES.items(), key=lambda item: len(item[0]), reverse=True)


def classify(message: str) -> tuple[str, str]:
    """Returns ``(code, detail)`` for a message of the module.

    A message that begins with its own code ("ORVANE_X" or "ORVANE_X: detail")
    keeps it, and the detail is the text after ": ". Any other message gets the
    code of its entry in :data:`CODES` and keeps its whole text as the detail.
    """
    match = _CODE_AT_START.match(message)
    if match:
        rest = message[match.end():]
        if rest == "":
            return match.group(), ""
        if rest.startswith(": "):
            return match.group(), rest[2:]
    if message.startswith("{"):
        return LEDGER_INVALID_CODE, message
    for text, code in _BY_LENGTH:
        if message.startswith(text):
            return code, message
    return FALLBACK_CODE, message


class OrvaneError(Exception):
    """A refusal or failure of the module, with its stable code.

    ``str(error)`` is the module's message unchanged; ``code`` is its stable
    code ("ORVANE_PERMIT_EXPIRED"); ``detail`` is the text after the code (the
    whole message for texts that have no code of their own).
    """

    code: str
    detail: str

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.code, self.detail = classify(message)

    @property
    def message(self) -> str:
        """The module's message, unchanged."""
        return str(self.args[0]) if self.args else ""

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> tuple[type[OrvaneError], tuple[str]]:
        return (type(self), (self.message,))


class OrvanePermissionError(OrvaneError, PermissionError):
    """A refusal raised as ``PermissionError`` (opening a gate, recording
    decisions, consuming a permit)."""


class OrvaneRuntimeError(OrvaneError, RuntimeError):
    """A refusal or failure raised as ``RuntimeError`` (every other call)."""


def translate(error: BaseException) -> BaseException:
    """Returns the coded exception for a bare ``PermissionError`` /
    ``RuntimeError`` of the extension; any other exception is returned as it is.
    """
    if isinstance(error, OrvaneError) or len(error.args) != 1 or not isinstance(error.args[0], str):
        return error
    kind = type(error)
    if kind is PermissionError:
        coded: OrvaneError = OrvanePermissionError(error.args[0])
    elif kind is RuntimeError:
        coded = OrvaneRuntimeError(error.args[0])
    else:
        return error
    coded.__cause__ = error.__cause__
    coded.__context__ = error.__context__
    coded.__traceback__ = error.__traceback__
    return coded


def forward(target: object, name: str) -> Any:
    """``target.name``; when it is callable, a call of it whose bare refusals are
    raised as coded exceptions."""
    attribute = getattr(target, name)
    if not callable(attribute):
        return attribute

    @functools.wraps(attribute)
    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            return attribute(*args, **kwargs)
        except (PermissionError, RuntimeError) as error:
            raise translate(error) from None

    return call
