"""Verification of one evidence file ("orvane.evidence.v1").

The file carries every document an action rests on; nothing is looked up
elsewhere. The only input trusted is the gate key the auditor passes. The
verdict has one entry per check; the file is VERIFIED when no check found a
problem.
"""

from . import merkle, treehead
from .canonical import canonical_bytes
from .checkpoint import event_digest_of
from .identity import IdentityError, Registry
from .policy import attestation_digest
from .receipts import validate_outcome_contract, verify_authorization_result, verify_execution_result
from .intent import ContractError
from .rules import canonical_digest, hex_bytes, is_uint, member, sha256_hex, string, uint, verify_digest_signature

EVIDENCE_SCHEMA = "orvane.evidence.v1"
VERDICT_SCHEMA = "orvane.evidence-verification.v1"
STREAM_EVENT_SCHEMA = "orvane.event-stream-event.v1"
ATTESTATION_SCHEMA = "orvane.active-policy-attestation.v1"
CHECKS = ("evidence", "receipt", "policy", "agent_standing", "execution_receipt", "outcome",
          "executor_standing", "log_inclusion", "tree_head")


class MalformedEvidence(ValueError):
    """The file is not an evidence file at all (exit status 2)."""


def _require(condition, message):
    if not condition:
        raise MalformedEvidence(message)


def _objects(value, name):
    _require(isinstance(value, list) and all(isinstance(v, dict) for v in value),
             "%s must be an array of objects" % name)
    return value


def check_structure(evidence):
    """The container's shape; the documents inside are judged by the checks."""
    _require(isinstance(evidence, dict), "evidence must be a JSON object")
    _require(evidence.get("schema_version") == EVIDENCE_SCHEMA, "schema_version must be '%s'" % EVIDENCE_SCHEMA)
    _require(isinstance(evidence.get("action_id"), str), "action_id must be a string")
    _require(isinstance(evidence.get("authorization"), dict), "authorization must be an object")
    for name in ("execution", "policy_attestation"):
        _require(name in evidence and (evidence[name] is None or isinstance(evidence[name], dict)),
                 "%s must be an object or null" % name)
    _objects(evidence.get("registrations"), "registrations")
    _objects(evidence.get("lifecycle_events"), "lifecycle_events")
    for log in _objects(evidence.get("logs"), "logs"):
        _require(isinstance(log.get("tenant_id"), str), "logs[].tenant_id must be a string")
        _require("tree_head" not in log or isinstance(log["tree_head"], str), "logs[].tree_head must be a string")
        for entry in _objects(log.get("entries"), "logs[].entries"):
            _require(isinstance(entry.get("event"), dict), "logs[].entries[].event must be an object")
            _require("inclusion_proof" not in entry or isinstance(entry["inclusion_proof"], dict),
                     "logs[].entries[].inclusion_proof must be an object")


def _resolve(registry, key, at):
    try:
        return registry.resolve(key, at), None
    except IdentityError as exc:
        return None, str(exc)


# -- the checks that answer one question each ------------------------------


def _binding(evidence, trusted_key):
    codes = []
    receipt = member(evidence["authorization"], "authorization")
    if string(receipt, "action_id") != evidence["action_id"]:
        codes.append("EVIDENCE_ACTION_MISMATCH: authorization")
    if string(receipt, "gate_id") != trusted_key:
        codes.append("EVIDENCE_GATE_MISMATCH: authorization")
    execution = evidence["execution"]
    if execution is not None:
        stated = member(execution, "receipt")
        if string(stated, "action_id") != evidence["action_id"]:
            codes.append("EVIDENCE_ACTION_MISMATCH: execution")
        if string(stated, "gate_id") != trusted_key:
            codes.append("EVIDENCE_GATE_MISMATCH: execution")
    # Every registration the file shows must be one its registrar signed, also
    # those that no resolution reads (a key rotated in after the action).
    for index, entry in enumerate(evidence["registrations"]):
        registration = member(entry, "registration")
        event_id = member(entry, "event_id")
        if (not isinstance(registration, dict) or not isinstance(event_id, str)
                or canonical_digest(registration) != event_id
                or not verify_digest_signature(string(registration, "registered_by"), event_id,
                                               string(entry, "signature"))):
            codes.append("EVIDENCE_REGISTRATION_INVALID: %d" % index)
    return codes


