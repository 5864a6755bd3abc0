"""Policies: installing a tenant's signed bundle (or the operator's fallback
for tenant "*") and listing every bundle."""

from __future__ import annotations

import json

import click

from ._base import (BadInput, emit_json, example, gate_options, handle_refusals, json_option, open_gate,
                    read_document, show_fields, show_table, when)

SPEC_MEMBERS = ("schema_version", "policy_version", "tenant_id", "constraints")


@click.group()
def policy() -> None:
    """Policies: install, list."""


def already_installed(policies: list[dict], spec: dict) -> dict | None:
    """The tenant's active bundle when it was made from this very policy document."""
    for bundle in policies:
        if bundle.get("status") == "ACTIVE" and all(bundle.get(m) == spec.get(m) for m in SPEC_MEMBERS):
            return bundle
    return None


@policy.command("install", epilog=example(
    "orvane policy install acme-v1.json --db gate.db --key gate.key",
    "",
    "acme-v1.json:",
    '  {"schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-v1",',
    '   "tenant_id": "acme", "constraints": {"allowed_action_types": ["payment.*"],',
    '   "allowed_resources": ["account:acme/*"], "allowed_executors": ["*"],',
    '   "max_ttl_seconds": 600, "max_input_bytes": 4096}}'))
@click.argument("spec_file", metavar="SPEC_FILE")
@gate_options()
@json_option
@handle_refusals
def install(spec_file: str, db_path: str, key_path: str, as_json: bool) -> None:
    """Sign and install the policy in SPEC_FILE ("-" for standard input) as
    the active policy of its tenant. A policy for tenant "*" is the fallback
    for every tenant without a policy of its own. Installing the same policy again
    while it is active changes nothing and says so."""
    spec = read_document(spec_file, "policy spec")
    if not isinstance(spec, dict):
        raise BadInput("the policy spec must be a JSON object")
    gate = open_gate(db_path, key_path)
    current = already_installed(json.loads(gate.list_policies()), spec)
    if current is not None:
        if as_json:
            emit_json({"installed": False, "bundle": current})
        else:
            show_fields(f"Policy {current['policy_version']} of tenant {current['tenant_id']} is already installed "
                        "and active: nothing changed", [("policy_digest", current.get("policy_digest"))])
        return
    text = gate.install_policy(json.dumps(spec))
    bundle = json.loads(text)
    if as_json:
        emit_json({"installed": True, "bundle": bundle})
        return
    show_fields(f"Installed policy {bundle['policy_version']} for tenant {bundle['tenant_id']}", [
        ("policy_digest", bundle.get("policy_digest")), ("issued_at", when(bundle.get("issued_at")))])


@policy.command("list", epilog=example("orvane policy list --db gate.db --key gate.key",
                                       "orvane policy list --tenant acme --json --db gate.db --key gate.key"))
@click.option("--tenant", help="Only the bundles of this tenant.")
@gate_options()
@json_option
@handle_refusals
def list_(tenant: str | None, db_path: str, key_path: str, as_json: bool) -> None:
    """List every policy bundle, oldest first, with its status."""
    bundles = json.loads(open_gate(db_path, key_path).list_policies())
    if tenant is not None:
        bundles = [b for b in bundles if b.get("tenant_id") == tenant]
    if as_json:
        emit_json(bundles)
        return
    show_table(["policy_version", "tenant", "status", "issued", "policy_digest"],
               [[b.get("policy_version"), b.get("tenant_id"), b.get("status"), when(b.get("issued_at")),
                 b.get("policy_digest")] for b in bundles],
               "No policies installed.")
