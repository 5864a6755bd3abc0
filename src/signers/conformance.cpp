// Self-test of the configured gate signer: it must sign exactly the bytes it
// is given, and the result must verify under the configured public key.
#include <array>

#include "primitives/json.hpp"
#include "primitives/keys.hpp"
#include "signers/signer_ops.hpp"

namespace orvane {

namespace {

// "orvane.signer-conformance.v1", a zero byte, "exact-bytes": a signer that
// treats the message as text or stops at the zero byte fails the check.
constexpr std::string_view kTestMessage{"orvane.signer-conformance.v1\0exact-bytes", 40};

}  // namespace

Result<std::string> signer_conformance(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    const SignerIdentity& identity = signer->identity();
    const std::span<const std::uint8_t> message{
        reinterpret_cast<const std::uint8_t*>(kTestMessage.data()), kTestMessage.size()};

    ORVANE_ASSIGN_OR_RETURN(auto signature, signer->sign(message));
    if (!verify_signature(identity.public_key, message, signature)) {
        return fail("ORVANE_SIGNER_CONFORMANCE_FAILED: signature verification failed");
    }

    Json signer_json = Json::object();
    signer_json["signer_uri"] = identity.signer_uri;
    signer_json["key_version"] = identity.key_version;
    signer_json["algorithm"] = identity.algorithm;
    signer_json["public_key"] = identity.public_key;
    Json checks = Json::object();
    checks["exact_bytes"] = "PASS";
    checks["ed25519_verification"] = "PASS";
    checks["credential_material_returned"] = false;
    Json result = Json::object();
    result["schema_version"] = "orvane.signer-conformance-result.v1";
    result["status"] = "PASS";
    result["signer"] = std::move(signer_json);
    result["checks"] = std::move(checks);
    return canonical_json(result);
}

}  // namespace orvane
