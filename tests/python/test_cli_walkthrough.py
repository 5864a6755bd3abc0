"""The shell walkthrough runs the whole road with `orvane` commands only, and
the road's commands refuse what is not theirs to accept."""

import json
import os
import subprocess
import sys
import sysconfig

from cli_helpers import Orvane, command, refusal_code

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_the_shell_walkthrough_runs_the_whole_road(tmp_path):
    env = Orvane(tmp_path).env
    # The installed console script (and this interpreter as python3) first.
    path = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable), env.get("PATH", "")]
    env["PATH"] = os.pathsep.join(path)
    done = subprocess.run(["bash", os.path.join(ROOT, "examples", "walkthrough.sh"), str(tmp_path / "road")],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, (done.stdout, done.stderr)
    out = done.stdout
    for line in ("deny-all.v1 (denies everything), installed now", "Ledger VALID", "already installed",
                 "BLOCKED under policy acme-payments-1", "ALLOWED under policy acme-payments-1",
                 "Permit consumed", "Outcome committed: SUCCEEDED", "Trace VERIFIED (COMPLETED)", ": VERIFIED"):
        assert line in out, line
    assert "error: ORVANE_ACTION_BLOCKED: POLICY_RESOURCE_DENIED" in done.stderr
    assert "error: ORVANE_PERMIT_ALREADY_CONSUMED" in done.stderr
    trace = json.loads(subprocess.run(
        [*command(), "trace", "show", "permit.json", "--db", "gate.db", "--key", "gate.key"],
        cwd=tmp_path / "road", capture_output=True, text=True, env=env, check=True).stdout)
    assert trace["execution"]["receipt"]["status"] == "SUCCEEDED"


def test_the_road_commands_refuse_what_they_cannot_use(tmp_path):
    orvane = Orvane(tmp_path)
    orvane("keygen", "gate.key")
    orvane("keygen", "agent.key")
    orvane.gate("init")
    with open(orvane.path("intent.json"), "w") as target:
        json.dump({"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "idempotency_key": "k",
                   "action_type": "payment.send", "resource": "r"}, target)
    # An agent the gate does not know is refused, with the receipt still written.
    unknown = orvane.gate("request", "intent.json", "--agent-key", "agent.key", "-o", "permit.json", status=1)
    assert refusal_code(unknown) == "ORVANE_ACTION_BLOCKED"
    permit = json.load(open(orvane.path("permit.json")))
    assert permit["authorization"]["decision"] == "BLOCKED"
    assert "not a permit" in orvane.gate("outcome", "commit", "intent.json", "intent.json", status=2).stderr
    assert "not valid JSON" in orvane.gate("request", "-", "--agent-key", "agent.key", stdin="{", status=2).stderr
    refused = orvane.gate("trace", "verify", "00" * 32, status=1)
    assert refused.stderr.startswith("error: ORVANE_")
