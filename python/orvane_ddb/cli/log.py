"""The verifiable log of each tenant's stream: signed tree heads, inclusion
and consistency proofs, and a witness that cosigns only heads extending the
ones it holds."""

from __future__ import annotations

import json
from typing import Any

import click

import orvane_ddb

from ._base import (BadInput, emit_json, example, fail, gate_options, handle_refusals, json_option, open_gate,
                    parse_document, public_key_argument, read_document, read_text, say, show_fields, show_table, stderr, when, write_output)

TENANT_OPTION = click.option("--tenant", default="*", show_default=True, help="The tenant whose log is meant.")
GATE_KEY_OPTION = click.option("--gate-key", required=True, metavar="KEY",
                               help="The gate key to trust: its public key (hex) or key file.")


def read_note(path: str) -> str:
    note = read_text(path, "tree head")
    lines = note.split("\n")
    if len(lines) < 4 or not lines[1].isdigit():
        raise BadInput(f"{path} is not a tree head note (origin, size, root hash, blank line, signatures)")
    return note


def note_size(note: str) -> int:
    return int(note.split("\n")[1])


def show_verdict(title: str, verdict: dict, names: tuple[str, ...]) -> None:
    show_fields(f"{title}: {verdict.get('status')}", [(name, verdict.get(name)) for name in
                                                      ("reason_code", "message") + names if name in verdict])


def require_verified(verdict: dict, code: str) -> None:
    if verdict.get("status") != "VERIFIED":
        fail(code, f"{verdict.get('reason_code')}: {verdict.get('message')}")


@click.group("tree-head")
def tree_head() -> None:
    """Signed tree heads of a tenant's stream: create, verify."""


@tree_head.command("create", epilog=example("orvane tree-head create --tenant acme -o acme.note "
                                            "--db gate.db --key gate.key"))
@TENANT_OPTION
@click.option("-o", "--output", metavar="FILE", help="Write the note to FILE instead of standard output.")
@gate_options()
@json_option
@handle_refusals
def tree_head_create(tenant: str, output: str | None, db_path: str, key_path: str, as_json: bool) -> None:
    """Sign the head of the tenant's tree (a signed note), or hand back the
    latest head when the tree has not grown. Give it to auditors and witnesses:
    a later head that does not extend it is the proof of a rewritten stream."""
    gate = open_gate(db_path, key_path)
    note = gate.create_tree_head(tenant)
    verdict = json.loads(orvane_ddb.verify_tree_head(note, json.loads(gate.whoami())["public_key"]))
    if as_json:
        emit_json({"note": note, "tenant_id": verdict.get("tenant_id"), "tree_size": verdict.get("tree_size"),
                   "root_hash": verdict.get("root_hash"), "origin": verdict.get("origin")})
        if output is not None:
            write_output(output, note)
        return
    write_output(output, note)
    stderr().print(f"tree head of tenant {tenant}: size {verdict.get('tree_size')}, root {verdict.get('root_hash')}",
                   markup=False)


@tree_head.command("verify", epilog=example("orvane tree-head verify acme.note --gate-key $GATE_PUBLIC_KEY"))
@click.argument("note_file", metavar="NOTE_FILE")
@GATE_KEY_OPTION
@json_option
@handle_refusals
def tree_head_verify(note_file: str, gate_key: str, as_json: bool) -> None:
    """Check a tree head's signature under the gate key you trust; no gate
    database is needed. Exit 1 when it is INVALID."""
    text = orvane_ddb.verify_tree_head(read_note(note_file), public_key_argument(gate_key))
    verdict = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_verdict("Tree head", verdict, ("origin", "tenant_id", "tree_size", "root_hash"))
    require_verified(verdict, "ORVANE_TREE_HEAD_INVALID")


@click.group()
def prove() -> None:
    """Proofs from the gate's log: inclusion of an event, consistency of two heads."""


@prove.command("inclusion", epilog=example(
    "orvane prove inclusion --tenant acme --sequence 3 --head acme.note -o proof.json --db gate.db --key gate.key"))
@TENANT_OPTION
@click.option("--sequence", required=True, type=click.IntRange(0), help="The event's sequence number.")
@click.option("--tree-size", type=click.IntRange(0), help="The size of the tree the proof is for.")
@click.option("--head", "head_file", metavar="NOTE_FILE", help="Take the tree size from this tree head.")
@click.option("-o", "--output", metavar="FILE", help="Write the proof to FILE instead of standard output.")
@gate_options()
@handle_refusals
def prove_inclusion(tenant: str, sequence: int, tree_size: int | None, head_file: str | None, output: str | None,
                    db_path: str, key_path: str) -> None:
    """Print the proof (JSON) that the tenant's event SEQUENCE is in the tree
    of the given size: about log2(size) hashes."""
    size = sized(tree_size, head_file, "--tree-size")
    write_output(output, open_gate(db_path, key_path).prove_inclusion(tenant, sequence, size))


