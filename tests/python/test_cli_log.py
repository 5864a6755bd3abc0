"""`orvane tree-head`, `prove`, `witness` and `evidence` as an auditor runs
them: what the gate hands out verifies without the gate, and anything altered
or signed by another key exits 1 with its code."""

import json
import os
import subprocess
import sys

import pytest
from nacl.signing import SigningKey

import orvane_ddb
from cli_helpers import Orvane, refusal_code

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def new_key():
    return SigningKey.generate().verify_key.encode().hex()


def register(orvane, n=1):
    for i in range(n):
        orvane.gate("agents", "register", new_key(), "--alias", f"a{i}", "--metadata", '{"tenant_id":"acme"}')


@pytest.fixture
def gate(tmp_path):
    orvane = Orvane(tmp_path)
    orvane("keygen", "gate.key")
    orvane.gate("init")
    register(orvane, 3)
    orvane.gate_key = orvane.public_key("gate.key")
    return orvane


def read(orvane, name):
    with open(orvane.path(name)) as source:
        return source.read()


def write(orvane, name, text):
    with open(orvane.path(name), "w") as target:
        target.write(text)
    return name


def test_tree_heads_and_proofs_verify_without_the_gate(gate):
    gate.gate("tree-head", "create", "--tenant", "acme", "-o", "old.note")
    old = read(gate, "old.note")
    assert json.loads(orvane_ddb.verify_tree_head(old, gate.gate_key))["tree_size"] == 3
    shown = gate.json("tree-head", "verify", "old.note", "--gate-key", gate.gate_key)
    assert (shown["status"], shown["tenant_id"], shown["tree_size"]) == ("VERIFIED", "acme", 3)
    assert ": VERIFIED" in gate("tree-head", "verify", "old.note", "--gate-key", "gate.key").stdout

    register(gate, 2)
    created = gate.gate_json("tree-head", "create", "--tenant", "acme")
    assert created["tree_size"] == 5
    write(gate, "new.note", created["note"])
    assert gate.gate("tree-head", "create", "--tenant", "acme").stdout == created["note"]  # not grown: the same head

    inclusion = gate.gate("prove", "inclusion", "--tenant", "acme", "--sequence", "2", "--head", "new.note").stdout
    events = json.loads(gate.gate("stream", "export", "--tenant", "acme").stdout)
    verdict = json.loads(orvane_ddb.verify_inclusion(created["note"], gate.gate_key, json.dumps(events[1]), inclusion))
    assert (verdict["status"], verdict["sequence_number"]) == ("VERIFIED", 2)

    gate.gate("prove", "consistency", "--tenant", "acme", "--old", "old.note", "--new-size", "5", "-o", "c.json")
    verdict = json.loads(orvane_ddb.verify_consistency(old, created["note"], gate.gate_key, read(gate, "c.json")))
    assert (verdict["status"], verdict["old_size"], verdict["new_size"]) == ("VERIFIED", 3, 5)

    # The same checks on the command line, from an exported stream.
    write(gate, "stream.json", json.dumps(events))
    write(gate, "inclusion.json", inclusion)
    assert gate.json("verify", "inclusion", "new.note", "stream.json", "inclusion.json",
                     "--gate-key", gate.gate_key)["sequence_number"] == 2
    assert ": VERIFIED" in gate("verify", "consistency", "old.note", "new.note", "c.json",
                                "--gate-key", gate.gate_key).stdout
    events[1]["timestamp"] += 1
    write(gate, "altered.json", json.dumps(events[1]))
    altered = gate("verify", "inclusion", "new.note", "altered.json", "inclusion.json", "--gate-key", gate.gate_key,
                   status=1)
    assert refusal_code(altered) == "ORVANE_INCLUSION_INVALID" and "ERR_EVENT_TAMPERED" in altered.stderr
    backwards = gate("verify", "consistency", "new.note", "old.note", "c.json", "--gate-key", gate.gate_key,
                     status=1)
    assert refusal_code(backwards) == "ORVANE_CONSISTENCY_INVALID"


def test_altered_or_foreign_heads_and_bad_proof_requests(gate):
    gate.gate("tree-head", "create", "--tenant", "acme", "-o", "head.note")
    note = read(gate, "head.note")
    lines = note.split("\n")
    write(gate, "edited.note", "\n".join([lines[0], "4"] + lines[2:]))
    edited = gate("tree-head", "verify", "edited.note", "--gate-key", gate.gate_key, status=1)
    assert refusal_code(edited) == "ORVANE_TREE_HEAD_INVALID" and "ERR_SIGNATURE_INVALID" in edited.stderr
    foreign = gate("tree-head", "verify", "head.note", "--gate-key", new_key(), "--json", status=1)
    assert json.loads(foreign.stdout)["reason_code"] == "ERR_ORIGIN_MISMATCH"
    assert "not a tree head note" in gate("tree-head", "verify", write(gate, "x.note", "{}"), "--gate-key",
                                          gate.gate_key, status=2).stderr

    beyond = gate.gate("prove", "inclusion", "--tenant", "acme", "--sequence", "9", "--tree-size", "3", status=1)
    assert refusal_code(beyond) == "ORVANE_PROOF_OUT_OF_RANGE"
    assert "either --tree-size" in gate.gate("prove", "inclusion", "--tenant", "acme", "--sequence", "1",
                                             status=2).stderr
    assert "either --old-size" in gate.gate("prove", "consistency", "--tenant", "acme", "--old-size", "1",
                                            "--old", "head.note", "--new-size", "3", status=2).stderr
    assert gate.gate("tree-head", "create", "--tenant", "nobody", status=1).stderr.startswith("error: ORVANE_")


