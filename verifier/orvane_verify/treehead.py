"""Signed tree heads: C2SP tlog-checkpoint notes with Ed25519 note signatures.

A note is its text (origin line, decimal tree size, base64 root hash, optional
extension lines), a blank line, and signature lines "— <name> <base64>", where
the base64 holds a 4-byte key hash and the 64-byte Ed25519 signature of the
text. The key hash is the first four bytes of SHA-256(name || "\\n" || 0x01 ||
public key).
"""

import base64
import binascii
import hashlib

from nacl.exceptions import BadSignatureError, CryptoError
from nacl.signing import VerifyKey

from . import merkle
from .rules import hex_bytes

SIGNATURE_PREFIX = "\u2014 "
ALGORITHM_ED25519 = 0x01


class NoteError(ValueError):
    pass


class TreeHead:
    __slots__ = ("origin", "size", "root", "text", "signatures")


def key_hash(name, public_key):
    return hashlib.sha256(name.encode("utf-8") + b"\n" + bytes([ALGORITHM_ED25519]) + public_key).digest()[:4]


def _strict_base64(text):
    """Standard base64 with padding, in its one canonical spelling; None otherwise."""
    try:
        raw = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    return raw if base64.b64encode(raw).decode("ascii") == text else None


def _valid_name(name):
    return bool(name) and not any(c in " \t\n+" or ord(c) < 0x20 or ord(c) == 0x7F for c in name)


def parse_note(note):
    """Splits a note into its checkpoint text and signature lines; raises NoteError.

    The text is everything up to the last blank line (its lines are not empty);
    control characters other than the line break are refused anywhere."""
    if not isinstance(note, str):
        raise NoteError("tree head must be text")
    if any((ord(c) < 0x20 and c != "\n") or ord(c) == 0x7F for c in note):
        raise NoteError("control character")
    split = note.rfind("\n\n")
    if split < 0:
        raise NoteError("no blank line before the signatures")
    text, sigs = note[:split + 1], note[split + 2:]
    lines = text.split("\n")[:-1]
    if len(lines) < 3:
        raise NoteError("tree head needs an origin, a size and a root hash")
    if any(not line for line in lines):
        raise NoteError("empty text line")
    size_text = lines[1]
    if (not size_text.isascii() or not size_text.isdigit() or (len(size_text) > 1 and size_text[0] == "0")
            or int(size_text) > 2**64 - 1):
        raise NoteError("tree size is not a decimal number")
    root = _strict_base64(lines[2])
    if root is None or len(root) != 32:
        raise NoteError("root hash is not base64 of 32 bytes")
    if not sigs or not sigs.endswith("\n"):
        raise NoteError("signature block must end with a line break")
    signatures = []
    for line in sigs[:-1].split("\n"):
        if not line.startswith(SIGNATURE_PREFIX):
            raise NoteError("malformed signature line")
        name, space, blob = line[len(SIGNATURE_PREFIX):].rpartition(" ")
        raw = _strict_base64(blob)
        if not space or not _valid_name(name) or raw is None or len(raw) < 5:
            raise NoteError("malformed signature line")
        signatures.append((name, raw[:4], raw[4:]))
    head = TreeHead()
    head.origin, head.size, head.root = lines[0], int(size_text), root
    head.text, head.signatures = text, signatures
    return head


def signed_by(head, public_key_hex):
    """Whether a signature line named by the head's origin, with the key's ID,
    carries a valid Ed25519 signature of the text by the key."""
    key = hex_bytes(public_key_hex)
    if key is None or len(key) != 32:
        return False
    for name, hash_, signature in head.signatures:
        if name != head.origin or hash_ != key_hash(name, key) or len(signature) != 64:
            continue
        try:
            VerifyKey(key).verify(head.text.encode("utf-8"), signature)
            return True
        except (BadSignatureError, CryptoError, ValueError):
            continue
    return False


