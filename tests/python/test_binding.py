"""What Python sees of the module: attributes, signatures, argument rules,
thread binding and release."""
import gc
import json
import os
import inspect
import sqlite3
import threading
import time

import pytest

import _orvane_ddb


def test_module_exposes_exactly_its_names():
    own = {n for n in dir(_orvane_ddb) if not n.startswith("__")}
    assert own == {"gen_keys", "OrvaneDDB", "OrvaneExecutor", "OrvaneWitness", "verify_checkpoint_stream",
                   "verify_authorization", "permit_info", "verify_tree_head", "verify_inclusion",
                   "verify_consistency", "verify_evidence"}
    assert _orvane_ddb.verify_evidence.__module__ == "_orvane_ddb"
    assert _orvane_ddb.__doc__ == ""
    assert _orvane_ddb.OrvaneDDB.__name__ == "OrvaneDDB"
    assert _orvane_ddb.OrvaneExecutor.__name__ == "OrvaneExecutor"
    assert _orvane_ddb.gen_keys.__module__ == "_orvane_ddb"


def test_text_signatures_and_method_order():
    sig = inspect.signature(_orvane_ddb.OrvaneDDB.record)
    assert str(sig) == "(self, /, payload, rules, genesis=False)"
    assert str(inspect.signature(_orvane_ddb.OrvaneDDB.export_event_stream)) == (
        "(self, /, tenant_id='*', from_sequence=1, limit=1000)")
    assert str(inspect.signature(_orvane_ddb.gen_keys)) == "(output)"
    assert str(inspect.signature(_orvane_ddb.verify_evidence)) == "(evidence_json, trusted_gate_public_key)"
    assert str(inspect.signature(_orvane_ddb.OrvaneExecutor)) == (
        "(db_path, keyfile, trusted_gate_id, trusted_tenant_id, pool_size=8, gate_db=None)")
    assert _orvane_ddb.OrvaneDDB.whoami.__doc__ == 'Return the public key of the current keyfile ("who am I?").'
    assert _orvane_ddb.OrvaneDDB.count.__doc__ is None
    methods = [n for n in vars(_orvane_ddb.OrvaneDDB) if not n.startswith("__")]
    assert methods[:6] == ["record", "record_batch", "validate", "export", "list", "count"]
    assert methods[-6:] == ["create_checkpoint", "export_event_stream", "verify_checkpoint_stream",
                            "create_tree_head", "prove_inclusion", "prove_consistency"]


def test_construction_failures_are_permission_errors(tmp_path, keyfile):
    missing_dir = str(tmp_path / "nope" / "gate.db")
    with pytest.raises(PermissionError) as info:
        _orvane_ddb.OrvaneDDB(missing_dir, keyfile)
    assert str(info.value).startswith(f"Failed to open SQLite database '{missing_dir}': ")
    with pytest.raises(TypeError):
        _orvane_ddb.OrvaneDDB(b"x.db", keyfile)
    with pytest.raises(TypeError):
        _orvane_ddb.OrvaneDDB(str(tmp_path / "a.db"))
    with pytest.raises(TypeError):
        _orvane_ddb.OrvaneDDB(str(tmp_path / "a.db"), keyfile, "extra")


def test_missing_key_file_is_reported_on_first_use(tmp_path, db_path):
    absent = str(tmp_path / "later.json")
    gate = _orvane_ddb.OrvaneDDB(db_path, absent)
    with pytest.raises(PermissionError) as info:
        gate.record("{}", "[]", genesis=True)
    assert str(info.value).startswith(f"Failed to read key file '{absent}': ")


def test_argument_conversion_rules(gate):
    with pytest.raises(TypeError):
        gate.record("{}", "[]", genesis=1)
    with pytest.raises(TypeError):
        gate.record(b"{}", "[]")
    with pytest.raises(UnicodeEncodeError):
        gate.record("\ud800", "[]")
    with pytest.raises(OverflowError):
        gate.list(-1)
    with pytest.raises(OverflowError):
        gate.list(4294967296)
    with pytest.raises(TypeError):
        gate.list("3")
    assert gate.list(0) == "[]"

    class Index:
        def __index__(self):
            return 2

    assert gate.list(Index()) == "[]"
    with pytest.raises(TypeError):
        gate.list(limit=1, bogus=2)
    with pytest.raises(TypeError):
        gate.list(1, limit=1)
    with pytest.raises(TypeError):
        gate.count(1)
    with pytest.raises(TypeError):
        gate.record()


