"""The decision ledger: recording a decision, validating the whole chain,
exporting and counting it."""

from __future__ import annotations

import json
import sys

import click

from ._base import (REFUSED, emit_json, example, gate_options, handle_refusals, json_option, open_gate,
                    parse_document, refusal_line, say, show_fields, stderr, write_output)


@click.group()
def ledger() -> None:
    """The decision ledger: record, validate, export, count."""


@ledger.command("record", epilog=example(
    "orvane ledger record --genesis --payload '{\"event\":\"genesis\"}' --rules '[\"init\"]' --db gate.db --key gate.key",
    "orvane ledger record --payload '{\"decision\":\"approve\"}' --rules '[\"limit<=100\"]' --db gate.db --key gate.key"))
@click.option("--payload", required=True, help="The decision, as JSON.")
@click.option("--rules", required=True, help="The rules evaluated, as JSON.")
@click.option("--genesis", is_flag=True, help="Record the ledger's one genesis decision.")
@gate_options()
@json_option
@handle_refusals
def record(payload: str, rules: str, genesis: bool, db_path: str, key_path: str, as_json: bool) -> None:
    """Sign and record one decision under the latest one."""
    parse_document(payload, "--payload")
    parse_document(rules, "--rules")
    text = open_gate(db_path, key_path).record(payload, rules, genesis)
    if as_json:
        emit_json(text)
    else:
        show_fields("Recorded", [("latest_hash", json.loads(text).get("latest_hash"))])


@ledger.command("validate", epilog=example("orvane ledger validate --db gate.db --key gate.key"))
@gate_options()
@json_option
@handle_refusals
def validate(db_path: str, key_path: str, as_json: bool) -> None:
    """Re-verify every decision (hashes, signatures, chain); exit 1 when the
    ledger is INVALID."""
    try:
        text, valid = open_gate(db_path, key_path).validate(), True
    except (PermissionError, RuntimeError) as error:
        text = str(error)
        if not text.startswith("{"):
            raise
        valid = False
    report = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        say(f"Ledger VALID: {report.get('message', '')}" if valid else "Ledger INVALID")
        show_fields(None, [(name, report[name]) for name in ("total_records", "unique_actors") if name in report])
        for kind in ("errors", "warnings"):
            for line in report.get(kind, []):
                say(f"  {kind[:-1]}: {line}")
    if not valid:
        errors = report.get("errors") or [""]
        stderr().print(refusal_line("ORVANE_LEDGER_INVALID", f"{len(report.get('errors', []))} error(s), first: "
                                    f"{errors[0]}"), markup=False)
        sys.exit(REFUSED)


@ledger.command("export", epilog=example("orvane ledger export -o decisions.json --db gate.db --key gate.key"))
@click.option("-o", "--output", metavar="FILE", help="Write to FILE instead of standard output.")
@gate_options()
@handle_refusals
def export(output: str | None, db_path: str, key_path: str) -> None:
    """Export every decision as a JSON array."""
    write_output(output, open_gate(db_path, key_path).export())


@ledger.command("count", epilog=example("orvane ledger count --db gate.db --key gate.key"))
@gate_options()
@json_option
@handle_refusals
def count(db_path: str, key_path: str, as_json: bool) -> None:
    """Print the number of recorded decisions."""
    total = open_gate(db_path, key_path).count()
    if as_json:
        emit_json({"count": total})
    else:
        say(str(total))
