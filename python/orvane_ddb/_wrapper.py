"""What the gate, executor and witness wrappers share: the extension object each
holds, the bare refusals its calls raise, and the calls the extension adds later
passed through with coded refusals."""

from __future__ import annotations

from typing import Any

from .errors import forward

# The exception types the extension raises for a refusal, before they carry a code.
BARE_REFUSALS = (PermissionError, RuntimeError)


class NativeWrapper:
    """Base of the wrappers around one extension object (kept in ``_native``)."""

    __slots__ = ("_native", "__weakref__")

    def __getattr__(self, name: str) -> Any:
        # Calls the extension adds later are passed through, with coded refusals.
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        return forward(self._native, name)

    def __repr__(self) -> str:
        return f"<orvane_ddb.{type(self).__name__} at {id(self):#x}>"
