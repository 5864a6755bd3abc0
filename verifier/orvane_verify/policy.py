"""Policy bundles: verification, content rules and the evaluation of an intent.

Evaluation is a pure function of the bundle, the intent and the time-to-live,
so the verifier reaches the gate's answer from the same three documents.
Failures are message texts (returned as PolicyError), exactly as the gate
words them, because they appear verbatim among a receipt's reason codes.
"""

from .canonical import canonical_bytes, canonical_text
from .intent import ContractError, resolve_money
from .rules import hex_bytes, is_non_blank, is_uint, member, sha256_hex, verify_signature

BUNDLE_SCHEMA = "orvane.policy-bundle.v1"
EVIDENCE_SCHEMA = "orvane.policy-evidence.v1"
INT64_MAX = 2**63 - 1
CONSTRAINT_KEYS = ("allowed_action_types", "allowed_resources", "allowed_executors", "max_ttl_seconds",
                   "max_input_bytes", "allowed_currencies", "allowed_beneficiaries", "max_money_amount_minor")
UNSIGNED_MEMBERS = ("policy_digest", "signature", "status", "retired_at")


class PolicyError(Exception):
    pass


def check_pattern_list(value, label):
    if not isinstance(value, list):
        raise PolicyError("ORVANE_POLICY_INVALID: %s must be an array" % label)
    if not value:
        raise PolicyError("ORVANE_POLICY_INVALID: %s must not be empty" % label)
    for entry in value:
        if not isinstance(entry, str) or not entry:
            raise PolicyError("ORVANE_POLICY_INVALID: %s entries must be strings" % label)


def _check_bounded(constraints, key, maximum):
    value = constraints.get(key)
    if not is_uint(value):
        raise PolicyError("ORVANE_POLICY_INVALID: %s is required" % key)
    if value < 1 or value > maximum:
        raise PolicyError("ORVANE_POLICY_INVALID: %s must be 1..%d" % (key, maximum))


def validate_policy_content(document):
    if not isinstance(document, dict) or member(document, "schema_version") != BUNDLE_SCHEMA:
        raise PolicyError("ORVANE_POLICY_SCHEMA_UNKNOWN")
    if not is_non_blank(document.get("policy_version")):
        raise PolicyError("ORVANE_POLICY_INVALID: 'policy_version' is required")
    if not is_non_blank(document.get("tenant_id")):
        raise PolicyError("ORVANE_POLICY_INVALID: 'tenant_id' is required")
    constraints = document.get("constraints")
    if not isinstance(constraints, dict):
        raise PolicyError("ORVANE_POLICY_INVALID: constraints must be an object")
    for key in sorted(constraints, key=lambda k: k.encode("utf-8")):
        if key not in CONSTRAINT_KEYS:
            raise PolicyError("ORVANE_POLICY_CONSTRAINT_UNKNOWN: '%s'" % key)
    for key in ("allowed_action_types", "allowed_resources", "allowed_executors"):
        check_pattern_list(constraints.get(key), key)
    _check_bounded(constraints, "max_ttl_seconds", 86400)
    _check_bounded(constraints, "max_input_bytes", 10000000)
    for key in ("allowed_currencies", "allowed_beneficiaries"):
        if key in constraints:
            check_pattern_list(constraints[key], key)
    if "max_money_amount_minor" in constraints and not is_uint(constraints["max_money_amount_minor"]):
        raise PolicyError("ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer")


def verify_policy_bundle(bundle, expected_key=None):
    """Raises PolicyError with the gate's message when the bundle does not verify."""
    if not isinstance(bundle, dict) or member(bundle, "schema_version") != BUNDLE_SCHEMA:
        raise PolicyError("ORVANE_POLICY_SCHEMA_UNKNOWN")
    if not is_non_blank(bundle.get("policy_digest")):
        raise PolicyError("ORVANE_POLICY_INVALID: 'policy_digest' is required")
    if not is_non_blank(bundle.get("signature")):
        raise PolicyError("ORVANE_POLICY_INVALID: 'signature' is required")
    if "signer" not in bundle:
        raise PolicyError("ORVANE_POLICY_SIGNER_MISSING")
    signer = bundle["signer"] if isinstance(bundle["signer"], dict) else {}
    for name in ("signer_uri", "key_version", "algorithm", "public_key"):
        if not is_non_blank(signer.get(name)):
            raise PolicyError("ORVANE_POLICY_INVALID: '%s' is required" % name)
    if expected_key is not None and expected_key != signer["public_key"]:
        raise PolicyError("ORVANE_POLICY_SIGNER_UNTRUSTED")
    if signer["algorithm"] != "Ed25519":
        raise PolicyError("ORVANE_POLICY_SIGNER_UNKNOWN")
    body = {k: v for k, v in bundle.items() if k not in UNSIGNED_MEMBERS}
    digest = bundle["policy_digest"]
    if sha256_hex(canonical_bytes(body)) != digest:
        raise PolicyError("ORVANE_POLICY_DIGEST_MISMATCH")
    digest_bytes = hex_bytes(digest)
    if digest_bytes is None:
        raise PolicyError("ORVANE_POLICY_DIGEST_INVALID")
    if not verify_signature(signer["public_key"], digest_bytes, bundle["signature"]):
        raise PolicyError("ORVANE_POLICY_SIGNATURE_INVALID")
    validate_policy_content(bundle)