@prove.command("consistency", epilog=example(
    "orvane prove consistency --tenant acme --old old.note --new new.note -o proof.json --db gate.db --key gate.key"))
@TENANT_OPTION
@click.option("--old-size", type=click.IntRange(0), help="The size of the earlier tree.")
@click.option("--new-size", type=click.IntRange(0), help="The size of the later tree.")
@click.option("--old", "old_file", metavar="NOTE_FILE", help="Take the earlier size from this tree head.")
@click.option("--new", "new_file", metavar="NOTE_FILE", help="Take the later size from this tree head.")
@click.option("-o", "--output", metavar="FILE", help="Write the proof to FILE instead of standard output.")
@gate_options()
@handle_refusals
def prove_consistency(tenant: str, old_size: int | None, new_size: int | None, old_file: str | None,
                      new_file: str | None, output: str | None, db_path: str, key_path: str) -> None:
    """Print the proof (JSON) that the later tree extends the earlier one."""
    old = sized(old_size, old_file, "--old-size")
    new = sized(new_size, new_file, "--new-size")
    write_output(output, open_gate(db_path, key_path).prove_consistency(tenant, old, new))


@click.group()
def verify() -> None:
    """Check proofs against signed tree heads, without the gate."""


@verify.command("inclusion", epilog=example(
    "orvane prove inclusion --tenant acme --sequence 3 --head acme.note -o proof.json --db gate.db --key gate.key",
    "orvane stream export --tenant acme -o acme-stream.json --db gate.db --key gate.key",
    "orvane verify inclusion acme.note acme-stream.json proof.json --gate-key $GATE_PUBLIC_KEY"))
@click.argument("note_file", metavar="NOTE_FILE")
@click.argument("event_file", metavar="EVENT_FILE")
@click.argument("proof_file", metavar="PROOF_FILE")
@GATE_KEY_OPTION
@json_option
@handle_refusals
def verify_inclusion(note_file: str, event_file: str, proof_file: str, gate_key: str, as_json: bool) -> None:
    """Check that the event in EVENT_FILE (one exported event, or an exported
    stream holding the proof's sequence number) is in the tree the head in
    NOTE_FILE commits to. Exit 1 when it is INVALID."""
    note, proof_text = read_note(note_file), read_text(proof_file, "inclusion proof")
    event = read_document(event_file, "event")
    if isinstance(event, list):
        proof = parse_document(proof_text, "inclusion proof")
        wanted = proof.get("sequence_number") if isinstance(proof, dict) else None
        matching = [e for e in event if isinstance(e, dict) and e.get("sequence_number") == wanted]
        if len(matching) != 1:
            raise BadInput(f"{event_file} holds no single event with the proof's sequence number {wanted}")
        event = matching[0]
    text = orvane_ddb.verify_inclusion(note, public_key_argument(gate_key), json.dumps(event), proof_text)
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_verdict("Inclusion", result, ("tenant_id", "sequence_number", "tree_size", "event_digest"))
    require_verified(result, "ORVANE_INCLUSION_INVALID")


@verify.command("consistency", epilog=example(
    "orvane verify consistency old.note new.note proof.json --gate-key $GATE_PUBLIC_KEY"))
@click.argument("old_file", metavar="OLD_NOTE_FILE")
@click.argument("new_file", metavar="NEW_NOTE_FILE")
@click.argument("proof_file", metavar="PROOF_FILE")
@GATE_KEY_OPTION
@json_option
@handle_refusals
def verify_consistency(old_file: str, new_file: str, proof_file: str, gate_key: str, as_json: bool) -> None:
    """Check that the later tree head extends the earlier one: the stream was
    only appended to in between. Exit 1 when it is INVALID."""
    text = orvane_ddb.verify_consistency(read_note(old_file), read_note(new_file), public_key_argument(gate_key),
                                         read_text(proof_file, "consistency proof"))
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        show_verdict("Consistency", result, ("tenant_id", "old_size", "new_size"))
    require_verified(result, "ORVANE_CONSISTENCY_INVALID")


