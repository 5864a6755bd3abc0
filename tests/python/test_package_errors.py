"""Refusals through the orvane_ddb package: coded exceptions that existing
`except PermissionError` / `except RuntimeError` clauses still catch, and one
table that gives every fixed text of the module a code."""

import pickle
import re
import time
from pathlib import Path

import pytest

import _orvane_ddb
import orvane_ddb
from orvane_ddb.errors import CODES, FALLBACK_CODE, LEDGER_INVALID_CODE, classify

from package_helpers import build_road

ROOT = Path(__file__).resolve().parents[2]

# Every message a test below really received from the module.
RAISED: set[str] = set()


def refusal(kind, call):
    with pytest.raises(kind) as caught:
        call()
    error = caught.value
    assert isinstance(error, orvane_ddb.OrvaneError), type(error)
    RAISED.add(str(error))
    return error


@pytest.mark.parametrize("message, code, detail", [
    ("ORVANE_INVALID_TTL: ttl_seconds must be between 1 and 86400", "ORVANE_INVALID_TTL",
     "ttl_seconds must be between 1 and 86400"),
    ("ORVANE_PERMIT_EXPIRED", "ORVANE_PERMIT_EXPIRED", ""),
    ("ORVANE_AUTHORIZATION_INVALID: A,B: c", "ORVANE_AUTHORIZATION_INVALID", "A,B: c"),
    ("Permit has expired", "ORVANE_PERMIT_EXPIRED", "Permit has expired"),
    ("Missing intent", "ORVANE_PERMIT_MALFORMED", "Missing intent"),
    ("Consumption not found or already completed", "ORVANE_EXECUTION_NOT_STARTED",
     "Consumption not found or already completed"),
    ("Consumption not found", "ORVANE_EXECUTION_NOT_FOUND", "Consumption not found"),
    ("Failed to read key file '/x': No such file", "ORVANE_KEY_FILE_UNREADABLE",
     "Failed to read key file '/x': No such file"),
    ("Failed to commit registration: disk I/O error", "ORVANE_STORAGE_FAILED",
     "Failed to commit registration: disk I/O error"),
    ('{"errors":["x"],"status":"invalid"}', LEDGER_INVALID_CODE, '{"errors":["x"],"status":"invalid"}'),
    ("database is locked", FALLBACK_CODE, "database is locked"),
    # Not a code: lower case, or glued to the text that follows.
    ("ORVANE_lower", FALLBACK_CODE, "ORVANE_lower"),
    ("ORVANE_X-Y", FALLBACK_CODE, "ORVANE_X-Y"),
])
def test_classify(message, code, detail):
    assert classify(message) == (code, detail)
    error = orvane_ddb.OrvaneRuntimeError(message)
    assert (error.code, error.detail, str(error), error.args) == (code, detail, message, (message,))


def test_coded_errors_are_the_builtin_classes_and_survive_pickling():
    permission = orvane_ddb.OrvanePermissionError("Untrusted gate ID")
    runtime = orvane_ddb.OrvaneRuntimeError("ORVANE_AGENT_NOT_FOUND: x")
    assert isinstance(permission, PermissionError) and isinstance(permission, orvane_ddb.OrvaneError)
    assert isinstance(runtime, RuntimeError) and not isinstance(runtime, PermissionError)
    assert permission.errno is None and str(permission) == "Untrusted gate ID"
    for error in (permission, runtime):
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), again.code, again.detail, str(again)) == (
            type(error), error.code, error.detail, str(error))


@pytest.fixture
def road(tmp_path):
    return build_road(tmp_path)


