"""The gate's tree heads opened by Go's signed-note package and its proofs
checked by Go's transparency-log package (Debian's golang-go and
golang-golang-x-mod-dev, offline). Skipped only where `go` is missing, and
never when ORVANE_REQUIRE_GO is set (as the full test run sets it)."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

import _orvane_ddb as m  # noqa: E402

import tree_helpers as th  # noqa: E402
from identity_helpers import Gate, canonical  # noqa: E402

GO = shutil.which("go")
TENANT = "acme corp/*"


@pytest.fixture(scope="module")
def checker(tmp_path_factory):
    if GO is None:
        if os.environ.get("ORVANE_REQUIRE_GO"):
            pytest.fail("go is required here (install golang-go and golang-golang-x-mod-dev)")
        pytest.skip("go is not installed")
    work = tmp_path_factory.mktemp("go")
    env = dict(os.environ, GOPATH="/usr/share/gocode", GO111MODULE="off", GOCACHE=str(work / "cache"),
               GOFLAGS="", CGO_ENABLED="0")
    binary = work / "check_log"
    subprocess.run([GO, "build", "-o", str(binary), str(HERE / "check_log.go")], env=env, check=True,
                   capture_output=True, timeout=600)

    def check(request):
        done = subprocess.run([str(binary)], input=json.dumps(request), capture_output=True, text=True,
                              timeout=120, check=True)
        return json.loads(done.stdout)

    return check


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    gate = Gate(tmp_path_factory.mktemp("gate"))
    heads = []
    for n in range(1, 18):
        gate.register(f"bot-{n}", {"tenant_id": TENANT})
        if n in (1, 2, 3, 4, 5, 8, 9, 16, 17):
            heads.append(gate.ddb.create_tree_head(TENANT))
    return gate, heads


def size_of(note):
    return int(note.split("\n")[1])


def test_go_opens_every_head_and_accepts_every_proof(checker, log):
    gate, heads = log
    events = json.loads(gate.ddb.export_event_stream(TENANT))
    origin = th.origin(gate.key.public, TENANT)
    request = {"verifier_key": th.verifier_key(origin, gate.key.public), "public_key": gate.key.public,
               "origin": origin, "heads": heads, "inclusions": [], "consistencies": []}
    for h, note in enumerate(heads):
        n = size_of(note)
        for i in range(n):
            proof = json.loads(gate.ddb.prove_inclusion(TENANT, i + 1, n))
            request["inclusions"].append({"head": h, "event_digest": events[i]["event_digest"],
                                          "leaf_index": i, "hashes": proof["hashes"]})
        for old in range(h + 1):
            proof = json.loads(gate.ddb.prove_consistency(TENANT, size_of(heads[old]), n))
            request["consistencies"].append({"old": old, "new": h, "hashes": proof["hashes"]})
    answer = checker(request)
    assert answer["verifier_key_from_go"] == request["verifier_key"]
    assert [(h.get("error"), h["origin"], h["size"]) for h in answer["heads"]] == [
        (None, origin, size_of(note)) for note in heads]
    assert set(answer["inclusions"]) == {""} and len(answer["inclusions"]) == sum(map(size_of, heads))
    assert set(answer["consistencies"]) == {""}


def test_go_refuses_what_the_module_refuses(checker, log):
    gate, heads = log
    events = json.loads(gate.ddb.export_event_stream(TENANT))
    origin = th.origin(gate.key.public, TENANT)
    old, new = heads[3], heads[-1]  # sizes 4 and 17
    edited = new.replace("\n17\n", "\n16\n")
    inclusion = json.loads(gate.ddb.prove_inclusion(TENANT, 6, 17))
    consistency = json.loads(gate.ddb.prove_consistency(TENANT, 4, 17))
    flipped = inclusion["hashes"][0][:-1] + ("1" if inclusion["hashes"][0][-1] == "0" else "0")
    request = {"verifier_key": th.verifier_key(origin, gate.key.public), "public_key": gate.key.public,
               "origin": origin, "heads": [old, new, edited],
               "inclusions": [
                   {"head": 1, "event_digest": events[5]["event_digest"], "leaf_index": 5,
                    "hashes": [flipped] + inclusion["hashes"][1:]},
                   {"head": 1, "event_digest": events[5]["event_digest"], "leaf_index": 5,
                    "hashes": inclusion["hashes"][:-1]},
                   {"head": 1, "event_digest": events[6]["event_digest"], "leaf_index": 5,
                    "hashes": inclusion["hashes"]},
               ],
               "consistencies": [
                   {"old": 0, "new": 1, "hashes": consistency["hashes"] + consistency["hashes"][:1]},
                   {"old": 0, "new": 2, "hashes": consistency["hashes"]},
               ]}
    answer = checker(request)
    assert answer["heads"][2]["error"]  # the edited size breaks the note signature
    assert all(answer["inclusions"]) and all(answer["consistencies"])
    # The module's own verdicts agree.
    verdict = json.loads(m.verify_inclusion(new, gate.key.public, canonical(events[6]), canonical(inclusion)))
    assert verdict["reason_code"] == "ERR_LEAF_INDEX_MISMATCH"
