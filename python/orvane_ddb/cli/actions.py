"""One action's road on the command line: an agent's request for a permit,
the executor consuming it and signing the outcome, the gate committing the
outcome, and the action's trace."""

from __future__ import annotations

import json
import os
import time
from typing import Any

import click

from orvane_ddb import OrvaneExecutor

from ._base import (BadInput, emit_json, example, fail, gate_options, handle_refusals, json_option, open_gate,
                    parse_document, public_key_argument, read_document, show_fields, when, write_output)


def permit_ids(path: str) -> tuple[str, str]:
    """The authorization and action ids of a permit file."""
    permit = read_document(path, "permit")
    authorization = permit.get("authorization") if isinstance(permit, dict) else None
    ids = [authorization.get(name) if isinstance(authorization, dict) else None
           for name in ("authorization_id", "action_id")]
    if not all(isinstance(value, str) for value in ids):
        raise BadInput(f"{path} is not a permit (an authorization result with authorization_id and action_id)")
    return ids[0], ids[1]


def read_text_document(path: str, what: str) -> str:
    """A JSON document from a file, checked here so malformed input exits 2."""
    return json.dumps(read_document(path, what))


def action_id_argument(value: str) -> str:
    """An action id, or a permit file naming one."""
    return permit_ids(value)[1] if os.path.isfile(value) else value


@click.command(epilog=example(
    "orvane request intent.json --agent-key agent.key -o permit.json --db gate.db --key gate.key",
    "",
    "intent.json (agent_id and requested_at are filled in when missing):",
    '  {"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "idempotency_key": "pay-1",',
    '   "action_type": "payment.send", "resource": "account:acme/ops", "input": {"cents": 1250}}'))
@click.argument("intent_file", metavar="INTENT_FILE")
@click.option("--agent-key", required=True, type=click.Path(exists=True, dir_okay=False),
              help="The agent's key file; it signs the intent.")
