"""The gate, as Python callers expect it: coded exceptions and dict documents.

:class:`OrvaneDDB` wraps the extension's gate object one to one: the same
methods, arguments and JSON text results. Document parameters also accept a
``dict``; ``gate.dicts`` offers every method with its result parsed. Like the
object it wraps, a gate is bound to the thread that created it (see
:mod:`orvane_ddb.aio` for asyncio).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import _orvane_ddb

from .documents import Document, as_decisions, as_text, loads, parsed
from ._wrapper import BARE_REFUSALS as _BARE
from ._wrapper import NativeWrapper
from .errors import translate

__all__ = ["OrvaneDDB", "GateDicts"]

class OrvaneDDB(NativeWrapper):
    """A gate: the decision ledger, the identity registry, policies, permits and outcomes.

    Opens (creating or migrating) the gate database at ``db_path``; ``keyfile``
    is a key file written by :func:`gen_keys` or a Vault Transit signer
    configuration. A key file that does not exist yet is reported by the first
    call that needs it. Raises :class:`OrvanePermissionError` when the database
    cannot be opened or the signer cannot be loaded.
    """

    __slots__ = ()

    def __init__(self, db_path: str, keyfile: str) -> None:
        try:
            self._native = _orvane_ddb.OrvaneDDB(db_path, keyfile)
        except _BARE as error:
            raise translate(error) from None

    @property
    def native(self) -> _orvane_ddb.OrvaneDDB:
        """The extension's own gate object."""
        return self._native

    @property
    def dicts(self) -> GateDicts:
        """The same methods, returning the parsed documents instead of JSON text."""
        return GateDicts(self)

    # Decision ledger

    def record(self, payload: Document, rules: Document, genesis: bool = False) -> str:
        """Signs and records one decision under the latest one (or as the genesis
        decision when ``genesis`` is true); returns the recorded decision.
        Refusals raise :class:`OrvanePermissionError`."""
        try:
            return self._native.record(as_text(payload), as_text(rules), genesis)
        except _BARE as error:
            raise translate(error) from None

    def record_batch(self, decisions: Sequence[tuple[Document, Document]], genesis: bool = False) -> str:
        """Records ``(payload, rules)`` pairs in order, each under the one before,
        in one transaction; returns the recorded decisions. Refusals raise
        :class:`OrvanePermissionError`."""
        try:
            return self._native.record_batch(as_decisions(decisions), genesis)
        except _BARE as error:
            raise translate(error) from None

    def validate(self) -> str:
        """Re-verifies the whole ledger (chain, depths, times, hashes and
        signatures) and returns the report; an invalid ledger raises with the
        report as the message (code ``ORVANE_LEDGER_INVALID``)."""
        try:
            return self._native.validate()
        except _BARE as error:
            raise translate(error) from None

    def export(self) -> str:
        """Returns every decision in ledger order."""
        try:
            return self._native.export()
        except _BARE as error:
            raise translate(error) from None

    def list(self, limit: int = 10, offset: int = 0) -> str:
        """Returns a page of decisions, newest (deepest) first."""
        try:
            return self._native.list(limit, offset)
        except _BARE as error:
            raise translate(error) from None

    def count(self) -> int:
        """Returns the number of recorded decisions."""
        try:
            return self._native.count()
        except _BARE as error:
            raise translate(error) from None

    # Identity registry

    def register_agent(self, public_key: str, alias: str, metadata: Document = "{}") -> str:
        """Registers an agent key with its metadata (roles, ``tenant_id``,
        ``can_delegate``); the gate's own key first, which bootstraps the
        trusted root. Returns the signed registration."""
        try:
            return self._native.register_agent(public_key, alias, as_text(metadata))
        except _BARE as error:
            raise translate(error) from None

    def list_agents(self) -> str:
        """Returns every registered agent."""
        try:
            return self._native.list_agents()
        except _BARE as error:
            raise translate(error) from None

    def get_agent(self, public_key: str) -> str:
        """Returns the registration of one agent key."""
        try:
            return self._native.get_agent(public_key)
        except _BARE as error:
            raise translate(error) from None

    def rotate_agent(self, current_public_key: str, new_public_key: str) -> str:
        """Replaces an identity's active key by a new one; returns the signed
        rotation event."""
        try:
            return self._native.rotate_agent(current_public_key, new_public_key)
        except _BARE as error:
            raise translate(error) from None

    def revoke_agent(self, public_key: str, reason: str) -> str:
        """Revokes an identity from now on; returns the signed revocation event."""
        try:
            return self._native.revoke_agent(public_key, reason)
        except _BARE as error:
            raise translate(error) from None

    def list_identity_events(self) -> str:
        """Returns every stored rotation and revocation event."""
        try:
            return self._native.list_identity_events()
        except _BARE as error:
            raise translate(error) from None

    def verify_agent(self, public_key: str) -> bool:
        """True when the key speaks for an active identity now, verified against
        its signed history."""
        try:
            return self._native.verify_agent(public_key)
        except _BARE as error:
            raise translate(error) from None

    # Authorization

    def request_action(self, intent: Document, agent_keyfile: str, ttl_seconds: int = 60) -> str:
        """Signs the intent with the agent's key file and asks for a permit; returns
        the authorization result (ALLOWED with the permit, or BLOCKED)."""
        try:
            return self._native.request_action(as_text(intent), agent_keyfile, ttl_seconds)
        except _BARE as error:
            raise translate(error) from None

    def request_action_signed(
        self, intent: Document, agent_id: str, agent_signature: str, ttl_seconds: int = 60
    ) -> str:
        """Asks for a permit with an intent the agent signed itself (over the
        intent's canonical bytes); returns the authorization result."""
        try:
            return self._native.request_action_signed(as_text(intent), agent_id, agent_signature, ttl_seconds)
        except _BARE as error:
            raise translate(error) from None

    # Outcomes and traces

    def commit_outcome(self, authorization_id: str, outcome: Document, executor_keyfile: str) -> str:
        """Signs the outcome with the executor's key file and commits it against
        its permit; returns the execution result with the gate's receipt."""
        try:
            return self._native.commit_outcome(authorization_id, as_text(outcome), executor_keyfile)
        except _BARE as error:
            raise translate(error) from None

    def commit_outcome_signed(self, authorization_id: str, outcome: Document) -> str:
        """Commits an outcome the executor signed (``complete_execution``'s
        result) against its permit, once; committing the identical outcome again
        returns the stored execution result."""
        try:
            return self._native.commit_outcome_signed(authorization_id, as_text(outcome))
        except _BARE as error:
            raise translate(error) from None

    def get_trace(self, action_id: str) -> str:
        """Returns the action's intent, authorization and execution."""
        try:
            return self._native.get_trace(action_id)
        except _BARE as error:
            raise translate(error) from None

    def verify_trace(self, action_id: str) -> str:
        """Re-verifies the action's trace; returns the verdict with its reasons."""
        try:
            return self._native.verify_trace(action_id)
        except _BARE as error:
            raise translate(error) from None

    # Evidence files

    def export_evidence(self, action_id: str) -> str:
        """Returns the action's self-contained evidence file ("orvane.evidence.v1"),
        verified under the gate's own key before it is handed out."""
        try:
            return self._native.export_evidence(action_id)
        except _BARE as error:
            raise translate(error) from None

    # Policies

    def install_policy(self, policy_spec: Document) -> str:
        """Signs and installs a tenant's policy bundle, retiring the previous
        one; returns the stored bundle."""
        try:
            return self._native.install_policy(as_text(policy_spec))
        except _BARE as error:
            raise translate(error) from None

    def list_policies(self) -> str:
        """Returns every stored policy bundle."""
        try:
            return self._native.list_policies()
        except _BARE as error:
            raise translate(error) from None

    # Signer

    def signer_conformance(self) -> str:
        """Signs a fixed message with the gate's signer and verifies it; returns
        the report."""
        try:
            return self._native.signer_conformance()
        except _BARE as error:
            raise translate(error) from None

    def whoami(self) -> str:
        """Return the public key of the current keyfile ("who am I?")."""
        try:
            return self._native.whoami()
        except _BARE as error:
            raise translate(error) from None

    # Event stream and checkpoints

    def create_checkpoint(self, tenant_id: str = "*") -> str:
        """Re-verifies the tenant's stream and signs a checkpoint over it up to
        its last event; returns the checkpoint."""
        try:
            return self._native.create_checkpoint(tenant_id)
        except _BARE as error:
            raise translate(error) from None

    def export_event_stream(self, tenant_id: str = "*", from_sequence: int = 1, limit: int = 1000) -> str:
        """Returns up to ``limit`` events of the tenant's stream from ``from_sequence`` on."""
        try:
            return self._native.export_event_stream(tenant_id, from_sequence, limit)
        except _BARE as error:
            raise translate(error) from None

    def verify_checkpoint_stream(
        self, checkpoint_json: Document, stream_json: Document, expected_public_key: str | None = None
    ) -> str:
        """Checks an exported stream against a checkpoint, under
        ``expected_public_key`` (the gate's own key when None); returns the verdict."""
        try:
            return self._native.verify_checkpoint_stream(
                as_text(checkpoint_json), as_text(stream_json), expected_public_key
            )
        except _BARE as error:
            raise translate(error) from None

    # Tree heads and proofs

    def create_tree_head(self, tenant_id: str = "*") -> str:
        """Signs and stores the head of the tenant's stream tree, after checking
        that it extends the latest stored head; returns the note text."""
        try:
            return self._native.create_tree_head(tenant_id)
        except _BARE as error:
            raise translate(error) from None

    def prove_inclusion(self, tenant_id: str, sequence_number: int, tree_size: int) -> str:
        """Returns the proof that the event ``sequence_number`` is in the tenant's
        tree of ``tree_size`` leaves."""
        try:
            return self._native.prove_inclusion(tenant_id, sequence_number, tree_size)
        except _BARE as error:
            raise translate(error) from None

    def prove_consistency(self, tenant_id: str, old_size: int, new_size: int) -> str:
        """Returns the proof that the tenant's tree of ``new_size`` leaves extends
        the one of ``old_size``."""
        try:
            return self._native.prove_consistency(tenant_id, old_size, new_size)
        except _BARE as error:
            raise translate(error) from None


