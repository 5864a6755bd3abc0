"""The operator's own fallback policy for tenant "*": it judges every tenant
without a policy of its own in the baseline's place, the baseline is neither
re-installed nor re-attested over it, and rows edited with plain sqlite3
cannot bring the allow-everything baseline back."""

import json

import pytest

from authorization_helpers import BASELINE, Gate, events, intent, policy_spec, request

# No valid action type, resource or executor id is blank, so " " matches none.
DENY = dict(allowed_action_types=[" "], allowed_resources=[" "], allowed_executors=[" "],
            max_ttl_seconds=1, max_input_bytes=1)


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


def statuses(gate):
    return dict(gate.query("SELECT policy_version, retired_at IS NULL FROM policy_bundles"))


def fallback_attestation(gate):
    return gate.query("SELECT policy_version, policy_digest FROM active_policy_attestations WHERE tenant_id = '*'")


def test_a_mistyped_tenant_is_blocked_under_a_deny_fallback(gate):
    agent = gate.register()
    gate.ddb.install_policy(policy_spec("acme-v1", tenant="Acme"))  # meant for "acme"
    _, before = request(gate, agent, intent(agent, key="a"))
    assert (before["authorization"]["policy_version"], before["authorization"]["decision"]) == (BASELINE, "ALLOWED")

    deny = json.loads(gate.ddb.install_policy(policy_spec("deny-all.v1", tenant="*", **DENY)))
    published = len(events(gate, "policy.published"))
    _, mistyped = request(gate, agent, intent(agent, key="b"))
    assert mistyped["authorization"]["decision"] == "BLOCKED"
    assert mistyped["authorization"]["policy_digest"] == deny["policy_digest"]
    assert mistyped["authorization"]["reason_codes"][:2] == ["POLICY_ACTION_DENIED", "POLICY_RESOURCE_DENIED"]
    _, own = request(gate, agent, intent(agent, key="c", tenant="Acme"))
    assert (own["authorization"]["policy_version"], own["authorization"]["decision"]) == ("acme-v1", "ALLOWED")

    # The baseline stays retired and unattested; requests write no policy rows.
    assert statuses(gate) == {BASELINE: 0, "acme-v1": 1, "deny-all.v1": 1}
    assert fallback_attestation(gate) == [("deny-all.v1", deny["policy_digest"])]
    assert len(events(gate, "policy.published")) == published


def test_a_later_fallback_replaces_the_earlier_one(gate):
    agent = gate.register()
    gate.ddb.install_policy(policy_spec("deny-all.v1", tenant="*", **DENY))
    gate.ddb.install_policy(policy_spec("reads.v1", tenant="*", allowed_action_types=["read.*"]))
    _, read = request(gate, agent, intent(agent, key="a", action_type="read.rows"))
    _, write = request(gate, agent, intent(agent, key="b"))
    assert (read["authorization"]["policy_version"], read["authorization"]["decision"]) == ("reads.v1", "ALLOWED")
    assert write["authorization"]["reason_codes"] == ["POLICY_ACTION_DENIED"]
    assert statuses(gate) == {BASELINE: 0, "deny-all.v1": 0, "reads.v1": 1}


def test_a_fallback_installed_before_the_bootstrap_is_kept(tmp_path):
    gate = Gate(tmp_path, bootstrap=False)
    gate.ddb.install_policy(policy_spec("deny-all.v1", tenant="*", **DENY))
    gate.ddb.register_agent(gate.key.public, "gate", "{}")
    agent = gate.register()
    _, result = request(gate, agent, intent(agent))
    assert (result["authorization"]["policy_version"], result["authorization"]["decision"]) == \
        ("deny-all.v1", "BLOCKED")
    assert statuses(gate) == {"deny-all.v1": 1}


def test_the_baseline_version_stays_reserved(gate):
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_VERSION_RESERVED: "):
        gate.ddb.install_policy(policy_spec(BASELINE, tenant="*", **DENY))


# --- a writer of the database who holds no key ---------------------------------

def baseline_attestation_row(gate):
    return gate.query("SELECT policy_version, policy_digest, activated_at, signer_public_key, signature, "
                      "attestation_json FROM active_policy_attestations WHERE tenant_id = '*'")[0]


@pytest.fixture
def denied(gate):
    """A gate under a deny fallback, with the baseline's old attestation row kept aside."""
    saved = baseline_attestation_row(gate)
    gate.ddb.install_policy(policy_spec("deny-all.v1", tenant="*", **DENY))
    return gate, gate.register(), saved


def counts(gate):
    return gate.query("SELECT (SELECT COUNT(*) FROM action_authorizations), (SELECT COUNT(*) FROM event_stream), "
                      "(SELECT COUNT(*) FROM active_policy_attestations)")[0]


def test_deleting_the_fallback_attestation_does_not_bring_the_baseline_back(denied):
    gate, agent, _ = denied
    gate.execute("DELETE FROM active_policy_attestations WHERE tenant_id = '*'")
    before = counts(gate)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_NOT_FOUND: no active policy applies$"):
        request(gate, agent, intent(agent))
    assert counts(gate) == before


def test_a_restored_baseline_attestation_is_not_obeyed(denied):
    gate, agent, saved = denied
    gate.execute("UPDATE policy_bundles SET retired_at = NULL WHERE policy_version = ?1", BASELINE)
    gate.execute("UPDATE policy_bundles SET retired_at = 1 WHERE policy_version = 'deny-all.v1'")
    gate.execute("UPDATE active_policy_attestations SET (policy_version, policy_digest, activated_at, "
                 "signer_public_key, signature, attestation_json) = (?1, ?2, ?3, ?4, ?5, ?6) "
                 "WHERE tenant_id = '*'", *saved)
    before = counts(gate)
    with pytest.raises(RuntimeError, match=r"^ORVANE_POLICY_INVALID: fallback policy is not the latest published "
                                           r"policy of tenant '\*'$"):
        request(gate, agent, intent(agent))
    assert counts(gate) == before


def test_an_attestation_redirected_to_the_baseline_is_refused(denied):
    gate, agent, _ = denied
    gate.execute("UPDATE policy_bundles SET retired_at = NULL WHERE policy_version = ?1", BASELINE)
    gate.execute("UPDATE active_policy_attestations SET policy_version = ?1 WHERE tenant_id = '*'", BASELINE)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_INVALID: fallback policy digest mismatch$"):
        request(gate, agent, intent(agent))
