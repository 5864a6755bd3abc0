"""Dicts in, dicts out: the JSON documents of the module as Python values.

The extension takes and returns JSON text. These helpers let callers pass a
``dict`` (or list) wherever a document is expected and read the answers back
as Python values; the module itself still decides what the canonical form is.
"""

from __future__ import annotations

import json
import functools
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Union

__all__ = ["Document", "dumps", "loads", "as_text", "as_decisions", "parsed"]

#: A JSON document: its text, or the Python value that is written as JSON.
Document = Union[str, Mapping[str, Any], Sequence[Any]]


def dumps(document: Any) -> str:
    """Writes a Python value as compact JSON text with sorted member names.

    The module re-reads and canonicalises every document it is given, so this
    only has to be valid JSON; sorting keeps the text stable for hashing by
    hand. ``NaN`` and infinities are refused (JSON has none).
    """
    return json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def loads(text: str) -> Any:
    """Reads a JSON document returned by the module."""
    return json.loads(text)


def as_text(document: Any) -> Any:
    """The text to hand the extension for a document parameter.

    A ``str`` is passed on unchanged (it is already JSON text); a mapping, list
    or tuple is written with :func:`dumps`. Anything else is passed on as it
    is, so that the extension reports the wrong type in its own words.
    """
    if isinstance(document, str):
        return document
    if isinstance(document, Mapping):
        return dumps(dict(document))
    if isinstance(document, (list, tuple)):
        return dumps(list(document))
    return document


def as_decisions(decisions: Any) -> Any:
    """The ``(payload, rules)`` pairs of a batch, with dict members written as JSON.

    A list or tuple whose pairs are all text is passed on as it is (no copy);
    anything that is not a list or tuple of pairs is passed on unchanged so that
    the extension refuses it in its own words.
    """
    if not isinstance(decisions, (list, tuple)):
        return decisions
    if all(type(item) is tuple and len(item) == 2 and type(item[0]) is str and type(item[1]) is str
           for item in decisions):
        return decisions
    return [(as_text(item[0]), as_text(item[1])) if isinstance(item, tuple) and len(item) == 2 else item
            for item in decisions]


def parsed(method: Callable[..., Any]) -> Callable[..., Any]:
    """The same call with a JSON text result read back (other results unchanged)."""

    @functools.wraps(method)
    def call(*args: Any, **kwargs: Any) -> Any:
        result = method(*args, **kwargs)
        return loads(result) if isinstance(result, str) else result

    return call
