"""A writer of the gate database who holds no key: policy rows, stored answers
and the event stream edited with plain sqlite3, then the call that must refuse.
Nothing a refusal touches is written."""

import hashlib
import json

import pytest

import _orvane_ddb
from executor_helpers import canonical
from outcome_helpers import TENANT, Road

GENESIS = "0" * 64


@pytest.fixture
def road(tmp_path):
    return Road(tmp_path)


def request(road, **members):
    intent = road.intent(**members)
    return road.ddb.request_action_signed(canonical(intent).decode(), road.agent.public_hex,
                                          road.agent.sign_hex(canonical(intent)), 120)


def counts(road):
    return road.query("SELECT (SELECT COUNT(*) FROM action_authorizations), (SELECT COUNT(*) FROM event_stream), "
                      "(SELECT COUNT(*) FROM checkpoints)")[0]


ATTESTATION_COLUMNS = "policy_version, policy_digest, activated_at, signer_public_key, signature, attestation_json"


def copy_attestation(road, source, target, columns=ATTESTATION_COLUMNS):
    road.execute(f"UPDATE active_policy_attestations SET ({columns}) = "
                 f"(SELECT {columns} FROM active_policy_attestations WHERE tenant_id = ?1) "
                 "WHERE tenant_id = ?2", source, target)


# --- the policy that applies ----------------------------------------------------

def test_an_attestation_copied_from_another_tenant_is_refused(road):
    # acme allows only account:acme/*; the baseline allows everything.
    assert json.loads(request(road, resource="other/1"))["authorization"]["decision"] == "BLOCKED"
    copy_attestation(road, "*", TENANT)
    before = counts(road)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_INVALID: active policy attestation does not "
                                           "match its row$"):
        request(road, resource="other/2")
    assert counts(road) == before


def test_a_fallback_row_pointing_at_a_tenant_attestation_is_refused(road):
    # The version column still names the baseline, so it is not re-attested.
    copy_attestation(road, TENANT, "*", "signature, attestation_json")
    beta = road.register("beta-bot", {"tenant_id": "beta"})
    intent = dict(road.intent(), tenant_id="beta", agent_id=beta.public_hex)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_INVALID: fallback policy attestation does not "
                                           "match its row$"):
        road.ddb.request_action_signed(canonical(intent).decode(), beta.public_hex, beta.sign_hex(canonical(intent)))


def test_a_replayed_older_attestation_does_not_roll_the_policy_back(road):
    loose = road.query(f"SELECT {ATTESTATION_COLUMNS} FROM active_policy_attestations WHERE tenant_id = ?1",
                       TENANT)[0]
    road.install_policy([road.executor.public_hex], allowed_resources=["account:acme/vault"])
    assert json.loads(request(road))["authorization"]["reason_codes"] == ["POLICY_RESOURCE_DENIED"]
    road.execute(f"UPDATE active_policy_attestations SET ({ATTESTATION_COLUMNS}) = (?1, ?2, ?3, ?4, ?5, ?6) "
                 "WHERE tenant_id = ?7", *loose, TENANT)
    road.execute("UPDATE policy_bundles SET retired_at = NULL WHERE policy_version = ?1", loose[0])
    before = counts(road)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_INVALID: active policy is not the latest published "
                                           "policy of tenant 'acme'$"):
        request(road)
    assert counts(road) == before


def test_deleting_a_tenants_policy_rows_does_not_fall_back_to_the_baseline(road):
    road.execute("DELETE FROM active_policy_attestations WHERE tenant_id = ?1", TENANT)
    road.execute("DELETE FROM policy_bundles WHERE tenant_id = ?1", TENANT)
    with pytest.raises(RuntimeError, match="^ORVANE_POLICY_NOT_FOUND: no active policy applies to tenant 'acme' "
                                           r"\(previous policy was retired\)$"):
        request(road, resource="other/1")


def test_a_published_event_whose_row_disagrees_with_its_document_is_refused(road):
    road.execute("UPDATE event_stream SET event_id = ?1 WHERE tenant_id = ?2 AND event_type = 'policy.published'",
                 "f" * 64, TENANT)
    with pytest.raises(RuntimeError, match="^ORVANE_EVENT_STREAM_INVALID: event 2 of tenant 'acme' does not match "
                                           "its stored document$"):
        request(road)


