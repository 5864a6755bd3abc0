"""Setting a gate up: key files, opening and bootstrapping the database with
the fallback the operator chooses, and what the gate's signer says of itself."""

from __future__ import annotations

import json
import os

import click

from ._base import (example, fail, gate_options, gen_keys, handle_refusals, json_option, open_gate, say,
                    show_fields, emit_json)

# No action type, resource or executor id is blank, so the pattern " " matches
# none of them: every request is BLOCKED (POLICY_ACTION_DENIED,
# POLICY_RESOURCE_DENIED and more).
DENY_CONSTRAINTS = {
    "allowed_action_types": [" "],
    "allowed_resources": [" "],
    "allowed_executors": [" "],
    "max_ttl_seconds": 1,
    "max_input_bytes": 1,
}
DENY_VERSION = "deny-all.v{}"


@click.command(epilog=example("orvane keygen gate.key", "orvane keygen agent.key --force"))
@click.argument("path", type=click.Path(dir_okay=False))
@click.option("--force", is_flag=True, help="Replace an existing file (its key is lost).")
@json_option
@handle_refusals
def keygen(path: str, force: bool, as_json: bool) -> None:
    """Write a new Ed25519 key file to PATH and print its public key.

    The file holds the private key: keep it private. An existing file is never
    replaced unless --force is given."""
    if os.path.lexists(path) and not force:
        fail("ORVANE_KEY_FILE_EXISTS", f"{path} already exists; pass --force to replace it")
    public_key = json.loads(gen_keys(path))["public_key"]
    if as_json:
        emit_json({"path": path, "public_key": public_key})
    else:
        show_fields(f"Key file {path} written", [("public_key", public_key)])


def gate_public_key(gate) -> str:
    return json.loads(gate.whoami())["public_key"]


def bootstrap(gate, public_key: str, alias: str) -> bool:
    """Registers the gate key as the trusted root unless it already is."""
    try:
        gate.get_agent(public_key)
        return False
    except RuntimeError as error:
        if not str(error).startswith("ORVANE_AGENT_NOT_FOUND"):
            raise
    gate.register_agent(public_key, alias, "{}")
    return True


def active_fallback(policies: list[dict]) -> dict | None:
    active = [p for p in policies if p.get("tenant_id") == "*" and p.get("status") == "ACTIVE"]
    return active[-1] if active else None


def install_deny_fallback(gate) -> tuple[dict, bool]:
    """The deny-everything fallback: the one already judging, or a new one
    under the first free version."""
    policies = json.loads(gate.list_policies())
    current = active_fallback(policies)
    if current is not None and current.get("constraints") == DENY_CONSTRAINTS:
        return current, False
    used = {p.get("policy_version") for p in policies}
    number = 1
    while DENY_VERSION.format(number) in used:
        number += 1
    spec = {"schema_version": "orvane.policy-bundle.v1", "policy_version": DENY_VERSION.format(number),
            "tenant_id": "*", "constraints": DENY_CONSTRAINTS}
    return json.loads(gate.install_policy(json.dumps(spec))), True


@click.command(epilog=example("orvane init --db gate.db --key gate.key --fallback deny"))
@gate_options(create=True)
@click.option("--fallback", type=click.Choice(["deny"]),
              help="deny: install a deny-everything fallback, so that a tenant without a policy of its own "
                   "(or with a mistyped name) is BLOCKED. Without it the built-in baseline allows everything "
                   "to such tenants.")
@click.option("--alias", default="gate", show_default=True, help="The gate identity's alias.")
@json_option
@handle_refusals
def init(db_path: str, key_path: str, fallback: str | None, alias: str, as_json: bool) -> None:
    """Open (create or migrate) a gate database and bootstrap the gate key as
    its trusted root. Running it again changes nothing that is already done."""
    gate = open_gate(db_path, key_path)
    public_key = gate_public_key(gate)
    bootstrapped = bootstrap(gate, public_key, alias)
    installed = False
    if fallback == "deny":
        bundle, installed = install_deny_fallback(gate)
    else:
        bundle = active_fallback(json.loads(gate.list_policies()))
    version = bundle.get("policy_version") if bundle else None
    if as_json:
        emit_json({"db": db_path, "gate_id": public_key, "bootstrapped": bootstrapped,
                   "fallback": {"policy_version": version, "installed": installed}})
        return
    denies = bundle is not None and bundle.get("constraints") == DENY_CONSTRAINTS
    show_fields(f"Gate {db_path}", [
        ("gate_id", public_key),
        ("trusted root", "bootstrapped now" if bootstrapped else "already bootstrapped"),
        ("fallback", f"{version} ({'denies everything' if denies else 'tenants without a policy of their own'})"
                     + (", installed now" if installed else "")),
    ])
    if version == "orvane.baseline.v1":
        say("note: the built-in baseline allows everything to tenants without a policy of their own; "
            "`orvane init --fallback deny` blocks them instead")


@click.command(epilog=example("orvane whoami --db gate.db --key gate.key"))
@gate_options()
@json_option
@handle_refusals
def whoami(db_path: str, key_path: str, as_json: bool) -> None:
    """Show the gate signer's identity: public key, key version, signer URI."""
    text = open_gate(db_path, key_path).whoami()
    if as_json:
        emit_json(text)
        return
    identity = json.loads(text)
    show_fields("Gate signer", [(name, identity[name]) for name in sorted(identity)])


@click.group()
def signer() -> None:
    """The gate's signer."""


@signer.command("check", epilog=example("orvane signer check --db gate.db --key gate.key"))
@gate_options()
@json_option
@handle_refusals
def signer_check(db_path: str, key_path: str, as_json: bool) -> None:
    """Sign a test message with the gate signer and verify it (exit 1 unless
    every check passes)."""
    text = open_gate(db_path, key_path).signer_conformance()
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_fields(f"Signer {result.get('signer', {}).get('signer_uri', '')}: {result.get('status')}",
                    [(name, value) for name, value in sorted(result.get("checks", {}).items())])
    if result.get("status") != "PASS":
        fail("ORVANE_SIGNER_NONCONFORMANT", f"signer conformance status {result.get('status')}")
