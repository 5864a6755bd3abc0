"""One gate, agent and executor set up through the orvane_ddb package, with a
permit ready to consume."""

import json
import time
from dataclasses import dataclass
from pathlib import Path

import orvane_ddb

TENANT = "acme"


@dataclass
class Road:
    work: Path
    gate: orvane_ddb.OrvaneDDB
    gate_db: str
    keys: dict  # name -> key file path
    public: dict  # name -> public key hex

    def intent(self, key="idem-1", tenant=TENANT, resource="account:acme/ops"):
        return {
            "schema_version": "orvane.action-intent.v1", "tenant_id": tenant,
            "agent_id": self.public["agent"], "idempotency_key": key, "action_type": "payment.send",
            "resource": resource, "requested_at": time.time_ns() // 1000, "input": {"cents": 1250},
        }

    def permit(self, key="idem-1", ttl=120) -> str:
        return self.gate.request_action(self.intent(key), self.keys["agent"], ttl)

    def executor(self, tenant=TENANT, gate_id=None, gate_db="default", name="executor.db"):
        return orvane_ddb.OrvaneExecutor(
            str(self.work / name), self.keys["executor"], gate_id or self.public["gate"], tenant,
            gate_db=self.gate_db if gate_db == "default" else gate_db)


def build_road(work: Path) -> Road:
    keys, public = {}, {}
    for name in ("gate", "agent", "executor"):
        keys[name] = str(work / f"{name}.json")
        public[name] = json.loads(orvane_ddb.gen_keys(keys[name]))["public_key"]
    gate_db = str(work / "gate.db")
    gate = orvane_ddb.OrvaneDDB(gate_db, keys["gate"])
    gate.register_agent(public["gate"], "gate")
    gate.register_agent(public["agent"], "bot", {"role": "proposer", "tenant_id": TENANT})
    gate.register_agent(public["executor"], "runner", {"role": "executor"})
    gate.install_policy({
        "schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-1", "tenant_id": TENANT,
        "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["account:acme/*"],
                        "allowed_executors": [public["executor"]], "max_ttl_seconds": 600,
                        "max_input_bytes": 4096},
    })
    return Road(work, gate, gate_db, keys, public)
