"""Policy bundles as Python sees them: installation and its refusals, the
retirement of a tenant's previous bundle, the baseline of tenant "*", which
bundle judges a tenant, and refusal of stored rows that were altered."""

import hashlib
import json

import pytest

import _orvane_ddb
from authorization_helpers import (BASELINE, TENANT, Gate, Key, canonical, digest_hex, events, intent, now_micros,
                                   request, policy_spec, verifies)
from identity_helpers import insert_signed_agent


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


def table_counts(gate):
    return {t: gate.query(f"SELECT COUNT(*) FROM {t}")[0][0]
            for t in ("policy_bundles", "active_policy_attestations", "event_stream", "action_authorizations")}


def unsigned_body(bundle):
    return {k: v for k, v in bundle.items() if k not in ("policy_digest", "signature", "status", "retired_at")}


def assert_gate_signed(gate, bundle):
    assert bundle["policy_digest"] == digest_hex(unsigned_body(bundle))
    assert verifies(gate.key.public, bytes.fromhex(bundle["policy_digest"]), bundle["signature"])


def attestation(gate, tenant):
    (version, digest, signer, signature, document), = gate.query(
        "SELECT policy_version, policy_digest, signer_public_key, signature, attestation_json "
        "FROM active_policy_attestations WHERE tenant_id = ?", tenant)
    assert signer == gate.key.public
    assert verifies(gate.key.public, hashlib.sha256(document.encode()).digest(), signature)
    parsed = json.loads(document)
    assert canonical(parsed).decode() == document
    assert (parsed["tenant_id"], parsed["policy_version"], parsed["policy_digest"]) == (tenant, version, digest)
    return parsed


# --- installation -------------------------------------------------------------

def test_installed_bundle_is_stored_signed_and_announced(gate):
    document = json.loads(policy_spec("acme-v1"))
    document["note"] = "not part of the bundle"
    answer = gate.ddb.install_policy(json.dumps(document, indent=1))
    bundle = json.loads(answer)
    assert gate.query("SELECT bundle_json, tenant_id, retired_at FROM policy_bundles WHERE policy_version = 'acme-v1'") \
        == [(answer, TENANT, None)]
    assert set(bundle) == {"schema_version", "policy_version", "tenant_id", "constraints", "issued_at", "signer",
                           "policy_digest", "signature"}
    assert bundle["signer"] == {"signer_uri": "local-ed25519://" + gate.key.public, "key_version": "1",
                                "algorithm": "Ed25519", "public_key": gate.key.public}
    assert_gate_signed(gate, bundle)
    attested = attestation(gate, TENANT)
    assert attested == {"schema_version": "orvane.active-policy-attestation.v1", "tenant_id": TENANT,
                        "policy_version": "acme-v1", "policy_digest": bundle["policy_digest"],
                        "activated_at": bundle["issued_at"], "signer": bundle["signer"]}
    published, = events(gate, "policy.published", TENANT)
    assert published["event_id"] == bundle["policy_digest"]
    assert published["payload_hash"] == hashlib.sha256(answer.encode()).hexdigest()
    assert published["timestamp"] == bundle["issued_at"]


# In checking order; an unknown constraint key is named (the first in byte
# order) even though required keys are missing too.
@pytest.mark.parametrize("document,message", [
    ("[]", "ORVANE_POLICY_SCHEMA_UNKNOWN"),
    ('{"schema_version": "orvane.policy-bundle.v2"}', "ORVANE_POLICY_SCHEMA_UNKNOWN"),
    ("{", "Policy spec must be valid JSON: "),
    (policy_spec(" \u2003"), "ORVANE_POLICY_INVALID: 'policy_version' is required"),
    (policy_spec("v", tenant=""), "ORVANE_POLICY_INVALID: 'tenant_id' is required"),
    ('{"schema_version":"orvane.policy-bundle.v1","policy_version":"v","tenant_id":"t","constraints":[]}',
     "ORVANE_POLICY_INVALID: constraints must be an object"),
    ('{"schema_version":"orvane.policy-bundle.v1","policy_version":"v","tenant_id":"t",'
     '"constraints":{"note":1,"extra":2}}', "ORVANE_POLICY_CONSTRAINT_UNKNOWN: 'extra'"),
    (policy_spec("v", allowed_executors=None),
     "ORVANE_POLICY_INVALID: allowed_executors must be an array"),
    (policy_spec("v", max_ttl_seconds=86401), "ORVANE_POLICY_INVALID: max_ttl_seconds must be 1..86400"),
    (policy_spec("v", max_ttl_seconds="60"), "ORVANE_POLICY_INVALID: max_ttl_seconds is required"),
    (policy_spec("v", max_input_bytes=10000001), "ORVANE_POLICY_INVALID: max_input_bytes must be 1..10000000"),
    (policy_spec("v", allowed_currencies=[]), "ORVANE_POLICY_INVALID: allowed_currencies must not be empty"),
    (policy_spec("v", allowed_beneficiaries=["bob", 5]), "ORVANE_POLICY_INVALID: allowed_beneficiaries entries must be strings"),
    (policy_spec("v", max_money_amount_minor=-1), "ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer"),
])
def test_content_refusals_write_nothing(gate, document, message):
    before = table_counts(gate)
    with pytest.raises(RuntimeError) as raised:
        gate.ddb.install_policy(document)
    assert str(raised.value) == message or (message.endswith(": ") and str(raised.value).startswith(message))
    assert table_counts(gate) == before


