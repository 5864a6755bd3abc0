"""Independent re-implementation of the ledger's digest rules for the tests.

Nothing here calls the module except to create key files and gates: ids are
recomputed with hashlib, signatures checked with PyNaCl, rows read and
tampered with sqlite3.
"""
import decimal
import hashlib
import json
import sqlite3

import _orvane_ddb
from nacl.signing import SigningKey, VerifyKey

COLUMNS = ("id", "parent_id", "causal_depth", "actor_id", "timestamp",
           "payload", "rules_evaluated", "signature")
LEDGER_ORDER = "ORDER BY causal_depth ASC, timestamp ASC"

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f",
            "\n": "\\n", "\r": "\\r", "\t": "\\t"}


class NotJson(ValueError):
    """The text is not JSON under the ledger's parser rules."""


def _reject_constant(name):
    raise NotJson(name)


def _float(text):
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise NotJson("number out of range")
    return value


def _int(text):
    if text == "-0":
        return -0.0
    value = int(text)
    if -(2**63) <= value < 2**64:
        return value
    return _float(text)


def _check(value, depth=0):
    if isinstance(value, (list, dict)):
        depth += 1
        if depth > 127:
            raise NotJson("recursion limit")
        items = value.values() if isinstance(value, dict) else value
        for key in (value.keys() if isinstance(value, dict) else ()):
            key.encode("utf-8")
        for item in items:
            _check(item, depth)
    elif isinstance(value, str):
        value.encode("utf-8")  # a lone surrogate escape fails here


def strict_loads(text):
    """Parses like the ledger: integers kept apart from doubles, "-0" is -0.0,
    no NaN/Infinity, no lone surrogates, at most 127 nested levels."""
    try:
        value = json.loads(text, parse_int=_int, parse_float=_float,
                           parse_constant=_reject_constant)
        _check(value)
    except (ValueError, UnicodeEncodeError, RecursionError) as exc:
        raise NotJson(str(exc)) from exc
    return value


def _double(value):
    if value == 0:
        return "-0.0" if str(value).startswith("-") else "0.0"
    sign = "-" if value < 0 else ""
    parts = decimal.Decimal(repr(abs(value))).as_tuple()
    digits = "".join(map(str, parts.digits))
    stripped = digits.rstrip("0")
    exponent = parts.exponent + len(digits) - len(stripped)
    digits = stripped
    e = len(digits) - 1 + exponent  # scientific exponent
    if -5 <= e <= 15:
        if exponent >= 0:
            return sign + digits + "0" * exponent + ".0"
        if e >= 0:
            return sign + digits[: e + 1] + "." + digits[e + 1:]
        return sign + "0." + "0" * (-e - 1) + digits
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'+' if e >= 0 else '-'}{abs(e)}"


def json_string(text):
    out = ['"']
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def canonical(value):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _double(value)
    if isinstance(value, str):
        return json_string(value)
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    keys = sorted(value, key=lambda k: k.encode("utf-8"))
    return "{" + ",".join(json_string(k) + ":" + canonical(value[k]) for k in keys) + "}"


def preimage(parent_id, actor_id, timestamp, payload_text, rules_text):
    return ('{"parent_id":' + json_string(parent_id)
            + ',"actor_id":' + json_string(actor_id)
            + ',"timestamp":' + str(timestamp)
            + ',"payload":' + canonical(strict_loads(payload_text))
            + ',"rules_evaluated":' + canonical(strict_loads(rules_text)) + "}")


def decision_digest(row):
    text = preimage(row["parent_id"], row["actor_id"], row["timestamp"],
                    row["payload"], row["rules_evaluated"])
    return hashlib.sha256(text.encode("utf-8")).digest()


def verify_row(row):
    """Recomputes the id and checks the signature of one stored row."""
    digest = decision_digest(row)
    assert row["id"] == digest.hex()
    VerifyKey(bytes.fromhex(row["actor_id"])).verify(digest, bytes.fromhex(row["signature"]))


def make_keys(path):
    text = _orvane_ddb.gen_keys(str(path))
    doc = json.loads(text)
    return doc["public_key"], SigningKey(bytes.fromhex(doc["private_key"]))


def rows(db_path, order=LEDGER_ORDER):
    con = sqlite3.connect(db_path)
    con.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in con.execute(
            f"SELECT {', '.join(COLUMNS)} FROM decisions {order}")]
    finally:
        con.close()


def execute(db_path, sql, params=()):
    con = sqlite3.connect(db_path)
    try:
        with con:
            con.execute(sql, params)
    finally:
        con.close()


def register_actor(db_path, public_key):
    execute(db_path, "INSERT INTO agents (public_key, alias, registered_at) VALUES (?, 'ledger', 0)",
            (public_key,))


def result(action, latest):
    return '{"status": "success", "action": "%s", "latest_hash": "%s"}' % (action, latest)
