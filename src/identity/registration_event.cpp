#include "identity/registration_event.hpp"

#include <charconv>

#include "primitives/digest.hpp"

namespace orvane {

Json registration_event(const RegistrationFields& f) {
    Json event = Json::object();
    event["schema_version"] = "orvane.agent-registration.v1";
    event["agent_id"] = f.public_key;
    event["identity_id"] = f.identity_id;
    event["alias"] = f.alias;
    event["metadata"] = f.metadata;
    event["status"] = "active";
    event["can_delegate"] = f.can_delegate;
    event["registered_at"] = f.registered_at;
    event["registered_by"] = f.registered_by;
    event["tenant_id"] = f.tenant_id;
    event["key_version"] = f.key_version;
    event["signer"] = Json{{"signer_uri", f.signer_uri},
                           {"key_version", std::to_string(f.key_version)},
                           {"algorithm", f.algorithm},
                           {"public_key", f.public_key}};
    if (f.rotation_event_id) event["rotation_event_id"] = *f.rotation_event_id;
    return event;
}

Result<SignedDocument> sign_document(const Signer& signer, Json document) {
    SignedDocument signed_doc{std::move(document), {}, {}, {}};
    signed_doc.canonical = canonical_json(signed_doc.document);
    signed_doc.digest = sha256_hex(signed_doc.canonical);
    ORVANE_ASSIGN_OR_RETURN(auto signature, signer.sign_digest_hex(signed_doc.digest));
    signed_doc.signature = std::move(signature);
    return signed_doc;
}

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace orvane