def test_gate_refusals_carry_codes(tmp_path, road):
    gate = road.gate
    error = refusal(PermissionError, lambda: orvane_ddb.OrvaneDDB(str(tmp_path / "no" / "g.db"), road.keys["gate"]))
    assert error.code == "ORVANE_DATABASE_OPEN_FAILED"
    assert refusal(PermissionError, lambda: gate.record({"a": 1}, [])).code == "ORVANE_LEDGER_EMPTY"
    assert refusal(PermissionError, lambda: gate.record("{", "[]", genesis=True)).code == "ORVANE_JSON_INVALID"
    gate.record({"event": "genesis"}, ["init"], genesis=True)
    assert refusal(PermissionError, lambda: gate.record("{}", "[]", genesis=True)).code == "ORVANE_GENESIS_EXISTS"
    assert refusal(PermissionError, lambda: gate.record("{}", "{")).code == "ORVANE_JSON_INVALID"
    keyless = orvane_ddb.OrvaneDDB(str(tmp_path / "other.db"), str(tmp_path / "missing.json"))
    error = refusal(PermissionError, lambda: keyless.record("{}", "[]", genesis=True))
    assert error.code == "ORVANE_KEY_FILE_UNREADABLE"

    newcomer = orvane_ddb.loads(orvane_ddb.gen_keys(str(tmp_path / "newcomer.json")))["public_key"]
    assert refusal(RuntimeError, lambda: gate.register_agent(newcomer, "x", "{")).code == "ORVANE_JSON_INVALID"
    assert refusal(RuntimeError, lambda: gate.request_action("{", road.keys["agent"])).code == "ORVANE_JSON_INVALID"
    error = refusal(RuntimeError, lambda: gate.request_action(road.intent(), road.keys["agent"], 0))
    assert (error.code, error.detail) == ("ORVANE_INVALID_TTL", "ttl_seconds must be between 1 and 86400")
    assert refusal(RuntimeError, lambda: gate.install_policy("[")).code == "ORVANE_JSON_INVALID"
    error = refusal(RuntimeError, lambda: gate.create_checkpoint("nobody"))
    assert error.code == "ORVANE_EVENT_STREAM_EMPTY"
    assert refusal(RuntimeError, lambda: gate.verify_checkpoint_stream("{", "[]")).code == "ORVANE_JSON_INVALID"
    checkpoint = gate.create_checkpoint(road_tenant := "acme")
    error = refusal(RuntimeError, lambda: gate.verify_checkpoint_stream(checkpoint, "{}"))
    assert error.code == "ORVANE_EVENT_STREAM_INVALID" and road_tenant == "acme"
    error = refusal(RuntimeError, lambda: orvane_ddb.gen_keys(str(tmp_path / "no" / "k.json")))
    assert error.code == "ORVANE_KEY_FILE_WRITE_FAILED"


def test_executor_refusals_carry_codes(road):
    permit = road.permit()
    executor = road.executor()
    for document, code in [("{", "ORVANE_JSON_INVALID"), ("1e99999", "ORVANE_JSON_INVALID"),
                           ("[" * 200, "ORVANE_JSON_INVALID"), ({}, "ORVANE_PERMIT_SCHEMA_INVALID")]:
        assert refusal(PermissionError, lambda: executor.verify_and_consume_permit(document)).code == code
    other_tenant = road.executor(tenant="globex", name="e2.db")
    error = refusal(PermissionError, lambda: other_tenant.verify_and_consume_permit(permit))
    assert error.code == "ORVANE_PERMIT_TENANT_MISMATCH"
    other_gate = road.executor(gate_id=road.public["agent"], name="e3.db")
    assert refusal(PermissionError, lambda: other_gate.verify_and_consume_permit(permit)).code == "ORVANE_GATE_NOT_TRUSTED"

    consumed = orvane_ddb.loads(executor.verify_and_consume_permit(permit))
    error = refusal(PermissionError, lambda: executor.verify_and_consume_permit(permit))
    assert error.code == "ORVANE_PERMIT_ALREADY_CONSUMED"
    authorization_id, action_id = consumed["authorization_id"], consumed["action_id"]
    error = refusal(RuntimeError, lambda: executor.complete_execution("0" * 64, action_id, "SUCCEEDED", "{}"))
    assert error.code == "ORVANE_EXECUTION_NOT_FOUND"
    error = refusal(RuntimeError, lambda: executor.complete_execution(authorization_id, action_id, "DONE", "{}"))
    assert error.code == "ORVANE_EXECUTION_STATUS_INVALID"
    error = refusal(RuntimeError, lambda: executor.complete_execution(authorization_id, action_id, "FAILED", "{"))
    assert error.code == "ORVANE_JSON_INVALID"
    executor.mark_unknown(authorization_id, "lost")
    error = refusal(RuntimeError, lambda: executor.mark_unknown(authorization_id, "again"))
    assert error.code == "ORVANE_EXECUTION_NOT_STARTED"

    error = refusal(RuntimeError, lambda: orvane_ddb.OrvaneExecutor(
        str(road.work / "e4.db"), road.keys["executor"], road.public["gate"], "acme", pool_size=0))
    assert error.code == "ORVANE_POOL_SIZE_INVALID"


