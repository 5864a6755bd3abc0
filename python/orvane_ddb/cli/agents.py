"""The identity registry: registering agents, listing and showing them,
rotating and revoking their keys."""

from __future__ import annotations

import json

import click

from ._base import (BadInput, emit_json, example, gate_options, handle_refusals, json_option, open_gate,
                    parse_document, public_key_argument, show_fields, show_table, when)

@click.group()
def agents() -> None:
    """Agents: register, list, show, rotate, revoke."""


def show_registration(title: str, registration: dict) -> None:
    show_fields(title, [(name, registration.get(name)) for name in
                        ("agent_id", "alias", "tenant_id", "can_delegate", "key_version", "metadata")]
                + [("registered_at", when(registration.get("registered_at")))])


@agents.command("register", epilog=example(
    "orvane agents register agent.key --alias bot --metadata '{\"tenant_id\":\"acme\"}' --db gate.db --key gate.key"))
@click.argument("public_key", metavar="PUBLIC_KEY")
@click.option("--alias", required=True, help="A name for people.")
@click.option("--metadata", default="{}", show_default=True,
              help='JSON object; "tenant_id" scopes the agent to a tenant.')
@gate_options()
@json_option
@handle_refusals
def register(public_key: str, alias: str, metadata: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Register PUBLIC_KEY (a public key of 64 hex digits, or a key file) as
    an agent, signed by the gate."""
    key = public_key_argument(public_key)
    if not isinstance(parse_document(metadata, "--metadata"), dict):
        raise BadInput("--metadata must be a JSON object")
    text = open_gate(db_path, key_path).register_agent(key, alias, metadata)
    if as_json:
        emit_json(text)
    else:
        show_registration("Registered", json.loads(text)["registration"])


@agents.command("list", epilog=example("orvane agents list --db gate.db --key gate.key"))
@click.option("--tenant", help="Only the agents of this tenant.")
@gate_options()
@json_option
@handle_refusals
def list_(tenant: str | None, db_path: str, key_path: str, as_json: bool) -> None:
    """List every registered key with its alias, tenant and status."""
    records = json.loads(open_gate(db_path, key_path).list_agents())
    if tenant is not None:
        records = [r for r in records if r.get("tenant_id") == tenant]
    if as_json:
        emit_json(records)
        return
    show_table(["public_key", "alias", "tenant", "status", "key_version", "registered"],
               [[r.get("public_key"), r.get("alias"), r.get("tenant_id"), r.get("status"), r.get("key_version"),
                 when(r.get("registered_at"))] for r in records],
               "No agents registered.")


@agents.command("show", epilog=example("orvane agents show 3b6a27bc...e1f0 --db gate.db --key gate.key"))
@click.argument("public_key", metavar="PUBLIC_KEY")
@gate_options()
@json_option
@handle_refusals
def show(public_key: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Show one key's record, and whether it verifies as an active identity now."""
    key = public_key_argument(public_key)
    gate = open_gate(db_path, key_path)
    record = json.loads(gate.get_agent(key))
    record["verified"] = gate.verify_agent(key)
    if as_json:
        emit_json(record)
        return
    show_fields(f"Agent {record.get('alias')}", [
        (name, when(record.get(name)) if name.endswith("_at") or name.startswith("valid_") else record.get(name))
        for name in ("public_key", "identity_id", "tenant_id", "status", "key_version", "can_delegate", "metadata",
                     "registered_by", "registered_at", "valid_from", "valid_until", "revoked_at", "verified")])


def show_lifecycle(title: str, answer: dict) -> None:
    event = answer.get("event", {})
    fields = [(name, event.get(name)) for name in ("identity_id", "tenant_id", "previous_public_key", "public_key",
                                                   "key_version", "reason") if name in event]
    fields.append(("effective_at", when(event.get("effective_at"))))
    fields.append(("event_id", answer.get("event_id")))
    if "revoked_unconsumed_permits" in answer:
        fields.append(("revoked_unconsumed_permits", answer["revoked_unconsumed_permits"]))
    show_fields(title, fields)


@agents.command("rotate", epilog=example("orvane agents rotate agent.key agent-2.key --db gate.db --key gate.key"))
@click.argument("current", metavar="CURRENT_KEY")
@click.argument("new", metavar="NEW_KEY")
@gate_options()
@json_option
@handle_refusals
def rotate(current: str, new: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Replace an identity's CURRENT_KEY by NEW_KEY (each a public key or a key file)."""
    text = open_gate(db_path, key_path).rotate_agent(public_key_argument(current), public_key_argument(new))
    if as_json:
        emit_json(text)
    else:
        show_lifecycle("Rotated", json.loads(text))


@agents.command("revoke", epilog=example(
    "orvane agents revoke agent.key --reason 'key leaked' --db gate.db --key gate.key"))
@click.argument("public_key", metavar="PUBLIC_KEY")
@click.option("--reason", required=True, help="Why the key is revoked (stored in the signed event).")
@gate_options()
@json_option
@handle_refusals
def revoke(public_key: str, reason: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Revoke PUBLIC_KEY (a public key or a key file): its identity stops
    verifying and its unconsumed permits are revoked."""
    text = open_gate(db_path, key_path).revoke_agent(public_key_argument(public_key), reason)
    if as_json:
        emit_json(text)
    else:
        show_lifecycle("Revoked", json.loads(text))