@verify.command("permit", epilog=example("orvane verify permit permit.json --gate-key $GATE_PUBLIC_KEY"))
@click.argument("permit_file", metavar="PERMIT_FILE")
@GATE_KEY_OPTION
@json_option
@handle_refusals
def verify_permit(permit_file: str, gate_key: str, as_json: bool) -> None:
    """Check an authorization result (a permit, or a BLOCKED answer) under the
    gate key you trust, without the gate: the receipt's signature, the policy
    and its evidence, the intent and the agent's signature. Exit 1 when it is
    INVALID."""
    permit = read_text(permit_file, "permit")
    text = orvane_ddb.verify_authorization(permit, public_key_argument(gate_key))
    result = json.loads(text)
    if as_json:
        emit_json(text)
    else:
        info = json.loads(orvane_ddb.permit_info(permit))
        show_fields(f"Permit {result.get('status')}: {result.get('decision')}", [
            ("reason_codes", ",".join(result.get("reason_codes", [])))] + [
            (name, info.get(name)) for name in ("action_id", "tenant_id", "agent_id", "action_type", "resource",
                                                "policy_version", "expired")] + [
            ("expires_at", when(info.get("expires_at")))])
    if result.get("status") != "VERIFIED":
        fail("ORVANE_AUTHORIZATION_INVALID", ",".join(result.get("reason_codes", [])))


def sized(size: int | None, note_file: str | None, name: str) -> int:
    if (size is None) == (note_file is None):
        raise click.UsageError(f"give either {name} or the tree head it comes from")
    return size if size is not None else note_size(read_note(note_file))


@click.group()
def witness() -> None:
    """A witness: cosign tree heads that extend the ones it holds."""


def open_witness(db: str, key: str) -> Any:
    return orvane_ddb.OrvaneWitness(db, key)


def witness_options(command: Any) -> Any:
    command = click.option("--witness-key", required=True, envvar="ORVANE_WITNESS_KEY", metavar="PATH",
                           type=click.Path(exists=True, dir_okay=False),
                           help="The witness's key file [env: ORVANE_WITNESS_KEY].")(command)
    return click.option("--witness-db", required=True, envvar="ORVANE_WITNESS_DB", metavar="PATH",
                        type=click.Path(dir_okay=False),
                        help="The witness's own database [env: ORVANE_WITNESS_DB].")(command)


@witness.command("add", epilog=example(
    "orvane witness add new.note --proof consistency.json --gate-key $GATE_PUBLIC_KEY "
    "--witness-db witness.db --witness-key witness.key -o cosigned.note"))
@click.argument("note_file", metavar="NOTE_FILE")
@GATE_KEY_OPTION
@click.option("--proof", "proof_file", metavar="FILE",
              help="The consistency proof from the held head's size to this one (not needed for the first head).")
@witness_options
@click.option("-o", "--output", metavar="FILE", help="Also write the cosigned note (the note and the line) to FILE.")
@json_option
@handle_refusals
def witness_add(note_file: str, gate_key: str, proof_file: str | None, witness_db: str, witness_key: str,
                output: str | None, as_json: bool) -> None:
    """Check the gate's tree head and that it extends the head held for its
    log, then print the witness's cosignature line. A head that does not
    extend the held one is refused (exit 1) and both are kept as evidence of a
    split view."""
    note = read_note(note_file)
    proof = read_text(proof_file, "consistency proof") if proof_file is not None else ""
    line = open_witness(witness_db, witness_key).add_tree_head(note, public_key_argument(gate_key), proof)
    cosigned = note + (line if line.endswith("\n") else line + "\n")
    if output is not None:
        write_output(output, cosigned)
    if as_json:
        emit_json({"cosignature": line.rstrip("\n"), "tree_size": note_size(note)})
    else:
        say(line.rstrip("\n"))


@witness.command("split-views", epilog=example("orvane witness split-views --witness-db witness.db "
                                               "--witness-key witness.key"))
@witness_options
@json_option
@handle_refusals
def witness_split_views(witness_db: str, witness_key: str, as_json: bool) -> None:
    """List the heads the witness refused because they did not extend the
    head it held: each pair, signed by one gate key, is evidence that the log
    showed different histories to different parties."""
    text = open_witness(witness_db, witness_key).split_views()
    if as_json:
        emit_json(text)
        return
    show_table(["origin", "held size", "offered size", "reason_code", "refused"],
               [[view.get("origin"), note_size(view["held_note"]), note_size(view["offered_note"]),
                 view.get("reason_code"), when(view.get("refused_at"))] for view in json.loads(text)],
               "No split views recorded.")