def verify_tree_head(note, public_key_hex):
    """A verdict for one tree head under the gate key."""
    try:
        head = parse_note(note)
    except NoteError as exc:
        return {"status": "INVALID", "reason_code": "TREE_HEAD_MALFORMED", "message": str(exc)}
    if not signed_by(head, public_key_hex):
        return {"status": "INVALID", "reason_code": "TREE_HEAD_SIGNATURE_INVALID", "origin": head.origin,
                "message": "no signature by the trusted key verifies"}
    return {"status": "VERIFIED", "reason_code": "TREE_HEAD_VALID", "origin": head.origin,
            "tree_size": head.size, "root_hash": head.root.hex()}


def proof_hashes(proof):
    """The hashes of a proof document: a JSON object with a list of hex or base64 hashes
    under "hashes" (or "proof"), or such a list itself. Raises NoteError."""
    items = proof
    if isinstance(proof, dict):
        items = proof.get("hashes", proof.get("proof"))
    if not isinstance(items, list):
        raise NoteError("proof must list its hashes")
    out = []
    for item in items:
        raw = None
        if isinstance(item, str):
            raw = hex_bytes(item) if len(item) == 64 else None
            if raw is None:
                try:
                    raw = base64.b64decode(item, validate=True)
                except (binascii.Error, ValueError):
                    raw = None
        if raw is None or len(raw) != 32:
            raise NoteError("proof hash is neither 64 hex digits nor base64 of 32 bytes")
        out.append(raw)
    return out


def verify_consistency_proof(old_note, new_note, public_key_hex, proof):
    """Whether the newer head extends the older one (both signed by the key)."""
    for which, note in (("old", old_note), ("new", new_note)):
        verdict = verify_tree_head(note, public_key_hex)
        if verdict["status"] != "VERIFIED":
            verdict["message"] = "%s head: %s" % (which, verdict["message"])
            return verdict
    old, new = parse_note(old_note), parse_note(new_note)
    if old.origin != new.origin:
        return {"status": "INVALID", "reason_code": "TREE_HEAD_ORIGIN_MISMATCH",
                "message": "the heads belong to different logs"}
    try:
        hashes = proof_hashes(proof)
    except NoteError as exc:
        return {"status": "INVALID", "reason_code": "CONSISTENCY_PROOF_MALFORMED", "message": str(exc)}
    # A proof document that names its sizes must name these heads' sizes.
    if isinstance(proof, dict) and any(name in proof and proof[name] != size for name, size in (
            ("old_size", old.size), ("new_size", new.size))):
        return {"status": "INVALID", "reason_code": "TREE_SIZE_MISMATCH", "origin": new.origin,
                "message": "the proof is for other tree sizes than the heads"}
    if not merkle.verify_consistency(old.size, new.size, old.root, new.root, hashes):
        return {"status": "INVALID", "reason_code": "CONSISTENCY_PROOF_INVALID", "origin": new.origin,
                "message": "tree of size %d does not extend the tree of size %d" % (new.size, old.size)}
    return {"status": "VERIFIED", "reason_code": "CONSISTENCY_VALID", "origin": new.origin,
            "old_size": old.size, "new_size": new.size}


_UNRESERVED = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")


def log_origin(gate_key_hex, tenant_id):
    """The origin of a gate's log of one tenant: "orvane-ddb/gate/<key>/tenant/<tenant>", the
    tenant's UTF-8 bytes percent-encoded (upper-case hex) except A-Z a-z 0-9 - . _ ~."""
    tenant = "".join(chr(b) if b in _UNRESERVED else "%%%02X" % b for b in tenant_id.encode("utf-8"))
    return "orvane-ddb/gate/%s/tenant/%s" % (gate_key_hex.lower(), tenant)


def origin_names(origin, gate_key_hex, tenant_id):
    """Whether a head's origin line names this gate and tenant."""
    return origin == log_origin(gate_key_hex, tenant_id)
