import copy
import hashlib
import json
import os
import subprocess
import sys

import forge
from orvane_verify import merkle
from orvane_verify.cli import main


def write(tmp_path, name, value):
    path = tmp_path / name
    path.write_text(value if isinstance(value, str) else json.dumps(value), encoding="utf-8")
    return str(path)


def test_exit_status_and_report(tmp_path, capsys):
    gate, evidence = forge.scenario()
    good = write(tmp_path, "good.json", evidence)
    assert main([good, "--gate-key", gate.key.pk]) == 0
    assert "VERIFIED" in capsys.readouterr().out
    bad = copy.deepcopy(evidence)
    bad["execution"]["outcome"]["output"] = {"ok": "maybe"}
    assert main([write(tmp_path, "bad.json", bad), "--gate-key", gate.key.pk, "--json"]) == 1
    verdict = json.loads(capsys.readouterr().out)
    assert verdict["status"] == "INVALID"
    assert verdict["checks"]["execution_receipt"]["reason_codes"] == ["OUTCOME_HASH_MISMATCH",
                                                                       "EXECUTOR_SIGNATURE_INVALID"]
    assert main([write(tmp_path, "junk.json", "{"), "--gate-key", gate.key.pk]) == 2
    assert main([str(tmp_path / "missing.json"), "--gate-key", gate.key.pk]) == 2
    assert main([good, "--gate-key", "abc"]) == 2
    assert main([good]) == 2


def test_runs_as_a_module(tmp_path):
    gate, evidence = forge.scenario()
    # The package as this checkout holds it, installed or not.
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([source] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    run = subprocess.run([sys.executable, "-m", "orvane_verify", "-", "--gate-key", gate.key.pk, "--json"],
                         input=json.dumps(evidence), capture_output=True, text=True, env=env)
    assert run.returncode == 0 and json.loads(run.stdout)["status"] == "VERIFIED"


def checkpoint_of(gate, tenant):
    events = gate.streams[tenant]
    body = {"schema_version": "orvane.checkpoint.v1", "checkpoint_id": "chk_%s_1_1" % tenant, "tenant_id": tenant,
            "checkpoint_sequence": 1, "first_sequence": 1, "last_sequence": len(events),
            "stream_root_hash": hashlib.sha256("".join(e["event_digest"] for e in events).encode()).hexdigest(),
            "total_events": len(events), "created_at": gate.tick(), "signer": gate.key.signer()}
    body["signature"] = gate.key.sign(forge.canon(body))
    return body


def test_checkpoint_against_exported_stream(tmp_path, capsys):
    gate, _ = forge.scenario()
    stream = gate.streams["acme"]
    checkpoint = write(tmp_path, "checkpoint.json", checkpoint_of(gate, "acme"))
    assert main(["checkpoint", checkpoint, write(tmp_path, "s.json", stream), "--gate-key", gate.key.pk]) == 0
    capsys.readouterr()
    dropped = stream[:2] + stream[3:]
    assert main(["checkpoint", checkpoint, write(tmp_path, "d.json", dropped), "--gate-key", gate.key.pk,
                 "--json"]) == 1
    verdict = json.loads(capsys.readouterr().out)
    assert (verdict["reason_code"], verdict["message"], verdict["events_verified"]) == (
        "ERR_SEQUENCE_GAP", "Sequence gap detected at index 2: expected 3, got 4", 2)
    assert main(["checkpoint", checkpoint, write(tmp_path, "o.json", {}), "--gate-key", gate.key.pk]) == 2


def test_tree_head_consistency(tmp_path, capsys):
    gate, _ = forge.scenario()
    leaves = [bytes.fromhex(e["event_digest"]) for e in gate.streams["acme"]]
    old, new = gate.log("acme", set(), size=3)["tree_head"], gate.log("acme", set())["tree_head"]
    proof = {"hashes": [h.hex() for h in merkle.consistency_proof(leaves, 3)]}
    args = [write(tmp_path, "old", old), write(tmp_path, "new", new), write(tmp_path, "p.json", proof),
            "--gate-key", gate.key.pk]
    assert main(["consistency"] + args) == 0
    forked = gate.streams["acme"][:3] + [dict(gate.streams["acme"][3], event_digest="ab" * 32)]
    other = forge.Gate()
    other.key, other.streams = gate.key, {"acme": forked + gate.streams["acme"][4:]}
    args[1] = write(tmp_path, "fork", other.log("acme", set())["tree_head"])
    assert main(["consistency"] + args) == 1
    assert "CONSISTENCY_PROOF_INVALID" in capsys.readouterr().out
    args[1] = write(tmp_path, "garbled", new.replace("\n\n", "\n"))
    assert main(["consistency"] + args) == 1


def test_a_consistency_proof_must_be_for_the_heads_sizes(tmp_path, capsys):
    gate, _ = forge.scenario()
    leaves = [bytes.fromhex(e["event_digest"]) for e in gate.streams["acme"]]
    old, new = gate.log("acme", set(), size=3)["tree_head"], gate.log("acme", set())["tree_head"]
    hashes = [h.hex() for h in merkle.consistency_proof(leaves, 3)]
    for sizes, status in (({"old_size": 3, "new_size": len(leaves)}, 0), ({"old_size": 2, "new_size": len(leaves)}, 1)):
        args = [write(tmp_path, "old", old), write(tmp_path, "new", new),
                write(tmp_path, "p.json", dict(sizes, hashes=hashes)), "--gate-key", gate.key.pk, "--json"]
        assert main(["consistency"] + args) == status
        verdict = json.loads(capsys.readouterr().out)
        assert verdict["reason_code"] == ("CONSISTENCY_VALID" if status == 0 else "TREE_SIZE_MISMATCH")
