"""asyncio wrappers: each gate or executor lives on a worker thread of its own.

Gate and executor objects are bound to the thread that created them, so a call
from ``asyncio.to_thread`` or a thread pool is refused with the wrong-thread
panic. The classes here create their object on one worker thread that belongs
to them alone, run every call there (in the order they were made) and let the
caller await it::

    async with await aio.OrvaneDDB.open("gate.db", "gate.json") as gate:
        count = await gate.count()

Every call holds the interpreter lock while it runs, as the extension's calls
always do: the event loop does not run during the call itself (an SQLite busy
wait or a Vault signature included), only around it. A cancelled await does not
stop a call that has started; its result is dropped. ``close()`` (or leaving the
``async with``) releases the object on its own thread and ends the worker.
"""

from __future__ import annotations

import asyncio
import functools
import traceback
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from . import executor as _executor
from . import gate as _gate
from . import witness as _witness
from .documents import Document

__all__ = ["OrvaneDDB", "OrvaneExecutor", "OrvaneWitness"]

_Self = TypeVar("_Self", bound="_Threaded")


def _run(obj: Any, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """Runs one call on the worker. A failure leaves with the locals of its
    frames cleared, so that the exception, handed to the event loop's thread,
    does not keep the object alive there: it must be released on its own thread."""
    try:
        return getattr(obj, name)(*args, **kwargs) if name else obj(*args, **kwargs)
    except BaseException as error:
        traceback.clear_frames(error.__traceback__.tb_next if error.__traceback__ else None)
        del obj
        raise


class _Threaded:
    """An object created, called and released on one worker thread of its own."""

    __slots__ = ("_object", "_worker", "__weakref__")

    _kind: str = "object"

    def __init__(self, obj: Any, worker: ThreadPoolExecutor) -> None:
        self._object = obj
        self._worker = worker

    @classmethod
    async def _create(cls: type[_Self], factory: Callable[..., Any], *args: Any) -> _Self:
        worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix=f"orvane-{cls._kind}")
        try:
            obj = await asyncio.get_running_loop().run_in_executor(worker, functools.partial(_run, factory, "", args, {}))
        except BaseException:
            worker.shutdown(wait=False)
            raise
        return cls(obj, worker)

    async def _call(self, name: str, *args: Any, **kwargs: Any) -> Any:
        """Awaits ``object.name(*args, **kwargs)`` run on the object's thread."""
        if self._object is None:
            raise RuntimeError(f"orvane_ddb.aio.{type(self).__name__} is closed")
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._worker, functools.partial(_run, self._object, name, args, kwargs))

    def _release(self) -> None:
        """Drops the object on its own thread and ends the worker, without waiting."""
        holder = [self._object]  # the only reference left, emptied on the worker
        self._object = None
        try:
            self._worker.submit(holder.clear)
        except RuntimeError:  # the interpreter is already stopping its threads
            pass
        del holder
        self._worker.shutdown(wait=False)

    async def close(self) -> None:
        """Releases the object on its thread (closing its database connections
        and wiping its keys) and ends the worker. Calls after it are refused."""
        if self._object is None:
            return
        holder = [self._object]
        self._object = None
        try:
            await asyncio.get_running_loop().run_in_executor(self._worker, holder.clear)
        finally:
            self._worker.shutdown(wait=False)

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._object is None

    async def __aenter__(self: _Self) -> _Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def __del__(self) -> None:
        if getattr(self, "_object", None) is not None:
            self._release()

    def __getattr__(self, name: str) -> Any:
        # Calls the extension adds later, awaited on the object's thread too.
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        if self._object is None:
            raise RuntimeError(f"orvane_ddb.aio.{type(self).__name__} is closed")
        if not callable(getattr(self._object, name)):
            return getattr(self._object, name)

        async def call(*args: Any, **kwargs: Any) -> Any:
            return await self._call(name, *args, **kwargs)

        call.__name__ = name
        return call


