import copy

import pytest

import forge
from orvane_verify import MalformedEvidence, verify_evidence


def failed(verdict):
    return {name: entry["reason_codes"] for name, entry in verdict["checks"].items() if entry["status"] == "FAILED"}


@pytest.fixture(scope="module")
def executed():
    return forge.scenario()


def check(evidence, gate):
    return verify_evidence(evidence, gate.key.pk)


def test_valid_evidence_verifies_and_upper_case_gate_key_is_accepted(executed):
    gate, evidence = executed
    verdict = verify_evidence(evidence, gate.key.pk.upper())
    assert verdict["status"] == "VERIFIED" and failed(verdict) == {}
    assert (verdict["decision"], verdict["execution_status"]) == ("ALLOWED", "SUCCEEDED")


def test_failed_execution_and_unexecuted_permit():
    gate, evidence = forge.scenario("FAILED")
    assert check(evidence, gate)["status"] == "VERIFIED"
    evidence["execution"] = None
    verdict = check(evidence, gate)
    # The execution's stream event is no longer asked for; the permit alone verifies.
    assert verdict["status"] == "VERIFIED"
    assert verdict["checks"]["outcome"]["status"] == "NOT_PRESENT"


def test_another_gate_key_trusts_nothing(executed):
    _, evidence = executed
    other = forge.Key("someone")
    codes = failed(verify_evidence(evidence, other.pk))
    assert "GATE_IDENTITY_NOT_TRUSTED" in codes["receipt"]
    assert codes["tree_head"] == ["TREE_HEAD_SIGNATURE_INVALID: *", "TREE_HEAD_SIGNATURE_INVALID: acme"]
    assert "POLICY_ATTESTATION_SIGNATURE_INVALID" in codes["policy"]


@pytest.mark.parametrize("path,value,expected", [
    (("authorization", "authorization", "decision"), "BLOCKED", {"receipt", "log_inclusion"}),
    (("authorization", "intent", "resource"), "etc/passwd", {"receipt", "log_inclusion"}),
    (("authorization", "policy_bundle", "constraints", "max_ttl_seconds"), 7, {"receipt", "log_inclusion"}),
    (("execution", "outcome", "output"), {"ok": False}, {"execution_receipt", "log_inclusion"}),
    (("execution", "receipt", "completed_at"), 5, {"execution_receipt", "log_inclusion"}),
    (("policy_attestation", "attestation", "policy_version"), "acme-v0", {"policy"}),
])
def test_a_changed_member_is_caught_by_its_check(executed, path, value, expected):
    gate, evidence = executed
    evidence = copy.deepcopy(evidence)
    target = evidence
    for name in path[:-1]:
        target = target[name]
    target[path[-1]] = value
    codes = failed(check(evidence, gate))
    assert set(codes) >= expected, codes


def test_altered_registration_leaves_the_agent_without_identity(executed):
    gate, evidence = executed
    evidence = copy.deepcopy(evidence)
    evidence["registrations"][1]["registration"]["alias"] = "mallory"
    codes = failed(check(evidence, gate))
    assert codes["agent_standing"] == ["AGENT_NOT_ACTIVE_AT_ISSUE"]
    assert "AUTHORIZATION_DECISION_NOT_REPRODUCIBLE" in codes["receipt"]
    assert codes["log_inclusion"] == ["LOG_PAYLOAD_MISMATCH: agent.registered"]


def test_dropped_registration_and_dropped_log_entry(executed):
    gate, evidence = executed
    dropped = copy.deepcopy(evidence)
    del dropped["registrations"][2]
    codes = failed(check(dropped, gate))
    assert codes["executor_standing"] == ["EXECUTOR_IDENTITY_NOT_TRUSTED"]
    unlogged = copy.deepcopy(evidence)
    unlogged["logs"][1]["entries"] = [e for e in unlogged["logs"][1]["entries"]
                                      if e["event"]["event_type"] != "action.executed"]
    assert failed(check(unlogged, gate)) == {"log_inclusion": ["LOG_ENTRY_MISSING: action.executed"]}


def test_stale_tree_head_does_not_cover_the_execution():
    gate, evidence = forge.scenario()
    stale = gate.log("acme", set(), size=len(gate.streams["acme"]) - 1)
    evidence["logs"][1]["tree_head"] = stale["tree_head"]
    assert failed(check(evidence, gate)) == {"log_inclusion": [
        "LOG_INCLUSION_INVALID: action.authorized", "LOG_INCLUSION_INVALID: action.executed",
        "LOG_INCLUSION_INVALID: policy.published", "LOG_INCLUSION_INVALID: agent.registered",
        "LOG_INCLUSION_INVALID: agent.registered"]}


def test_documents_swapped_in_from_another_action():
    gate = forge.Gate()
    agent, executor = forge.Key("agent"), forge.Key("executor")
    gate.register(agent, "agent", {})
    gate.register(executor, "executor", {})
    bundle = gate.install_policy("acme", "acme-v1", forge.CONSTRAINTS)
    first = gate.authorize(agent, bundle)
    first_run = gate.execute(first, executor)
    second = gate.authorize(agent, bundle, {"idempotency_key": "k-2"})
    second_run = gate.execute(second, executor)
    keys = [gate.key, agent, executor]
    assert check(gate.evidence(first, first_run, keys), gate)["status"] == "VERIFIED"
    codes = failed(check(gate.evidence(first, second_run, keys), gate))
    assert "EVIDENCE_ACTION_MISMATCH: execution" in codes["evidence"]
    assert "EXECUTION_AUTHORIZATION_ID_MISMATCH" in codes["execution_receipt"]
    assert "ORVANE_AUTHORIZATION_MISMATCH: outcome authorization_id does not match" in codes["outcome"]
    renamed = gate.evidence(second, second_run, keys)
    renamed["action_id"] = first["authorization"]["action_id"]
    assert set(failed(check(renamed, gate))) == {"evidence", "outcome"}


