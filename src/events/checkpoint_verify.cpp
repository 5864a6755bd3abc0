// Checks an exported event stream against a gate-signed checkpoint. Inputs
// that cannot be checked fail; a checkpoint that does not hold is reported as
// an INVALID result.
#include <optional>
#include <string>

#include "events/event_ops.hpp"
#include "events/running_hash.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"

namespace orvane {

namespace {

constexpr std::string_view kGenesisHash =
    "0000000000000000000000000000000000000000000000000000000000000000";

// The key a checkpoint must be signed by: the one the caller gives, else the
// gate's own signer key. Never a row of the database: trusted_roots is as
// writable as the checkpoints it would vouch for.
std::optional<std::string> trusted_key(Gate& gate, std::optional<std::string_view> expected) {
    if (expected) return std::string(*expected);
    if (auto signer = gate_signer(gate)) return (*signer)->identity().public_key;
    return std::nullopt;
}

std::string string_member_or_empty(const Json& object, std::string_view name) {
    const std::string* value = find_string(object, name);
    return value ? *value : std::string();
}

struct Verdict {
    std::string_view reason_code;
    std::string message;
};

std::string result_json(const std::string& checkpoint_id, std::uint64_t events_verified,
                        const Verdict& verdict) {
    Json result = Json::object();
    result["schema_version"] = "orvane.checkpoint-verification.v1";
    result["status"] = "INVALID";
    result["checkpoint_id"] = checkpoint_id;
    result["events_verified"] = events_verified;
    result["reason_code"] = verdict.reason_code;
    result["message"] = verdict.message;
    return canonical_json(result);
}

// The digest an event's own content gives, without its event_digest member.
std::string recompute_event_digest(const Json& event) {
    return sha256_hex(canonical_json_without(event, {"event_digest"}));
}

}  // namespace

Result<std::string> verify_checkpoint_stream(Gate& gate, std::string_view checkpoint_json,
                                             std::string_view stream_json,
                                             std::optional<std::string_view> expected_public_key) {
    return verify_checkpoint_stream_under(checkpoint_json, stream_json, trusted_key(gate, expected_public_key));
}

Result<std::string> verify_checkpoint_stream_under(std::string_view checkpoint_json, std::string_view stream_json,
                                                   const std::optional<std::string>& trusted) {

    ORVANE_ASSIGN_OR_RETURN(auto checkpoint,
                            parse_json(checkpoint_json).with_context("Invalid checkpoint JSON: "));
    ORVANE_ASSIGN_OR_RETURN(auto stream, parse_json(stream_json).with_context("Invalid stream JSON: "));
    if (!stream.is_array()) return fail("Event stream must be a JSON array of events");

    const std::string* id = find_string(checkpoint, "checkpoint_id");
    const std::string checkpoint_id = id ? *id : std::string("unknown");
    const std::string* tenant = find_string(checkpoint, "tenant_id");
    if (tenant == nullptr) return fail("Checkpoint missing tenant_id");
    const auto checkpoint_sequence = find_unsigned(checkpoint, "checkpoint_sequence");
    const auto first_sequence = find_unsigned(checkpoint, "first_sequence");
    const std::uint64_t last_sequence = find_unsigned(checkpoint, "last_sequence").value_or(0);
    const std::string* root_hash = find_string(checkpoint, "stream_root_hash");
    if (root_hash == nullptr) return fail("Checkpoint missing stream_root_hash");
    const std::string* signature = find_string(checkpoint, "signature");
    if (signature == nullptr) return fail("Checkpoint missing signature");

    Json unsigned_checkpoint = checkpoint;
    unsigned_checkpoint.erase("signature");
    const std::string signed_bytes = canonical_json(unsigned_checkpoint);

    const Json* signer = find_member(checkpoint, "signer");
    if (signer == nullptr) return fail("Checkpoint missing signer");
    const std::string* signer_key = find_string(*signer, "public_key");
    if (signer_key == nullptr) return fail("Checkpoint signer missing public_key");

    if (!trusted) {
        return result_json(checkpoint_id, 0,
                           {"ERR_UNTRUSTED_SIGNER",
                            "Expected trusted signer public key must be provided to verify checkpoint"});
    }
    if (*trusted != *signer_key) {
        return result_json(checkpoint_id, 0,
                           {"ERR_UNTRUSTED_SIGNER", "Checkpoint signer " + *signer_key +
                                                        " does not match expected trusted key " +
                                                        *trusted});
    }

    ORVANE_ASSIGN_OR_RETURN(auto key_bytes,
                            hex_decode(*signer_key).with_context("Invalid signer public key hex: "));
    if (key_bytes.size() != 32) return fail("Invalid public key length");
    auto public_key = parse_public_key(*signer_key);
    if (!public_key) {
        constexpr std::string_view kPointPrefix = "Invalid Ed25519 public key: ";
        std::string_view reason = public_key.error();
        if (reason.starts_with(kPointPrefix)) reason.remove_prefix(kPointPrefix.size());
        return fail("Failed parsing verifying key: " + std::string(reason));
    }
    ORVANE_ASSIGN_OR_RETURN(auto signature_bytes,
                            hex_decode(*signature).with_context("Invalid signature hex: "));
    if (signature_bytes.size() != 64) return fail("Invalid signature length");
    Signature raw_signature;
    std::copy(signature_bytes.begin(), signature_bytes.end(), raw_signature.begin());

    if (!verify_raw(*public_key,
                    {reinterpret_cast<const std::uint8_t*>(signed_bytes.data()), signed_bytes.size()},
                    raw_signature)) {
        return result_json(checkpoint_id, 0,
                           {"ERR_SIGNATURE_INVALID", "Checkpoint Gate signature is mathematically invalid"});
    }
    if (stream.empty()) {
        return result_json(checkpoint_id, 0,
                           {"ERR_EMPTY_STREAM", "Event stream is empty but checkpoint declares events"});
    }

    std::uint64_t expected_sequence = first_sequence.value_or(0);
    std::string expected_prev = expected_sequence == 1
                                    ? std::string(kGenesisHash)
                                    : string_member_or_empty(stream.front(), "prev_event_hash");
    RunningHash hash;
    std::uint64_t verified = 0;
    for (std::size_t index = 0; index < stream.size(); ++index) {
        const Json& event = (stream)[index];
        const std::uint64_t sequence = find_unsigned(event, "sequence_number").value_or(0);
        const std::string event_tenant = string_member_or_empty(event, "tenant_id");
        if (event_tenant != *tenant) {
            return result_json(checkpoint_id, verified,
                               {"ERR_TENANT_MISMATCH", "Event at index " + std::to_string(index) +
                                                           " belongs to tenant '" + event_tenant +
                                                           "', expected '" + *tenant + "'"});
        }
        if (sequence != expected_sequence) {
            return result_json(checkpoint_id, verified,
                               {"ERR_SEQUENCE_GAP", "Sequence gap detected at index " +
                                                        std::to_string(index) + ": expected " +
                                                        std::to_string(expected_sequence) + ", got " +
                                                        std::to_string(sequence)});
        }
        if (string_member_or_empty(event, "prev_event_hash") != expected_prev) {
            return result_json(checkpoint_id, verified,
                               {"ERR_CHAIN_LINKAGE_BROKEN",
                                "Hash chain broken at sequence " + std::to_string(sequence)});
        }
        std::string event_digest = string_member_or_empty(event, "event_digest");
        if (recompute_event_digest(event) != event_digest) {
            return result_json(checkpoint_id, verified,
                               {"ERR_EVENT_TAMPERED",
                                "Event payload tampered at sequence " + std::to_string(sequence)});
        }
        hash.update(event_digest);
        expected_prev = std::move(event_digest);
        ++expected_sequence;
        ++verified;
    }

    if (expected_sequence != last_sequence + 1) {
        return result_json(checkpoint_id, verified,
                           {"ERR_ROLLBACK_DETECTED", "Stream ended at sequence " +
                                                         std::to_string(expected_sequence - 1) +
                                                         ", but checkpoint requires " +
                                                         std::to_string(last_sequence)});
    }
    std::string recomputed_root = hash.finish_hex();
    if (recomputed_root != *root_hash) {
        return result_json(checkpoint_id, verified,
                           {"ERR_STREAM_HASH_MISMATCH",
                            "Calculated stream root hash does not match checkpoint root hash"});
    }

    Json result = Json::object();
    result["schema_version"] = "orvane.checkpoint-verification.v1";
    result["status"] = "VERIFIED";
    result["checkpoint_id"] = checkpoint_id;
    result["events_verified"] = verified;
    result["reason_code"] = "CHECKPOINT_VALID";
    result["message"] = "Event stream and checkpoint root hash verified mathematically";
    result["checkpoint_sequence"] = checkpoint_sequence.value_or(0);
    result["tenant_id"] = *tenant;
    result["first_sequence"] = first_sequence.value_or(0);
    result["last_sequence"] = last_sequence;
    result["stream_root_hash"] = std::move(recomputed_root);
    return canonical_json(result);
}

Result<std::string> verify_checkpoint_stream_with_key(std::string_view checkpoint_json, std::string_view stream_json,
                                                     std::string_view public_key) {
    auto key = parse_public_key(public_key);
    if (!key) return fail(std::move(key.error()));
    return verify_checkpoint_stream_under(checkpoint_json, stream_json, hex_encode(*key));
}

}  // namespace orvane