def test_limits_are_inclusive(gate):
    bundle = json.loads(gate.ddb.install_policy(policy_spec("v", max_ttl_seconds=86400, max_input_bytes=10000000,
                                                     allowed_currencies=["USD"], max_money_amount_minor=0)))
    assert bundle["constraints"]["max_ttl_seconds"] == 86400


def test_a_version_names_one_bundle_across_tenants(gate):
    first = gate.ddb.install_policy(policy_spec("v1"))
    before = table_counts(gate)
    for tenant in (TENANT, "beta"):
        with pytest.raises(RuntimeError, match="^ORVANE_POLICY_VERSION_CONFLICT: 'v1' already identifies different bytes$"):
            gate.ddb.install_policy(policy_spec("v1", tenant=tenant))
    assert table_counts(gate) == before
    assert gate.query("SELECT bundle_json FROM policy_bundles WHERE policy_version = 'v1'") == [(first,)]


def test_a_new_version_retires_the_previous_bundle(gate):
    old = json.loads(gate.ddb.install_policy(policy_spec("v1")))
    other = json.loads(gate.ddb.install_policy(policy_spec("beta-v1", tenant="beta")))
    new = json.loads(gate.ddb.install_policy(policy_spec("v2", allowed_resources=["db/*"])))
    listed = json.loads(gate.ddb.list_policies())
    assert [b["policy_version"] for b in listed] == [BASELINE, "v1", "beta-v1", "v2"]
    by_version = {b["policy_version"]: b for b in listed}
    assert by_version["v1"] == dict(old, status="RETIRED", retired_at=new["issued_at"])
    assert by_version["v2"] == dict(new, status="ACTIVE")
    assert by_version["beta-v1"] == dict(other, status="ACTIVE")
    for bundle in listed:  # the listing annotations are outside the signed body
        assert_gate_signed(gate, bundle)
    assert attestation(gate, TENANT)["policy_version"] == "v2"
    assert [e["event_id"] for e in events(gate, "policy.published", TENANT)] == \
        [old["policy_digest"], new["policy_digest"]]


def test_a_failed_installation_changes_nothing(gate):
    gate.ddb.install_policy(policy_spec("v1"))
    before = gate.query("SELECT policy_version, retired_at FROM policy_bundles"), attestation(gate, TENANT)
    gate.execute("CREATE TRIGGER closed BEFORE INSERT ON event_stream "
                 "BEGIN SELECT RAISE(ABORT, 'stream closed'); END")
    with pytest.raises(RuntimeError, match="^Failed to insert event into stream: stream closed$"):
        gate.ddb.install_policy(policy_spec("v2"))
    assert (gate.query("SELECT policy_version, retired_at FROM policy_bundles"), attestation(gate, TENANT)) == before


def test_the_baseline_version_is_reserved(gate):
    agent = gate.register()
    before = table_counts(gate)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_VERSION_RESERVED: 'orvane.baseline.v1' is reserved"):
        gate.ddb.install_policy(policy_spec(BASELINE))
    assert table_counts(gate) == before
    # The fallback keeps working for every tenant without a policy of its own.
    _, result = request(gate, agent, intent(agent, tenant="anyone"))
    assert result["authorization"]["policy_version"] == BASELINE
    assert result["authorization"]["decision"] == "ALLOWED"


# --- the baseline and resolution -------------------------------------------

def test_bootstrap_installs_the_baseline_once(gate):
    baseline, = json.loads(gate.ddb.list_policies())
    assert_gate_signed(gate, baseline)
    assert (baseline["policy_version"], baseline["tenant_id"], baseline["status"]) == (BASELINE, "*", "ACTIVE")
    assert baseline["constraints"] == {"allowed_action_types": ["*"], "allowed_resources": ["*"],
                                       "allowed_executors": ["*"], "allowed_currencies": ["*"],
                                       "max_ttl_seconds": 86400, "max_input_bytes": 65536}
    assert attestation(gate, "*")["policy_digest"] == baseline["policy_digest"]
    agent = gate.register()
    request(gate, agent, intent(agent, key="a"))
    request(gate, agent, intent(agent, key="b"))
    assert len(events(gate, "policy.published")) == 1
    assert len(json.loads(gate.ddb.list_policies())) == 1


def test_each_tenant_is_judged_by_its_own_bundle_or_the_baseline(gate):
    agent = gate.register()
    own = json.loads(gate.ddb.install_policy(policy_spec("acme-v1", allowed_resources=["db/*"])))
    _, acme = request(gate, agent, intent(agent, key="a"))
    assert acme["policy_bundle"] == own
    assert acme["authorization"]["reason_codes"] == ["POLICY_RESOURCE_DENIED"]
    _, beta = request(gate, agent, intent(agent, key="b", tenant="beta"))
    assert beta["policy_bundle"]["policy_version"] == BASELINE
    assert beta["authorization"]["decision"] == "ALLOWED"


