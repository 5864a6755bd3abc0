"""Exporting an action's evidence file at the gate, and the gate-side
verify_evidence: what the file holds, that it stands alone (no database),
and the refusals for stored data the gate cannot vouch for."""

import hashlib
import json

import pytest

import _orvane_ddb
from evidence_helpers import Actions, failed_checks, orvane_verify
from executor_helpers import canonical, digest_hex
from outcome_helpers import TENANT


@pytest.fixture
def actions(tmp_path):
    return Actions(tmp_path)


def refusal(call, *args):
    with pytest.raises(RuntimeError) as err:
        call(*args)
    return str(err.value)


def verdict(text, key):
    return json.loads(_orvane_ddb.verify_evidence(text, key))


class TestExport:
    def test_the_file_holds_the_stored_documents_and_their_chain(self, actions):
        road = actions.road
        action_id = actions.ids["succeeded"]
        text = road.ddb.export_evidence(action_id)
        evidence = json.loads(text)
        assert orvane_verify.canonical.canonical_text(evidence) == text  # the independent canonical writer
        trace = json.loads(road.ddb.get_trace(action_id))
        assert evidence["authorization"] == trace["authorization"]
        assert evidence["execution"] == trace["execution"]
        assert (evidence["schema_version"], evidence["action_id"], evidence["gate_id"]) == (
            "orvane.evidence.v1", action_id, actions.gate)
        # The gate's self-registration, the agent and the executor, each as signed.
        registrations = {r["registration"]["agent_id"]: r for r in evidence["registrations"]}
        assert set(registrations) == {actions.gate, road.agent.public_hex, road.executor.public_hex}
        for entry in registrations.values():
            assert entry["event_id"] == digest_hex(entry["registration"])
        (attestation,) = road.query("SELECT attestation_json, signature FROM active_policy_attestations "
                                    "WHERE tenant_id = ?1", TENANT)
        assert evidence["policy_attestation"] == {"attestation": json.loads(attestation[0]),
                                                  "signature": attestation[1]}
        # Each announced document with the stream event that announced it.
        logged = {(log["tenant_id"], entry["event"]["event_type"]): entry["event"]
                  for log in evidence["logs"] for entry in log["entries"]}
        assert logged[(TENANT, "action.executed")]["payload_hash"] == hashlib.sha256(
            orvane_verify.canonical.canonical_bytes(evidence["execution"])).hexdigest()
        assert logged[(TENANT, "action.authorized")]["event_id"] == evidence["authorization"]["authorization"][
            "authorization_id"]
        assert evidence["lifecycle_events"] == []

    def test_it_verifies_without_the_gate(self, actions, tmp_path):
        text = actions.road.ddb.export_evidence(actions.ids["revoked"])
        del actions.road.ddb  # no gate object, no database: the file and the key suffice
        (tmp_path / "gate.db").unlink()
        assert verdict(text, actions.gate)["status"] == "VERIFIED"

    def test_rotated_and_revoked_identities_carry_their_lifecycle(self, actions):
        rotated = json.loads(actions.road.ddb.export_evidence(actions.ids["rotated"]))
        (event,) = [e["event"] for e in rotated["lifecycle_events"]]
        assert event["event_type"] == "ROTATE"
        keys = {r["registration"]["agent_id"] for r in rotated["registrations"]}
        assert {event["previous_public_key"], event["public_key"]} <= keys
        revoked = json.loads(actions.road.ddb.export_evidence(actions.ids["revoked"]))
        assert [e["event"]["event_type"] for e in revoked["lifecycle_events"]] == ["REVOKE"]
        types = [e["event"]["event_type"] for log in revoked["logs"] for e in log["entries"]]
        assert "identity.revoked" in types

    def test_a_permit_without_outcome_and_a_refusal(self, actions):
        open_permit = actions.run(actions.road.agent, TENANT, None)
        result = verdict(actions.road.ddb.export_evidence(open_permit), actions.gate)
        assert (result["status"], result["execution_status"]) == ("VERIFIED", None)
        assert {n for n, e in result["checks"].items() if e["status"] == "NOT_PRESENT"} == {
            "execution_receipt", "outcome", "executor_standing"}
        blocked = actions.permit(actions.road.agent, TENANT, resource="vault:secrets")
        assert blocked["authorization"]["decision"] == "BLOCKED"
        result = verdict(actions.road.ddb.export_evidence(blocked["authorization"]["action_id"]), actions.gate)
        assert (result["status"], result["decision"]) == ("VERIFIED", "BLOCKED")

    def test_unknown_action(self, actions):
        assert refusal(actions.road.ddb.export_evidence, "0" * 64) == "ORVANE_ACTION_NOT_FOUND"


