"""The orvane_ddb package: what it exports, how its wrappers match the
extension, dict documents in and out, and the warning about a weaker path."""

import inspect
import json
import logging

import pytest

import _orvane_ddb
import orvane_ddb
import orvane_ddb.executor
from orvane_ddb import documents

from package_helpers import build_road


def test_exports_and_version():
    assert orvane_ddb.native is _orvane_ddb
    for name in orvane_ddb.__all__:
        assert hasattr(orvane_ddb, name), name
    assert set(orvane_ddb.__all__) >= {"gen_keys", "OrvaneDDB", "OrvaneExecutor", "OrvaneError", "__version__"}
    parts = orvane_ddb.__version__.split(".")
    assert len(parts) == 3 and all(part.isdigit() for part in parts)


def native_signature(method) -> list[tuple[str, object]]:
    params = list(inspect.signature(method).parameters.values())
    return [(p.name, p.default) for p in params if p.name != "self"]


@pytest.mark.parametrize("wrapper, native", [
    (orvane_ddb.OrvaneDDB, _orvane_ddb.OrvaneDDB),
    (orvane_ddb.OrvaneExecutor, _orvane_ddb.OrvaneExecutor),
    (orvane_ddb.OrvaneWitness, _orvane_ddb.OrvaneWitness),
])
def test_wrappers_have_every_method_of_the_extension_with_its_signature(wrapper, native):
    """Same names, order and defaults as the extension's own text signatures,
    and a docstring on each; the dict view has every method that returns JSON."""
    dicts = {orvane_ddb.OrvaneDDB: orvane_ddb.gate.GateDicts,
             orvane_ddb.OrvaneExecutor: orvane_ddb.executor.ExecutorDicts}.get(wrapper)
    for name, method in vars(native).items():
        if name.startswith("_") or not callable(method):
            continue
        mine = getattr(wrapper, name)
        assert native_signature(mine) == native_signature(method), name
        assert mine.__doc__ and mine.__doc__.strip(), name
        if dicts is not None and name not in ("count", "verify_agent"):
            assert native_signature(getattr(dicts, name)) == native_signature(method), name
    assert native_signature(wrapper.__init__) == native_signature(native)


def test_documents_go_in_as_dicts_and_come_back_as_dicts(tmp_path):
    road = build_road(tmp_path)
    gate = road.gate
    genesis = gate.dicts.record({"event": "genesis", "note": "é"}, ["init"], genesis=True)
    batch = gate.dicts.record_batch([({"n": 1}, ["r"]), ('{"n":2}', '["r"]')])
    exported = gate.dicts.export()
    assert (exported[0]["id"], exported[-1]["id"]) == (genesis["latest_hash"], batch["latest_hash"])
    assert [json.loads(d["payload"]) for d in exported] == [{"event": "genesis", "note": "é"}, {"n": 1}, {"n": 2}]
    assert gate.dicts.validate()["status"] == "valid"

    result = gate.dicts.request_action(road.intent(), road.keys["agent"], 120)
    assert result["authorization"]["decision"] == "ALLOWED"
    executor = road.executor()
    consumed = executor.dicts.verify_and_consume_permit(result)  # the dict itself is a permit
    outcome = executor.dicts.complete_execution(consumed["authorization_id"], consumed["action_id"],
                                                "SUCCEEDED", {"transfer": "tx-1"})
    committed = gate.dicts.commit_outcome_signed(consumed["authorization_id"], outcome)
    assert committed and gate.dicts.verify_trace(consumed["action_id"])["status"] == "VERIFIED"
    checkpoint = gate.dicts.create_checkpoint("acme")
    stream = gate.dicts.export_event_stream("acme")
    verdict = gate.dicts.verify_checkpoint_stream(checkpoint, stream, road.public["gate"])
    assert verdict["status"] == "VERIFIED"
    assert gate.verify_agent(road.public["agent"]) is True


def test_batches_keep_the_extensions_own_refusals(tmp_path):
    gate = build_road(tmp_path).gate
    pairs = [("{}", "[]")]
    assert documents.as_decisions(pairs) is pairs  # text pairs are not copied
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        gate.record_batch("[]")
    with pytest.raises(TypeError):
        gate.record_batch([["{}", "[]"]])
    with pytest.raises(TypeError):
        gate.record_batch([({}, [], "x")])
    with pytest.raises(TypeError):
        gate.record(b"{}", "[]")
    with pytest.raises(ValueError):  # NaN has no JSON form
        gate.record({"x": float("nan")}, [], genesis=True)


def test_calls_the_extension_adds_are_passed_through(tmp_path):
    gate = build_road(tmp_path).gate
    wrapped = orvane_ddb.OrvaneDDB.__dict__["count"]
    try:
        del orvane_ddb.OrvaneDDB.count  # as if only the extension had it
        assert gate.count() == 0 and gate.dicts.count() == 0
    finally:
        orvane_ddb.OrvaneDDB.count = wrapped
    with pytest.raises(AttributeError):
        gate.no_such_call
    with pytest.raises(orvane_ddb.OrvaneRuntimeError) as caught:
        gate.dicts.get_agent("00" * 32)
    assert caught.value.code.startswith("ORVANE_")


@pytest.fixture
def fresh_warning(monkeypatch):
    monkeypatch.setattr(orvane_ddb.executor, "_warned", False)
    monkeypatch.delenv("ORVANE_GATE_DB", raising=False)


def test_an_executor_without_gate_database_warns_once(tmp_path, caplog, fresh_warning, monkeypatch):
    road = build_road(tmp_path)
    with caplog.at_level(logging.WARNING, logger="orvane_ddb"):
        road.executor(name="with.db")  # knows the gate database: no warning
        assert caplog.records == []
        monkeypatch.setitem(orvane_ddb.executor.os.environb, b"ORVANE_GATE_DB", b"\xff")  # not UTF-8: ignored
        road.executor(gate_db=None, name="a.db")
        road.executor(gate_db=None, name="b.db")
    warnings = [r for r in caplog.records if r.name == "orvane_ddb"]
    assert [r.getMessage() for r in warnings] == [orvane_ddb.executor.NO_GATE_DB_WARNING]
    assert warnings[0].levelno == logging.WARNING


def test_the_environment_variable_counts_as_a_gate_database(tmp_path, caplog, fresh_warning, monkeypatch):
    road = build_road(tmp_path)
    monkeypatch.setenv("ORVANE_GATE_DB", road.gate_db)
    with caplog.at_level(logging.WARNING, logger="orvane_ddb"):
        road.executor(gate_db=None)
    assert caplog.records == []


def test_the_witness_refuses_with_codes_and_works_from_asyncio(tmp_path):
    from orvane_ddb import aio

    road = build_road(tmp_path)
    witness = orvane_ddb.OrvaneWitness(str(tmp_path / "witness.db"), road.keys["executor"])
    with pytest.raises(orvane_ddb.OrvaneRuntimeError) as caught:
        witness.add_tree_head("not a note", road.public["gate"], "{}")
    assert caught.value.code.startswith("ORVANE_") and caught.value.code != "ORVANE_ERROR"
    note = road.gate.create_tree_head(road.intent()["tenant_id"])
    cosignature = witness.add_tree_head(note, road.public["gate"], {})
    assert cosignature.startswith("\u2014 ") and json.loads(witness.split_views()) == []

    async def again():
        async with await aio.OrvaneWitness.open(str(tmp_path / "witness2.db"), road.keys["executor"]) as other:
            return await other.add_tree_head(note, road.public["gate"], "{}")

    import asyncio
    assert asyncio.run(again()).startswith("\u2014 ")
