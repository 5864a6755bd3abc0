"""Authorization requests as Python sees them: what the gate signs (recomputed
with hashlib and PyNaCl), which answer a request gets, that denials are stored
answers, that a repeated request gets the stored answer, and which requests
cannot be judged at all."""

import hashlib
import json

import pytest

import _orvane_ddb
from authorization_helpers import (TENANT, Gate, Key, action_id, authorization_count, canonical, events,
                                   evidence_digest, intent, now_micros, receipt_id, request, sign_intent, policy_spec,
                                   text, verifies)

ALLOWED = ["IDENTITY_VERIFIED", "POLICY_ALLOWED"]


@pytest.fixture
def gate(tmp_path):
    return Gate(tmp_path)


@pytest.fixture
def agent(gate):
    return gate.register("agent", {"tenant_id": TENANT})


def codes(result):
    return result["authorization"]["decision"], result["authorization"]["reason_codes"]


# --- what the gate signs ------------------------------------------------------

def test_allowed_receipt_recomputes_independently(gate, agent):
    bundle = json.loads(gate.ddb.install_policy(policy_spec("acme-v1", allowed_executors=["exec-*"])))
    document = intent(agent, money={"currency": "USD", "amount": "12.50"})
    answer, result = request(gate, agent, document, ttl=120)
    assert answer == text(result)
    receipt = result["authorization"]
    assert set(result) == {"schema_version", "authorization", "intent", "agent_signature", "policy_bundle"}
    assert result["schema_version"] == "orvane.authorization-result.v1"
    assert (result["intent"], result["policy_bundle"]) == (document, bundle)
    assert receipt == {
        "schema_version": "orvane.authorization-receipt.v1",
        "action_id": action_id(document),
        "tenant_id": TENANT,
        "agent_id": agent.public,
        "intent_hash": hashlib.sha256(canonical(document)).hexdigest(),
        "decision": "ALLOWED",
        "reason_codes": ALLOWED,
        "policy_version": "acme-v1",
        "policy_digest": bundle["policy_digest"],
        "evidence_digest": evidence_digest(bundle, document, 120),
        "executor_constraints": {"allowed_executors": ["exec-*"]},
        "issued_at": receipt["issued_at"],
        "expires_at": receipt["issued_at"] + 120_000_000,
        "gate_id": gate.key.public,
        "gate_signer": bundle["signer"],
        "authorization_id": receipt_id(receipt),
        "gate_signature": receipt["gate_signature"],
    }
    assert verifies(gate.key.public, bytes.fromhex(receipt["authorization_id"]), receipt["gate_signature"])
    assert gate.query("SELECT authorization_id, action_id, tenant_id, agent_id, idempotency_key, intent_hash, "
                      "decision, issued_at, expires_at, authorization_json FROM action_authorizations") == [
        (receipt["authorization_id"], receipt["action_id"], TENANT, agent.public, "idem-1", receipt["intent_hash"],
         "ALLOWED", receipt["issued_at"], receipt["expires_at"], answer)]
    announced, = events(gate, "action.authorized", TENANT)
    assert (announced["event_id"], announced["payload_hash"], announced["timestamp"]) == \
        (receipt["authorization_id"], hashlib.sha256(answer.encode()).hexdigest(), receipt["issued_at"])


def test_request_action_signs_the_canonical_intent_with_the_agent_key(gate, agent, tmp_path):
    keyfile = agent.write(tmp_path / "agent.key")
    document = intent(agent)
    answer = gate.ddb.request_action(json.dumps(document, indent=2), keyfile)
    result = json.loads(answer)
    assert result["intent"] == document
    assert verifies(agent.public, canonical(document), result["agent_signature"])
    assert codes(result) == ("ALLOWED", ALLOWED)
    assert result["authorization"]["expires_at"] - result["authorization"]["issued_at"] == 60_000_000

    other = intent(Key(), key="other")
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ID_MISMATCH: intent agent_id does not match the signing key$"):
        gate.ddb.request_action(text(other), keyfile)
    assert authorization_count(gate) == 1


# --- requests that cannot be judged ------------------------------------------

