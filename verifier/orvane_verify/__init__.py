"""Independent, offline verifier of Orvane DDB evidence files.

Pure Python (PyNaCl for Ed25519, hashlib for SHA-256). It shares no code with
the native module: the canonical JSON writer, the digests, the identity
resolution, the policy evaluation and the Merkle proofs are written here from
the published formats (docs/evidence-format.md).
"""

from .evidence import MalformedEvidence, verify_evidence
from .checkpoint import verify_checkpoint_stream
from .treehead import verify_tree_head, verify_consistency_proof

__all__ = [
    "MalformedEvidence",
    "verify_evidence",
    "verify_checkpoint_stream",
    "verify_tree_head",
    "verify_consistency_proof",
]
__version__ = "0.1.0"
