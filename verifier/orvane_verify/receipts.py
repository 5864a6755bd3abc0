"""Re-verification of authorization results and execution results.

The authorization check runs the gate's decision procedure a second time over
the stored inputs (the intent, the agent's signature, the policy bundle and the
registry), and the execution check binds the outcome to its permit. Each
disagreement is a reason code; a failed sub-check contributes its message.
"""

from .canonical import canonical_bytes, canonical_text, json_equal
from .identity import IdentityError
from .intent import ContractError, derive_action_id, validate_intent_contract
from .policy import PolicyError, evaluate_policy, verify_policy_bundle
from .rules import (canonical_digest, has_member, hex_bytes, is_non_blank, is_uint, member,
                    optional_pair_equal, sha256_hex, string, uint, verify_signature)

RESULT_SCHEMA = "orvane.authorization-result.v1"
RECEIPT_SCHEMA = "orvane.authorization-receipt.v1"
IDENTITY_GATE_POLICY = "orvane.identity-gate.v1"
EXECUTION_RESULT_SCHEMA = "orvane.execution-result.v1"
EXECUTION_RECEIPT_SCHEMA = "orvane.execution-receipt.v1"
OUTCOME_SCHEMA = "orvane.action-outcome.v1"
REQUEST_DENIALS = ("INVALID_AGENT_SIGNATURE", "AGENT_NOT_REGISTERED", "AGENT_TENANT_SCOPE_DENIED",
                   "REQUEST_STALE", "REQUEST_FROM_FUTURE")
MAX_AGE = 300_000_000
MAX_LEAD = 60_000_000


def _resolve(registry, key, at):
    """(resolved or None, error message or None)."""
    try:
        return registry.resolve(key, at), None
    except IdentityError as exc:
        return None, str(exc)


def receipt_ttl(receipt):
    if not is_uint(member(receipt, "expires_at")):
        return 0
    expires, issued = receipt["expires_at"], uint(receipt, "issued_at")
    return 0 if expires < issued else (expires - issued) // 1_000_000


def decide(signature_valid, agent, intent_tenant, requested_at, issued_at, policy):
    if not signature_valid:
        return "BLOCKED", ["INVALID_AGENT_SIGNATURE"]
    if agent is None or not agent.active:
        return "BLOCKED", ["AGENT_NOT_REGISTERED"]
    if agent.tenant_id != "*" and agent.tenant_id != intent_tenant:
        return "BLOCKED", ["AGENT_TENANT_SCOPE_DENIED"]
    if max(issued_at - requested_at, 0) > MAX_AGE:
        return "BLOCKED", ["REQUEST_STALE"]
    if max(requested_at - issued_at, 0) > MAX_LEAD:
        return "BLOCKED", ["REQUEST_FROM_FUTURE"]
    if policy.decision == "BLOCKED":
        return "BLOCKED", list(policy.reason_codes)
    return "ALLOWED", ["IDENTITY_VERIFIED", "POLICY_ALLOWED"]


def _strings(value):
    return [v for v in value if isinstance(v, str)] if isinstance(value, list) else []


