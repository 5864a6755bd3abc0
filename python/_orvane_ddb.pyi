"""Tamper-evident records of agent decisions and exactly-once execution permits.

Every method returns JSON text unless stated otherwise. Objects are bound to the
thread that created them.
"""

from collections.abc import Sequence

def gen_keys(output: str) -> str:
    """Writes a new Ed25519 key file to `output` and returns its text."""

def verify_checkpoint_stream(checkpoint: str, stream: str, public_key: str) -> str:
    """Checks an exported event stream against a checkpoint signed by `public_key`
    (an Ed25519 public key in hex); returns the verdict. No gate is needed."""

def verify_authorization(result: str, public_key: str) -> str:
    """Verifies an authorization result under the gate key `public_key`; returns the
    verdict with its reason codes. No gate is needed."""

def permit_info(permit: str) -> str:
    """Returns what a permit allows (action, resource, tenant, executor constraints,
    expiry) without verifying or consuming it."""

def verify_evidence(evidence_json: str, trusted_gate_public_key: str) -> str:
    """The verdict ("orvane.evidence-verification.v1") of an evidence file under the
    gate key the caller trusts; raises RuntimeError("ORVANE_EVIDENCE_MALFORMED: ...")
    for input that is no evidence file."""

class OrvaneDDB:
    """A gate: the decision ledger, the identity registry, policies, permits and outcomes."""

    def __new__(cls, db_path: str, keyfile: str) -> "OrvaneDDB": ...
    # Decision ledger
    def record(self, payload: str, rules: str, genesis: bool = False) -> str:
        """Signs and records one decision under the latest one (or as the genesis
        decision when `genesis` is true); returns the recorded decision.
        Refusals raise PermissionError."""
    def record_batch(self, decisions: Sequence[tuple[str, str]], genesis: bool = False) -> str:
        """Records `(payload, rules)` pairs in order, each under the one before,
        in one transaction; returns the recorded decisions. Refusals raise
        PermissionError."""
    def validate(self) -> str:
        """Re-verifies the whole ledger (chain, depths, times, hashes and
        signatures) and returns the report; an invalid ledger raises with the
        report as the message."""
    def export(self) -> str:
        """Returns every decision in ledger order."""
    def list(self, limit: int = 10, offset: int = 0) -> str:
        """Returns a page of decisions, newest (deepest) first."""
    def count(self) -> int:
        """Returns the number of recorded decisions."""
    # Identity registry
    def register_agent(self, public_key: str, alias: str, metadata: str = "{}") -> str:
        """Registers an agent key with its metadata (roles, `tenant_id`,
        `can_delegate`); the gate's own key first, which bootstraps the
        trusted root. Returns the signed registration."""
    def list_agents(self) -> str:
        """Returns every registered agent."""
    def get_agent(self, public_key: str) -> str:
        """Returns the registration of one agent key."""
    def rotate_agent(self, current_public_key: str, new_public_key: str) -> str:
        """Replaces an identity's active key by a new one; returns the signed
        rotation event."""
    def revoke_agent(self, public_key: str, reason: str) -> str:
        """Revokes an identity from now on; returns the signed revocation event."""
    def list_identity_events(self) -> str:
        """Returns every stored rotation and revocation event."""
    def verify_agent(self, public_key: str) -> bool:
        """True when the key speaks for an active identity now, verified against
        its signed history."""
    # Authorization
    def request_action(self, intent: str, agent_keyfile: str, ttl_seconds: int = 60) -> str:
        """Signs the intent with the agent's key file and asks for a permit; returns
        the authorization result (ALLOWED with the permit, or BLOCKED)."""
    def request_action_signed(
        self, intent: str, agent_id: str, agent_signature: str, ttl_seconds: int = 60
    ) -> str:
        """Asks for a permit with an intent the agent signed itself (over the
        intent's canonical bytes); returns the authorization result."""
    # Outcomes and traces
    def commit_outcome(self, authorization_id: str, outcome: str, executor_keyfile: str) -> str:
        """Signs the outcome with the executor's key file and commits it against
        its permit; returns the execution result with the gate's receipt."""
    def commit_outcome_signed(self, authorization_id: str, outcome: str) -> str:
        """Commits an outcome the executor signed (`complete_execution`'s
        result) against its permit, once; committing the identical outcome again
        returns the stored execution result."""
    def get_trace(self, action_id: str) -> str:
        """Returns the action's intent, authorization and execution."""
    def verify_trace(self, action_id: str) -> str:
        """Re-verifies the action's trace; returns the verdict with its reasons."""
    # Evidence files
    def export_evidence(self, action_id: str) -> str:
        """Returns the action's self-contained evidence file ("orvane.evidence.v1"),
        verified under the gate's own key before it is handed out."""
    # Policies
    def install_policy(self, policy_spec: str) -> str:
        """Signs and installs a tenant's policy bundle, retiring the previous
        one; returns the stored bundle."""
    def list_policies(self) -> str:
        """Returns every stored policy bundle."""
    # Signer
    def signer_conformance(self) -> str:
        """Signs a fixed message with the gate's signer and verifies it; returns
        the report."""
    def whoami(self) -> str:
        """Return the public key of the current keyfile ("who am I?")."""
    # Event stream and checkpoints
    def create_checkpoint(self, tenant_id: str = "*") -> str:
        """Re-verifies the tenant's stream and signs a checkpoint over it up to
        its last event; returns the checkpoint."""
    def export_event_stream(self, tenant_id: str = "*", from_sequence: int = 1, limit: int = 1000) -> str:
        """Returns up to `limit` events of the tenant's stream from `from_sequence` on."""
    def verify_checkpoint_stream(
        self, checkpoint_json: str, stream_json: str, expected_public_key: str | None = None
    ) -> str:
        """Checks an exported stream against a checkpoint, under
        `expected_public_key` (the gate's own key when None); returns the verdict."""
    def create_tree_head(self, tenant_id: str = "*") -> str:
        """Signs and stores the head of the tenant's stream tree, after checking
        that it extends the latest stored head; returns the note text."""
    def prove_inclusion(self, tenant_id: str, sequence_number: int, tree_size: int) -> str:
        """Returns the proof that the event `sequence_number` is in the tenant's
        tree of `tree_size` leaves."""
    def prove_consistency(self, tenant_id: str, old_size: int, new_size: int) -> str:
        """Returns the proof that the tenant's tree of `new_size` leaves extends
        the one of `old_size`."""