def test_the_latest_published_policy_is_found_through_an_index(road, tmp_path):
    road.execute("DROP INDEX idx_event_stream_type")
    _orvane_ddb.OrvaneDDB(road.db_path, road.gate_keyfile)  # an older file gets the index on open
    columns = [row[2] for row in road.query("PRAGMA index_info(idx_event_stream_type)")]
    assert columns == ["tenant_id", "event_type", "sequence_number"]
    plan = " ".join(row[3] for row in road.query(
        "EXPLAIN QUERY PLAN SELECT event_json FROM event_stream WHERE tenant_id = ?1 AND event_type = ?2 "
        "ORDER BY sequence_number DESC LIMIT 1", TENANT, "policy.published"))
    assert "idx_event_stream_type" in plan and "TEMP B-TREE" not in plan


# --- requests -------------------------------------------------------------------

def test_unauthenticated_requests_store_nothing_whatever_their_size(road):
    before = counts(road)
    intent = road.intent(input={"blob": "x" * 2_000_000})
    answer = json.loads(road.ddb.request_action_signed(canonical(intent).decode(), road.agent.public_hex, "00" * 64))
    assert answer["authorization"]["reason_codes"] == ["INVALID_AGENT_SIGNATURE"]
    assert counts(road) == before


@pytest.mark.parametrize("member", ["tenant_id", "idempotency_key"])
def test_a_nul_character_cannot_make_two_requests_one_action(road, member):
    agent = road.agent.public_hex
    # Both would derive the id of "acme" \0 agent \0 "x" \0 agent \0 "y".
    colliding = {"tenant_id": {"tenant_id": f"acme\0{agent}\0x", "idempotency_key": "y"},
                 "idempotency_key": {"idempotency_key": f"x\0{agent}\0y"}}[member]
    intent = road.intent(**colliding)
    with pytest.raises(RuntimeError, match=f"^ORVANE_INVALID_CONTRACT: '{member}' must not contain NUL characters$"):
        road.ddb.request_action_signed(canonical(intent).decode(), agent, road.agent.sign_hex(canonical(intent)))


def test_a_repeated_request_is_not_answered_with_another_actions_result(road):
    blocked_intent = road.intent(resource="other/1")
    blocked_text = canonical(blocked_intent).decode()
    signature = road.agent.sign_hex(canonical(blocked_intent))
    blocked = json.loads(road.ddb.request_action_signed(blocked_text, road.agent.public_hex, signature))
    allowed = request(road)
    road.execute("UPDATE action_authorizations SET authorization_json = ?1 WHERE action_id = ?2",
                 allowed, blocked["authorization"]["action_id"])
    with pytest.raises(RuntimeError, match="^ORVANE_STORED_AUTHORIZATION_INVALID: REPLAYED_ACTION_ID_MISMATCH,"
                                           "REPLAYED_INTENT_HASH_MISMATCH,REPLAYED_INTENT_MISMATCH$"):
        road.ddb.request_action_signed(blocked_text, road.agent.public_hex, signature)


def test_a_commit_is_answered_only_from_records_naming_its_permit(road):
    first, second = road.permit(), road.permit()
    first_id = first["authorization"]["authorization_id"]
    first_outcome, second_outcome = road.outcome(first), road.outcome(second)
    road.commit(first, first_outcome)
    road.commit(second, second_outcome)
    # The outcome row of the first permit now holds the second's execution result.
    road.execute("UPDATE action_outcomes SET execution_json = (SELECT execution_json FROM action_outcomes "
                 "WHERE authorization_id = ?1) WHERE authorization_id = ?2",
                 second["authorization"]["authorization_id"], first_id)
    with pytest.raises(RuntimeError, match="^ORVANE_STORED_EXECUTION_INVALID: .*STORED_AUTHORIZATION_ID_MISMATCH$"):
        road.commit(first, first_outcome)
    # The permit row of the first permit now holds the second's authorization result.
    road.store_permit(second, first_id)
    with pytest.raises(RuntimeError, match="^ORVANE_AUTHORIZATION_INVALID: STORED_AUTHORIZATION_ID_MISMATCH$"):
        road.commit(first, first_outcome)