class TestTreeHeads:
    def test_each_log_carries_a_covering_head_and_a_proof_per_entry(self, actions):
        road = actions.road
        heads = lambda: road.query("SELECT count(*) FROM tree_heads")[0][0]
        before = heads()
        evidence = json.loads(road.ddb.export_evidence(actions.ids["failed"]))
        # The early head no longer covers the file's events: one new head per log.
        assert heads() == before + len(evidence["logs"])
        for log in evidence["logs"]:
            head = json.loads(_orvane_ddb.verify_tree_head(log["tree_head"], actions.gate))
            assert head["status"] == "VERIFIED" and head["tenant_id"] == log["tenant_id"]
            for entry in log["entries"]:
                assert entry["inclusion_proof"]["tree_size"] == head["tree_size"]
                checked = _orvane_ddb.verify_inclusion(log["tree_head"], actions.gate,
                                                       canonical(entry["event"]).decode(),
                                                       canonical(entry["inclusion_proof"]).decode())
                assert json.loads(checked)["status"] == "VERIFIED"
        # Nothing new was appended: the next export signs nothing.
        again = json.loads(road.ddb.export_evidence(actions.ids["failed"]))
        assert heads() == before + len(evidence["logs"])
        assert [log["tree_head"] for log in again["logs"]] == [log["tree_head"] for log in evidence["logs"]]

    def test_an_edited_stored_head_stops_the_export(self, actions):
        road = actions.road
        road.ddb.export_evidence(actions.ids["succeeded"])
        (note,), = road.query("SELECT note FROM tree_heads WHERE tenant_id = ?1 ORDER BY head_sequence DESC "
                              "LIMIT 1", TENANT)
        lines = note.split("\n")
        lines[1] = str(int(lines[1]) + 1)
        road.execute("UPDATE tree_heads SET note = ?1 WHERE note = ?2", "\n".join(lines), note)
        assert refusal(road.ddb.export_evidence, actions.ids["succeeded"]).startswith("ORVANE_TREE_HEAD_INVALID")


class TestRefusedExports:
    """A database writer's edits: the gate verifies the file before it hands
    it out, and refuses what it cannot vouch for."""

    def test_an_edited_outcome(self, actions):
        road = actions.road
        action_id = actions.ids["succeeded"]
        execution = road.execution(action_id)
        execution["outcome"]["output"] = {"transfer": "tx-666"}
        road.store_execution(action_id, execution)
        assert refusal(road.ddb.export_evidence, action_id) == (
            "ORVANE_EVIDENCE_NOT_VERIFIED: execution_receipt: OUTCOME_HASH_MISMATCH,EXECUTOR_SIGNATURE_INVALID; "
            "log_inclusion: LOG_PAYLOAD_MISMATCH: action.executed")

    def test_a_deleted_stream_event_and_a_deleted_revocation(self, actions):
        road = actions.road
        road.execute("DELETE FROM event_stream WHERE event_type = 'action.failed'")
        assert refusal(road.ddb.export_evidence, actions.ids["failed"]) == (
            "ORVANE_EVIDENCE_NOT_VERIFIED: log_inclusion: LOG_ENTRY_MISSING: action.failed")
        # Without its row the revocation is still named by the stream.
        road.execute("DELETE FROM identity_lifecycle_events WHERE event_type = 'REVOKE'")
        message = refusal(road.ddb.export_evidence, actions.ids["revoked"])
        assert "a lifecycle event named by the event stream is missing" in message

    def test_an_action_moved_under_another_id(self, actions):
        road = actions.road
        road.execute("DELETE FROM action_outcomes WHERE action_id = ?1", actions.ids["failed"])
        road.execute("DELETE FROM action_authorizations WHERE action_id = ?1", actions.ids["failed"])
        road.execute("UPDATE action_authorizations SET action_id = ?1 WHERE action_id = ?2",
                     actions.ids["failed"], actions.ids["succeeded"])
        message = refusal(road.ddb.export_evidence, actions.ids["failed"])
        assert message.startswith("ORVANE_EVIDENCE_NOT_VERIFIED: evidence: EVIDENCE_ACTION_MISMATCH: authorization")


