"""The gate's verify_evidence and the independent orvane_verify give equal
verdicts on every file of a corpus built here: the evidence the gate exports
for five kinds of action, every single-member alteration of every signed
document in it, parts swapped between two actions, and dropped documents.
Every altered file must also be INVALID: a change that neither verifier
notices is a hole in both."""

import json
import os
import pathlib

import pytest

from evidence_helpers import (Actions, both_verdicts, drops, failed_checks, orvane_verify,
                              single_member_alterations, swaps)
from executor_helpers import Key

SCENARIOS = ("succeeded", "failed", "rotated", "revoked", "baseline")
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "docs" / "examples"


@pytest.fixture(scope="module")
def actions(tmp_path_factory):
    return Actions(tmp_path_factory.mktemp("evidence"))


@pytest.fixture(scope="module")
def files(actions):
    return {name: actions.export(name) for name in SCENARIOS}


def disagreements(cases, gate, must_fail=True):
    """The cases where the verifiers differ, or (`must_fail`) where an altered file still verifies."""
    found = []
    for label, evidence in cases:
        native, independent = both_verdicts(evidence, gate)
        if native != independent:
            found.append((label, native if native == "MALFORMED" else failed_checks(native),
                          independent if independent == "MALFORMED" else failed_checks(independent)))
        elif must_fail and native != "MALFORMED" and native["status"] != "INVALID":
            found.append((label, "still VERIFIED"))
    return found


def test_exported_files_verify_in_both(actions, files):
    expected = {"succeeded": "SUCCEEDED", "failed": "FAILED", "rotated": "SUCCEEDED", "revoked": "SUCCEEDED",
                "baseline": "SUCCEEDED"}
    for name, evidence in files.items():
        native, independent = both_verdicts(evidence, actions.gate)
        assert native == independent, name
        assert native["status"] == "VERIFIED", (name, failed_checks(native))
        assert (native["decision"], native["execution_status"]) == ("ALLOWED", expected[name])
    # The upper-case spelling of the trusted key is the same key.
    native, independent = both_verdicts(files["succeeded"], actions.gate.upper())
    assert native == independent and native["status"] == "VERIFIED"


@pytest.mark.parametrize("name", SCENARIOS)
def test_every_single_member_alteration(actions, files, name):
    assert disagreements(single_member_alterations(files[name]), actions.gate) == []


def test_documents_swapped_between_actions(actions, files):
    pairs = [("succeeded", "failed"), ("failed", "succeeded"), ("succeeded", "baseline"), ("rotated", "revoked"),
             ("revoked", "rotated")]
    cases = [("%s<-%s %s" % (a, b, label), swapped) for a, b in pairs
             for label, swapped in swaps(files[a], files[b])]
    assert disagreements(cases, actions.gate) == []


@pytest.mark.parametrize("name", SCENARIOS)
def test_dropped_documents(actions, files, name):
    # A document the verdict does not rest on (the registration of a key
    # rotated out before the action) may go without changing it.
    assert disagreements(drops(files[name]), actions.gate, must_fail=False) == []
    evidence = files[name]
    receipt = evidence["authorization"]["authorization"]
    needed = {receipt["agent_id"], receipt["gate_id"], evidence["execution"]["receipt"]["executor_id"]}
    for key in needed:
        dropped = dict(evidence, registrations=[r for r in evidence["registrations"]
                                                if r["registration"]["agent_id"] != key])
        native, independent = both_verdicts(dropped, actions.gate)
        assert native == independent and native["status"] == "INVALID"


def test_another_gate_key_trusts_nothing_in_either(actions, files):
    other = Key().public_hex
    native, independent = both_verdicts(files["succeeded"], other)
    assert native == independent
    codes = failed_checks(native)
    assert codes["evidence"] == ["EVIDENCE_GATE_MISMATCH: authorization", "EVIDENCE_GATE_MISMATCH: execution"]
    assert "GATE_IDENTITY_NOT_TRUSTED" in codes["receipt"]
    assert codes["policy"] == ["POLICY_ATTESTATION_SIGNATURE_INVALID"]


def test_an_execution_sealed_after_the_agents_revocation(actions, files):
    """The gate refuses such a commit; a receipt re-sealed with the gate's key
    to claim one is reported by both, as verify_trace reports it."""
    evidence = json.loads(json.dumps(files["revoked"]))
    (revocation,) = [e["event"] for e in evidence["lifecycle_events"] if e["event"]["event_type"] == "REVOKE"]
    evidence["execution"] = actions.road.resign_receipt(evidence["execution"],
                                                        completed_at=revocation["effective_at"] + 1)
    native, independent = both_verdicts(evidence, actions.gate)
    assert native == independent
    assert failed_checks(native)["execution_receipt"] == ["EXECUTION_AFTER_REVOCATION"]


def test_malformed_files_are_refused_by_both(actions, files):
    evidence = files["succeeded"]
    cases = [[], {"schema_version": "orvane.evidence.v0"}, dict(evidence, action_id=7),
             dict(evidence, authorization=None), dict(evidence, execution=[]),
             {k: v for k, v in evidence.items() if k != "policy_attestation"},
             dict(evidence, registrations={}), dict(evidence, lifecycle_events=[1]),
             dict(evidence, logs=[{"entries": []}]), dict(evidence, logs=[{"tenant_id": "acme"}]),
             dict(evidence, logs=[{"tenant_id": "acme", "entries": [{"event": "x"}]}])]
    for case in cases:
        assert both_verdicts(case, actions.gate) == ("MALFORMED", "MALFORMED"), case


def write_examples(actions, files):  # pragma: no cover - run by hand to refresh docs/examples
    tampered = json.loads(json.dumps(files["succeeded"]))
    tampered["execution"]["outcome"]["output"] = {"transfer": "tx-666"}
    for name, evidence in (("evidence-succeeded", files["succeeded"]), ("evidence-tampered", tampered)):
        native, _ = both_verdicts(evidence, actions.gate)
        (EXAMPLES / (name + ".json")).write_text(json.dumps(evidence, indent=2, sort_keys=True) + "\n")
        (EXAMPLES / (name + ".verdict.json")).write_text(json.dumps(native, indent=2, sort_keys=True) + "\n")


def test_examples_for_readers_still_give_their_verdicts(actions, files):
    if os.environ.get("ORVANE_WRITE_EXAMPLES"):
        write_examples(actions, files)
    for name in ("evidence-succeeded", "evidence-tampered"):
        evidence = json.loads((EXAMPLES / (name + ".json")).read_text())
        stated = json.loads((EXAMPLES / (name + ".verdict.json")).read_text())
        assert both_verdicts(evidence, evidence["gate_id"]) == (stated, stated), name
    assert stated["status"] == "INVALID"
