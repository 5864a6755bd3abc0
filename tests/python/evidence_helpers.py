"""A real gate with the actions an auditor asks about, and the evidence files
the gate exports for them; the alterations an attacker could make to such a
file; and both verifiers run over one file.

The independent verifier is imported from the installed package, or from this
checkout's verifier/ when it is not installed.
"""

import copy
import json
import os
import sys

import _orvane_ddb

from executor_helpers import Key, canonical, now_micros
from outcome_helpers import TENANT, Road, outcome_body

try:
    import orvane_verify
except ImportError:  # a checkout without `pip install ./verifier`
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "verifier"))
    import orvane_verify
import orvane_verify.canonical

BASELINE_TENANT = "beta"


class Actions:
    """One gate and five actions: a succeeded and a failed one, one of a rotated
    agent's new key, one of an agent revoked after it ran, and one of a tenant
    without a policy of its own (the baseline applies)."""

    def __init__(self, tmp_path):
        self.road = road = Road(tmp_path, executors=["*"])
        self.gate = road.gate_key.public_hex
        self.ids = {}
        self.early_head = road.ddb.create_tree_head(TENANT)  # a head every file outgrows
        # Non-ASCII text, an escaped character and numbers that are no integers: both
        # verifiers must write them canonically to check the executor's signature.
        self.ids["succeeded"] = self.run(road.agent, TENANT, "SUCCEEDED", input={"to": "zoë ✓\t", "cents": 1250},
                                         output={"rate": 12.25, "tiny": 2.5e-07, "big": 1e16, "neg": -0.0})
        self.ids["failed"] = self.run(road.agent, TENANT, "FAILED")

        old = road.register("rotating", {"role": "proposer", "tenant_id": TENANT})
        self.ids["before_rotation"] = self.run(old, TENANT, "SUCCEEDED")
        new = Key()
        road.ddb.rotate_agent(old.public_hex, new.public_hex)
        self.ids["rotated"] = self.run(new, TENANT, "SUCCEEDED")

        revoked = road.register("revoked", {"role": "proposer", "tenant_id": TENANT})
        self.ids["revoked"] = self.run(revoked, TENANT, "SUCCEEDED")
        road.ddb.revoke_agent(revoked.public_hex, "compromised")

        beta = road.register("beta-bot", {"role": "proposer", "tenant_id": BASELINE_TENANT})
        self.ids["baseline"] = self.run(beta, BASELINE_TENANT, "SUCCEEDED")

    def permit(self, agent, tenant, **members):
        road = self.road
        road.counter += 1
        intent = {
            "schema_version": "orvane.action-intent.v1",
            "tenant_id": tenant,
            "agent_id": agent.public_hex,
            "idempotency_key": f"evidence-{road.counter}",
            "action_type": "payment.send",
            "resource": f"account:{tenant}/ops",
            "requested_at": now_micros(),
            "input": {"to": "bob", "cents": 1250},
        }
        intent.update(members)
        text = road.ddb.request_action_signed(canonical(intent).decode(), agent.public_hex,
                                              agent.sign_hex(canonical(intent)), 120)
        return json.loads(text)

    def run(self, agent, tenant, status, output=None, **members):
        permit = self.permit(agent, tenant, **members)
        if status is not None:
            body = outcome_body(permit, self.road.executor, status, output)
            body["executor_signature"] = self.road.executor.sign_hex(orvane_verify.canonical.canonical_bytes(body))
            self.road.commit(permit, orvane_verify.canonical.canonical_text(body))
        return permit["authorization"]["action_id"]

    def export(self, name):
        return json.loads(self.road.ddb.export_evidence(self.ids[name]))


def both_verdicts(evidence, gate_key):
    """(native verdict, independent verdict); "MALFORMED" stands for a refusal to read the file."""
    try:
        native = json.loads(_orvane_ddb.verify_evidence(canonical(evidence).decode(), gate_key))
    except RuntimeError as err:
        if not str(err).startswith("ORVANE_EVIDENCE_MALFORMED: "):
            raise
        native = "MALFORMED"
    try:
        independent = orvane_verify.verify_evidence(copy.deepcopy(evidence), gate_key)
    except orvane_verify.MalformedEvidence:
        independent = "MALFORMED"
    return native, independent