class OrvaneExecutor:
    """Verifies permits of one trusted gate and tenant and runs each action at most once."""

    def __new__(
        cls,
        db_path: str,
        keyfile: str,
        trusted_gate_id: str,
        trusted_tenant_id: str,
        pool_size: int = 8,
        gate_db: str | None = None,
    ) -> "OrvaneExecutor": ...
    def verify_and_consume_permit(self, permit_json: str) -> str:
        """Verifies a permit (schema, gate, tenant, signature, expiry, intent hash,
        policy binding and evidence, and the gate database's revocations and
        outcomes) and consumes it once, as STARTED; returns the consumption with
        its signed observation. Refusals raise PermissionError."""
    def complete_execution(self, authorization_id: str, action_id: str, status: str, output_json: str) -> str:
        """Ends a STARTED execution as SUCCEEDED or FAILED; returns the signed
        action outcome that the gate commits."""
    def mark_unknown(self, authorization_id: str, reason: str) -> str:
        """Ends a STARTED execution whose result will never be known as UNKNOWN."""
    def recover_incomplete(self, older_than_seconds: int = 0) -> str:
        """Marks every execution STARTED more than `older_than_seconds` ago as
        UNKNOWN; returns what it marked."""
    def get_execution_state(self, authorization_id: str) -> str:
        """Returns the stored state of one execution."""

class OrvaneWitness:
    """Keeps the latest accepted tree head of each log and cosigns only heads that extend it."""

    def __new__(cls, db_path: str, keyfile: str) -> "OrvaneWitness": ...
    def add_tree_head(self, note: str, public_key: str, consistency_proof_json: str) -> str:
        """Accepts a signed tree head of the log whose key is `public_key` when it
        extends the head held for that log (the consistency proof from the held
        size to its own; the first head of a log is taken as it is) and returns
        the witness's cosignature line for the note."""
    def split_views(self) -> str:
        """Returns the refused heads kept as evidence (heads that did not extend the
        held one), oldest first, as a JSON array."""

def verify_tree_head(note: str, public_key: str) -> str:
    """Checks a signed tree head under the gate key; returns the verdict document."""
def verify_inclusion(note: str, public_key: str, event_json: str, proof_json: str) -> str:
    """Checks that an exported event is in the tree a signed head commits to."""
def verify_consistency(old_note: str, new_note: str, public_key: str, proof_json: str) -> str:
    """Checks that a later signed tree head extends an earlier one."""
