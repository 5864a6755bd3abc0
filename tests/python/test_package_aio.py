"""orvane_ddb.aio: thread-bound gates and executors used from asyncio code,
each on a worker thread of its own."""

import asyncio
import gc
import json
import sys

import pytest

import orvane_ddb
from orvane_ddb import aio

from package_helpers import TENANT, build_road


@pytest.fixture
def road(tmp_path):
    return build_road(tmp_path)


@pytest.fixture
def unraisable(monkeypatch):
    """Every report of an object released on a thread that does not own it."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append(report))
    return seen


def test_a_gate_and_an_executor_work_from_the_event_loop(road, unraisable):
    road.gate = None  # the synchronous gate is not needed: the same file is opened again
    gc.collect()

    async def main():
        async with await aio.OrvaneDDB.open(road.gate_db, road.keys["gate"]) as gate:
            # Calls made together run one after another on the gate's thread.
            counts = await asyncio.gather(*(gate.count() for _ in range(20)), gate.record("{}", "[]", genesis=True))
            assert counts[-1] and set(counts[:-1]) == {0}
            assert await gate.count() == 1
            permit = await gate.request_action(road.intent(), road.keys["agent"], 60)
            executor = await aio.OrvaneExecutor.open(str(road.work / "exec.db"), road.keys["executor"],
                                                     road.public["gate"], TENANT, gate_db=road.gate_db)
            async with executor:
                consumed = json.loads(await executor.verify_and_consume_permit(permit))
                with pytest.raises(orvane_ddb.OrvanePermissionError) as caught:
                    await executor.verify_and_consume_permit(permit)
                assert caught.value.code == "ORVANE_PERMIT_ALREADY_CONSUMED"
                outcome = await executor.complete_execution(consumed["authorization_id"], consumed["action_id"],
                                                            "SUCCEEDED", {"ok": True})
            assert executor.closed
            await gate.commit_outcome_signed(consumed["authorization_id"], outcome)
            trace = json.loads(await gate.verify_trace(consumed["action_id"]))
            assert trace["status"] == "VERIFIED"
            return gate, caught.value

    gate, kept_error = asyncio.run(main())
    assert gate.closed
    with pytest.raises(RuntimeError, match="closed"):
        asyncio.run(gate.count())
    del kept_error  # held past close: it must not hold the object (released on its own thread)
    gc.collect()
    assert unraisable == []


def test_opening_failures_and_refusals_arrive_as_coded_exceptions(road, unraisable):
    async def main():
        with pytest.raises(orvane_ddb.OrvanePermissionError) as caught:
            await aio.OrvaneDDB.open(str(road.work / "no" / "gate.db"), road.keys["gate"])
        assert caught.value.code == "ORVANE_DATABASE_OPEN_FAILED"
        gate = await aio.OrvaneDDB.open(str(road.work / "second.db"), road.keys["gate"])
        with pytest.raises(orvane_ddb.OrvanePermissionError) as caught:
            await gate.record("{}", "[]")
        assert caught.value.code == "ORVANE_LEDGER_EMPTY"
        await gate.close()
        await gate.close()  # closing twice is harmless

    asyncio.run(main())
    gc.collect()
    assert unraisable == []


def test_an_object_dropped_without_close_is_released_on_its_own_thread(road, unraisable):
    async def main():
        gate = await aio.OrvaneDDB.open(str(road.work / "third.db"), road.keys["gate"])
        await gate.count()
        worker = gate._worker
        del gate
        gc.collect()
        return worker

    worker = asyncio.run(main())
    worker.shutdown(wait=True)  # the release queued on the worker has run
    gc.collect()
    assert unraisable == []


def test_calls_the_extension_adds_are_awaited_too(road):
    wrapped = aio.OrvaneDDB.__dict__["count"]

    async def main():
        async with await aio.OrvaneDDB.open(str(road.work / "fourth.db"), road.keys["gate"]) as gate:
            return await gate.count()

    try:
        del aio.OrvaneDDB.count
        assert asyncio.run(main()) == 0
    finally:
        aio.OrvaneDDB.count = wrapped


def test_the_async_classes_have_every_method_of_the_wrappers():
    import inspect
    for mine, sync in ((aio.OrvaneDDB, orvane_ddb.OrvaneDDB), (aio.OrvaneExecutor, orvane_ddb.OrvaneExecutor),
                       (aio.OrvaneWitness, orvane_ddb.OrvaneWitness)):
        for name, method in vars(sync).items():
            if name.startswith("_") or not inspect.isfunction(method):
                continue
            assert inspect.iscoroutinefunction(vars(mine).get(name)), name
            assert inspect.signature(vars(mine)[name]) == inspect.signature(method), name