def test_record_batch_shape_rules(gate):
    with pytest.raises(TypeError) as info:
        gate.record_batch("[]")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    with pytest.raises(TypeError):
        gate.record_batch(5)
    with pytest.raises(TypeError):
        gate.record_batch([["{}", "[]"]])
    with pytest.raises(TypeError):
        gate.record_batch([("{}", "[]", "x")])
    with pytest.raises(TypeError):
        gate.record_batch([("{}", 5)])
    assert gate.count() == 0


def test_numpy_style_booleans_are_accepted(gate):
    np = pytest.importorskip("numpy")
    gate.record("{}", "[]", genesis=np.bool_(True))
    assert gate.count() == 1


def test_result_types(gate, gate_public_key):
    assert isinstance(gate.count(), int)
    assert isinstance(gate.export(), str)


def test_call_from_another_thread_panics_and_changes_nothing(gate):
    caught = []

    def worker():
        try:
            gate.record("{}", "[]", genesis=True)
        except BaseException as exc:  # the panic exception derives from BaseException only
            caught.append(exc)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert len(caught) == 1
    exc = caught[0]
    assert not isinstance(exc, Exception)
    assert "_orvane_ddb::OrvaneDDB is unsendable, but sent to another thread" in str(exc)
    assert type(exc).__name__ not in dir(_orvane_ddb)
    assert gate.count() == 0
    gate.record("{}", "[]", genesis=True)
    assert gate.count() == 1


def test_release_on_another_thread_is_reported(db_path, keyfile, monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", lambda args: reports.append(args))
    gc.collect()  # objects left in cycles by earlier tests must not be collected on the thread
    holder = [_orvane_ddb.OrvaneDDB(db_path, keyfile)]

    def drop():
        holder.pop()
        gc.collect()

    t = threading.Thread(target=drop)
    t.start()
    t.join()
    assert len(reports) == 1
    assert isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == (
        "_orvane_ddb::OrvaneDDB is unsendable, but is being dropped on another thread")
    # The report must not hand out the freed object itself.
    assert reports[0].object is _orvane_ddb.OrvaneDDB


def _open_files_and_threads():
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def _counts_return_to(expected, patience=2.0):
    """A joined thread leaves /proc/self/task a moment after the join returns."""
    deadline = time.monotonic() + patience
    while _open_files_and_threads() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return _open_files_and_threads()


def _release_on_a_thread(obj_list):
    def drop():
        obj_list.pop()
        gc.collect()

    t = threading.Thread(target=drop)
    t.start()
    t.join()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_release_on_another_thread_still_frees_what_the_object_holds(tmp_path, keyfile, monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", lambda args: reports.append(args))
    gc.collect()
    before = _open_files_and_threads()
    gate_key = json.load(open(keyfile))["public_key"]
    holder = [_orvane_ddb.OrvaneDDB(str(tmp_path / "g.db"), keyfile),
              _orvane_ddb.OrvaneExecutor(str(tmp_path / "e.db"), keyfile, gate_key, "acme", pool_size=3)]
    assert _open_files_and_threads() != before
    _release_on_a_thread(holder)
    _release_on_a_thread(holder)
    assert [str(r.exc_value) for r in reports] == [
        "_orvane_ddb::OrvaneExecutor is unsendable, but is being dropped on another thread",
        "_orvane_ddb::OrvaneDDB is unsendable, but is being dropped on another thread",
    ]
    # The connections are closed and the pool's threads have ended.
    assert _counts_return_to(before) == before


def test_type_stub_lists_every_public_method():
    import ast
    import pathlib

    stub = ast.parse((pathlib.Path(__file__).parents[2] / "python" / "_orvane_ddb.pyi").read_text())
    declared = {node.name: {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
                for node in stub.body if isinstance(node, ast.ClassDef)}
    for cls in (_orvane_ddb.OrvaneDDB, _orvane_ddb.OrvaneExecutor):
        public = {name for name in vars(cls) if not name.startswith("_")}
        assert declared[cls.__name__] - {"__new__"} == public
