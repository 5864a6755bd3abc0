"""The tenant event streams and their signed checkpoints: exporting a whole
stream page by page, creating a checkpoint, verifying one against a stream."""

from __future__ import annotations

import contextlib
import json
import os
import sys
from collections.abc import Callable, Iterator
from typing import Any, TextIO

import click
from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn

import orvane_ddb

from ._base import (BadInput, emit_json, example, fail, gate_options, handle_refusals, json_option, open_gate,
                    public_key_argument, read_document, show_fields, stderr, when, write_output)

TENANT_OPTION = click.option("--tenant", default="*", show_default=True, help="The tenant whose stream is meant.")


def pages(gate: Any, tenant: str, page_size: int, last: int | None = None) -> Iterator[tuple[str, list[dict]]]:
    """The tenant's events in order, one page per call (its text as the gate
    wrote it, and parsed), up to sequence ``last``."""
    next_sequence = 1
    while True:
        limit = page_size if last is None else min(page_size, last - next_sequence + 1)
        if limit <= 0:
            return
        text = gate.export_event_stream(tenant, next_sequence, limit)
        page = json.loads(text)
        if not page:
            return
        yield text, page
        if len(page) < limit:
            return
        next_sequence = page[-1]["sequence_number"] + 1


@contextlib.contextmanager
def exporting(tenant: str, last: int | None = None) -> Iterator[Callable[[int], None]]:
    """A progress bar on standard error while pages are read, when it is a terminal."""
    console = stderr()
    with Progress(TextColumn("exporting stream of tenant {task.fields[tenant]}"), BarColumn(),
                  TextColumn("{task.completed} events"), TimeElapsedColumn(), console=console, transient=True,
                  disable=not console.is_terminal) as progress:
        task = progress.add_task("export", total=last, tenant=tenant)
        yield lambda count: progress.update(task, advance=count)


def export_all(gate: Any, tenant: str, page_size: int, last: int | None = None) -> list[dict]:
    """Every page, parsed."""
    events: list[dict] = []
    with exporting(tenant, last) as advance:
        for _, page in pages(gate, tenant, page_size, last):
            events.extend(page)
            advance(len(page))
    return events


@contextlib.contextmanager
def output_stream(path: str | None) -> Iterator[TextIO]:
    """Standard output, or a file that appears under its name only once it is complete."""
    if path is None or path == "-":
        yield sys.stdout
        return
    partial = path + ".partial"
    try:
        target = open(partial, "w", encoding="utf-8")
    except OSError as error:
        raise BadInput(f"cannot write {path}: {error}") from None
    try:
        with target:
            yield target
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def canonical(value: Any) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


@click.group()
def stream() -> None:
    """A tenant's hash-chained event stream."""


@stream.command("export", epilog=example("orvane stream export --tenant acme -o acme-stream.json "
                                         "--db gate.db --key gate.key"))
@TENANT_OPTION
@click.option("-o", "--output", metavar="FILE", help="Write to FILE instead of standard output.")
@click.option("--page-size", default=1000, show_default=True, type=click.IntRange(1, 100000),
              help="Events read per page.")
@gate_options()
@handle_refusals
def stream_export(tenant: str, output: str | None, page_size: int, db_path: str, key_path: str) -> None:
    """Export the tenant's whole stream (every page) as one JSON array, the
    input of `orvane checkpoint verify --stream`."""
    gate = open_gate(db_path, key_path)
    count = 0
    with output_stream(output) as target, exporting(tenant) as advance:
        target.write("[")
        for text, page in pages(gate, tenant, page_size):
            if count:
                target.write(",")
            target.write(text[1:-1])  # the page's elements, as the gate wrote them
            count += len(page)
            advance(len(page))
        target.write("]\n")
    if output not in (None, "-"):
        stderr().print(f"{count} events of tenant {tenant} written to {output}", markup=False)


@click.group()
def checkpoint() -> None:
    """Signed checkpoints over a tenant's stream: create, verify."""