def _matches(patterns, candidate):
    for pattern in patterns:
        if pattern == "*" or pattern == candidate:
            return True
        if pattern.endswith("*") and candidate.startswith(pattern[:-1]):
            return True
    return False


def match_patterns(patterns, candidate):
    check_pattern_list(patterns, "pattern list")
    return _matches(patterns, candidate)


def _is_deterministic(value):
    if isinstance(value, float):
        return False
    if isinstance(value, bool):
        return True
    if isinstance(value, int):
        return value <= INT64_MAX
    if isinstance(value, list):
        return all(_is_deterministic(v) for v in value)
    if isinstance(value, dict):
        return all(_is_deterministic(v) for v in value.values())
    return True


def _required_string(document, name):
    value = member(document, name)
    if not is_non_blank(value):
        raise PolicyError("ORVANE_POLICY_INVALID: '%s' is required" % name)
    return value


def evaluate_money(constraints, money):
    try:
        asset, amount_minor = resolve_money(money)
    except ContractError as exc:
        raise PolicyError(str(exc)) from None
    if "allowed_currencies" in constraints:
        if not match_patterns(constraints["allowed_currencies"], asset):
            return False
    if "allowed_beneficiaries" in constraints:
        beneficiary = money.get("beneficiary")
        if not isinstance(beneficiary, str):
            raise PolicyError("ORVANE_INVALID_CONTRACT: money.beneficiary is required when "
                              "allowed_beneficiaries is constrained")
        if not match_patterns(constraints["allowed_beneficiaries"], beneficiary):
            return False
    if "max_money_amount_minor" in constraints:
        cap = constraints["max_money_amount_minor"]
        if not is_uint(cap):
            raise PolicyError("ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer")
        if amount_minor > cap:
            return False
    return True


class Evaluation:
    __slots__ = ("decision", "reason_codes", "evidence_digest", "executor_constraints")


def evaluate_policy(bundle, intent, ttl_seconds, verified=False):
    """Raises PolicyError; otherwise the decision, codes, evidence digest and executor constraints."""
    if not verified:
        verify_policy_bundle(bundle)
    constraints = member(bundle, "constraints")
    if not isinstance(constraints, dict):
        raise PolicyError("ORVANE_POLICY_INVALID: constraints must be an object")
    reasons = []
    intent_tenant = _required_string(intent, "tenant_id")
    bundle_tenant = _required_string(bundle, "tenant_id")
    if bundle_tenant != "*" and bundle_tenant != intent_tenant:
        reasons.append("POLICY_TENANT_DENIED")
    if not match_patterns(constraints.get("allowed_action_types"), _required_string(intent, "action_type")):
        reasons.append("POLICY_ACTION_DENIED")
    if not match_patterns(constraints.get("allowed_resources"), _required_string(intent, "resource")):
        reasons.append("POLICY_RESOURCE_DENIED")
    max_ttl = constraints.get("max_ttl_seconds")
    if not is_uint(max_ttl):
        raise PolicyError("ORVANE_POLICY_INVALID: max_ttl_seconds is required")
    if max_ttl < ttl_seconds:
        reasons.append("POLICY_TTL_DENIED")
    data = intent["input"] if isinstance(intent, dict) and "input" in intent else {}
    if not _is_deterministic(data):
        reasons.append("POLICY_NON_DETERMINISTIC_INPUT")
    max_input = constraints.get("max_input_bytes")
    if not is_uint(max_input):
        raise PolicyError("ORVANE_POLICY_INVALID: max_input_bytes is required")
    if max_input < len(canonical_bytes(data)):
        reasons.append("POLICY_INPUT_TOO_LARGE")
    money = member(intent, "money")
    if money is not None:
        if not evaluate_money(constraints, money):
            reasons.append("POLICY_MONEY_DENIED")
    allowed = not reasons
    if allowed:
        reasons.append("POLICY_ALLOWED")
    policy_digest = _required_string(bundle, "policy_digest")
    evidence = {"schema_version": EVIDENCE_SCHEMA, "policy_digest": policy_digest, "intent": intent,
                "ttl_seconds": ttl_seconds}
    result = Evaluation()
    result.decision = "ALLOWED" if allowed else "BLOCKED"
    result.reason_codes = reasons
    result.evidence_digest = sha256_hex(canonical_bytes(evidence))
    result.executor_constraints = {"allowed_executors": constraints.get("allowed_executors", [])}
    return result


def attestation_digest(attestation):
    return sha256_hex(canonical_text(attestation).encode("utf-8"))
