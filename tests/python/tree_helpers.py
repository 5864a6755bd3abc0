"""An independent RFC 6962 tree and signed-note reader for the tree head
tests: hashlib and PyNaCl only."""

import base64
import hashlib

import nacl.signing

DASH = "\u2014 "


def leaf(digest_hex):
    return hashlib.sha256(b"\x00" + bytes.fromhex(digest_hex)).digest()


def node(left, right):
    return hashlib.sha256(b"\x01" + left + right).digest()


def split(n):
    k = 1
    while k * 2 < n:
        k *= 2
    return k


def mth(hashes):
    if len(hashes) == 1:
        return hashes[0]
    k = split(len(hashes))
    return node(mth(hashes[:k]), mth(hashes[k:]))


def path(m, hashes):
    if len(hashes) <= 1:
        return []
    k = split(len(hashes))
    if m < k:
        return path(m, hashes[:k]) + [mth(hashes[k:])]
    return path(m - k, hashes[k:]) + [mth(hashes[:k])]


def subproof(m, hashes, complete):
    n = len(hashes)
    if m == n:
        return [] if complete else [mth(hashes)]
    k = split(n)
    if m <= k:
        return subproof(m, hashes[:k], complete) + [mth(hashes[k:])]
    return subproof(m - k, hashes[k:], False) + [mth(hashes[:k])]


def consistency(m, hashes):
    return [] if m in (0, len(hashes)) else subproof(m, hashes, True)


def origin(gate_hex, tenant):
    keep = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")
    enc = "".join(chr(b) if b in keep else "%%%02X" % b for b in tenant.encode())
    return "orvane-ddb/gate/%s/tenant/%s" % (gate_hex, enc)


def key_id(name, public_hex, kind=1):
    return hashlib.sha256(name.encode() + b"\n" + bytes([kind]) + bytes.fromhex(public_hex)).digest()[:4]


def open_note(note, public_hex):
    """(origin, size, root bytes) of a note whose one signature verifies; raises otherwise."""
    text, sigs = note.split("\n\n")
    lines = text.split("\n")
    assert len(lines) == 3
    (sig_line,) = sigs.rstrip("\n").split("\n")
    assert sig_line.startswith(DASH)
    name, blob = sig_line[len(DASH):].rsplit(" ", 1)
    raw = base64.b64decode(blob, validate=True)
    assert name == lines[0] and raw[:4] == key_id(name, public_hex)
    nacl.signing.VerifyKey(bytes.fromhex(public_hex)).verify((text + "\n").encode(), raw[4:])
    return lines[0], int(lines[1]), base64.b64decode(lines[2], validate=True)


def verifier_key(name, public_hex):
    return "%s+%s+%s" % (name, key_id(name, public_hex).hex(),
                         base64.b64encode(b"\x01" + bytes.fromhex(public_hex)).decode())