def verify_authorization_result(registry, result, agent_out=None):
    """Every disagreement, in order. `agent_out`, a list when given, receives the
    agent's identity as resolved at issued_at for the decision reproduction."""
    codes = []
    if string(result, "schema_version") != RESULT_SCHEMA:
        codes.append("AUTHORIZATION_RESULT_SCHEMA_MISMATCH")
    if not isinstance(result, dict):
        codes.append("AUTHORIZATION_RECEIPT_MISSING")
        return codes
    if "authorization" not in result:
        codes.append("AUTHORIZATION_RECEIPT_MISSING")
        return codes
    stated = result["authorization"]
    if not isinstance(stated, dict):
        codes.append("AUTHORIZATION_RECEIPT_INVALID")
        return codes
    authorization_id = stated.get("authorization_id")
    gate_signature = stated.get("gate_signature")
    if not isinstance(authorization_id, str):
        return codes + ["AUTHORIZATION_ID_MISSING"]
    if not isinstance(gate_signature, str):
        return codes + ["GATE_SIGNATURE_MISSING"]
    receipt = {k: v for k, v in stated.items() if k not in ("authorization_id", "gate_signature")}

    if canonical_digest(receipt) != authorization_id:
        codes.append("AUTHORIZATION_ID_MISMATCH")
    if string(receipt, "schema_version") != RECEIPT_SCHEMA:
        codes.append("AUTHORIZATION_RECEIPT_SCHEMA_MISMATCH")
    gate_id = string(receipt, "gate_id")
    digest = hex_bytes(authorization_id)
    if digest is None or not verify_signature(gate_id, digest, gate_signature):
        codes.append("GATE_SIGNATURE_INVALID")
    issued_at = uint(receipt, "issued_at")
    gate, error = _resolve(registry, gate_id, issued_at)
    if error is not None:
        codes.append(error)
    elif gate is None or not gate.active or not gate.can_delegate:
        codes.append("GATE_IDENTITY_NOT_TRUSTED")

    has_bundle = "policy_bundle" in result
    bundle = result.get("policy_bundle")
    bundle_verified = False
    if has_bundle:
        try:
            verify_policy_bundle(bundle, gate_id)
            bundle_verified = True
        except PolicyError as exc:
            codes.append(str(exc))
        if not optional_pair_equal(receipt, "policy_version", bundle, "policy_version"):
            codes.append("AUTHORIZATION_POLICY_VERSION_MISMATCH")
        if not optional_pair_equal(receipt, "policy_digest", bundle, "policy_digest"):
            codes.append("AUTHORIZATION_POLICY_DIGEST_MISMATCH")
        if not optional_pair_equal(receipt, "gate_signer", bundle, "signer"):
            codes.append("AUTHORIZATION_SIGNER_METADATA_MISMATCH")
    elif string(receipt, "policy_version") != IDENTITY_GATE_POLICY:
        codes.append("AUTHORIZATION_POLICY_BUNDLE_MISSING")

    if "intent" not in result:
        codes.append("INTENT_MISSING")
        return codes
    intent = result["intent"]
    intent_bytes = canonical_bytes(intent)
    if sha256_hex(intent_bytes) != string(receipt, "intent_hash"):
        codes.append("INTENT_HASH_MISMATCH")

    evaluation, evaluation_error = None, None
    if has_bundle:
        try:
            evaluation = evaluate_policy(bundle, intent, receipt_ttl(receipt), verified=bundle_verified)
        except PolicyError as exc:
            evaluation_error = str(exc)
            codes.append(evaluation_error)
        else:
            stated_evidence = receipt.get("evidence_digest")
            if not isinstance(stated_evidence, str) or stated_evidence != evaluation.evidence_digest:
                codes.append("AUTHORIZATION_EVIDENCE_DIGEST_MISMATCH")
            if "executor_constraints" not in receipt or not json_equal(receipt["executor_constraints"],
                                                                         evaluation.executor_constraints):
                codes.append("AUTHORIZATION_EXECUTOR_CONSTRAINTS_MISMATCH")
            if not any(c in REQUEST_DENIALS for c in _strings(receipt.get("reason_codes"))):
                decision = receipt.get("decision")
                if not isinstance(decision, str) or decision != evaluation.decision:
                    codes.append("AUTHORIZATION_POLICY_DECISION_MISMATCH")

    agent_id = string(receipt, "agent_id")
    signature_valid = verify_signature(agent_id, intent_bytes, string(result, "agent_signature"))
    if not signature_valid and not (string(receipt, "decision") == "BLOCKED"
                                    and "INVALID_AGENT_SIGNATURE" in _strings(receipt.get("reason_codes"))):
        codes.append("AGENT_SIGNATURE_INVALID")
    try:
        tenant_id, _, idempotency_key, requested_at = validate_intent_contract(intent, agent_id)
    except ContractError as exc:
        codes.append(str(exc))
        return codes
    action_id = receipt.get("action_id")
    if not isinstance(action_id, str) or action_id != derive_action_id(tenant_id, agent_id, idempotency_key):
        codes.append("AUTHORIZATION_ACTION_ID_MISMATCH")
    stated_tenant = receipt.get("tenant_id")
    if not isinstance(stated_tenant, str) or stated_tenant != tenant_id:
        codes.append("AUTHORIZATION_TENANT_ID_MISMATCH")

    if not has_bundle:
        return codes
    agent, error = _resolve(registry, agent_id, issued_at)
    if error is not None:
        codes.append(error)
        return codes
    if agent_out is not None:
        agent_out.append(agent)
    if evaluation is None:
        codes.append(evaluation_error)
        return codes
    decision, reasons = decide(signature_valid, agent, tenant_id, requested_at, issued_at, evaluation)
    stated_decision = receipt.get("decision")
    if not isinstance(stated_decision, str) or stated_decision != decision:
        codes.append("AUTHORIZATION_DECISION_NOT_REPRODUCIBLE")
    stated_codes = receipt.get("reason_codes")
    if not isinstance(stated_codes, list) or not json_equal(stated_codes, reasons):
        codes.append("AUTHORIZATION_REASON_CODES_NOT_REPRODUCIBLE")
    return codes


def validate_outcome_contract(outcome, authorization_id, action_id):
    """The outcome's status; raises ContractError."""
    def non_blank(name):
        value = outcome.get(name)
        if not is_non_blank(value):
            raise ContractError("ORVANE_INVALID_CONTRACT: '%s' must be a non-empty string" % name)
        return value

    if not isinstance(outcome, dict):
        raise ContractError("ORVANE_INVALID_CONTRACT: action outcome must be a JSON object")
    if non_blank("schema_version") != OUTCOME_SCHEMA:
        raise ContractError("ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-outcome.v1'")
    if non_blank("authorization_id") != authorization_id:
        raise ContractError("ORVANE_AUTHORIZATION_MISMATCH: outcome authorization_id does not match")
    if non_blank("action_id") != action_id:
        raise ContractError("ORVANE_ACTION_ID_MISMATCH: outcome action_id does not match")
    status = non_blank("status")
    if status not in ("SUCCEEDED", "FAILED"):
        raise ContractError("ORVANE_INVALID_CONTRACT: outcome status must be SUCCEEDED or FAILED")
    return status