class GateDicts:
    """A gate's methods with their JSON results parsed into Python values."""

    __slots__ = ("_gate",)

    def __init__(self, gate: OrvaneDDB) -> None:
        self._gate = gate

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        return parsed(getattr(self._gate, name))

    def record(self, payload: Document, rules: Document, genesis: bool = False) -> Any:
        """:meth:`OrvaneDDB.record`, parsed."""
        return loads(self._gate.record(payload, rules, genesis))

    def record_batch(self, decisions: Sequence[tuple[Document, Document]], genesis: bool = False) -> Any:
        """:meth:`OrvaneDDB.record_batch`, parsed."""
        return loads(self._gate.record_batch(decisions, genesis))

    def validate(self) -> Any:
        """:meth:`OrvaneDDB.validate`, parsed."""
        return loads(self._gate.validate())

    def export(self) -> Any:
        """:meth:`OrvaneDDB.export`, parsed."""
        return loads(self._gate.export())

    def list(self, limit: int = 10, offset: int = 0) -> Any:
        """:meth:`OrvaneDDB.list`, parsed."""
        return loads(self._gate.list(limit, offset))

    def register_agent(self, public_key: str, alias: str, metadata: Document = "{}") -> Any:
        """:meth:`OrvaneDDB.register_agent`, parsed."""
        return loads(self._gate.register_agent(public_key, alias, metadata))

    def list_agents(self) -> Any:
        """:meth:`OrvaneDDB.list_agents`, parsed."""
        return loads(self._gate.list_agents())

    def get_agent(self, public_key: str) -> Any:
        """:meth:`OrvaneDDB.get_agent`, parsed."""
        return loads(self._gate.get_agent(public_key))

    def rotate_agent(self, current_public_key: str, new_public_key: str) -> Any:
        """:meth:`OrvaneDDB.rotate_agent`, parsed."""
        return loads(self._gate.rotate_agent(current_public_key, new_public_key))

    def revoke_agent(self, public_key: str, reason: str) -> Any:
        """:meth:`OrvaneDDB.revoke_agent`, parsed."""
        return loads(self._gate.revoke_agent(public_key, reason))

    def list_identity_events(self) -> Any:
        """:meth:`OrvaneDDB.list_identity_events`, parsed."""
        return loads(self._gate.list_identity_events())

    def request_action(self, intent: Document, agent_keyfile: str, ttl_seconds: int = 60) -> Any:
        """:meth:`OrvaneDDB.request_action`, parsed."""
        return loads(self._gate.request_action(intent, agent_keyfile, ttl_seconds))

    def request_action_signed(
        self, intent: Document, agent_id: str, agent_signature: str, ttl_seconds: int = 60
    ) -> Any:
        """:meth:`OrvaneDDB.request_action_signed`, parsed."""
        return loads(self._gate.request_action_signed(intent, agent_id, agent_signature, ttl_seconds))

    def commit_outcome(self, authorization_id: str, outcome: Document, executor_keyfile: str) -> Any:
        """:meth:`OrvaneDDB.commit_outcome`, parsed."""
        return loads(self._gate.commit_outcome(authorization_id, outcome, executor_keyfile))

    def commit_outcome_signed(self, authorization_id: str, outcome: Document) -> Any:
        """:meth:`OrvaneDDB.commit_outcome_signed`, parsed."""
        return loads(self._gate.commit_outcome_signed(authorization_id, outcome))

    def get_trace(self, action_id: str) -> Any:
        """:meth:`OrvaneDDB.get_trace`, parsed."""
        return loads(self._gate.get_trace(action_id))

    def verify_trace(self, action_id: str) -> Any:
        """:meth:`OrvaneDDB.verify_trace`, parsed."""
        return loads(self._gate.verify_trace(action_id))

    def export_evidence(self, action_id: str) -> Any:
        """:meth:`OrvaneDDB.export_evidence`, parsed."""
        return loads(self._gate.export_evidence(action_id))

    def install_policy(self, policy_spec: Document) -> Any:
        """:meth:`OrvaneDDB.install_policy`, parsed."""
        return loads(self._gate.install_policy(policy_spec))

    def list_policies(self) -> Any:
        """:meth:`OrvaneDDB.list_policies`, parsed."""
        return loads(self._gate.list_policies())

    def signer_conformance(self) -> Any:
        """:meth:`OrvaneDDB.signer_conformance`, parsed."""
        return loads(self._gate.signer_conformance())

    def whoami(self) -> Any:
        """:meth:`OrvaneDDB.whoami`, parsed."""
        return loads(self._gate.whoami())

    def create_checkpoint(self, tenant_id: str = "*") -> Any:
        """:meth:`OrvaneDDB.create_checkpoint`, parsed."""
        return loads(self._gate.create_checkpoint(tenant_id))

    def export_event_stream(self, tenant_id: str = "*", from_sequence: int = 1, limit: int = 1000) -> Any:
        """:meth:`OrvaneDDB.export_event_stream`, parsed."""
        return loads(self._gate.export_event_stream(tenant_id, from_sequence, limit))

    def verify_checkpoint_stream(
        self, checkpoint_json: Document, stream_json: Document, expected_public_key: str | None = None
    ) -> Any:
        """:meth:`OrvaneDDB.verify_checkpoint_stream`, parsed."""
        return loads(self._gate.verify_checkpoint_stream(checkpoint_json, stream_json, expected_public_key))

    def create_tree_head(self, tenant_id: str = "*") -> Any:
        """:meth:`OrvaneDDB.create_tree_head` (a note: returned as text)."""
        return self._gate.create_tree_head(tenant_id)

    def prove_inclusion(self, tenant_id: str, sequence_number: int, tree_size: int) -> Any:
        """:meth:`OrvaneDDB.prove_inclusion`, parsed."""
        return loads(self._gate.prove_inclusion(tenant_id, sequence_number, tree_size))

    def prove_consistency(self, tenant_id: str, old_size: int, new_size: int) -> Any:
        """:meth:`OrvaneDDB.prove_consistency`, parsed."""
        return loads(self._gate.prove_consistency(tenant_id, old_size, new_size))
