"""The action intent contract, the action id and the money object."""

import hashlib

from .rules import is_non_blank, is_uint, member

INTENT_SCHEMA = "orvane.action-intent.v1"
UINT_MAX = 2**64 - 1
_AMOUNT_FORMAT = ("ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two "
                  "fractional digits")
_AMOUNT_TOO_LARGE = "ORVANE_INVALID_CONTRACT: money.amount is too large"


class ContractError(Exception):
    pass


def _non_empty(name):
    return ContractError("ORVANE_INVALID_CONTRACT: '%s' must be a non-empty string" % name)


def validate_intent_contract(intent, expected_agent_id):
    """The validated (tenant_id, agent_id, idempotency_key, requested_at); raises ContractError."""
    if not isinstance(intent, dict):
        raise ContractError("ORVANE_INVALID_CONTRACT: action intent must be a JSON object")
    if not is_non_blank(intent.get("schema_version")):
        raise _non_empty("schema_version")
    if intent["schema_version"] != INTENT_SCHEMA:
        raise ContractError("ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-intent.v1'")
    if not is_non_blank(intent.get("tenant_id")):
        raise _non_empty("tenant_id")
    if not is_non_blank(intent.get("agent_id")):
        raise _non_empty("agent_id")
    if intent["agent_id"] != expected_agent_id:
        raise ContractError("ORVANE_AGENT_ID_MISMATCH: intent agent_id does not match the signing key")
    for name in ("idempotency_key", "action_type", "resource"):
        if not is_non_blank(intent.get(name)):
            raise _non_empty(name)
    if not is_uint(intent.get("requested_at")):
        raise ContractError("ORVANE_INVALID_CONTRACT: 'requested_at' must be an unsigned integer")
    if "money" in intent and intent["money"] is not None and not isinstance(intent["money"], dict):
        raise ContractError("ORVANE_INVALID_CONTRACT: money must be an object or null")
    return intent["tenant_id"], intent["agent_id"], intent["idempotency_key"], intent["requested_at"]


def derive_action_id(tenant_id, agent_id, idempotency_key):
    material = b"\0".join(s.encode("utf-8") for s in ("orvane.action.v1", tenant_id, agent_id, idempotency_key))
    return hashlib.sha256(material).hexdigest()


def _parse_amount(text):
    integer, dot, fraction = text.partition(".")
    digits = "0123456789"
    if not integer or any(c not in digits for c in integer) or len(fraction) > 2 or any(
            c not in digits for c in fraction):
        raise ContractError(_AMOUNT_FORMAT)
    major = int(integer)
    if major > UINT_MAX:
        raise ContractError(_AMOUNT_TOO_LARGE)
    minor = int(fraction) * (10 if len(fraction) == 1 else 1) if fraction else 0
    total = major * 100 + minor
    if total > UINT_MAX:
        raise ContractError(_AMOUNT_TOO_LARGE)
    return total


def resolve_money(money):
    """(asset, amount in minor units); raises ContractError."""
    required = "ORVANE_INVALID_CONTRACT: money.asset is required"
    if not isinstance(money, dict):
        raise ContractError(required)
    asset = money["currency"] if "currency" in money else money.get("asset")
    if "currency" not in money and "asset" not in money or not isinstance(asset, str):
        raise ContractError(required)
    amount_minor = member(money, "amount_minor")
    if is_uint(amount_minor):
        return asset, amount_minor
    amount = money.get("amount")
    if not isinstance(amount, str):
        raise ContractError("ORVANE_INVALID_CONTRACT: money.amount must be a decimal string")
    return asset, _parse_amount(amount)