def test_a_witness_cosigns_extensions_and_refuses_a_split_view(gate):
    gate("keygen", "witness.key")
    witness = ["--witness-db", "witness.db", "--witness-key", "witness.key", "--gate-key", gate.gate_key]
    gate.gate("tree-head", "create", "--tenant", "acme", "-o", "h3.note")
    first = gate("witness", "add", "h3.note", *witness, "-o", "cosigned.note").stdout.strip()
    assert first.startswith("\u2014 orvane-ddb/witness/" + gate.public_key("witness.key") + " ")
    assert read(gate, "cosigned.note") == read(gate, "h3.note") + first + "\n"
    # The cosigned head still verifies under the gate key.
    gate("tree-head", "verify", "cosigned.note", "--gate-key", gate.gate_key)

    register(gate, 1)
    gate.gate("tree-head", "create", "--tenant", "acme", "-o", "h4.note")
    gate.gate("prove", "consistency", "--tenant", "acme", "--old", "h3.note", "--new", "h4.note", "-o", "p.json")
    assert gate.json("witness", "add", "h4.note", *witness, "--proof", "p.json")["tree_size"] == 4

    # A second gate database under the same key, with another history: its
    # head of the same log does not extend the one the witness holds.
    fork = Orvane(gate.cwd)
    fork("init", "--db", "fork.db", "--key", "gate.key")
    for _ in range(5):
        fork("agents", "register", new_key(), "--alias", "f", "--metadata", '{"tenant_id":"acme"}',
             "--db", "fork.db", "--key", "gate.key")
    fork("tree-head", "create", "--tenant", "acme", "-o", "f5.note", "--db", "fork.db", "--key", "gate.key")
    fork("prove", "consistency", "--tenant", "acme", "--old-size", "4", "--new", "f5.note", "-o", "fp.json",
         "--db", "fork.db", "--key", "gate.key")
    split = gate("witness", "add", "f5.note", *witness, "--proof", "fp.json", status=1)
    assert refusal_code(split) == "ORVANE_WITNESS_SPLIT_VIEW"
    view, = gate.json("witness", "split-views", *witness[:4])
    assert (view["held_note"], view["offered_note"]) == (read(gate, "h4.note"), read(gate, "f5.note"))
    assert "No split views" not in gate("witness", "split-views", *witness[:4]).stdout


def test_what_an_auditor_checks_without_the_gate(tmp_path):
    env = Orvane(tmp_path).env
    env["PATH"] = os.pathsep.join([os.path.dirname(sys.executable), env.get("PATH", "")])
    subprocess.run(["bash", os.path.join(ROOT, "examples", "walkthrough.sh"), str(tmp_path)], env=env, check=True,
                   capture_output=True, timeout=300)
    orvane = Orvane(tmp_path)
    gate_key = orvane.public_key("gate.key")
    orvane.gate("evidence", "export", "permit.json", "-o", "evidence.json")
    verdict = orvane.json("evidence", "verify", "evidence.json", "--gate-key", gate_key)
    assert (verdict["status"], verdict["decision"], verdict["execution_status"]) == ("VERIFIED", "ALLOWED",
                                                                                   "SUCCEEDED")
    assert "Evidence VERIFIED" in orvane("evidence", "verify", "evidence.json", "--gate-key", gate_key).stdout

    document = json.loads(read(orvane, "evidence.json"))
    assert json.loads(orvane.gate("evidence", "export", document["action_id"]).stdout)["action_id"] == \
        document["action_id"]
    document["execution"]["outcome"]["output"] = {"transfer_id": "tx-43"}
    write(orvane, "tampered.json", json.dumps(document))
    tampered = orvane("evidence", "verify", "tampered.json", "--gate-key", gate_key, status=1)
    assert refusal_code(tampered) == "ORVANE_EVIDENCE_INVALID" and "execution_receipt" in tampered.stderr
    assert orvane("evidence", "verify", write(orvane, "junk.json", "[]"), "--gate-key", gate_key,
                  status=2).stderr.startswith("error: ORVANE_EVIDENCE_MALFORMED")
    assert orvane("evidence", "verify", "evidence.json", "--gate-key", "00" * 32,
                  status=2).stderr.startswith("error: ORVANE_KEY_INVALID")

    # The permit and the checkpoint, with only the gate's public key.
    os.rename(orvane.path("gate.db"), orvane.path("elsewhere.db"))
    assert orvane.json("verify", "permit", "permit.json", "--gate-key", gate_key)["status"] == "VERIFIED"
    foreign = orvane("verify", "permit", "permit.json", "--gate-key", "agent.key", status=1)
    assert refusal_code(foreign) == "ORVANE_AUTHORIZATION_INVALID" and "GATE_IDENTITY_NOT_TRUSTED" in foreign.stderr
    assert orvane("verify", "permit", "junk.json", "--gate-key", gate_key,
                  status=2).stderr.startswith("error: ORVANE_PERMIT_MALFORMED")
    checked = orvane("checkpoint", "verify", "checkpoint.json", "--stream", "stream.json", "--gate-key", gate_key)
    assert ": VERIFIED" in checked.stdout
    assert "--stream and --gate-key" in orvane("checkpoint", "verify", "checkpoint.json", "--stream", "stream.json",
                                               status=2).stderr
