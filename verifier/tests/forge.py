"""Builds evidence files the way a gate would, with keys made here, so that the
verifier can be tested without the native module. Canonical text comes from
json.dumps with sorted keys (the documents hold no floating-point numbers)."""

import base64
import copy
import hashlib
import json

from nacl.signing import SigningKey

T0 = 1_700_000_000_000_000


def canon(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def digest(value):
    return hashlib.sha256(canon(value)).hexdigest()


class Key:
    def __init__(self, seed):
        self.sk = SigningKey(hashlib.sha256(seed.encode()).digest())
        self.pk = self.sk.verify_key.encode().hex()

    def sign(self, message):
        return self.sk.sign(message).signature.hex()

    def sign_digest(self, hex_digest):
        return self.sign(bytes.fromhex(hex_digest))

    def signer(self):
        return {"algorithm": "Ed25519", "key_version": "1", "public_key": self.pk,
                "signer_uri": "local-ed25519://" + self.pk}


def leaf_hash(data):
    return hashlib.sha256(b"\x00" + data).digest()


def mth(hashes):
    if len(hashes) == 1:
        return hashes[0]
    k = 1
    while k * 2 < len(hashes):
        k *= 2
    return hashlib.sha256(b"\x01" + mth(hashes[:k]) + mth(hashes[k:])).digest()


def audit_path(hashes, m):
    if len(hashes) <= 1:
        return []
    k = 1
    while k * 2 < len(hashes):
        k *= 2
    if m < k:
        return audit_path(hashes[:k], m) + [mth(hashes[k:])]
    return audit_path(hashes[k:], m - k) + [mth(hashes[:k])]


def origin(gate_pk, tenant):
    return "orvane-ddb/gate/" + gate_pk + "/tenant/" + ("%2A" if tenant == "*" else tenant)


def key_id(name, key):
    return hashlib.sha256(name.encode() + b"\n\x01" + bytes.fromhex(key.pk)).digest()[:4]


def note(gate, origin_line, size, root):
    text = "%s\n%d\n%s\n" % (origin_line, size, base64.b64encode(root).decode())
    key_id_ = key_id(origin_line, gate)
    signature = gate.sk.sign(text.encode()).signature
    return text + "\n\u2014 " + origin_line + " " + base64.b64encode(key_id_ + signature).decode() + "\n"


class Gate:
    """One gate with its registry, policies and per-tenant streams."""

    def __init__(self):
        self.key = Key("gate")
        self.clock = T0
        self.registrations = {}
        self.lifecycle = []
        self.streams = {}
        self.register(self.key, "gate", {}, root=True)

    def tick(self, micros=1_000_000):
        self.clock += micros
        return self.clock

    def append(self, tenant, kind, event_id, payload):
        stream = self.streams.setdefault(tenant, [])
        body = {"schema_version": "orvane.event-stream-event.v1", "tenant_id": tenant,
                "sequence_number": len(stream) + 1, "event_id": event_id, "event_type": kind,
                "payload_hash": hashlib.sha256(payload).hexdigest(),
                "prev_event_hash": stream[-1]["event_digest"] if stream else "0" * 64, "timestamp": self.clock}
        body["event_digest"] = digest(body)
        stream.append(body)

    def register(self, key, alias, metadata, root=False, tenant="acme"):
        tenant = "*" if root else tenant
        registration = {"schema_version": "orvane.agent-registration.v1", "agent_id": key.pk, "identity_id": key.pk,
                        "alias": alias, "metadata": dict(metadata, **({} if root else {"tenant_id": tenant})),
                        "status": "active", "can_delegate": root, "registered_at": self.tick(),
                        "registered_by": self.key.pk, "tenant_id": tenant, "key_version": 1,
                        "signer": dict(key.signer(), public_key=key.pk, signer_uri="local-ed25519://" + key.pk)}
        event_id = digest(registration)
        entry = {"schema_version": "orvane.agent-registration.v1", "event_id": event_id,
                 "registration": registration, "signature": self.key.sign_digest(event_id)}
        self.registrations[key.pk] = entry
        self.append(tenant, "agent.registered", event_id, canon(registration))
        return entry

    def lifecycle_event(self, kind, key, identity, tenant="acme", **extra):
        event = dict({"schema_version": "orvane.identity-lifecycle-event.v1", "event_type": kind,
                      "identity_id": identity, "tenant_id": tenant, "public_key": key.pk,
                      "effective_at": self.tick(), "authorized_by": self.key.pk, "signer": self.key.signer()},
                     **extra)
        event_id = digest(event)
        envelope = {"event": event, "event_id": event_id, "signature": self.key.sign_digest(event_id)}
        self.lifecycle.append(envelope)
        self.append(tenant, "identity.%s" % ("rotated" if kind == "ROTATE" else "revoked"),
                    identity + ":" + event_id, canon(envelope))
        return envelope

    def rotate(self, old, new):
        previous = self.registrations[old.pk]["registration"]
        envelope = self.lifecycle_event("ROTATE", new, previous["identity_id"], previous_public_key=old.pk,
                                        previous_key_version=previous["key_version"],
                                        key_version=previous["key_version"] + 1)
        registration = dict(previous, agent_id=new.pk, registered_at=self.clock,
                            key_version=previous["key_version"] + 1, rotation_event_id=envelope["event_id"],
                            signer=dict(previous["signer"], public_key=new.pk, signer_uri="local-ed25519://" + new.pk,
                                        key_version=str(previous["key_version"] + 1)))
        event_id = digest(registration)
        self.registrations[new.pk] = {"schema_version": "orvane.agent-registration.v1", "event_id": event_id,
                                      "registration": registration, "signature": self.key.sign_digest(event_id)}
        return envelope

    def revoke(self, key):
        return self.lifecycle_event("REVOKE", key, self.registrations[key.pk]["registration"]["identity_id"],
                                    reason="key lost")

    def install_policy(self, tenant, version, constraints):
        bundle = {"schema_version": "orvane.policy-bundle.v1", "policy_version": version, "tenant_id": tenant,
                  "constraints": constraints, "issued_at": self.tick(), "signer": self.key.signer()}
        bundle["policy_digest"] = digest(bundle)
        bundle["signature"] = self.key.sign_digest(bundle["policy_digest"])
        attestation = {"schema_version": "orvane.active-policy-attestation.v1", "tenant_id": tenant,
                       "policy_version": version, "policy_digest": bundle["policy_digest"],
                       "activated_at": self.clock, "signer": self.key.signer()}
        self.attestation = {"attestation": attestation, "signature": self.key.sign_digest(digest(attestation))}
        self.append(tenant, "policy.published", bundle["policy_digest"], canon(bundle))
        return bundle

    def authorize(self, agent, bundle, intent_extra=None, ttl=60, decision=None):
        intent = dict({"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "agent_id": agent.pk,
                       "idempotency_key": "k-1", "action_type": "deploy", "resource": "db/users",
                       "requested_at": self.tick(), "input": {"n": 1}}, **(intent_extra or {}))
        issued_at = self.tick(1000)
        material = b"\0".join(s.encode() for s in ("orvane.action.v1", "acme", agent.pk, intent["idempotency_key"]))
        evidence = {"schema_version": "orvane.policy-evidence.v1", "policy_digest": bundle["policy_digest"],
                    "intent": intent, "ttl_seconds": ttl}
        codes = ["IDENTITY_VERIFIED", "POLICY_ALLOWED"] if decision is None else decision[1]
        receipt = {"schema_version": "orvane.authorization-receipt.v1", "action_id": hashlib.sha256(material).hexdigest(),
                   "tenant_id": "acme", "agent_id": agent.pk, "intent_hash": hashlib.sha256(canon(intent)).hexdigest(),
                   "decision": "ALLOWED" if decision is None else decision[0], "reason_codes": codes,
                   "policy_version": bundle["policy_version"], "policy_digest": bundle["policy_digest"],
                   "evidence_digest": digest(evidence),
                   "executor_constraints": {"allowed_executors": bundle["constraints"]["allowed_executors"]},
                   "issued_at": issued_at, "expires_at": issued_at + ttl * 1_000_000, "gate_id": self.key.pk,
                   "gate_signer": self.key.signer()}
        receipt["authorization_id"] = digest(receipt)
        receipt["gate_signature"] = self.key.sign_digest(receipt["authorization_id"])
        result = {"schema_version": "orvane.authorization-result.v1", "authorization": receipt, "intent": intent,
                  "agent_signature": agent.sign(canon(intent)), "policy_bundle": bundle}
        self.append("acme", "action.authorized", receipt["authorization_id"], canon(result))
        return result

    def execute(self, result, executor, status="SUCCEEDED"):
        receipt = result["authorization"]
        outcome = {"schema_version": "orvane.action-outcome.v1", "authorization_id": receipt["authorization_id"],
                   "action_id": receipt["action_id"], "executor_id": executor.pk, "status": status,
                   "output": {"ok": status == "SUCCEEDED"}}
        outcome["executor_signature"] = executor.sign(canon(outcome))
        unsigned = {k: v for k, v in outcome.items() if k != "executor_signature"}
        execution_receipt = {"schema_version": "orvane.execution-receipt.v1",
                             "authorization_id": receipt["authorization_id"], "action_id": receipt["action_id"],
                             "intent_hash": receipt["intent_hash"],
                             "outcome_hash": hashlib.sha256(canon(unsigned)).hexdigest(),
                             "executor_id": executor.pk, "status": status, "completed_at": self.tick(),
                             "gate_id": self.key.pk}
        execution_receipt["receipt_id"] = digest(execution_receipt)
        execution_receipt["gate_signature"] = self.key.sign_digest(execution_receipt["receipt_id"])
        execution = {"schema_version": "orvane.execution-result.v1", "receipt": execution_receipt, "outcome": outcome}
        kind = "action.executed" if status == "SUCCEEDED" else "action.failed"
        self.append("acme", kind, execution_receipt["receipt_id"], canon(execution))
        return execution

    def log(self, tenant, wanted_ids, size=None):
        stream = self.streams[tenant]
        size = size or len(stream)
        hashes = [leaf_hash(bytes.fromhex(e["event_digest"])) for e in stream[:size]]
        entries = []
        for event in stream[:size]:
            if event["event_id"] in wanted_ids:
                index = event["sequence_number"] - 1
                entries.append({"event": event, "inclusion_proof": {
                    "schema_version": "orvane.inclusion-proof.v1", "tenant_id": tenant,
                    "sequence_number": event["sequence_number"], "leaf_index": index, "tree_size": size,
                    "hashes": [h.hex() for h in audit_path(hashes, index)]}})
        return {"tenant_id": tenant, "tree_head": note(self.key, origin(self.key.pk, tenant), size, mth(hashes)),
                "entries": entries}

    def evidence(self, result, execution, keys):
        ids = {result["authorization"]["authorization_id"], result["policy_bundle"]["policy_digest"]}
        if execution is not None:
            ids.add(execution["receipt"]["receipt_id"])
        registrations = [self.registrations[k.pk] for k in keys]
        ids |= {r["event_id"] for r in registrations}
        ids |= {e["event"]["identity_id"] + ":" + e["event_id"] for e in self.lifecycle}
        return copy.deepcopy({
            "schema_version": "orvane.evidence.v1", "action_id": result["authorization"]["action_id"],
            "gate_id": self.key.pk, "exported_at": self.tick(), "authorization": result, "execution": execution,
            "policy_attestation": self.attestation, "registrations": registrations,
            "lifecycle_events": list(self.lifecycle),
            "logs": [self.log(t, ids) for t in sorted(self.streams)]})


CONSTRAINTS = {"allowed_action_types": ["deploy"], "allowed_resources": ["db/*"], "allowed_executors": ["*"],
               "max_ttl_seconds": 3600, "max_input_bytes": 1024}


def scenario(status="SUCCEEDED"):
    """A gate, an agent, an executor and one executed action: (gate, evidence)."""
    gate = Gate()
    agent, executor = Key("agent"), Key("executor")
    gate.register(agent, "agent", {})
    gate.register(executor, "executor", {"role": "executor"})
    bundle = gate.install_policy("acme", "acme-v1", CONSTRAINTS)
    result = gate.authorize(agent, bundle)
    execution = gate.execute(result, executor, status)
    return gate, gate.evidence(result, execution, [gate.key, agent, executor])
