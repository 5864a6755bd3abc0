#!/usr/bin/env bash
# One action from end to end with `orvane` commands only: keys, a gate, decisions, an agent
# asking for permission, an executor running the action exactly once, the signed outcome at the
# gate, the verified trace, and a checkpoint verified against the exported stream.
#
# Run: bash examples/walkthrough.sh [work_dir]
set -euo pipefail

work="${1:-$(mktemp -d -t orvane-walkthrough-XXXXXX)}"
mkdir -p "$work"
cd "$work"
rm -f gate.key agent.key executor.key gate.db gate.db-wal gate.db-shm executor.db executor.db-wal executor.db-shm \
      acme-policy.json blocked-intent.json intent.json permit.json outcome.json checkpoint.json stream.json

# The installed command, or the package from a build tree on PYTHONPATH.
if ! command -v orvane >/dev/null 2>&1; then
    orvane() { python3 -m orvane_ddb "$@"; }
fi

step() { printf '\n== %s\n' "$1"; }

step "Key files"
orvane keygen gate.key
orvane keygen agent.key
executor_key=$(orvane keygen executor.key --json | sed -e 's/.*"public_key": "\([0-9a-f]*\)".*/\1/')
echo "executor.key: $executor_key"

export ORVANE_DB=gate.db ORVANE_KEY=gate.key
step "A gate whose fallback denies every tenant without a policy of its own"
orvane init --fallback deny
orvane whoami

step "Decision ledger: genesis and two decisions"
orvane ledger record --genesis --payload '{"event":"genesis"}' --rules '["init"]'
orvane ledger record --payload '{"decision":"approve","amount":10}' --rules '["limit<=100"]'
orvane ledger record --payload '{"decision":"deny","amount":900}' --rules '["limit<=100"]'
orvane ledger validate
echo "decisions: $(orvane ledger count)"

step "Register the agent and the executor"
orvane agents register agent.key --alias payments-bot --metadata '{"role":"proposer","tenant_id":"acme"}'
orvane agents register executor.key --alias payments-runner --metadata '{"role":"executor"}'
orvane agents list

step "Install the tenant's policy"
cat > acme-policy.json <<EOF
{"schema_version": "orvane.policy-bundle.v1", "policy_version": "acme-payments-1", "tenant_id": "acme",
 "constraints": {"allowed_action_types": ["payment.*"], "allowed_resources": ["account:acme/*"],
                 "allowed_executors": ["$executor_key"], "max_ttl_seconds": 600, "max_input_bytes": 4096}}
EOF
orvane policy install acme-policy.json
orvane policy install acme-policy.json
orvane policy list

intent() {  # <idempotency key> <resource>
    printf '{"schema_version": "orvane.action-intent.v1", "tenant_id": "acme", "idempotency_key": "%s",
             "action_type": "payment.send", "resource": "%s", "input": {"to": "bob", "cents": 1250}}' "$1" "$2"
}

step "A request outside the policy"
intent pay-2 account:other/1 > blocked-intent.json
if orvane request blocked-intent.json --agent-key agent.key --ttl 120; then
    echo "expected BLOCKED" >&2
    exit 1
fi

step "An allowed request"
intent pay-1 account:acme/ops > intent.json
orvane request intent.json --agent-key agent.key --ttl 120 -o permit.json

export ORVANE_EXECUTOR_DB=executor.db ORVANE_EXECUTOR_KEY=executor.key
trust=(--gate-id gate.key --tenant acme --gate-db gate.db)
step "The executor verifies and consumes the permit"
orvane executor consume permit.json "${trust[@]}"
step "A second consumption is refused"
if orvane executor consume permit.json "${trust[@]}"; then
    echo "expected the second consumption to be refused" >&2
    exit 1
fi

step "The executor signs the outcome"
orvane executor complete permit.json --status SUCCEEDED --output '{"transfer_id":"tx-42"}' -o outcome.json "${trust[@]}"
orvane executor state permit.json "${trust[@]}"

step "The gate commits the outcome"
orvane outcome commit permit.json outcome.json

step "Trace of the action, re-verified"
orvane trace verify permit.json

step "Checkpoint of tenant acme, verified against the exported stream"
orvane checkpoint create --tenant acme -o checkpoint.json
orvane stream export --tenant acme -o stream.json
orvane checkpoint verify checkpoint.json --stream stream.json

step "Done: the files are in $work"
