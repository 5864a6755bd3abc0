import hashlib

from orvane_verify import merkle

# The RFC 6962 reference leaves used by the certificate-transparency test suite.
LEAVES = [bytes.fromhex(h) for h in ("", "00", "10", "2021", "3031", "40414243", "5051525354555657",
                                     "606162636465666768696a6b6c6d6e6f")]
ROOTS = {
    1: "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    2: "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    3: "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    4: "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    5: "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    6: "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    7: "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    8: "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
}


def test_rfc6962_roots():
    assert merkle.root([]) == hashlib.sha256(b"").digest()
    for size, expected in ROOTS.items():
        assert merkle.root(LEAVES[:size]).hex() == expected


def test_every_inclusion_and_consistency_proof_up_to_25_leaves():
    leaves = [bytes([i]) * 32 for i in range(25)]
    for size in range(1, 26):
        tree = leaves[:size]
        head = merkle.root(tree)
        for index in range(size):
            proof = merkle.inclusion_proof(tree, index)
            leaf = merkle.leaf_hash(tree[index])
            assert merkle.verify_inclusion(index, size, leaf, proof, head)
            if size > 1:
                assert not merkle.verify_inclusion((index + 1) % size, size, leaf, proof, head)
            if proof:
                assert not merkle.verify_inclusion(index, size, leaf, proof[:-1], head)
                bent = [bytes(32)] + proof[1:]
                assert not merkle.verify_inclusion(index, size, leaf, bent, head)
            assert not merkle.verify_inclusion(index, size, leaf, proof + [head], head)
        for old in range(1, size + 1):
            proof = merkle.consistency_proof(tree, old)
            old_root = merkle.root(tree[:old])
            assert merkle.verify_consistency(old, size, old_root, head, proof)
            assert not merkle.verify_consistency(old, size, old_root, hashlib.sha256(head).digest(), proof)
            if proof:
                assert not merkle.verify_consistency(old, size, old_root, head, proof[1:])
                assert not merkle.verify_consistency(old, size, old_root, head, proof + [head])


def test_out_of_range_leaf_is_refused():
    assert merkle.root_from_inclusion(3, 3, b"\0" * 32, []) is None
    assert not merkle.verify_consistency(5, 4, b"", b"", [])