def _policy(evidence, trusted_key):
    result = evidence["authorization"]
    if "policy_bundle" not in result:
        return None
    bundle = result["policy_bundle"]
    receipt = member(result, "authorization")
    codes = []
    bundle_tenant = string(bundle, "tenant_id")
    if bundle_tenant != "*" and bundle_tenant != string(receipt, "tenant_id"):
        codes.append("POLICY_TENANT_NOT_APPLICABLE")
    envelope = evidence["policy_attestation"]
    if envelope is None:
        return codes + ["POLICY_ATTESTATION_MISSING"]
    attestation = member(envelope, "attestation")
    if not isinstance(attestation, dict) or not verify_digest_signature(
            trusted_key, attestation_digest(attestation), string(envelope, "signature")):
        return codes + ["POLICY_ATTESTATION_SIGNATURE_INVALID"]
    names_bundle = string(attestation, "policy_version") == string(bundle, "policy_version")
    consistent = (string(attestation, "schema_version") == ATTESTATION_SCHEMA
                  and string(attestation, "tenant_id") == bundle_tenant
                  and (string(attestation, "policy_digest") == string(bundle, "policy_digest") if names_bundle
                       # a later installation replaced the attestation after the action
                       else uint(attestation, "activated_at") > uint(receipt, "issued_at")))
    if not consistent:
        codes.append("POLICY_ATTESTATION_MISMATCH")
    return codes


def _execution_receipt(evidence, registry, agent):
    """The execution result against its permit; the gate never commits an outcome
    at or after a revocation of the permit's agent."""
    result, execution = evidence["authorization"], evidence["execution"]
    codes = verify_execution_result(registry, result, execution)
    issued_at = uint(member(result, "authorization"), "issued_at")
    stated = member(execution, "receipt")
    revoked_at = agent.revoked_at if agent is not None else None
    if revoked_at is not None and revoked_at > issued_at and isinstance(stated, dict) and \
            uint(stated, "completed_at") >= revoked_at:
        codes.append("EXECUTION_AFTER_REVOCATION")
    return codes


def _agent_standing(evidence, registry):
    receipt = member(evidence["authorization"], "authorization")
    agent, error = _resolve(registry, string(receipt, "agent_id"), uint(receipt, "issued_at"))
    if error is not None:
        return [error]
    if string(receipt, "decision") != "ALLOWED":
        return []  # a refusal needs no standing; the receipt check reproduces why it was refused
    if agent is None or not agent.active:
        return ["AGENT_NOT_ACTIVE_AT_ISSUE"]
    if agent.tenant_id != "*" and agent.tenant_id != string(receipt, "tenant_id"):
        return ["AGENT_TENANT_SCOPE_MISMATCH"]
    return []


def _outcome(evidence):
    execution = evidence["execution"]
    receipt = member(evidence["authorization"], "authorization")
    codes = []
    try:
        status = validate_outcome_contract(member(execution, "outcome"), string(receipt, "authorization_id"),
                                           evidence["action_id"])
    except ContractError as exc:
        return [str(exc)]
    if string(member(execution, "receipt"), "status") != status:
        codes.append("EXECUTION_STATUS_MISMATCH")
    return codes


def _executor_standing(evidence, registry):
    execution = evidence["execution"]
    stated = member(execution, "receipt")
    receipt = member(evidence["authorization"], "authorization")
    executor, error = _resolve(registry, string(stated, "executor_id"), uint(stated, "completed_at"))
    if error is not None:
        return [error]
    if executor is None or not executor.active:
        return ["EXECUTOR_IDENTITY_NOT_TRUSTED"]
    tenant = member(receipt, "tenant_id")
    tenant = tenant if isinstance(tenant, str) else "*"
    if executor.tenant_id != "*" and tenant != "*" and executor.tenant_id != tenant:
        return ["EXECUTOR_TENANT_SCOPE_MISMATCH"]
    return []


# -- the log ----------------------------------------------------------------


def announcements(evidence):
    """Every (event type, tenant, event id, document) the gate's streams must hold."""
    result = evidence["authorization"]
    receipt = member(result, "authorization")
    tenant = string(receipt, "tenant_id")
    wanted = [("action.authorized", tenant, string(receipt, "authorization_id"), result)]
    execution = evidence["execution"]
    if execution is not None:
        stated = member(execution, "receipt")
        kind = "action.executed" if string(stated, "status") == "SUCCEEDED" else "action.failed"
        wanted.append((kind, tenant, string(stated, "receipt_id"), execution))
    if "policy_bundle" in result:
        bundle = result["policy_bundle"]
        wanted.append(("policy.published", string(bundle, "tenant_id"), string(bundle, "policy_digest"), bundle))
    for entry in evidence["registrations"]:
        registration = member(entry, "registration")
        if isinstance(registration, dict) and "rotation_event_id" in registration:
            continue  # a rotated-in key is announced by its identity's rotation
        tenant_id = member(registration, "tenant_id")
        wanted.append(("agent.registered", tenant_id if isinstance(tenant_id, str) else "*",
                       string(entry, "event_id"), registration))
    for envelope in evidence["lifecycle_events"]:
        event = member(envelope, "event")
        kind = "identity.rotated" if string(event, "event_type") == "ROTATE" else "identity.revoked"
        tenant_id = member(event, "tenant_id")
        wanted.append((kind, tenant_id if isinstance(tenant_id, str) else "*",
                       string(event, "identity_id") + ":" + string(envelope, "event_id"), envelope))
    return wanted