# --- checkpoints ----------------------------------------------------------------

def event_text(event):
    return json.dumps(event, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def rewrite_stream(road, tenant, drop_event_id, *, documents=True):
    """Deletes one event and renumbers and re-chains the rest, as a writer
    without keys can; with documents=False only the columns are rewritten."""
    rows = road.query("SELECT event_json FROM event_stream WHERE tenant_id = ?1 ORDER BY sequence_number", tenant)
    kept = [json.loads(text) for (text,) in rows if json.loads(text)["event_id"] != drop_event_id]
    road.execute("DELETE FROM event_stream WHERE tenant_id = ?1", tenant)
    previous = GENESIS
    for number, original in enumerate(kept, start=1):
        event = {k: v for k, v in original.items() if k != "event_digest"}
        event.update(sequence_number=number, prev_event_hash=previous)
        digest = hashlib.sha256(event_text(event).encode()).hexdigest()
        stored = event_text(dict(event, event_digest=digest)) if documents else event_text(original)
        road.execute("INSERT INTO event_stream (sequence_number, tenant_id, event_id, event_type, payload_hash, "
                     "prev_event_hash, timestamp, event_digest, event_json) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                     number, tenant, event["event_id"], event["event_type"], event["payload_hash"], previous,
                     event["timestamp"], digest, stored)
        previous = digest


def test_a_checkpoint_is_not_signed_over_a_stream_with_a_deleted_action(road):
    permit = road.permit()
    road.ddb.create_checkpoint(TENANT)
    road.permit()
    rewrite_stream(road, TENANT, permit["authorization"]["authorization_id"])
    before = counts(road)
    with pytest.raises(RuntimeError, match="^ORVANE_CHECKPOINT_ROLLBACK: the stored stream of tenant 'acme' does "
                                           "not extend its latest checkpoint 1$"):
        road.ddb.create_checkpoint(TENANT)
    assert counts(road) == before


def test_a_stream_whose_columns_were_rewritten_alone_is_not_signed(road):
    permit = road.permit()
    road.permit()
    rewrite_stream(road, TENANT, permit["authorization"]["authorization_id"], documents=False)
    with pytest.raises(RuntimeError, match="^ORVANE_EVENT_STREAM_INVALID: event 3 of tenant 'acme' does not match "
                                           "its stored document$"):
        road.ddb.create_checkpoint(TENANT)
    assert counts(road)[2] == 0


@pytest.mark.parametrize("attack", ["root column", "document", "deleted events"])
def test_a_tampered_stream_or_latest_checkpoint_is_refused(road, attack):
    road.permit()
    road.ddb.create_checkpoint(TENANT)
    road.permit()
    if attack == "root column":
        road.execute("UPDATE checkpoints SET stream_root_hash = ?1", "0" * 64)
        message = "^ORVANE_CHECKPOINT_INVALID: the latest stored checkpoint of tenant 'acme' does not verify under " \
                  "the gate key$"
    elif attack == "document":
        road.execute("UPDATE checkpoints SET checkpoint_json = replace(checkpoint_json, "
                     "'\"last_sequence\":3', '\"last_sequence\":2'), last_sequence = 2")
        message = "^ORVANE_CHECKPOINT_INVALID: "
    else:
        road.execute("DELETE FROM event_stream WHERE tenant_id = ?1 AND sequence_number > 1", TENANT)
        message = "^ORVANE_CHECKPOINT_ROLLBACK: "
    before = counts(road)
    with pytest.raises(RuntimeError, match=message):
        road.ddb.create_checkpoint(TENANT)
    assert counts(road) == before


def test_a_stream_that_extends_its_checkpoint_is_signed_again(road):
    road.permit()
    first = json.loads(road.ddb.create_checkpoint(TENANT))
    road.permit()
    second = json.loads(road.ddb.create_checkpoint(TENANT))
    assert (second["checkpoint_sequence"], second["last_sequence"]) == (2, first["last_sequence"] + 1)
    stream = road.ddb.export_event_stream(TENANT)
    assert json.loads(road.ddb.verify_checkpoint_stream(canonical(second).decode(), stream,
                                                        road.gate_key.public_hex))["status"] == "VERIFIED"
