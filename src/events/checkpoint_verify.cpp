// Checks an exported event stream against a gate-signed checkpoint. Inputs
// that cannot be checked fail; a checkpoint that does not hold is reported as
// an INVALID result.
#include <optional>
#include <string>

#include "events/event_ops.hpp"
#include "events/running_hash.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/json_access.hpp"
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
    // A gate whose signer does not load has no key to offer: the checkpoint is
    // then reported as signed by an untrusted signer rather than failing.
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

// The checkpoint's signature under the trusted key: the refusal when the
// signer is not the trusted one or the signature does not verify, nothing
// when it verifies. Keys and signatures that cannot be decoded fail.
Result<std::optional<Verdict>> check_checkpoint_signature(const std::string& signer_key, const std::string& signature,
                                                          std::string_view signed_bytes,
                                                          const std::optional<std::string>& trusted) {
    if (!trusted) {
        return std::optional<Verdict>(
            {"ERR_UNTRUSTED_SIGNER", "Expected trusted signer public key must be provided to verify checkpoint"});
    }
    if (*trusted != signer_key) {
        return std::optional<Verdict>({"ERR_UNTRUSTED_SIGNER", "Checkpoint signer " + signer_key +
                                                                   " does not match expected trusted key " +
                                                                   *trusted});
    }
    ORVANE_ASSIGN_OR_RETURN(const auto key_bytes,
                            hex_decode(signer_key).with_context("Invalid signer public key hex: "));
    if (key_bytes.size() != kPublicKeySize) return fail("Invalid public key length");
    auto public_key = parse_public_key(signer_key);
    if (!public_key) {
        constexpr std::string_view kPointPrefix = "Invalid Ed25519 public key: ";
        std::string_view reason = public_key.error();
        if (reason.starts_with(kPointPrefix)) reason.remove_prefix(kPointPrefix.size());
        return fail("Failed parsing verifying key: " + std::string(reason));
    }
    ORVANE_ASSIGN_OR_RETURN(const auto signature_bytes,
                            hex_decode(signature).with_context("Invalid signature hex: "));
    if (signature_bytes.size() != kSignatureSize) return fail("Invalid signature length");
    Signature raw_signature;
    std::copy(signature_bytes.begin(), signature_bytes.end(), raw_signature.begin());
    if (!verify_raw(*public_key, members::bytes(signed_bytes), raw_signature)) {
        return std::optional<Verdict>(
            {"ERR_SIGNATURE_INVALID", "Checkpoint Gate signature is mathematically invalid"});
    }
    return std::optional<Verdict>();
}

// A walk along the exported events: the tenant they must belong to, the
// sequence number expected next, the count verified and the running hash.
struct StreamWalk {
    std::string_view tenant;
    std::uint64_t next_sequence = 0;
    std::uint64_t verified = 0;
    RunningHash hash;
};

// Checks each event's tenant, sequence, link and digest in order; the
// refusal at the first event that breaks the chain.
std::optional<Verdict> walk_stream(const Json& stream, StreamWalk& walk) {
    std::string expected_prev = walk.next_sequence == 1
                                    ? std::string(kGenesisHash)
                                    : string_member_or_empty(stream.front(), "prev_event_hash");
    for (std::size_t index = 0; index < stream.size(); ++index) {
        const Json& event = stream[index];
        const std::uint64_t sequence = find_unsigned(event, "sequence_number").value_or(0);
        const std::string event_tenant = string_member_or_empty(event, "tenant_id");
        if (event_tenant != walk.tenant) {
            return Verdict{"ERR_TENANT_MISMATCH", "Event at index " + std::to_string(index) + " belongs to tenant '" +
                                                      event_tenant + "', expected '" + std::string(walk.tenant) +
                                                      "'"};
        }
        if (sequence != walk.next_sequence) {
            return Verdict{"ERR_SEQUENCE_GAP", "Sequence gap detected at index " + std::to_string(index) +
                                                   ": expected " + std::to_string(walk.next_sequence) + ", got " +
                                                   std::to_string(sequence)};
        }
        if (string_member_or_empty(event, "prev_event_hash") != expected_prev) {
            return Verdict{"ERR_CHAIN_LINKAGE_BROKEN", "Hash chain broken at sequence " + std::to_string(sequence)};
        }
        std::string event_digest = string_member_or_empty(event, "event_digest");
        if (recompute_event_digest(event) != event_digest) {
            return Verdict{"ERR_EVENT_TAMPERED", "Event payload tampered at sequence " + std::to_string(sequence)};
        }
        walk.hash.update(event_digest);
        expected_prev = std::move(event_digest);
        ++walk.next_sequence;
        ++walk.verified;
    }
    return std::nullopt;
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

    const std::string signed_bytes = canonical_json_without(checkpoint, {"signature"});

    const Json* signer = find_member(checkpoint, "signer");
    if (signer == nullptr) return fail("Checkpoint missing signer");
    const std::string* signer_key = find_string(*signer, "public_key");
    if (signer_key == nullptr) return fail("Checkpoint signer missing public_key");

    ORVANE_ASSIGN_OR_RETURN(const auto refused,
                            check_checkpoint_signature(*signer_key, *signature, signed_bytes, trusted));
    if (refused) return result_json(checkpoint_id, 0, *refused);
    if (stream.empty()) {
        return result_json(checkpoint_id, 0,
                           {"ERR_EMPTY_STREAM", "Event stream is empty but checkpoint declares events"});
    }
    StreamWalk walk;
    walk.tenant = *tenant;
    walk.next_sequence = first_sequence.value_or(0);
    if (auto broken = walk_stream(stream, walk)) return result_json(checkpoint_id, walk.verified, *broken);
    if (walk.next_sequence != last_sequence + 1) {
        return result_json(checkpoint_id, walk.verified,
                           {"ERR_ROLLBACK_DETECTED", "Stream ended at sequence " + std::to_string(walk.next_sequence - 1) +
                                                         ", but checkpoint requires " + std::to_string(last_sequence)});
    }
    std::string recomputed_root = walk.hash.finish_hex();
    if (recomputed_root != *root_hash) {
        return result_json(checkpoint_id, walk.verified,
                           {"ERR_STREAM_HASH_MISMATCH",
                            "Calculated stream root hash does not match checkpoint root hash"});
    }
    Json result = Json::object();
    result["schema_version"] = "orvane.checkpoint-verification.v1";
    result["status"] = "VERIFIED";
    result["checkpoint_id"] = checkpoint_id;
    result["events_verified"] = walk.verified;
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
