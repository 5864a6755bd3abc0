"""RFC 6962 Merkle trees: leaf and node hashes, inclusion and consistency proofs.

Leaf hash = SHA-256(0x00 || data), node hash = SHA-256(0x01 || left || right).
The verification follows RFC 9162, section 2.1.3.2 and 2.1.4.2.
"""

import hashlib


def leaf_hash(data):
    return hashlib.sha256(b"\x00" + data).digest()


def node_hash(left, right):
    return hashlib.sha256(b"\x01" + left + right).digest()


def root(leaves):
    """Merkle tree hash of a list of leaf data (the empty tree: SHA-256 of nothing)."""
    if not leaves:
        return hashlib.sha256(b"").digest()
    level = [leaf_hash(d) for d in leaves]
    return _root_of_hashes(level)


def _root_of_hashes(hashes):
    if len(hashes) == 1:
        return hashes[0]
    k = 1
    while k * 2 < len(hashes):
        k *= 2
    return node_hash(_root_of_hashes(hashes[:k]), _root_of_hashes(hashes[k:]))


def inclusion_proof(leaves, index):
    """The audit path of leaf `index` in the tree of `leaves` (for tests and tools)."""
    hashes = [leaf_hash(d) for d in leaves]

    def path(m, items):
        if len(items) <= 1:
            return []
        k = 1
        while k * 2 < len(items):
            k *= 2
        if m < k:
            return path(m, items[:k]) + [_root_of_hashes(items[k:])]
        return path(m - k, items[k:]) + [_root_of_hashes(items[:k])]

    return path(index, hashes)


def consistency_proof(leaves, old_size):
    """The proof that the first `old_size` leaves are a prefix of `leaves`."""
    hashes = [leaf_hash(d) for d in leaves]

    def subproof(m, items, complete):
        n = len(items)
        if m == n:
            return [] if complete else [_root_of_hashes(items)]
        k = 1
        while k * 2 < n:
            k *= 2
        if m <= k:
            return subproof(m, items[:k], complete) + [_root_of_hashes(items[k:])]
        return subproof(m - k, items[k:], False) + [_root_of_hashes(items[:k])]

    if old_size == 0 or old_size == len(leaves):
        return []
    return subproof(old_size, hashes, True)


def root_from_inclusion(index, size, leaf, proof):
    """The root that an audit path leads to, or None when it cannot lead anywhere."""
    if index < 0 or index >= size:
        return None
    fn, sn = index, size - 1
    r = leaf
    for p in proof:
        if sn == 0:
            return None
        if fn & 1 or fn == sn:
            r = node_hash(p, r)
            if not fn & 1:
                while fn and not fn & 1:
                    fn >>= 1
                    sn >>= 1
        else:
            r = node_hash(r, p)
        fn >>= 1
        sn >>= 1
    return r if sn == 0 else None


def verify_inclusion(index, size, leaf, proof, expected_root):
    found = root_from_inclusion(index, size, leaf, proof)
    return found is not None and found == expected_root


def verify_consistency(old_size, new_size, old_root, new_root, proof):
    if old_size > new_size:
        return False
    if old_size == new_size:
        return not proof and old_root == new_root
    if old_size == 0:
        return not proof
    if old_size & (old_size - 1) == 0:
        proof = [old_root] + list(proof)
    if not proof:
        return False
    fn, sn = old_size - 1, new_size - 1
    while fn & 1:
        fn >>= 1
        sn >>= 1
    fr = sr = proof[0]
    for c in proof[1:]:
        if sn == 0:
            return False
        if fn & 1 or fn == sn:
            fr = node_hash(c, fr)
            sr = node_hash(c, sr)
            if not fn & 1:
                while fn and not fn & 1:
                    fn >>= 1
                    sn >>= 1
        else:
            sr = node_hash(sr, c)
        fn >>= 1
        sn >>= 1
    return sn == 0 and fr == old_root and sr == new_root