@checkpoint.command("create", epilog=example("orvane checkpoint create --tenant acme -o acme-checkpoint.json "
                                             "--db gate.db --key gate.key"))
@TENANT_OPTION
@click.option("-o", "--output", metavar="FILE", help="Also write the checkpoint to FILE.")
@gate_options()
@json_option
@handle_refusals
def checkpoint_create(tenant: str, output: str | None, db_path: str, key_path: str, as_json: bool) -> None:
    """Re-verify the tenant's stream and sign a checkpoint up to its last event.
    Hand it out: a later stream that does not extend it is caught."""
    text = open_gate(db_path, key_path).create_checkpoint(tenant)
    if output is not None:
        write_output(output, text)
    if as_json:
        emit_json(text)
        return
    made = json.loads(text)
    show_fields(f"Checkpoint {made.get('checkpoint_id')}", [
        (name, made.get(name)) for name in ("tenant_id", "checkpoint_sequence", "first_sequence", "last_sequence",
                                            "total_events", "stream_root_hash")] + [
        ("created_at", when(made.get("created_at")))])


@checkpoint.command("verify", epilog=example(
    "orvane checkpoint verify acme-checkpoint.json --db gate.db --key gate.key",
    "orvane checkpoint verify acme-checkpoint.json --stream acme-stream.json --gate-key $GATE_PUBLIC_KEY"))
@click.argument("checkpoint_file", metavar="CHECKPOINT_FILE")
@click.option("--stream", "stream_file", metavar="FILE",
              help="An exported stream (default: the gate's own stream, read now). Events after the "
                   "checkpoint's last sequence are not covered by it and are left out.")
@click.option("--gate-key", metavar="KEY",
              help="The gate key to trust, its public key or key file (default: the gate's own key). With "
                   "--stream, no gate database is needed.")
@click.option("--page-size", default=1000, show_default=True, type=click.IntRange(1, 100000), hidden=True)
@gate_options(required=False)
@json_option
@handle_refusals
def checkpoint_verify(checkpoint_file: str, stream_file: str | None, gate_key: str | None, page_size: int,
                      db_path: str | None, key_path: str | None, as_json: bool) -> None:
    """Verify a checkpoint's signature and the stream it covers; exit 1 when
    it is INVALID."""
    document = read_document(checkpoint_file, "checkpoint")
    if not isinstance(document, dict) or not isinstance(document.get("tenant_id"), str):
        raise BadInput("the checkpoint must be a JSON object with a tenant_id")
    last = document.get("last_sequence")
    trusted = public_key_argument(gate_key) if gate_key is not None else None
    gate = None
    if stream_file is None or trusted is None:
        if db_path is None or key_path is None:
            raise click.UsageError("give --db and --key, or --stream and --gate-key to verify without the gate")
        gate = open_gate(db_path, key_path)
    if stream_file is None:
        events = export_all(gate, document["tenant_id"], page_size, last if isinstance(last, int) else None)
    else:
        events = read_document(stream_file, "stream")
        if not isinstance(events, list):
            raise BadInput("the stream must be a JSON array of events")
    left_out = 0
    if isinstance(last, int):
        covered = [e for e in events if not (isinstance(e, dict) and isinstance(e.get("sequence_number"), int)
                                               and e["sequence_number"] > last)]
        left_out, events = len(events) - len(covered), covered
    if gate is None:
        text = orvane_ddb.verify_checkpoint_stream(canonical(document), canonical(events), trusted)
    else:
        text = gate.verify_checkpoint_stream(canonical(document), canonical(events), trusted)
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_fields(f"Checkpoint {result.get('checkpoint_id')}: {result.get('status')}", [
            (name, result.get(name)) for name in ("tenant_id", "reason_code", "message", "events_verified",
                                                  "last_sequence") if name in result]
            + ([("left out", f"{left_out} later events")] if left_out else []))
    if result.get("status") != "VERIFIED":
        fail("ORVANE_CHECKPOINT_INVALID", f"{result.get('reason_code')}: {result.get('message')}")
