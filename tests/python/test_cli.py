"""The `orvane` command as an operator runs it: the day-one road, what each
subcommand prints for people and for machines, and the exit status and code
of every refusal and of malformed input."""

import json
import os
import sqlite3
import time

import pytest
from nacl.signing import SigningKey

import _orvane_ddb
from cli_helpers import Orvane, refusal_code

SPEC = {
    "schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-v1", "tenant_id": "acme",
    "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["account:acme/*"],
                    "allowed_executors": ["*"], "max_ttl_seconds": 600, "max_input_bytes": 4096},
}


@pytest.fixture
def orvane(tmp_path):
    return Orvane(tmp_path)


@pytest.fixture
def gate(orvane):
    """A bootstrapped gate with an agent of tenant acme (agent.key)."""
    orvane("keygen", "gate.key")
    orvane("keygen", "agent.key")
    orvane.gate("init")
    orvane.gate("agents", "register", "agent.key", "--alias", "bot", "--metadata", '{"tenant_id":"acme"}')
    return orvane


def write(orvane, name, value):
    with open(orvane.path(name), "w") as target:
        target.write(value if isinstance(value, str) else json.dumps(value))
    return name


def sql(orvane, statement, *args):
    with sqlite3.connect(orvane.path("gate.db")) as conn:
        return conn.execute(statement, args).fetchall()


def request(orvane, tenant, key):
    """An authorization request of the agent, made in-process."""
    agent = json.load(open(orvane.path("agent.key")))
    intent = json.dumps({"schema_version": "orvane.action-intent.v1", "tenant_id": tenant,
                         "agent_id": agent["public_key"], "idempotency_key": key, "action_type": "payment.send",
                         "resource": "account:acme/1", "requested_at": time.time_ns() // 1000, "input": {}})
    ddb = _orvane_ddb.OrvaneDDB(orvane.path("gate.db"), orvane.path("gate.key"))
    return json.loads(ddb.request_action(intent, orvane.path("agent.key"), 60))["authorization"]


# --- the day-one road ------------------------------------------------------------

def test_day_one_commands_with_the_environment_defaults(orvane):
    gate_key = orvane("keygen", "gate.key").stdout
    assert orvane.public_key("gate.key") in gate_key and "private" not in gate_key
    orvane("keygen", "agent.key")
    env = {"ORVANE_DB": "gate.db", "ORVANE_KEY": "gate.key"}
    first = orvane("init", "--fallback", "deny", env=env).stdout
    assert "bootstrapped now" in first and "deny-all.v1 (denies everything), installed now" in first
    orvane("agents", "register", "agent.key", "--alias", "bot", "--metadata", '{"tenant_id":"acme"}', env=env)
    mistyped = dict(SPEC, tenant_id="Acme")
    orvane("policy", "install", write(orvane, "acme.json", mistyped), env=env)
    assert "Ledger VALID" in orvane("ledger", "validate", env=env).stdout

    # The agent's tenant has no policy of its own: the deny fallback judges it.
    blocked = request(orvane, "acme", "a")
    assert (blocked["decision"], blocked["policy_version"]) == ("BLOCKED", "deny-all.v1")
    assert blocked["reason_codes"][:2] == ["POLICY_ACTION_DENIED", "POLICY_RESOURCE_DENIED"]
    orvane("policy", "install", write(orvane, "acme.json", dict(SPEC, policy_version="acme-v2")), env=env)
    assert request(orvane, "acme", "b")["decision"] == "ALLOWED"


def test_init_is_idempotent_and_the_default_fallback_is_the_baseline(orvane):
    orvane("keygen", "gate.key")
    first = orvane.gate_json("init")
    assert first == {"db": "gate.db", "gate_id": orvane.public_key("gate.key"), "bootstrapped": True,
                     "fallback": {"policy_version": "orvane.baseline.v1", "installed": False}}
    assert "allows everything" in orvane.gate("init").stdout
    assert orvane.gate_json("init", "--fallback", "deny")["fallback"] == {"policy_version": "deny-all.v1",
                                                                          "installed": True}
    again = orvane.gate_json("init", "--fallback", "deny")
    assert (again["bootstrapped"], again["fallback"]["installed"]) == (False, False)
    assert [row for row in sql(orvane, "SELECT policy_version, retired_at IS NULL FROM policy_bundles")] == \
        [("orvane.baseline.v1", 0), ("deny-all.v1", 1)]


def test_init_under_another_fallback_installs_the_deny_fallback_under_a_new_version(gate):
    gate.gate("init", "--fallback", "deny")
    gate.gate("policy", "install", write(gate, "reads.json", dict(SPEC, tenant_id="*", policy_version="reads.v1")))
    assert gate.gate_json("init", "--fallback", "deny")["fallback"] == {"policy_version": "deny-all.v2",
                                                                        "installed": True}


def test_keygen_never_replaces_a_key_unless_forced(orvane):
    made = orvane.json("keygen", "gate.key")
    assert made == {"path": "gate.key", "public_key": orvane.public_key("gate.key")}
    before = open(orvane.path("gate.key")).read()
    refused = orvane("keygen", "gate.key", status=1)
    assert refusal_code(refused) == "ORVANE_KEY_FILE_EXISTS" and "--force" in refused.stderr
    assert open(orvane.path("gate.key")).read() == before
    replaced = orvane.json("keygen", "gate.key", "--force")
    assert replaced["public_key"] != made["public_key"] == json.loads(before)["public_key"]
    private = bytes.fromhex(json.load(open(orvane.path("gate.key")))["private_key"])[:32]
    assert SigningKey(private).verify_key.encode().hex() == replaced["public_key"]
    assert os.stat(orvane.path("gate.key")).st_mode & 0o077 == 0


# --- agents ----------------------------------------------------------------------

def test_agents_register_list_show_rotate_revoke(gate):
    gate("keygen", "next.key")
    agent, following = gate.public_key("agent.key"), gate.public_key("next.key")
    listed = gate.gate_json("agents", "list", "--tenant", "acme")
    assert [(a["public_key"], a["alias"], a["status"]) for a in listed] == [(agent, "bot", "active")]
    table = gate.gate("agents", "list").stdout
    assert agent in table and gate.public_key("gate.key") in table

    shown = gate.gate_json("agents", "show", agent)
    assert (shown["tenant_id"], shown["verified"]) == ("acme", True)

    rotated = gate.gate_json("agents", "rotate", "agent.key", following)
    assert (rotated["event"]["event_type"], rotated["event"]["public_key"]) == ("ROTATE", following)
    assert "verified       false" in gate.gate("agents", "show", "agent.key").stdout

    revoked = gate.gate("agents", "revoke", "next.key", "--reason", "key leaked").stdout
    assert "Revoked" in revoked and "key leaked" in revoked
    assert gate.gate_json("agents", "show", following)["verified"] is False
    again = gate.gate("agents", "revoke", "next.key", "--reason", "twice", status=1)
    assert refusal_code(again) == "ORVANE_REVOCATION_INVALID"


def test_agent_refusals_and_malformed_input(gate):
    dup = gate.gate("agents", "register", "agent.key", "--alias", "bot", status=1)
    assert refusal_code(dup) == "ORVANE_AGENT_ALREADY_REGISTERED"
    unknown = gate.gate("agents", "show", "ab" * 32, status=1)
    assert refusal_code(unknown) == "ORVANE_AGENT_NOT_FOUND"
    for bad in (["agents", "show", "not-a-key"],
                ["agents", "register", "cd" * 32, "--alias", "x", "--metadata", "{"],
                ["agents", "register", "cd" * 32, "--alias", "x", "--metadata", "[1]"],
                ["agents", "register", write(gate, "junk.key", "{}"), "--alias", "x"]):
        assert "Error:" in gate.gate(*bad, status=2).stderr
    assert sorted(r for r, in sql(gate, "SELECT alias FROM agents")) == ["bot", "gate"]


# --- policies --------------------------------------------------------------------

def test_policy_install_list_and_the_identical_spec(gate):
    spec = write(gate, "acme.json", SPEC)
    installed = gate.gate_json("policy", "install", spec)
    assert installed["installed"] is True and installed["bundle"]["policy_version"] == "acme-v1"
    same = gate.gate("policy", "install", spec).stdout
    assert "already installed" in same and "nothing changed" in same
    assert gate.gate_json("policy", "install", "-", stdin=json.dumps(SPEC)) == \
        {"installed": False, "bundle": dict(installed["bundle"], status="ACTIVE")}
    listed = gate.gate_json("policy", "list", "--tenant", "acme")
    assert [(b["policy_version"], b["status"]) for b in listed] == [("acme-v1", "ACTIVE")]
    assert "orvane.baseline.v1" in gate.gate("policy", "list").stdout

    changed = write(gate, "changed.json", dict(SPEC, constraints=dict(SPEC["constraints"], max_ttl_seconds=60)))
    assert refusal_code(gate.gate("policy", "install", changed, status=1)) == "ORVANE_POLICY_VERSION_CONFLICT"
    reserved = write(gate, "reserved.json", dict(SPEC, policy_version="orvane.baseline.v1"))
    assert refusal_code(gate.gate("policy", "install", reserved, status=1)) == "ORVANE_POLICY_VERSION_RESERVED"
    assert "not valid JSON" in gate.gate("policy", "install", write(gate, "bad.json", "{"), status=2).stderr
    assert "cannot read" in gate.gate("policy", "install", "missing.json", status=2).stderr
    assert len(sql(gate, "SELECT * FROM policy_bundles")) == 2


# --- the ledger ------------------------------------------------------------------

def test_ledger_record_validate_export_count(gate):
    gate.gate("ledger", "record", "--genesis", "--payload", '{"event":"genesis"}', "--rules", '["init"]')
    recorded = gate.gate_json("ledger", "record", "--payload", '{"decision":"approve"}', "--rules", '["r"]')
    assert gate.gate("ledger", "count").stdout.strip() == "2"
    assert gate.gate_json("ledger", "count") == {"count": 2}
    exported = json.loads(gate.gate("ledger", "export").stdout)
    assert [d["payload"] for d in exported] == ['{"event":"genesis"}', '{"decision":"approve"}']
    assert exported[1]["id"] == recorded["latest_hash"]
    gate.gate("ledger", "export", "-o", "decisions.json")
    assert json.load(open(gate.path("decisions.json"))) == exported
    report = gate.gate_json("ledger", "validate")
    assert (report["status"], report["total_records"]) == ("valid", 2)
    assert "Error:" in gate.gate("ledger", "record", "--payload", "{", "--rules", "[]", status=2).stderr

    sql(gate, "UPDATE decisions SET payload = '{\"decision\":\"deny\"}' WHERE id = ?", recorded["latest_hash"])
    invalid = gate.gate("ledger", "validate", "--json", status=1)
    assert json.loads(invalid.stdout)["status"] == "invalid"
    assert refusal_code(invalid) == "ORVANE_LEDGER_INVALID"
    people = gate.gate("ledger", "validate", status=1)
    assert "Ledger INVALID" in people.stdout and "has invalid hash" in people.stdout


# --- streams and checkpoints ---------------------------------------------------------

def test_stream_export_reads_every_page(gate):
    for n in range(4):
        gate.gate("agents", "register", SigningKey.generate().verify_key.encode().hex(), "--alias", f"a{n}",
                  "--metadata", '{"tenant_id":"acme"}')
    whole = _orvane_ddb.OrvaneDDB(gate.path("gate.db"), gate.path("gate.key")).export_event_stream("acme", 1, 100)
    assert json.loads(gate.gate("stream", "export", "--tenant", "acme", "--page-size", "2").stdout) == \
        json.loads(whole)
    done = gate.gate("stream", "export", "--tenant", "acme", "--page-size", "5", "-o", "acme.json")
    assert "5 events of tenant acme" in done.stderr
    assert json.load(open(gate.path("acme.json"))) == json.loads(whole)
    assert json.loads(gate.gate("stream", "export", "--tenant", "nobody").stdout) == []

    # A page that cannot be read leaves no file behind, complete or not.
    sql(gate, "UPDATE event_stream SET event_json = '{' WHERE tenant_id = 'acme' AND sequence_number = 4")
    gate.gate("stream", "export", "--tenant", "acme", "--page-size", "2", "-o", "broken.json", status=1)
    assert not [name for name in os.listdir(gate.cwd) if name.startswith("broken.json")]


def test_checkpoint_create_and_verify(gate):
    made = gate.gate_json("checkpoint", "create", "--tenant", "acme", "-o", "checkpoint.json")
    assert json.load(open(gate.path("checkpoint.json"))) == made
    gate.gate("stream", "export", "--tenant", "acme", "-o", "stream.json")
    verified = gate.gate_json("checkpoint", "verify", "checkpoint.json", "--stream", "stream.json")
    assert (verified["status"], verified["events_verified"]) == ("VERIFIED", made["total_events"])

    # A later stream still verifies the part the checkpoint covers.
    gate.gate("agents", "register", SigningKey.generate().verify_key.encode().hex(), "--alias", "later",
              "--metadata", '{"tenant_id":"acme"}')
    assert ": VERIFIED" in gate.gate("checkpoint", "verify", "checkpoint.json").stdout
    gate.gate("stream", "export", "--tenant", "acme", "-o", "later.json")
    later = gate.gate("checkpoint", "verify", "checkpoint.json", "--stream", "later.json").stdout
    assert ": VERIFIED" in later and "1 later events" in later

    stranger = SigningKey.generate().verify_key.encode().hex()
    untrusted = gate.gate("checkpoint", "verify", "checkpoint.json", "--gate-key", stranger, status=1)
    assert refusal_code(untrusted) == "ORVANE_CHECKPOINT_INVALID" and "ERR_UNTRUSTED_SIGNER" in untrusted.stderr

    events = json.load(open(gate.path("stream.json")))
    events[0]["timestamp"] += 1
    write(gate, "tampered.json", events)
    tampered = gate.gate("checkpoint", "verify", "checkpoint.json", "--stream", "tampered.json", "--json", status=1)
    assert json.loads(tampered.stdout)["reason_code"] == "ERR_EVENT_TAMPERED"
    assert "Error:" in gate.gate("checkpoint", "verify", write(gate, "list.json", "[]"), status=2).stderr


# --- the signer ------------------------------------------------------------------

def test_whoami_and_signer_check(gate):
    identity = gate.gate_json("whoami")
    assert identity["public_key"] == gate.public_key("gate.key")
    assert identity["signer_uri"] == "local-ed25519://" + identity["public_key"]
    assert identity["public_key"] in gate.gate("whoami").stdout
    checked = gate.gate_json("signer", "check")
    assert checked["status"] == "PASS"
    assert ": PASS" in gate.gate("signer", "check").stdout


def test_a_signer_that_cannot_be_loaded_is_refused(gate):
    write(gate, "vault.json", {"schema_version": "orvane.signer-config.v1", "signer_uri": "nowhere://x"})
    done = gate("whoami", "--db", "gate.db", "--key", "vault.json", status=1)
    assert done.stderr.startswith("error: ORVANE_")


# --- usage -----------------------------------------------------------------------

def test_usage_errors_exit_2_and_create_nothing(orvane):
    orvane("keygen", "gate.key")
    assert "Missing option '--db'" in orvane("ledger", "count", "--key", "gate.key", status=2).stderr
    assert "does not exist" in orvane("ledger", "count", "--db", "typo.db", "--key", "gate.key", status=2).stderr
    assert not os.path.exists(orvane.path("typo.db"))
    assert "does not exist" in orvane("init", "--db", "gate.db", "--key", "nokey.key", status=2).stderr
    assert "No such command" in orvane("frobnicate", status=2).stderr
    assert "Invalid value for '--fallback'" in orvane("init", "--db", "g.db", "--key", "gate.key", "--fallback", "open",
                                      status=2).stderr


def test_the_module_runs_as_the_command(orvane):
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-m", "orvane_ddb", "--help"], capture_output=True, text=True,
                          env=orvane.env, cwd=orvane.cwd)
    assert done.returncode == 0 and "Usage: orvane" in done.stdout


def test_every_subcommand_explains_itself_with_an_example():
    from click.testing import CliRunner

    from orvane_ddb.cli import cli

    def walk(group, path):
        for name, command in group.commands.items():
            yield path + [name], command
            if hasattr(command, "commands"):
                yield from walk(command, path + [name])

    runner = CliRunner()
    leaves = [path for path, command in walk(cli, []) if not hasattr(command, "commands")]
    assert len(leaves) >= 17
    for path in leaves:
        shown = runner.invoke(cli, path + ["--help"])
        assert shown.exit_code == 0, path
        assert "Example:" in shown.output and "orvane " + " ".join(path) in shown.output, path
