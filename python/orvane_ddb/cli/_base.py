"""What every subcommand of ``orvane`` shares: the gate options, opening the
gate, reading documents given on the command line, printing results for
people or machines, and turning a refusal into its exit status and code."""

from __future__ import annotations

import functools
import json
import os
import re
import sys
from collections.abc import Callable
from typing import Any, NoReturn

import click
from rich.console import Console
from rich.table import Table

from orvane_ddb import OrvaneDDB, OrvaneError, gen_keys
from orvane_ddb.errors import classify

#: Exit statuses: done, refused or INVALID, bad usage or malformed input.
OK, REFUSED, USAGE = 0, 1, 2

#: Refusals of input that cannot be checked at all (exit status 2, like other
#: malformed input), as opposed to input that was checked and found wrong.
MALFORMED_CODES = frozenset({"ORVANE_EVIDENCE_MALFORMED", "ORVANE_KEY_INVALID", "ORVANE_PERMIT_MALFORMED"})
MALFORMED_TEXTS = ("Invalid tree head note", "Invalid inclusion proof", "Invalid consistency proof",
                   "Invalid trusted public key", "Invalid checkpoint JSON", "Invalid stream JSON",
                   "Event stream must be a JSON array", "Checkpoint missing")

_WIDE = 200  # keys are 64 hex digits: never cut them when output is not a terminal


def stdout() -> Console:
    console = Console(highlight=False, soft_wrap=True)
    if not console.is_terminal:
        console = Console(highlight=False, soft_wrap=True, width=_WIDE, color_system=None)
    return console


def stderr() -> Console:
    console = Console(stderr=True, highlight=False, soft_wrap=True)
    if not console.is_terminal:
        console = Console(stderr=True, highlight=False, soft_wrap=True, width=_WIDE, color_system=None)
    return console


class Refused(Exception):
    """A refusal of the command itself (not of the gate), with its code."""

    def __init__(self, code: str, detail: str) -> None:
        super().__init__(f"{code}: {detail}")
        self.code, self.detail = code, detail


class BadInput(click.UsageError):
    """Malformed input on the command line (exit status 2)."""


def fail(code: str, detail: str) -> NoReturn:
    raise Refused(code, detail)


def refusal_line(code: str, detail: str) -> str:
    return f"error: {code}: {detail}" if detail else f"error: {code}"


def handle_refusals(command: Callable[..., Any]) -> Callable[..., Any]:
    """Runs a subcommand; a refusal of the gate or of the command prints
    "error: <code>: <detail>" on stderr and exits with status 1."""

    @functools.wraps(command)
    def run(*args: Any, **kwargs: Any) -> Any:
        try:
            return command(*args, **kwargs)
        except Refused as refused:
            code, detail = refused.code, refused.detail
        except OrvaneError as error:
            code, detail = error.code, error.detail
        except (PermissionError, RuntimeError) as error:  # the extension's own, uncoded
            code, detail = classify(str(error))
        stderr().print(refusal_line(code, detail), markup=False)
        sys.exit(USAGE if code in MALFORMED_CODES or detail.startswith(MALFORMED_TEXTS) else REFUSED)

    return run


# --- options -------------------------------------------------------------------

def json_option(command: Callable[..., Any]) -> Callable[..., Any]:
    return click.option("--json", "as_json", is_flag=True, help="Print the result as JSON for machines.")(command)


def gate_options(create: bool = False, required: bool = True) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """--db and --key (defaults from ORVANE_DB and ORVANE_KEY). Only ``init``
    may name a database that does not exist yet."""

    def decorate(command: Callable[..., Any]) -> Callable[..., Any]:
        command = click.option("--key", "key_path", envvar="ORVANE_KEY", required=required, metavar="PATH",
                               type=click.Path(exists=True, dir_okay=False),
                               help="The gate's key file or signer configuration [env: ORVANE_KEY].")(command)
        command = click.option("--db", "db_path", envvar="ORVANE_DB", required=required, metavar="PATH",
                               type=click.Path(exists=not create, dir_okay=False),
                               help="The gate database [env: ORVANE_DB].")(command)
        return command

    return decorate


def open_gate(db_path: str, key_path: str) -> Any:
    return OrvaneDDB(db_path, key_path)


# --- input ---------------------------------------------------------------------

def parse_document(text: str, what: str) -> Any:
    try:
        return json.loads(text)
    except ValueError as error:
        raise BadInput(f"{what} is not valid JSON: {error}") from None


def read_text(path: str, what: str) -> str:
    """The text of a file, or of standard input for "-"."""
    try:
        if path == "-":
            return sys.stdin.read()
        with open(path, encoding="utf-8") as source:
            return source.read()
    except (OSError, UnicodeDecodeError) as error:
        raise BadInput(f"cannot read {what} {path}: {error}") from None


def read_document(path: str, what: str) -> Any:
    return parse_document(read_text(path, what), what)


def public_key_argument(value: str) -> str:
    """A public key in hex, or the path of a key file whose public key is meant."""
    if os.path.isfile(value):
        document = read_document(value, "key file")
        key = document.get("public_key") if isinstance(document, dict) else None
        if not isinstance(key, str):
            raise BadInput(f"key file {value} has no public_key")
        return key
    if not re.fullmatch(r"[0-9a-fA-F]{64}", value):
        raise BadInput(f"{value!r} is neither a public key (64 hex digits) nor a key file")
    return value


def write_output(path: str | None, text: str) -> None:
    """Writes ``text`` to ``path``, or to standard output when no path is given."""
    if path is None or path == "-":
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
        return
    try:
        with open(path, "w", encoding="utf-8") as target:
            target.write(text)
    except OSError as error:
        raise BadInput(f"cannot write {path}: {error}") from None


# --- output --------------------------------------------------------------------

def emit_json(value: Any) -> None:
    """Documents keep the gate's own text where they have one."""
    sys.stdout.write((value if isinstance(value, str) else json.dumps(value, sort_keys=True)) + "\n")


def show_fields(title: str | None, fields: list[tuple[str, Any]]) -> None:
    """A heading and aligned "name  value" lines."""
    console = stdout()
    if title:
        console.print(title, markup=False)
    width = max((len(name) for name, _ in fields), default=0)
    for name, value in fields:
        shown = json.dumps(value, sort_keys=True) if isinstance(value, (dict, list, bool)) or value is None else value
        console.print(f"  {name.ljust(width)}  {shown}", markup=False)


def show_table(columns: list[str], rows: list[list[Any]], empty: str) -> None:
    console = stdout()
    if not rows:
        console.print(empty, markup=False)
        return
    table = Table(*columns, box=None, pad_edge=False, header_style="bold")
    for row in rows:
        table.add_row(*("" if cell is None else str(cell) for cell in row))
    console.print(table)


def say(text: str) -> None:
    stdout().print(text, markup=False)


def when(micros: Any) -> str:
    """Microseconds since the epoch as UTC time, for people."""
    if not isinstance(micros, int):
        return "" if micros is None else str(micros)
    import datetime

    moment = datetime.datetime.fromtimestamp(micros / 1_000_000, tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def example(*lines: str) -> str:
    """The example block of a subcommand's --help."""
    return "\n\n\b\nExample:\n" + "\n".join("  " + line for line in lines)
