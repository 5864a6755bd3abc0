"""The executor, as Python callers expect it: coded exceptions and dict documents.

:class:`OrvaneExecutor` wraps the extension's executor one to one. An executor
that knows no gate database cannot check it for revocations and earlier
outcomes; creating one logs a warning (once per process) on the
``orvane_ddb`` logger.
"""

from __future__ import annotations

import logging
import os
import threading
from typing import Any

import _orvane_ddb

from .documents import Document, as_text, loads, parsed
from ._wrapper import BARE_REFUSALS as _BARE
from ._wrapper import NativeWrapper
from .errors import translate

__all__ = ["OrvaneExecutor", "ExecutorDicts", "NO_GATE_DB_WARNING"]

_log = logging.getLogger("orvane_ddb")

#: The warning logged when an executor is created without a gate database.
NO_GATE_DB_WARNING = (
    "OrvaneExecutor has no gate database (neither gate_db nor ORVANE_GATE_DB): permits are "
    "consumed without checking the gate for revoked agents and earlier outcomes"
)

_warned = False
_warned_lock = threading.Lock()


def _knows_gate_db(gate_db: str | None) -> bool:
    """Whether the executor will check a gate database: ``gate_db`` when given,
    else ORVANE_GATE_DB when it is set to UTF-8 text (as the extension reads it)."""
    if gate_db is not None:
        return True
    if not os.supports_bytes_environ:
        return "ORVANE_GATE_DB" in os.environ
    raw = os.environb.get(b"ORVANE_GATE_DB")
    if raw is None:
        return False
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _warn_once_without_gate_db() -> None:
    global _warned
    with _warned_lock:
        if _warned:
            return
        _warned = True
    _log.warning(NO_GATE_DB_WARNING)


class OrvaneExecutor(NativeWrapper):
    """Verifies permits of one trusted gate and tenant and runs each action at most once.

    ``db_path`` is the executor's own database; ``keyfile`` its key file or
    signer configuration; ``trusted_gate_id`` the gate key whose permits it
    accepts and ``trusted_tenant_id`` the one tenant it serves. ``gate_db``
    (else the environment variable ORVANE_GATE_DB) names the gate database
    that is checked read-only for revocations and earlier outcomes. Raises
    :class:`OrvaneRuntimeError` when it cannot be set up.
    """

    __slots__ = ()

    def __init__(
        self,
        db_path: str,
        keyfile: str,
        trusted_gate_id: str,
        trusted_tenant_id: str,
        pool_size: int = 8,
        gate_db: str | None = None,
    ) -> None:
        try:
            self._native = _orvane_ddb.OrvaneExecutor(
                db_path, keyfile, trusted_gate_id, trusted_tenant_id, pool_size, gate_db
            )
        except _BARE as error:
            raise translate(error) from None
        if not _knows_gate_db(gate_db):
            _warn_once_without_gate_db()

    @property
    def native(self) -> _orvane_ddb.OrvaneExecutor:
        """The extension's own executor object."""
        return self._native

    @property
    def dicts(self) -> ExecutorDicts:
        """The same methods, returning the parsed documents instead of JSON text."""
        return ExecutorDicts(self)

    def verify_and_consume_permit(self, permit_json: Document) -> str:
        """Verifies a permit (schema, gate, tenant, signature, expiry, intent hash,
        policy binding and evidence, and the gate database's revocations and
        outcomes) and consumes it once, as STARTED; returns the consumption with
        its signed observation. Refusals raise :class:`OrvanePermissionError`."""
        try:
            return self._native.verify_and_consume_permit(as_text(permit_json))
        except _BARE as error:
            raise translate(error) from None

    def complete_execution(self, authorization_id: str, action_id: str, status: str, output_json: Document) -> str:
        """Ends a STARTED execution as SUCCEEDED or FAILED; returns the signed
        action outcome that the gate commits."""
        try:
            return self._native.complete_execution(authorization_id, action_id, status, as_text(output_json))
        except _BARE as error:
            raise translate(error) from None

    def mark_unknown(self, authorization_id: str, reason: str) -> str:
        """Ends a STARTED execution whose result will never be known as UNKNOWN."""
        try:
            return self._native.mark_unknown(authorization_id, reason)
        except _BARE as error:
            raise translate(error) from None

    def recover_incomplete(self, older_than_seconds: int = 0) -> str:
        """Marks every execution STARTED more than ``older_than_seconds`` ago as
        UNKNOWN; returns what it marked."""
        try:
            return self._native.recover_incomplete(older_than_seconds)
        except _BARE as error:
            raise translate(error) from None

    def get_execution_state(self, authorization_id: str) -> str:
        """Returns the stored state of one execution."""
        try:
            return self._native.get_execution_state(authorization_id)
        except _BARE as error:
            raise translate(error) from None


class ExecutorDicts:
    """An executor's methods with their JSON results parsed into Python values."""

    __slots__ = ("_executor",)

    def __init__(self, executor: OrvaneExecutor) -> None:
        self._executor = executor

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        return parsed(getattr(self._executor, name))

    def verify_and_consume_permit(self, permit_json: Document) -> Any:
        """:meth:`OrvaneExecutor.verify_and_consume_permit`, parsed."""
        return loads(self._executor.verify_and_consume_permit(permit_json))

    def complete_execution(self, authorization_id: str, action_id: str, status: str, output_json: Document) -> Any:
        """:meth:`OrvaneExecutor.complete_execution`, parsed."""
        return loads(self._executor.complete_execution(authorization_id, action_id, status, output_json))

    def mark_unknown(self, authorization_id: str, reason: str) -> Any:
        """:meth:`OrvaneExecutor.mark_unknown`, parsed."""
        return loads(self._executor.mark_unknown(authorization_id, reason))

    def recover_incomplete(self, older_than_seconds: int = 0) -> Any:
        """:meth:`OrvaneExecutor.recover_incomplete`, parsed."""
        return loads(self._executor.recover_incomplete(older_than_seconds))

    def get_execution_state(self, authorization_id: str) -> Any:
        """:meth:`OrvaneExecutor.get_execution_state`, parsed."""
        return loads(self._executor.get_execution_state(authorization_id))
