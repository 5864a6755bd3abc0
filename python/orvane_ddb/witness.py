"""The witness, as Python callers expect it: coded exceptions and dict documents.

:class:`OrvaneWitness` wraps the extension's witness one to one. It is bound to
the thread that created it (see :mod:`orvane_ddb.aio` for asyncio).
"""

from __future__ import annotations

from typing import Any

import _orvane_ddb

from .documents import Document, as_text
from ._wrapper import BARE_REFUSALS as _BARE
from ._wrapper import NativeWrapper
from .errors import translate

__all__ = ["OrvaneWitness"]

class OrvaneWitness(NativeWrapper):
    """Keeps the latest accepted tree head of each log and cosigns only heads that extend it.

    ``db_path`` is the witness's own database, ``keyfile`` the key it cosigns with.
    """

    __slots__ = ()

    def __init__(self, db_path: str, keyfile: str) -> None:
        try:
            self._native = _orvane_ddb.OrvaneWitness(db_path, keyfile)
        except _BARE as error:
            raise translate(error) from None

    @property
    def native(self) -> _orvane_ddb.OrvaneWitness:
        """The extension's own witness object."""
        return self._native

    def add_tree_head(self, note: str, public_key: str, consistency_proof_json: Document) -> str:
        """Accepts a signed tree head of the log whose key is ``public_key`` when it
        extends the head held for that log (the consistency proof from the held
        size to its own; the first head of a log is taken as it is) and returns
        the witness's cosignature line for the note."""
        try:
            return self._native.add_tree_head(note, public_key, as_text(consistency_proof_json))
        except _BARE as error:
            raise translate(error) from None

    def split_views(self) -> str:
        """Returns the refused heads kept as evidence (heads that did not extend the
        held one), oldest first, as a JSON array."""
        try:
            return self._native.split_views()
        except _BARE as error:
            raise translate(error) from None
