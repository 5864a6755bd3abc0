"""Evidence files: everything an outsider needs to re-check one action,
exported by the gate and verified without it."""

from __future__ import annotations

import json

import click

import orvane_ddb

from ._base import (emit_json, example, fail, gate_options, handle_refusals, json_option, open_gate,
                    public_key_argument, read_text, show_fields, show_table, write_output)
from .actions import action_id_argument


@click.group()
def evidence() -> None:
    """Evidence files of one action: export, verify."""


@evidence.command("export", epilog=example("orvane evidence export permit.json -o evidence.json "
                                           "--db gate.db --key gate.key"))
@click.argument("action", metavar="ACTION_ID_OR_PERMIT_FILE")
@click.option("-o", "--output", metavar="FILE", help="Write to FILE instead of standard output.")
@gate_options()
@handle_refusals
def evidence_export(action: str, output: str | None, db_path: str, key_path: str) -> None:
    """Export the action's evidence file (JSON): its intent, permit, outcome,
    the stream events and the proofs that tie them to a signed tree head."""
    write_output(output, open_gate(db_path, key_path).export_evidence(action_id_argument(action)))


@evidence.command("verify", epilog=example("orvane evidence verify evidence.json --gate-key $GATE_PUBLIC_KEY"))
@click.argument("evidence_file", metavar="EVIDENCE_FILE")
@click.option("--gate-key", required=True, metavar="KEY",
              help="The gate key to trust: its public key (hex) or key file; never one the file names.")
@json_option
@handle_refusals
def evidence_verify(evidence_file: str, gate_key: str, as_json: bool) -> None:
    """Verify an evidence file under the gate key you trust; no gate database
    is needed. Exit 1 when it is INVALID."""
    text = orvane_ddb.verify_evidence(read_text(evidence_file, "evidence file"), public_key_argument(gate_key))
    verdict = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_fields(f"Evidence {verdict.get('status')}", [
            (name, verdict.get(name)) for name in ("action_id", "decision", "execution_status")])
        show_table(["check", "status", "reason_codes"],
                   [[name, check.get("status"), ",".join(check.get("reason_codes", []))]
                    for name, check in sorted(verdict.get("checks", {}).items())], "")
    if verdict.get("status") != "VERIFIED":
        failed = [name for name, check in sorted(verdict.get("checks", {}).items()) if check.get("status") == "FAILED"]
        fail("ORVANE_EVIDENCE_INVALID", "failed checks: " + ",".join(failed))