@pytest.mark.parametrize("ttl", [0, 86401])
def test_ttl_is_bounded_before_the_intent_is_read(gate, agent, ttl):
    with pytest.raises(RuntimeError, match="^ORVANE_INVALID_TTL: ttl_seconds must be between 1 and 86400$"):
        gate.ddb.request_action_signed("{", agent.public, "00", ttl)
    assert authorization_count(gate) == 0


def test_a_day_long_ttl_is_judged_by_the_policy(gate, agent):
    _, result = request(gate, agent, intent(agent, key="baseline"), ttl=86400)
    assert codes(result) == ("ALLOWED", ALLOWED)
    gate.ddb.install_policy(policy_spec("acme-v1", max_ttl_seconds=3600))
    _, result = request(gate, agent, intent(agent, key="acme"), ttl=86400)
    assert codes(result) == ("BLOCKED", ["POLICY_TTL_DENIED"])


def test_unjudgeable_requests_store_nothing(gate, agent):
    cases = [
        (text(intent(agent))[:-1], "intent must be valid JSON: "),
        (text(intent(agent, tenant=" ")), "ORVANE_INVALID_CONTRACT: 'tenant_id' must be a non-empty string"),
        (text(intent(agent, money={"currency": "USD", "amount": "1.234"})),
         "ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two fractional digits"),
        (text(intent(agent, money={"amount": "1"})), "ORVANE_INVALID_CONTRACT: money.asset is required"),
        # The parser takes 127 levels, but the result holds the intent one level down.
        (text(intent(agent, input=nested(126))), "ORVANE_INVALID_CONTRACT: intent is nested too deeply"),
    ]
    for document, message in cases:
        with pytest.raises(RuntimeError) as raised:
            gate.ddb.request_action_signed(document, agent.public, "00" * 64)
        assert str(raised.value).startswith(message)
    with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ID_MISMATCH"):
        gate.ddb.request_action_signed(text(intent(agent)), agent.public.upper(), "00" * 64)
    assert authorization_count(gate) == 0
    assert events(gate, "action.authorized", TENANT) == []