def outcome_signing_bytes(outcome):
    """The canonical bytes the executor signed, and the stated signature."""
    if not isinstance(outcome, dict):
        return canonical_bytes(outcome), ""
    signature = outcome.get("executor_signature")
    body = {k: v for k, v in outcome.items() if k != "executor_signature"}
    return canonical_bytes(body), signature if isinstance(signature, str) else ""


def verify_execution_result(registry, authorization_result, execution_result):
    codes = []
    if string(execution_result, "schema_version") != EXECUTION_RESULT_SCHEMA:
        codes.append("EXECUTION_RESULT_SCHEMA_MISMATCH")
    if not isinstance(execution_result, dict):
        codes.append("EXECUTION_RECEIPT_MISSING")
        return codes
    if "receipt" not in execution_result:
        return codes + ["EXECUTION_RECEIPT_MISSING"]
    stated = execution_result["receipt"]
    if not isinstance(stated, dict):
        return codes + ["EXECUTION_RECEIPT_INVALID"]
    receipt_id = stated.get("receipt_id")
    signature = stated.get("gate_signature")
    if not isinstance(receipt_id, str):
        return codes + ["EXECUTION_RECEIPT_ID_MISSING"]
    if not isinstance(signature, str):
        return codes + ["EXECUTION_GATE_SIGNATURE_MISSING"]
    receipt = {k: v for k, v in stated.items() if k not in ("receipt_id", "gate_signature")}
    if canonical_digest(receipt) != receipt_id:
        codes.append("EXECUTION_RECEIPT_ID_MISMATCH")
    if string(receipt, "schema_version") != EXECUTION_RECEIPT_SCHEMA:
        codes.append("EXECUTION_RECEIPT_SCHEMA_MISMATCH")
    digest = hex_bytes(receipt_id)
    if digest is None or not verify_signature(string(receipt, "gate_id"), digest, signature):
        codes.append("EXECUTION_GATE_SIGNATURE_INVALID")
    # A valid signature says only that some key sealed the receipt: that key
    # must have stood for the gate when the receipt says it was made.
    completed_at = uint(receipt, "completed_at")
    gate, error = _resolve(registry, string(receipt, "gate_id"), completed_at)
    if error is not None:
        codes.append(error)
    elif gate is None or not gate.active or not gate.can_delegate:
        codes.append("EXECUTION_GATE_NOT_TRUSTED")

    permit = member(authorization_result, "authorization")
    for name in ("authorization_id", "action_id", "intent_hash"):
        if not optional_pair_equal(receipt, name, permit, name):
            codes.append("EXECUTION_%s_MISMATCH" % name.upper())
    if "executor_id" in receipt and has_member(permit, "agent_id") and json_equal(receipt["executor_id"],
                                                                                   permit["agent_id"]):
        codes.append("EXECUTOR_AGENT_COLLUSION")

    if "outcome" not in execution_result:
        return codes + ["OUTCOME_MISSING"]
    outcome = execution_result["outcome"]
    signed, executor_signature = outcome_signing_bytes(outcome)
    if sha256_hex(signed) != string(receipt, "outcome_hash"):
        codes.append("OUTCOME_HASH_MISMATCH")
    executor_id = string(receipt, "executor_id")
    if not verify_signature(executor_id, signed, executor_signature):
        codes.append("EXECUTOR_SIGNATURE_INVALID")

    executor, error = _resolve(registry, executor_id, completed_at)
    if error is not None:
        codes.append(error)
    elif executor is None or not executor.active:
        codes.append("EXECUTOR_IDENTITY_NOT_TRUSTED")
    else:
        tenant = permit.get("tenant_id") if isinstance(permit, dict) else None
        tenant = tenant if isinstance(tenant, str) else "*"
        if executor.tenant_id != "*" and tenant != "*" and executor.tenant_id != tenant:
            codes.append("EXECUTOR_TENANT_SCOPE_MISMATCH")
        from .canonical import JsonError, parse

        try:
            metadata = parse(executor.metadata)
        except JsonError:
            metadata = None
        if isinstance(metadata, dict) and metadata.get("role") == "proposer":
            codes.append("EXECUTOR_ROLE_INVALID")

    try:
        validate_outcome_contract(outcome, string(permit, "authorization_id"), string(permit, "action_id"))
    except ContractError as exc:
        codes.append(str(exc))
    if not optional_pair_equal(receipt, "status", outcome, "status"):
        codes.append("EXECUTION_STATUS_MISMATCH")
    return codes


__all__ = ["verify_authorization_result", "verify_execution_result", "validate_outcome_contract",
           "outcome_signing_bytes", "receipt_ttl", "canonical_text", "is_non_blank"]