def test_rotation_and_revocation_are_judged_at_the_time_of_each_step():
    gate = forge.Gate()
    agent, executor, rotated = forge.Key("agent"), forge.Key("executor"), forge.Key("agent-2")
    gate.register(agent, "agent", {})
    gate.register(executor, "executor", {})
    bundle = gate.install_policy("acme", "acme-v1", forge.CONSTRAINTS)
    before = gate.authorize(agent, bundle)
    gate.rotate(agent, rotated)
    after = gate.authorize(rotated, bundle, {"idempotency_key": "k-2"})
    run = gate.execute(after, executor)
    keys = [gate.key, agent, rotated, executor]
    # The old key was valid when its permit was issued, the new one when its was.
    assert check(gate.evidence(before, None, keys), gate)["status"] == "VERIFIED"
    assert check(gate.evidence(after, run, keys), gate)["status"] == "VERIFIED"
    # A defective event of the identity fails every key of it, not just the one it names.
    broken = gate.evidence(before, None, keys)
    broken["lifecycle_events"][0]["event"]["key_version"] = 9
    assert failed(check(broken, gate))["agent_standing"] == ["ORVANE_IDENTITY_EVENT_INVALID: digest mismatch"]

    gate.revoke(executor)
    evidence = gate.evidence(after, run, keys)
    assert check(evidence, gate)["status"] == "VERIFIED"  # revoked after the execution completed
    backdated = copy.deepcopy(evidence)
    event = backdated["lifecycle_events"][1]["event"]
    event["effective_at"] = run["receipt"]["completed_at"] - 1
    assert failed(check(backdated, gate))["executor_standing"] == ["ORVANE_IDENTITY_EVENT_INVALID: digest mismatch"]
    # Even re-signed, a replaced revocation is caught: the stream names the original one.
    backdated["lifecycle_events"][1]["event_id"] = forge.digest(event)
    backdated["lifecycle_events"][1]["signature"] = gate.key.sign_digest(forge.digest(event))
    assert failed(check(backdated, gate))["executor_standing"] == [
        "ORVANE_IDENTITY_EVENT_INVALID: a lifecycle event named by the event stream is missing"]
    # Dropping the revocation and its log entry does not hide it from a later action: the
    # executor's standing at completion is what the file shows, so the auditor asks for the
    # identity's whole stream when it matters (see the README).
    dropped = gate.evidence(after, run, keys)
    dropped["lifecycle_events"] = dropped["lifecycle_events"][:1]
    assert "a lifecycle event named by the event stream is missing" in failed(check(dropped, gate))[
        "executor_standing"][0]
    for log in dropped["logs"]:
        log["entries"] = [e for e in log["entries"] if e["event"]["event_type"] != "identity.revoked"]
    assert check(dropped, gate)["status"] == "VERIFIED"


def test_malformed_files_are_refused(executed):
    gate, evidence = executed
    for broken in ([], {"schema_version": "orvane.evidence.v0"}, dict(evidence, registrations={}),
                   dict(evidence, execution=[]), dict(evidence, logs=[{"tenant_id": "acme"}])):
        with pytest.raises(MalformedEvidence):
            verify_evidence(broken, gate.key.pk)


def test_a_head_of_another_tenants_log_is_refused(executed):
    gate, evidence = executed
    evidence = copy.deepcopy(evidence)
    evidence["logs"][1]["tree_head"] = evidence["logs"][0]["tree_head"]
    codes = failed(check(evidence, gate))
    assert codes["tree_head"] == ["TREE_HEAD_ORIGIN_MISMATCH: acme"]
    assert "LOG_INCLUSION_INVALID: action.authorized" in codes["log_inclusion"]


def test_logs_without_tree_heads_prove_presence_only(executed):
    gate, evidence = executed
    headless = copy.deepcopy(evidence)
    for log in headless["logs"]:
        del log["tree_head"]
        for entry in log["entries"]:
            del entry["inclusion_proof"]
    verdict = check(headless, gate)
    assert verdict["status"] == "VERIFIED"
    assert verdict["checks"]["tree_head"] == {"status": "NOT_PRESENT", "reason_codes": []}
    # The events themselves are still checked.
    headless["logs"][1]["entries"][0]["event"]["timestamp"] += 1
    assert failed(check(headless, gate))["log_inclusion"] == ["LOG_EVENT_INVALID: agent.registered"]
    # A head, where there is one, still needs a proof for each entry.
    partial = copy.deepcopy(evidence)
    del partial["logs"][1]["entries"][0]["inclusion_proof"]
    assert failed(check(partial, gate)) == {"log_inclusion": ["LOG_INCLUSION_INVALID: agent.registered"]}


def test_a_registration_that_no_check_reads_must_still_be_signed(executed):
    gate, evidence = executed
    extra = copy.deepcopy(evidence)
    forged = copy.deepcopy(extra["registrations"][1])
    forged["registration"]["agent_id"] = forge.Key("nobody").pk
    extra["registrations"].append(forged)
    index = len(extra["registrations"]) - 1
    codes = failed(check(extra, gate))
    assert codes["evidence"] == ["EVIDENCE_REGISTRATION_INVALID: %d" % index]