def nested(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


def test_the_deepest_intent_gives_a_permit_that_reads_back(gate, agent):
    document = intent(agent, input=nested(125))
    first, result = request(gate, agent, document)
    assert result["intent"] == document
    assert request(gate, agent, document)[0] == first  # the replay parses the stored result


def test_a_gate_without_its_root_registration_refuses(tmp_path):
    gate = Gate(tmp_path, bootstrap=False)
    agent = Key()
    with pytest.raises(RuntimeError, match="^ORVANE_GATE_NOT_BOOTSTRAPPED: register the gate key as the root agent$"):
        request(gate, agent, intent(agent))
    assert gate.query("SELECT COUNT(*) FROM policy_bundles") == [(0,)]
    assert authorization_count(gate) == 0


def close_stream(gate, condition):
    gate.execute(f"CREATE TRIGGER closed BEFORE INSERT ON event_stream WHEN {condition} "
                 "BEGIN SELECT RAISE(ABORT, 'stream closed'); END")


def test_a_failed_announcement_leaves_no_answer(gate, agent):
    close_stream(gate, "NEW.event_type = 'action.authorized'")
    document = intent(agent)
    with pytest.raises(RuntimeError, match="^Failed to insert event into stream: stream closed$"):
        request(gate, agent, document)
    assert authorization_count(gate) == 0
    gate.execute("DROP TRIGGER closed")
    assert codes(request(gate, agent, document)[1]) == ("ALLOWED", ALLOWED)


# --- the gate's own registration -------------------------------------------------

def test_the_bootstrap_is_one_transaction(tmp_path):
    gate = Gate(tmp_path, bootstrap=False)
    close_stream(gate, "NEW.event_type = 'agent.registered'")
    with pytest.raises(RuntimeError, match="^Failed to register agent: Failed to insert event into stream: stream closed$"):
        gate.ddb.register_agent(gate.key.public, "gate")
    for table in ("agents", "trusted_roots", "policy_bundles", "active_policy_attestations", "event_stream"):
        assert gate.query(f"SELECT COUNT(*) FROM {table}") == [(0,)]


@pytest.mark.parametrize("custody,registered", [
    ({"key_version": "+7", "signer_uri": "hsm://slot/1"}, {"key_version": "7", "signer_uri": "hsm://slot/1"}),
    ({"key_version": "abc"}, "ORVANE_INVALID_AGENT: signer key_version must be numeric"),
    ({"key_version": "0"}, "ORVANE_INVALID_AGENT: signer_uri, positive key_version, and Ed25519 are required"),
    ({"signer_uri": " "}, "ORVANE_INVALID_AGENT: signer_uri, positive key_version, and Ed25519 are required"),
])
def test_the_gate_registers_itself_with_its_own_custody(tmp_path, custody, registered):
    key = Key()
    keyfile = tmp_path / "gate.key"
    keyfile.write_text(json.dumps({"private_key": bytes(key.signing).hex(), **custody}))
    ddb = _orvane_ddb.OrvaneDDB(str(tmp_path / "gate.db"), str(keyfile))
    if isinstance(registered, str):
        with pytest.raises(RuntimeError, match="^" + registered + "$"):
            ddb.register_agent(key.public, "gate", '{"key_version": 3, "signer_uri": "ignored"}')
        return
    registration = json.loads(ddb.register_agent(key.public, "gate", '{"key_version": 3}'))["registration"]
    assert registration["key_version"] == int(registered["key_version"])
    assert registration["signer"] == dict(registered, algorithm="Ed25519", public_key=key.public)
    # Signed documents carry the signer's identity as the key file states it.
    baseline, = json.loads(ddb.list_policies())
    assert baseline["signer"] == dict(custody, algorithm="Ed25519", public_key=key.public)


# --- the decision ---------------------------------------------------------------

def test_an_unauthenticated_request_is_answered_but_neither_stored_nor_announced(gate, agent):
    gate.ddb.install_policy(policy_spec("acme-v1", allowed_resources=["db/*"]))
    stranger = Key()
    cases = ((agent, "forged", sign_intent(Key(), intent(agent, key="forged"))), (agent, "garbled", "zz"),
             (stranger, "stranger", None))
    for who, key, signature in cases:
        document = intent(who, key=key)
        answer, result = request(gate, who, document, signature=signature)
        # The resource rule is broken too, but the signature and identity decide first.
        assert codes(result) == ("BLOCKED", ["INVALID_AGENT_SIGNATURE" if signature else "AGENT_NOT_REGISTERED"])
        assert result["agent_signature"] == signature or sign_intent(who, document)
        assert result["authorization"]["evidence_digest"] == \
            evidence_digest(result["policy_bundle"], document, 60)
        assert verifies(gate.key.public, bytes.fromhex(result["authorization"]["authorization_id"]),
                        result["authorization"]["gate_signature"])
    assert authorization_count(gate) == 0
    assert events(gate, "action.authorized", TENANT) == []


def test_identity_and_tenant_scope_come_before_the_policy(gate, agent):
    stranger = Key()
    _, result = request(gate, stranger, intent(stranger))
    assert codes(result) == ("BLOCKED", ["AGENT_NOT_REGISTERED"])
    _, result = request(gate, agent, intent(agent, tenant="beta"))
    assert codes(result) == ("BLOCKED", ["AGENT_TENANT_SCOPE_DENIED"])
    anywhere = gate.register("anywhere")
    _, result = request(gate, anywhere, intent(anywhere, tenant="beta"))
    assert codes(result) == ("ALLOWED", ALLOWED)
    gate.ddb.revoke_agent(anywhere.public, "retired")
    _, result = request(gate, anywhere, intent(anywhere, key="after", tenant="beta"))
    assert codes(result) == ("BLOCKED", ["AGENT_NOT_REGISTERED"])


def test_one_key_is_one_identity_whatever_the_spelling_of_its_hex(gate, agent):
    for key in (agent.public.upper(), gate.key.public.upper()):
        with pytest.raises(RuntimeError, match="^ORVANE_AGENT_ALREADY_REGISTERED: registrations are immutable$"):
            gate.ddb.register_agent(key, "twin", '{"tenant_id": "beta"}')
    assert gate.query("SELECT COUNT(*) FROM agents") == [(2,)]


def test_policy_denials_are_collected_in_order(gate, agent):
    gate.ddb.install_policy(policy_spec("acme-v1", allowed_action_types=["payment.*"], allowed_resources=["db/*"],
                                 max_ttl_seconds=300, allowed_currencies=["EUR"]))
    _, result = request(gate, agent, intent(agent, key="a", action_type="deploy", resource="db"), ttl=301)
    assert codes(result) == ("BLOCKED", ["POLICY_ACTION_DENIED", "POLICY_RESOURCE_DENIED", "POLICY_TTL_DENIED"])
    _, result = request(gate, agent, intent(agent, key="b", resource="db/x", input={"rate": 1.5},
                                            money={"currency": "USD", "amount_minor": 5}), ttl=300)
    assert codes(result) == ("BLOCKED", ["POLICY_NON_DETERMINISTIC_INPUT", "POLICY_MONEY_DENIED"])


# The gate reads its clock after the test does, so `issued_at` >= `t0` and the
# gap is far below the margin: each case below is decided the same way on
# every run.
MARGIN = 5_000_000


@pytest.mark.parametrize("offset,expected", [
    (-(300_000_000 - MARGIN), ALLOWED),
    (-300_000_001, ["REQUEST_STALE"]),
    (60_000_000, ALLOWED),
    (60_000_000 + MARGIN, ["REQUEST_FROM_FUTURE"]),
])
def test_request_freshness(gate, agent, offset, expected):
    document = intent(agent)
    t0 = now_micros()
    document["requested_at"] = t0 + offset
    _, result = request(gate, agent, document)
    assert result["authorization"]["reason_codes"] == expected
    assert result["authorization"]["issued_at"] >= t0


# --- one answer per action ------------------------------------------------------

def test_a_repeated_request_gets_the_stored_answer(gate, agent):
    document = intent(agent, resource="db/1")
    answer, _ = request(gate, agent, document)
    stored_events = len(events(gate, "action.authorized", TENANT))
    shuffled = json.dumps(dict(reversed(list(document.items()))), indent=3)
    assert gate.ddb.request_action_signed(shuffled, agent.public, "00" * 64, 9) == answer
    assert request(gate, agent, document, ttl=86400, signature="zz")[0] == answer
    assert authorization_count(gate) == 1
    assert len(events(gate, "action.authorized", TENANT)) == stored_events

    with pytest.raises(RuntimeError, match="^ORVANE_IDEMPOTENCY_CONFLICT: idempotency key was already used "
                                           "for a different intent$"):
        request(gate, agent, dict(document, resource="db/2"))
    assert authorization_count(gate) == 1


def test_a_refusal_is_final_for_its_idempotency_key(gate, agent):
    document = intent(agent, requested_at=now_micros() - 400_000_000)
    blocked, result = request(gate, agent, document)
    assert codes(result) == ("BLOCKED", ["REQUEST_STALE"])
    assert request(gate, agent, dict(document))[0] == blocked
    _, retried = request(gate, agent, dict(document, idempotency_key="idem-2", requested_at=now_micros()))
    assert codes(retried) == ("ALLOWED", ALLOWED)


def test_an_unauthenticated_request_cannot_take_an_agents_idempotency_key(gate, agent):
    document = intent(agent)
    _, squatted = request(gate, agent, document, signature="00" * 64)
    assert codes(squatted) == ("BLOCKED", ["INVALID_AGENT_SIGNATURE"])
    answer, result = request(gate, agent, document)
    assert codes(result) == ("ALLOWED", ALLOWED)
    assert gate.query("SELECT authorization_json FROM action_authorizations") == [(answer,)]
    assert [e["event_id"] for e in events(gate, "action.authorized", TENANT)] == \
        [result["authorization"]["authorization_id"]]


def test_a_changed_gate_custody_is_reported_on_replay(gate, agent, tmp_path):
    gate.ddb.install_policy(policy_spec("acme-v1"))
    keyfile = json.loads(open(gate.keyfile).read())
    keyfile["key_version"] = "2"
    path = tmp_path / "gate-v2.key"
    path.write_text(json.dumps(keyfile))
    gate.ddb = _orvane_ddb.OrvaneDDB(gate.db_path, str(path))
    document = intent(agent)
    _, result = request(gate, agent, document)
    assert result["authorization"]["gate_signer"]["key_version"] == "2"
    assert result["policy_bundle"]["signer"]["key_version"] == "1"
    with pytest.raises(RuntimeError, match="^ORVANE_STORED_AUTHORIZATION_INVALID: "
                                           "AUTHORIZATION_SIGNER_METADATA_MISMATCH$"):
        request(gate, agent, document)