class OrvaneDDB(_Threaded):
    """A gate on a worker thread of its own; every method is awaited.

    Create it with ``await OrvaneDDB.open(db_path, keyfile)``; the methods are
    those of :class:`orvane_ddb.OrvaneDDB`, with the same arguments and results.
    """

    __slots__ = ()
    _kind = "gate"

    @classmethod
    async def open(cls, db_path: str, keyfile: str) -> OrvaneDDB:
        """Opens the gate on a new worker thread (see :class:`orvane_ddb.OrvaneDDB`)."""
        return await cls._create(_gate.OrvaneDDB, db_path, keyfile)

    async def record(self, payload: Document, rules: Document, genesis: bool = False) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.record` on the object's thread."""
        return await self._call("record", payload, rules, genesis)

    async def record_batch(self, decisions: Sequence[tuple[Document, Document]], genesis: bool = False) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.record_batch` on the object's thread."""
        return await self._call("record_batch", decisions, genesis)

    async def validate(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.validate` on the object's thread."""
        return await self._call("validate")

    async def export(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.export` on the object's thread."""
        return await self._call("export")

    async def list(self, limit: int = 10, offset: int = 0) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.list` on the object's thread."""
        return await self._call("list", limit, offset)

    async def count(self) -> int:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.count` on the object's thread."""
        return await self._call("count")

    async def register_agent(self, public_key: str, alias: str, metadata: Document = '{}') -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.register_agent` on the object's thread."""
        return await self._call("register_agent", public_key, alias, metadata)

    async def list_agents(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.list_agents` on the object's thread."""
        return await self._call("list_agents")

    async def get_agent(self, public_key: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.get_agent` on the object's thread."""
        return await self._call("get_agent", public_key)

    async def rotate_agent(self, current_public_key: str, new_public_key: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.rotate_agent` on the object's thread."""
        return await self._call("rotate_agent", current_public_key, new_public_key)

    async def revoke_agent(self, public_key: str, reason: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.revoke_agent` on the object's thread."""
        return await self._call("revoke_agent", public_key, reason)

    async def list_identity_events(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.list_identity_events` on the object's thread."""
        return await self._call("list_identity_events")

    async def verify_agent(self, public_key: str) -> bool:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.verify_agent` on the object's thread."""
        return await self._call("verify_agent", public_key)

    async def request_action(self, intent: Document, agent_keyfile: str, ttl_seconds: int = 60) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.request_action` on the object's thread."""
        return await self._call("request_action", intent, agent_keyfile, ttl_seconds)

    async def request_action_signed(self, intent: Document, agent_id: str, agent_signature: str, ttl_seconds: int = 60) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.request_action_signed` on the object's thread."""
        return await self._call("request_action_signed", intent, agent_id, agent_signature, ttl_seconds)

    async def commit_outcome(self, authorization_id: str, outcome: Document, executor_keyfile: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.commit_outcome` on the object's thread."""
        return await self._call("commit_outcome", authorization_id, outcome, executor_keyfile)

    async def commit_outcome_signed(self, authorization_id: str, outcome: Document) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.commit_outcome_signed` on the object's thread."""
        return await self._call("commit_outcome_signed", authorization_id, outcome)

    async def get_trace(self, action_id: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.get_trace` on the object's thread."""
        return await self._call("get_trace", action_id)

    async def verify_trace(self, action_id: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.verify_trace` on the object's thread."""
        return await self._call("verify_trace", action_id)

    async def export_evidence(self, action_id: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.export_evidence` on the object's thread."""
        return await self._call("export_evidence", action_id)

    async def install_policy(self, policy_spec: Document) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.install_policy` on the object's thread."""
        return await self._call("install_policy", policy_spec)

    async def list_policies(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.list_policies` on the object's thread."""
        return await self._call("list_policies")

    async def signer_conformance(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.signer_conformance` on the object's thread."""
        return await self._call("signer_conformance")

    async def whoami(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.whoami` on the object's thread."""
        return await self._call("whoami")

    async def create_checkpoint(self, tenant_id: str = '*') -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.create_checkpoint` on the object's thread."""
        return await self._call("create_checkpoint", tenant_id)

    async def export_event_stream(self, tenant_id: str = '*', from_sequence: int = 1, limit: int = 1000) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.export_event_stream` on the object's thread."""
        return await self._call("export_event_stream", tenant_id, from_sequence, limit)

    async def verify_checkpoint_stream(self, checkpoint_json: Document, stream_json: Document, expected_public_key: str | None = None) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.verify_checkpoint_stream` on the object's thread."""
        return await self._call("verify_checkpoint_stream", checkpoint_json, stream_json, expected_public_key)

    async def create_tree_head(self, tenant_id: str = "*") -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.create_tree_head` on the object's thread."""
        return await self._call("create_tree_head", tenant_id)

    async def prove_inclusion(self, tenant_id: str, sequence_number: int, tree_size: int) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.prove_inclusion` on the object's thread."""
        return await self._call("prove_inclusion", tenant_id, sequence_number, tree_size)

    async def prove_consistency(self, tenant_id: str, old_size: int, new_size: int) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneDDB.prove_consistency` on the object's thread."""
        return await self._call("prove_consistency", tenant_id, old_size, new_size)


class OrvaneExecutor(_Threaded):
    """An executor on a worker thread of its own; every method is awaited.

    Create it with ``await OrvaneExecutor.open(...)`` (the arguments of
    :class:`orvane_ddb.OrvaneExecutor`); the methods are the executor's own.
    """

    __slots__ = ()
    _kind = "executor"

    @classmethod
    async def open(
        cls,
        db_path: str,
        keyfile: str,
        trusted_gate_id: str,
        trusted_tenant_id: str,
        pool_size: int = 8,
        gate_db: str | None = None,
    ) -> OrvaneExecutor:
        """Opens the executor on a new worker thread (see :class:`orvane_ddb.OrvaneExecutor`)."""
        return await cls._create(
            _executor.OrvaneExecutor, db_path, keyfile, trusted_gate_id, trusted_tenant_id, pool_size, gate_db
        )

    async def verify_and_consume_permit(self, permit_json: Document) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneExecutor.verify_and_consume_permit` on the object's thread."""
        return await self._call("verify_and_consume_permit", permit_json)

    async def complete_execution(self, authorization_id: str, action_id: str, status: str, output_json: Document) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneExecutor.complete_execution` on the object's thread."""
        return await self._call("complete_execution", authorization_id, action_id, status, output_json)

    async def mark_unknown(self, authorization_id: str, reason: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneExecutor.mark_unknown` on the object's thread."""
        return await self._call("mark_unknown", authorization_id, reason)

    async def recover_incomplete(self, older_than_seconds: int = 0) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneExecutor.recover_incomplete` on the object's thread."""
        return await self._call("recover_incomplete", older_than_seconds)

    async def get_execution_state(self, authorization_id: str) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneExecutor.get_execution_state` on the object's thread."""
        return await self._call("get_execution_state", authorization_id)


class OrvaneWitness(_Threaded):
    """A witness on a worker thread of its own; every method is awaited.

    Create it with ``await OrvaneWitness.open(db_path, keyfile)``; the methods
    are those of :class:`orvane_ddb.OrvaneWitness`.
    """

    __slots__ = ()
    _kind = "witness"

    @classmethod
    async def open(cls, db_path: str, keyfile: str) -> OrvaneWitness:
        """Opens the witness on a new worker thread (see :class:`orvane_ddb.OrvaneWitness`)."""
        return await cls._create(_witness.OrvaneWitness, db_path, keyfile)

    async def add_tree_head(self, note: str, public_key: str, consistency_proof_json: Document) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneWitness.add_tree_head` on the object's thread."""
        return await self._call("add_tree_head", note, public_key, consistency_proof_json)

    async def split_views(self) -> str:
        """Awaits :meth:`orvane_ddb.OrvaneWitness.split_views` on the object's thread."""
        return await self._call("split_views")