def _logs_by_tenant(evidence):
    logs = {}
    for log in evidence["logs"]:
        logs.setdefault(log["tenant_id"], log)
    return logs


def _head(log):
    try:
        return treehead.parse_note(log["tree_head"])
    except treehead.NoteError:
        return None


def _included(entry, head):
    """Whether the entry's event sits in the tree the head signs."""
    event, proof = entry["event"], entry.get("inclusion_proof")
    if not isinstance(proof, dict):
        return False
    sequence = event.get("sequence_number")
    leaf = hex_bytes(event.get("event_digest"))
    if head is None or not is_uint(sequence) or sequence < 1 or leaf is None or len(leaf) != 32:
        return False
    if not is_uint(proof.get("leaf_index")) or proof["leaf_index"] != sequence - 1:
        return False
    if not is_uint(proof.get("tree_size")) or proof["tree_size"] != head.size:
        return False
    hashes = proof.get("hashes")
    if not isinstance(hashes, list):
        return False
    hashes = [hex_bytes(h) for h in hashes]
    if any(h is None or len(h) != 32 for h in hashes):
        return False
    return merkle.verify_inclusion(sequence - 1, head.size, merkle.leaf_hash(leaf), hashes, head.root)


def _log_inclusion(evidence):
    codes = []
    logs = _logs_by_tenant(evidence)
    for kind, tenant, event_id, document in announcements(evidence):
        log = logs.get(tenant)
        entry = None
        if log is not None:
            for candidate in log["entries"]:
                event = candidate["event"]
                if event.get("event_type") == kind and event.get("event_id") == event_id:
                    entry = candidate
                    break
        if entry is None:
            codes.append("LOG_ENTRY_MISSING: " + kind)
            continue
        event = entry["event"]
        if (event.get("schema_version") != STREAM_EVENT_SCHEMA or event.get("tenant_id") != tenant
                or event_digest_of(event) != event.get("event_digest")):
            codes.append("LOG_EVENT_INVALID: " + kind)
            continue
        if event.get("payload_hash") != sha256_hex(canonical_bytes(document)):
            codes.append("LOG_PAYLOAD_MISMATCH: " + kind)
        # A log exported without a tree head proves presence in the file only.
        if "tree_head" in log and not _included(entry, _head(log)):
            codes.append("LOG_INCLUSION_INVALID: " + kind)
    return codes


def _tree_heads(evidence, trusted_key):
    logs = {tenant: log for tenant, log in _logs_by_tenant(evidence).items() if "tree_head" in log}
    if not logs:
        return None  # a file exported by a gate that keeps no signed tree heads
    codes = []
    for tenant, log in logs.items():
        verdict = treehead.verify_tree_head(log["tree_head"], trusted_key)
        if verdict["status"] != "VERIFIED":
            codes.append("%s: %s" % (verdict["reason_code"], tenant))
        elif not treehead.origin_names(verdict["origin"], trusted_key, tenant):
            codes.append("TREE_HEAD_ORIGIN_MISMATCH: " + tenant)
    return codes


# -- the verdict --------------------------------------------------------------


def _entry(codes):
    if codes is None:
        return {"status": "NOT_PRESENT", "reason_codes": []}
    return {"status": "FAILED" if codes else "VERIFIED", "reason_codes": list(codes)}


def verify_evidence(evidence, trusted_gate_key):
    """The verdict for a parsed evidence file; raises MalformedEvidence."""
    check_structure(evidence)
    trusted_key = trusted_gate_key.lower()
    logged = [entry["event"] for log in evidence["logs"] for entry in log["entries"]]
    registry = Registry(evidence["registrations"], evidence["lifecycle_events"], trusted_key, logged)
    result = evidence["authorization"]
    execution = evidence["execution"]
    has_execution = execution is not None
    agent = []  # the agent as the receipt check resolved it at issued_at
    checks = {
        "evidence": _binding(evidence, trusted_key),
        "receipt": verify_authorization_result(registry, result, agent),
        "policy": _policy(evidence, trusted_key),
        "agent_standing": _agent_standing(evidence, registry),
        "execution_receipt": _execution_receipt(evidence, registry, agent[0] if agent else None)
        if has_execution else None,
        "outcome": _outcome(evidence) if has_execution else None,
        "executor_standing": _executor_standing(evidence, registry) if has_execution else None,
        "log_inclusion": _log_inclusion(evidence),
        "tree_head": _tree_heads(evidence, trusted_key),
    }
    entries = {name: _entry(checks[name]) for name in CHECKS}
    failed = any(e["status"] == "FAILED" for e in entries.values())
    receipt = member(result, "authorization")
    decision = member(receipt, "decision")
    status = member(member(execution, "receipt"), "status")
    return {
        "schema_version": VERDICT_SCHEMA,
        "status": "INVALID" if failed else "VERIFIED",
        "action_id": evidence["action_id"],
        "decision": decision if isinstance(decision, str) else None,
        "execution_status": status if isinstance(status, str) else None,
        "checks": entries,
    }
