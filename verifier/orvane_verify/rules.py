"""Digests, Ed25519 and the member reading rules that every check shares."""

import hashlib

from nacl.exceptions import BadSignatureError, CryptoError
from nacl.signing import VerifyKey

from .canonical import canonical_bytes

UINT_MAX = 2**64 - 1
ZERO_HASH = "0" * 64

# Unicode White_Space: what "blank after trimming" trims.
_SPACE = set(range(0x09, 0x0E)) | {0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}
_SPACE |= set(range(0x2000, 0x200B))


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def canonical_digest(value):
    return sha256_hex(canonical_bytes(value))


def hex_bytes(text):
    """Hex text (either case) to bytes, or None."""
    if not isinstance(text, str) or len(text) % 2:
        return None
    if any(c not in "0123456789abcdefABCDEF" for c in text):
        return None
    return bytes.fromhex(text)


def verify_signature(public_key_hex, message, signature_hex):
    """RFC 8032 Ed25519; every malformed input answers False."""
    key = hex_bytes(public_key_hex)
    signature = hex_bytes(signature_hex)
    if key is None or len(key) != 32 or signature is None or len(signature) != 64:
        return False
    try:
        VerifyKey(key).verify(message, signature)
        return True
    except (BadSignatureError, CryptoError, ValueError, TypeError):
        return False


def verify_digest_signature(public_key_hex, digest_hex, signature_hex):
    """A signature over the 32 raw bytes of a hex digest."""
    digest = hex_bytes(digest_hex)
    return digest is not None and verify_signature(public_key_hex, digest, signature_hex)


def is_uint(value):
    return type(value) is int and 0 <= value <= UINT_MAX


def is_blank(text):
    return all(ord(c) in _SPACE for c in text)


def is_non_blank(value):
    return isinstance(value, str) and not is_blank(value)


def member(document, name):
    """The member, or None when absent or when the document is no object.
    Absent and JSON null are told apart with has_member."""
    return document.get(name) if isinstance(document, dict) else None


def has_member(document, name):
    return isinstance(document, dict) and name in document


def string(document, name):
    """Read as a string: missing or not a string counts as ""."""
    value = member(document, name)
    return value if isinstance(value, str) else ""


def uint(document, name):
    """Read as an unsigned integer: missing or another type counts as 0."""
    value = member(document, name)
    return value if is_uint(value) else 0


def optional_pair_equal(a, a_name, b, b_name):
    """Both absent, or both present and equal as JSON values."""
    from .canonical import json_equal

    left, right = has_member(a, a_name), has_member(b, b_name)
    if not left or not right:
        return left == right
    return json_equal(a[a_name], b[b_name])