class TestVerifyEvidence:
    def test_inputs_that_are_no_evidence_file(self, actions):
        for text, detail in (("{", "evidence must be valid JSON: "), ("[]", "evidence must be a JSON object"),
                             ('{"schema_version": "orvane.evidence.v1"}', "action_id must be a string")):
            assert refusal(_orvane_ddb.verify_evidence, text, actions.gate).startswith(
                "ORVANE_EVIDENCE_MALFORMED: " + detail)
        text = actions.road.ddb.export_evidence(actions.ids["succeeded"])
        assert refusal(_orvane_ddb.verify_evidence, text, "abc").startswith("Invalid")
        with pytest.raises(TypeError):
            _orvane_ddb.verify_evidence(text.encode(), actions.gate)

    def test_a_registration_no_resolution_reads_must_still_be_signed(self, actions):
        """The registration of the key rotated in after the action is not needed
        to judge the action, but a file that shows it forged does not verify."""
        before = json.loads(actions.road.ddb.export_evidence(actions.ids["before_rotation"]))
        (index,) = [i for i, r in enumerate(before["registrations"]) if "rotation_event_id" in r["registration"]]
        before["registrations"][index]["registration"]["alias"] = "mallory"
        codes = failed_checks(verdict(canonical(before).decode(), actions.gate))
        assert codes == {"evidence": ["EVIDENCE_REGISTRATION_INVALID: %d" % index]}


def test_the_package_passes_evidence_as_text_or_dict(actions):
    import orvane_ddb

    gate = orvane_ddb.OrvaneDDB(actions.road.db_path, actions.road.gate_keyfile)
    evidence = gate.dicts.export_evidence(actions.ids["succeeded"])
    assert json.loads(orvane_ddb.verify_evidence(evidence, actions.gate))["status"] == "VERIFIED"
    with pytest.raises(orvane_ddb.OrvaneError) as err:
        orvane_ddb.verify_evidence("[]", actions.gate)
    assert err.value.code == "ORVANE_EVIDENCE_MALFORMED"


def test_the_auditor_checks_a_file_and_a_kept_head_with_the_command(actions, tmp_path, capsys):
    """The road of the README: export, verify offline, then check that the
    file's head extends a head kept from before."""
    import evidence_helpers  # noqa: F401  (makes this checkout's verifier importable when not installed)
    from orvane_verify.cli import main

    road = actions.road
    evidence = road.ddb.export_evidence(actions.ids["failed"])
    (tmp_path / "evidence.json").write_text(evidence)
    assert main([str(tmp_path / "evidence.json"), "--gate-key", actions.gate]) == 0
    assert "VERIFIED" in capsys.readouterr().out
    (head,) = [log["tree_head"] for log in json.loads(evidence)["logs"] if log["tenant_id"] == TENANT]
    sizes = [int(note.split("\n")[1]) for note in (actions.early_head, head)]
    (tmp_path / "old.txt").write_text(actions.early_head)
    (tmp_path / "new.txt").write_text(head)
    (tmp_path / "proof.json").write_text(road.ddb.prove_consistency(TENANT, *sizes))
    files = [str(tmp_path / name) for name in ("old.txt", "new.txt", "proof.json")]
    assert main(["consistency", *files, "--gate-key", actions.gate]) == 0
    # Heads in the wrong order do not extend one another.
    assert main(["consistency", files[1], files[0], files[2], "--gate-key", actions.gate]) == 1
