// The signed registration event "orvane.agent-registration.v1", shared by
// registration and rotation, and the signing of identity documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"
#include "signers/signer.hpp"

namespace orvane {

// The largest key version the agents table can hold (a signed 64-bit column).
inline constexpr std::uint64_t kMaxKeyVersion = 9223372036854775807ULL;

struct RegistrationFields {
    std::string_view public_key;
    std::string_view identity_id;
    std::string_view alias;
    const Json& metadata;
    bool can_delegate;
    std::uint64_t registered_at;
    std::string_view registered_by;
    std::string_view tenant_id;
    std::uint64_t key_version;
    std::string_view signer_uri;
    std::string_view algorithm;
    std::optional<std::string_view> rotation_event_id;
};

Json registration_event(const RegistrationFields& fields);

// A document, its canonical text, the SHA-256 hex of that text and the
// signer's signature over the 32 digest bytes.
struct SignedDocument {
    Json document;
    std::string canonical;
    std::string digest;
    std::string signature;
};

Result<SignedDocument> sign_document(const Signer& signer, Json document);

// Decimal digits with an optional leading "+", within the unsigned 64-bit range.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

}  // namespace orvane
