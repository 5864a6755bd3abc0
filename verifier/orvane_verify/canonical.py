"""The JSON reading rules and the canonical writer of the data format.

Every digest and signature in an evidence file is taken over canonical JSON:
UTF-8, no whitespace, object members in ascending byte order of their UTF-8
names, integers as plain decimal digits, doubles as the shortest digit string
that reads back as the same double (positional for decimal exponents -5..15,
else "d.ddde+x"), and only the quotation mark, the backslash and the control
characters escaped.

Numbers keep their kind: an integer without fraction or exponent in
-2**63..2**64-1 stays an integer, anything else is a double, so 1 and 1.0 are
different values with different canonical text.
"""

import json
import math

INT_MIN = -(2**63)
UINT_MAX = 2**64 - 1
MAX_DEPTH = 127


class JsonError(ValueError):
    pass


def _parse_int(text):
    if text == "-0":
        return -0.0
    value = int(text)
    if value < INT_MIN or value > UINT_MAX:
        return float(text)
    return value


def _parse_float(text):
    value = float(text)
    if math.isinf(value):
        raise JsonError("number out of range")
    return value


def _refuse_constant(name):
    raise JsonError("invalid literal " + name)


def _check(value, depth):
    """Nesting limit and strings that are valid Unicode (no lone surrogates)."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise JsonError("invalid string: lone surrogate") from None
    elif isinstance(value, list):
        if depth >= MAX_DEPTH:
            raise JsonError("recursion limit exceeded")
        for item in value:
            _check(item, depth + 1)
    elif isinstance(value, dict):
        if depth >= MAX_DEPTH:
            raise JsonError("recursion limit exceeded")
        for key, item in value.items():
            _check(key, depth + 1)
            _check(item, depth + 1)


def parse(data):
    """Reads JSON text (str or UTF-8 bytes) under the system's rules."""
    if isinstance(data, (bytes, bytearray)):
        try:
            data = bytes(data).decode("utf-8")
        except UnicodeDecodeError as exc:
            raise JsonError("invalid UTF-8: " + str(exc)) from None
    if data.startswith("\ufeff"):
        raise JsonError("unexpected byte-order mark")
    try:
        value = json.loads(data, parse_int=_parse_int, parse_float=_parse_float,
                           parse_constant=_refuse_constant)
    except RecursionError:
        raise JsonError("recursion limit exceeded") from None
    except json.JSONDecodeError as exc:
        raise JsonError(str(exc)) from None
    _check(value, 0)
    return value


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _string(text, out):
    out.append('"')
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')


def _double(value, out):
    if math.isnan(value) or math.isinf(value):
        raise JsonError("non-finite number")
    if math.copysign(1.0, value) < 0:
        out.append("-")
        value = -value
    if value == 0.0:
        out.append("0.0")
        return
    # repr() gives the shortest digit string that reads back as the same double.
    text = repr(value)
    mantissa, _, exp = text.partition("e")
    exponent = int(exp) if exp else 0
    whole, _, frac = mantissa.partition(".")
    digits = whole + frac
    exponent += len(whole) - 1
    stripped = digits.lstrip("0")
    exponent -= len(digits) - len(stripped)
    digits = stripped.rstrip("0") or "0"
    n = len(digits)
    if -5 <= exponent <= 15:
        if exponent < 0:
            out.append("0." + "0" * (-exponent - 1) + digits)
        elif n <= exponent + 1:
            out.append(digits + "0" * (exponent + 1 - n) + ".0")
        else:
            out.append(digits[: exponent + 1] + "." + digits[exponent + 1:])
        return
    out.append(digits[0])
    if n > 1:
        out.append("." + digits[1:])
    out.append("e" + ("+" if exponent >= 0 else "-") + str(abs(exponent)))


def _write(value, out):
    if value is None:
        out.append("null")
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif isinstance(value, int):
        out.append(str(value))
    elif isinstance(value, float):
        _double(value, out)
    elif isinstance(value, str):
        _string(value, out)
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out)
        out.append("]")
    elif isinstance(value, dict):
        out.append("{")
        for i, key in enumerate(sorted(value, key=lambda k: k.encode("utf-8"))):
            if i:
                out.append(",")
            _string(key, out)
            out.append(":")
            _write(value[key], out)
        out.append("}")
    else:
        raise TypeError("not a JSON value: %r" % type(value))


def canonical_text(value):
    out = []
    _write(value, out)
    return "".join(out)


def canonical_bytes(value):
    return canonical_text(value).encode("utf-8")


def without(document, *names):
    """A shallow copy of an object without the named members."""
    return {k: v for k, v in document.items() if k not in names}


def json_equal(a, b):
    """Strict equality: same kinds and content (1, 1.0 and true all differ)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b