@click.option("--ttl", default=60, show_default=True, type=click.IntRange(0), help="Seconds the permit lasts.")
@click.option("-o", "--output", metavar="FILE", help="Also write the authorization result (the permit) to FILE.")
@gate_options()
@json_option
@handle_refusals
def request(intent_file: str, agent_key: str, ttl: int, output: str | None, db_path: str, key_path: str,
            as_json: bool) -> None:
    """Ask the gate, as the agent, to authorize the action in INTENT_FILE
    ("-" for standard input). Exit 0 when ALLOWED, 1 when BLOCKED."""
    intent = read_document(intent_file, "intent")
    if not isinstance(intent, dict):
        raise BadInput("the intent must be a JSON object")
    intent.setdefault("agent_id", public_key_argument(agent_key))
    intent.setdefault("requested_at", time.time_ns() // 1000)
    text = open_gate(db_path, key_path).request_action(json.dumps(intent), agent_key, ttl)
    if output is not None:
        write_output(output, text)
    receipt = json.loads(text)["authorization"]
    if as_json:
        emit_json(text)
    else:
        show_fields(f"{receipt['decision']} under policy {receipt.get('policy_version')}", [
            ("reason_codes", ",".join(receipt.get("reason_codes", []))), ("action_id", receipt.get("action_id")),
            ("authorization_id", receipt.get("authorization_id")), ("expires_at", when(receipt.get("expires_at")))])
    if receipt["decision"] != "ALLOWED":
        fail("ORVANE_ACTION_BLOCKED", ",".join(receipt.get("reason_codes", [])))


# --- the executor ----------------------------------------------------------------

def executor_options(command: Any) -> Any:
    for option in reversed([
        click.option("--executor-db", required=True, envvar="ORVANE_EXECUTOR_DB", metavar="PATH",
                     type=click.Path(dir_okay=False), help="The executor database [env: ORVANE_EXECUTOR_DB]."),
        click.option("--executor-key", required=True, envvar="ORVANE_EXECUTOR_KEY", metavar="PATH",
                     type=click.Path(exists=True, dir_okay=False),
                     help="The executor's key file [env: ORVANE_EXECUTOR_KEY]."),
        click.option("--gate-id", required=True, metavar="KEY",
                     help="The one gate trusted: its public key or key file."),
        click.option("--tenant", required=True, help="The one tenant trusted."),
        click.option("--gate-db", metavar="PATH", type=click.Path(exists=True, dir_okay=False),
                     help="The gate database, checked for revocations and earlier outcomes [env: ORVANE_GATE_DB]."),
    ]):
        command = option(command)
    return command


def open_executor(executor_db: str, executor_key: str, gate_id: str, tenant: str, gate_db: str | None) -> Any:
    return OrvaneExecutor(executor_db, executor_key, public_key_argument(gate_id), tenant, gate_db=gate_db)


@click.group()
def executor() -> None:
    """The executor: consume a permit once, complete the execution, show its state."""


@executor.command("consume", epilog=example(
    "orvane executor consume permit.json --executor-db executor.db --executor-key executor.key "
    "--gate-id gate.key --tenant acme --gate-db gate.db"))
@click.argument("permit_file", metavar="PERMIT_FILE")
@executor_options
@json_option
@handle_refusals
def consume(permit_file: str, executor_db: str, executor_key: str, gate_id: str, tenant: str,
            gate_db: str | None, as_json: bool) -> None:
    """Verify the permit in PERMIT_FILE and consume it: a permit runs at most once."""
    text = open_executor(executor_db, executor_key, gate_id, tenant, gate_db).verify_and_consume_permit(
        read_text_document(permit_file, "permit"))
    if as_json:
        emit_json(text)
    else:
        consumed = json.loads(text)
        show_fields("Permit consumed: run the action now", [(name, consumed.get(name)) for name in
                                                             ("authorization_id", "action_id", "status")
                                                             if name in consumed])


@executor.command("complete", epilog=example(
    "orvane executor complete permit.json --status SUCCEEDED --output '{\"transfer_id\":\"tx-42\"}' "
    "-o outcome.json --executor-db executor.db --executor-key executor.key --gate-id gate.key --tenant acme"))
@click.argument("permit_file", metavar="PERMIT_FILE")
@click.option("--status", required=True, type=click.Choice(["SUCCEEDED", "FAILED"]))
@click.option("--output", "result", default="{}", show_default=True, help="What the action produced, as JSON.")
@click.option("-o", "outcome_file", metavar="FILE", help="Also write the signed outcome to FILE.")
@executor_options
@json_option
@handle_refusals
def complete(permit_file: str, status: str, result: str, outcome_file: str | None, executor_db: str,
             executor_key: str, gate_id: str, tenant: str, gate_db: str | None, as_json: bool) -> None:
    """Record how the consumed permit's action ended and print the signed
    outcome that the gate accepts."""
    parse_document(result, "--output")
    authorization_id, action_id = permit_ids(permit_file)
    text = open_executor(executor_db, executor_key, gate_id, tenant, gate_db).complete_execution(
        authorization_id, action_id, status, result)
    if outcome_file is not None:
        write_output(outcome_file, text)
    if as_json:
        emit_json(text)
    else:
        outcome = json.loads(text)
        show_fields(f"Execution {outcome.get('status')}", [("authorization_id", authorization_id),
                                                            ("executor_id", outcome.get("executor_id"))])


@executor.command("state", epilog=example(
    "orvane executor state permit.json --executor-db executor.db --executor-key executor.key "
    "--gate-id gate.key --tenant acme"))
@click.argument("permit", metavar="PERMIT_FILE_OR_AUTHORIZATION_ID")
@executor_options
@json_option
@handle_refusals
def state(permit: str, executor_db: str, executor_key: str, gate_id: str, tenant: str, gate_db: str | None,
          as_json: bool) -> None:
    """Show the state of an execution (STARTED, SUCCEEDED, FAILED or UNKNOWN)."""
    authorization_id = permit_ids(permit)[0] if os.path.isfile(permit) else permit
    text = open_executor(executor_db, executor_key, gate_id, tenant, gate_db).get_execution_state(authorization_id)
    if as_json:
        emit_json(text)
    else:
        current = json.loads(text)
        show_fields(f"Execution {current.get('status')}", [
            ("authorization_id", current.get("authorization_id")), ("started_at", when(current.get("started_at"))),
            ("completed_at", when(current.get("completed_at")))])


# --- outcomes and traces -----------------------------------------------------------

@click.group()
def outcome() -> None:
    """Outcomes at the gate."""


@outcome.command("commit", epilog=example("orvane outcome commit permit.json outcome.json --db gate.db --key gate.key"))
@click.argument("permit_file", metavar="PERMIT_FILE")
@click.argument("outcome_file", metavar="OUTCOME_FILE")
@gate_options()
@json_option
@handle_refusals
def commit(permit_file: str, outcome_file: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Commit the executor's signed outcome of the permit's action; the gate
    signs an execution receipt. Committing the same outcome again answers the
    stored result."""
    authorization_id, _ = permit_ids(permit_file)
    text = open_gate(db_path, key_path).commit_outcome_signed(authorization_id,
                                                              read_text_document(outcome_file, "outcome"))
    if as_json:
        emit_json(text)
        return
    result = json.loads(text)
    receipt = result.get("receipt", result)
    show_fields(f"Outcome committed: {receipt.get('status')}", [
        (name, receipt.get(name)) for name in ("receipt_id", "outcome_hash") if name in receipt])


@click.group()
def trace() -> None:
    """An action's trace: its intent, authorization and execution."""


@trace.command("show", epilog=example("orvane trace show permit.json --db gate.db --key gate.key"))
@click.argument("action", metavar="ACTION_ID_OR_PERMIT_FILE")
@gate_options()
@handle_refusals
def trace_show(action: str, db_path: str, key_path: str) -> None:
    """Print the action's trace as JSON."""
    emit_json(open_gate(db_path, key_path).get_trace(action_id_argument(action)))


@trace.command("verify", epilog=example("orvane trace verify permit.json --db gate.db --key gate.key"))
@click.argument("action", metavar="ACTION_ID_OR_PERMIT_FILE")
@gate_options()
@json_option
@handle_refusals
def trace_verify(action: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Re-verify every signed part of the action's trace; exit 1 unless VERIFIED."""
    text = open_gate(db_path, key_path).verify_trace(action_id_argument(action))
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_fields(f"Trace {result.get('status')} ({result.get('phase')})",
                    [(name, value) for name, value in sorted(result.get("checks", {}).items())]
                    + [("error", error) for error in result.get("errors", [])])
    if result.get("status") != "VERIFIED":
        fail("ORVANE_TRACE_INVALID", "; ".join(result.get("errors", [])) or str(result.get("status")))
