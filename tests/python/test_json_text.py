"""JSON text as callers and files hand it over: only space, tab, line feed and
carriage return are whitespace (a byte-order mark is not), and a signer
configuration that is not UTF-8 is a document that cannot be parsed."""

import json

import pytest

import _orvane_ddb
from outcome_helpers import TENANT, Key, Road, canonical

BOM = "\ufeff"
BOM_REASON = "syntax error while parsing value - a byte-order mark is not whitespace at line 1 column 1"


def refusal(error, call, *args):
    with pytest.raises(error) as err:
        call(*args)
    return str(err.value)


class TestByteOrderMark:
    def test_every_json_argument_refuses_a_leading_byte_order_mark(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        permit_text = canonical(permit).decode()
        auth_id = permit["authorization"]["authorization_id"]
        intent = road.intent()
        intent_text = canonical(intent).decode()
        checkpoint = road.ddb.create_checkpoint(TENANT)
        stream = road.ddb.export_event_stream(TENANT)
        executor = _orvane_ddb.OrvaneExecutor(str(tmp_path / "exec.db"), road.executor_keyfile,
                                              road.gate_key.public_hex, TENANT, 1)
        policy = json.dumps({"schema_version": "orvane.policy-bundle.v1", "policy_version": "v2",
                             "tenant_id": TENANT, "constraints": {}})
        checks = [
            (PermissionError, road.ddb.record, (BOM + "{}", "[]", True), "Payload is not valid JSON: "),
            (PermissionError, road.ddb.record, ("{}", BOM + "[]", True), "Rules is not valid JSON: "),
            (PermissionError, road.ddb.record_batch, ([("{}", BOM + "[]")], True), "Rules is not valid JSON: "),
            (RuntimeError, road.ddb.register_agent, (Key().public_hex, "x", BOM + "{}"), "metadata must be valid JSON: "),
            (RuntimeError, road.ddb.request_action_signed,
             (BOM + intent_text, road.agent.public_hex, road.agent.sign_hex(canonical(intent))),
             "intent must be valid JSON: "),
            (RuntimeError, road.ddb.install_policy, (BOM + policy,), "Policy spec must be valid JSON: "),
            (RuntimeError, road.ddb.commit_outcome_signed, (auth_id, BOM + road.outcome(permit)),
             "outcome must be valid JSON: "),
            (RuntimeError, road.ddb.commit_outcome, (auth_id, BOM + "{}", road.executor_keyfile),
             "outcome must be valid JSON: "),
            (RuntimeError, road.ddb.verify_checkpoint_stream, (BOM + checkpoint, stream),
             "Invalid checkpoint JSON: "),
            (RuntimeError, road.ddb.verify_checkpoint_stream, (checkpoint, BOM + stream), "Invalid stream JSON: "),
            (PermissionError, executor.verify_and_consume_permit, (BOM + permit_text,), ""),
            (RuntimeError, executor.complete_execution, (auth_id, permit["authorization"]["action_id"],
                                                         "SUCCEEDED", BOM + "{}"), "Invalid output JSON: "),
        ]
        for error, call, args, prefix in checks:
            message = refusal(error, call, *args)
            assert message.startswith(prefix) and message.endswith(BOM_REASON), (call.__name__, message)
        # Nothing of it was stored or consumed.
        assert road.outcome_rows() == []
        assert road.ddb.count() == 0
        with pytest.raises(RuntimeError, match="Consumption not found"):
            executor.get_execution_state(auth_id)

    def test_key_files_and_signer_configurations_refuse_it(self, tmp_path):
        road = Road(tmp_path)
        permit = road.permit()
        marked = tmp_path / "marked.key"
        marked.write_text(BOM + (tmp_path / "executor.json").read_text())
        path = str(marked)
        assert refusal(PermissionError, _orvane_ddb.OrvaneDDB, str(tmp_path / "x.db"), path) == \
            f"Failed to parse signer configuration '{path}': {BOM_REASON}"
        assert refusal(RuntimeError, road.ddb.request_action, json.dumps(road.intent()), path) == \
            f"Failed to parse key file '{path}': {BOM_REASON}"
        assert refusal(RuntimeError, road.ddb.commit_outcome, permit["authorization"]["authorization_id"],
                       road.outcome(permit), path) == f"Failed to parse key file '{path}': {BOM_REASON}"
        ledger = _orvane_ddb.OrvaneDDB(str(tmp_path / "ledger.db"), str(tmp_path / "later.key"))
        (tmp_path / "later.key").write_text(marked.read_text())
        assert refusal(PermissionError, ledger.record, "{}", "[]", True) == \
            f"Failed to parse key file JSON: {BOM_REASON}"
        # Whitespace that is whitespace is still allowed around the document.
        spaced = tmp_path / "spaced.key"
        spaced.write_text(" \t\r\n" + (tmp_path / "executor.json").read_text() + "\n")
        assert json.loads(_orvane_ddb.OrvaneDDB(str(tmp_path / "y.db"), str(spaced)).whoami())


class TestSignerConfigurationText:
    def test_bytes_that_are_not_utf8_cannot_be_parsed(self, tmp_path):
        path = tmp_path / "signer.json"
        path.write_bytes(b'{"schema_version": "orvane.signer-config.v1", "provider": "\xff"}')
        message = refusal(PermissionError, _orvane_ddb.OrvaneDDB, str(tmp_path / "g.db"), str(path))
        assert message.startswith(f"Failed to parse signer configuration '{path}': ")
        assert message.endswith("ill-formed UTF-8 byte at line 1 column 60"), message
        executor_message = refusal(RuntimeError, _orvane_ddb.OrvaneExecutor, str(tmp_path / "e.db"), str(path),
                                   "ab" * 32, TENANT, 1)
        assert executor_message == message