def test_an_expired_permit_is_refused_with_a_code(road):
    permit = road.permit(ttl=1)
    time.sleep(1.1)
    error = refusal(PermissionError, lambda: road.executor().verify_and_consume_permit(permit))
    assert (error.code, str(error)) == ("ORVANE_PERMIT_EXPIRED", "Permit has expired")


def test_the_extension_itself_is_unchanged(road):
    with pytest.raises(PermissionError) as caught:
        _orvane_ddb.OrvaneExecutor(str(road.work / "x.db"), road.keys["executor"], road.public["gate"],
                                   "acme").verify_and_consume_permit("{}")
    assert type(caught.value) is PermissionError and caught.value.args == ("Invalid permit schema",)


def core_sources() -> str:
    return "\n".join(path.read_text() for path in sorted((ROOT / "src").rglob("*.[ch]pp")))


@pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="needs the C++ sources")
def test_every_table_entry_is_a_text_the_module_raises():
    """An entry names a text the module really raises (one received above) or
    that the core writes (a literal, or a field name given to the parser's
    "<name> must be valid JSON: "), and every message received above has a code
    of its own."""
    if not RAISED:
        pytest.skip("runs after the tests that collect real refusals")
    sources = core_sources()

    def written(text):
        # A fixed head may be written without its ": " when the core adds the
        # separator itself (a context prefix).
        head = text[:-2] if text.endswith(": ") else text
        if head in sources or any(message.startswith(text) for message in RAISED):
            return True
        field = re.fullmatch(r"(.+) must be valid JSON: ", text)
        return bool(field) and f'parse_json_field("{field.group(1)}"' in sources

    assert [text for text in CODES if not written(text)] == []
    assert [message for message in RAISED if classify(message)[0] == FALLBACK_CODE] == []


LITERAL = r'"((?:[^"\\]|\\.)*)"'
MESSAGE_HEADS = [
    re.compile(r"\bfail\(\s*(?:std::string\(\s*)?\(?\s*(?:\w+\s*\?\s*)?" + LITERAL),
    re.compile(r"\bwith_context\(\s*" + LITERAL),
    re.compile(r"\b(?:constexpr|const)\s+[\w:]+\s*\*?\s*(?:const\s+)?\w+(?:\[\])?\s*=\s*" + LITERAL),
    re.compile(r"std::string\s+\w+\s*=\s*" + LITERAL),
]
SQL = re.compile(r"^(SELECT|INSERT|UPDATE|CREATE|ALTER|PRAGMA|DELETE|BEGIN|COMMIT|ROLLBACK|FROM|AND|WHERE)\b")


@pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="needs the C++ sources")
def test_every_fixed_text_of_the_sources_has_a_code():
    """Every failure text the C++ core writes as a sentence maps to a code of
    its own: an uncoded sentence added to the core fails here until the table
    gives it one."""
    missing = []
    for path in sorted((ROOT / "src").rglob("*.[ch]pp")):
        source = path.read_text()
        for pattern in MESSAGE_HEADS:
            for match in pattern.finditer(source):
                head = match.group(1)
                if not head[:1].isupper() or SQL.match(head) or " " not in head.strip():
                    continue
                if classify(head)[0] == FALLBACK_CODE:
                    missing.append(f"{path.relative_to(ROOT)}: {head!r}")
    assert missing == []