def test_a_tenant_whose_policy_was_retired_does_not_fall_back(gate):
    agent = gate.register()
    gate.ddb.install_policy(policy_spec("acme-v1"))
    gate.execute("UPDATE policy_bundles SET retired_at = 1 WHERE policy_version = 'acme-v1'")
    with pytest.raises(RuntimeError, match=r"^ORVANE_POLICY_NOT_FOUND: no active policy applies to tenant 'acme' "
                                           r"\(previous policy was retired\)$"):
        request(gate, agent, intent(agent))
    assert table_counts(gate)["action_authorizations"] == 0


def test_a_missing_or_diverted_baseline_attestation_is_restored(gate):
    agent = gate.register()
    baseline_digest = attestation(gate, "*")["policy_digest"]
    published = len(events(gate, "policy.published"))
    gate.execute("DELETE FROM active_policy_attestations WHERE tenant_id = '*'")
    _, result = request(gate, agent, intent(agent, key="a", tenant="beta"))
    assert result["authorization"]["policy_digest"] == baseline_digest
    restored = attestation(gate, "*")
    assert (restored["policy_version"], restored["policy_digest"]) == (BASELINE, baseline_digest)
    assert restored["activated_at"] == result["authorization"]["issued_at"]

    gate.execute("UPDATE active_policy_attestations SET policy_version = 'elsewhere' WHERE tenant_id = '*'")
    request(gate, agent, intent(agent, key="b", tenant="beta"))
    assert attestation(gate, "*")["policy_version"] == BASELINE
    assert len(events(gate, "policy.published")) == published
    assert gate.query("SELECT retired_at FROM policy_bundles") == [(None,)]


def widen(bundle_json):
    bundle = json.loads(bundle_json)
    bundle["constraints"]["allowed_resources"] = ["*", "everything"]
    return canonical(bundle).decode()


def alter_attestation(document):
    parsed = json.loads(document)
    parsed["activated_at"] += 1
    return canonical(parsed).decode()


@pytest.mark.parametrize("tenant,table,column,change,message", [
    (TENANT, "policy_bundles", "bundle_json", widen, "ORVANE_POLICY_DIGEST_MISMATCH"),
    (TENANT, "policy_bundles", "bundle_json", lambda _: "{", "Stored policy bundle is invalid JSON: "),
    (TENANT, "active_policy_attestations", "policy_digest", lambda _: "00" * 32,
     "ORVANE_POLICY_INVALID: active policy digest mismatch"),
    (TENANT, "active_policy_attestations", "attestation_json", alter_attestation,
     "ORVANE_POLICY_INVALID: active policy attestation signature invalid"),
    (TENANT, "active_policy_attestations", "attestation_json", lambda _: "[1,",
     "active policy attestation must be valid JSON: "),
    ("beta", "policy_bundles", "bundle_json", widen, "ORVANE_POLICY_DIGEST_MISMATCH"),
    ("beta", "active_policy_attestations", "policy_digest", lambda _: "00" * 32,
     "ORVANE_POLICY_INVALID: fallback policy digest mismatch"),
    ("beta", "active_policy_attestations", "attestation_json", alter_attestation,
     "ORVANE_POLICY_INVALID: fallback policy attestation signature invalid"),
])
def test_altered_stored_policies_are_refused(gate, tenant, table, column, change, message):
    agent = gate.register()
    gate.ddb.install_policy(policy_spec("acme-v1"))
    row_tenant = TENANT if tenant == TENANT else "*"
    (value,), = gate.query(f"SELECT {column} FROM {table} WHERE tenant_id = ?{' AND retired_at IS NULL' if table == 'policy_bundles' else ''}",
                           row_tenant)
    gate.execute(f"UPDATE {table} SET {column} = ? WHERE tenant_id = ?", change(value), row_tenant)
    with pytest.raises(RuntimeError) as raised:
        request(gate, agent, intent(agent, tenant=tenant))
    assert str(raised.value) == message or (message.endswith(": ") and str(raised.value).startswith(message))
    assert table_counts(gate)["action_authorizations"] == 0


def test_policies_signed_under_a_former_gate_key_are_refused(gate, tmp_path):
    agent = gate.register()
    gate.ddb.install_policy(policy_spec("acme-v1"))
    # An offline root ceremony: the successor becomes the root of the same file.
    successor = Key()
    insert_signed_agent(gate, successor, successor, now_micros(), can_delegate=True)
    gate.execute("UPDATE trusted_roots SET public_key = ?", successor.public)
    gate.ddb = _orvane_ddb.OrvaneDDB(gate.db_path, successor.write(tmp_path / "successor.key"))
    for tenant, kind in ((TENANT, "active"), ("beta", "fallback")):
        with pytest.raises(RuntimeError, match=f"^ORVANE_POLICY_INVALID: {kind} policy attestation signature invalid$"):
            request(gate, agent, intent(agent, tenant=tenant))
    assert table_counts(gate)["action_authorizations"] == 0