def failed_checks(verdict):
    return {name: entry["reason_codes"] for name, entry in verdict["checks"].items()
            if entry["status"] == "FAILED"}


# -- what an attacker can do to a file --------------------------------------------

def signed_documents(evidence):
    """The paths of every signed or hashed document the file carries."""
    paths = [("authorization", "authorization"), ("authorization", "intent")]
    if "policy_bundle" in evidence["authorization"]:
        paths.append(("authorization", "policy_bundle"))
    if evidence["policy_attestation"] is not None:
        paths.append(("policy_attestation", "attestation"))
    if evidence["execution"] is not None:
        paths += [("execution", "outcome"), ("execution", "receipt")]
    paths += [("registrations", i, "registration") for i in range(len(evidence["registrations"]))]
    paths += [("lifecycle_events", i, "event") for i in range(len(evidence["lifecycle_events"]))]
    for i, log in enumerate(evidence["logs"]):
        paths += [("logs", i, "entries", j, part) for j in range(len(log["entries"]))
                  for part in ("event", "inclusion_proof")]
    return paths


def _at(document, path):
    for step in path:
        document = document[step]
    return document


def altered(value):
    """Another value of the same kind: the smallest change a forger would try."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value + 1
    if isinstance(value, float):
        return value + 1.0
    if isinstance(value, str):
        if value and value[-1] in "0123456789abcdef":
            return value[:-1] + ("1" if value[-1] == "0" else "0")
        return value + "x"
    if isinstance(value, list):
        return value[:-1] if value else ["x"]
    if isinstance(value, dict):
        return dict(value, x=1)
    return "x"


def single_member_alterations(evidence):
    """(label, file) for every member of every signed document, changed and removed."""
    for path in signed_documents(evidence):
        for name in sorted(_at(evidence, path)):
            for how in ("changed", "removed"):
                copy_ = copy.deepcopy(evidence)
                document = _at(copy_, path)
                if how == "changed":
                    document[name] = altered(document[name])
                else:
                    del document[name]
                yield "%s %s.%s" % (how, "/".join(map(str, path)), name), copy_


def note_alterations(evidence):
    """(label, file) for every line of every tree head changed, and its signature dropped."""
    for i, log in enumerate(evidence["logs"]):
        lines = log["tree_head"].split("\n")
        for n, line in enumerate(lines):
            if not line:
                continue
            changed = list(lines)
            changed[n] = line[:-1] + ("B" if line[-1] == "A" else "A") if n != 1 else str(int(line) + 1)
            yield "changed log %d head line %d" % (i, n), _with_head(evidence, i, "\n".join(changed))
        signature = lines.index("") + 1
        yield "dropped log %d head signature" % i, _with_head(
            evidence, i, "\n".join(lines[:signature] + lines[signature + 1:]))


def _with_head(evidence, index, note):
    logs = copy.deepcopy(evidence["logs"])
    logs[index]["tree_head"] = note
    return dict(evidence, logs=logs)


def stale_heads(evidence, note):
    """The file with the log of the head's tenant given an older head."""
    for i, log in enumerate(evidence["logs"]):
        if log["tenant_id"] == TENANT:
            yield "stale head of log %d" % i, _with_head(evidence, i, note)


def swaps(first, second):
    """The file of one action with one part taken from another action's file."""
    for part in ("authorization", "execution", "policy_attestation", "registrations", "lifecycle_events", "logs"):
        if first[part] != second[part]:
            yield "swapped " + part, dict(first, **{part: copy.deepcopy(second[part])})


def drops(evidence):
    """The file without one registration, one lifecycle event or one logged event."""
    for i in range(len(evidence["registrations"])):
        yield "dropped registration %d" % i, dict(
            evidence, registrations=[r for j, r in enumerate(evidence["registrations"]) if j != i])
    for i in range(len(evidence["lifecycle_events"])):
        yield "dropped lifecycle event %d" % i, dict(
            evidence, lifecycle_events=[e for j, e in enumerate(evidence["lifecycle_events"]) if j != i])
    for i, log in enumerate(evidence["logs"]):
        for j in range(len(log["entries"])):
            logs = copy.deepcopy(evidence["logs"])
            del logs[i]["entries"][j]
            yield "dropped log %d entry %d" % (i, j), dict(evidence, logs=logs)
