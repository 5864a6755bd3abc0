// Shared fixtures of the policy tests: an in-process signer and policy documents.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "policy/policy_bundle.hpp"
#include "policy/policy_install.hpp"
#include "primitives/keys.hpp"
#include "signers/signer.hpp"

namespace orvane::testing_support {

// A local signer over a fixed seed; `corrupt` makes it return a signature of
// another message, as a faulty remote signer would.
class SeedSigner : public Signer {
public:
    explicit SeedSigner(std::uint8_t seed_byte, bool corrupt = false)
        : SeedSigner(make_key(seed_byte), corrupt) {}

    Result<std::string> sign(std::span<const std::uint8_t> message) const override {
        if (corrupt_) return signature_hex(key_.sign(std::string_view("something else")));
        return signature_hex(key_.sign(message));
    }

private:
    SeedSigner(KeyPair key, bool corrupt)
        : Signer(SignerIdentity{key.public_key_hex(), "1", "local-ed25519://" + key.public_key_hex(), "Ed25519"}),
          key_(std::move(key)),
          corrupt_(corrupt) {}

    static KeyPair make_key(std::uint8_t seed_byte) {
        std::array<std::uint8_t, 32> seed{};
        seed.fill(seed_byte);
        return KeyPair::from_seed(seed);
    }

    KeyPair key_;
    bool corrupt_;
};

inline Json policy_spec(std::string version = "acme.v1", std::string tenant = "acme") {
    return Json{{"schema_version", "orvane.policy-bundle.v1"},
                {"policy_version", std::move(version)},
                {"tenant_id", std::move(tenant)},
                {"constraints",
                 {{"allowed_action_types", Json::array({"deploy.*", "read"})},
                  {"allowed_resources", Json::array({"db/*"})},
                  {"allowed_executors", Json::array({"*"})},
                  {"max_ttl_seconds", 300},
                  {"max_input_bytes", 1000}}}};
}

inline Json signed_bundle(const Signer& signer, const Json& spec, std::uint64_t now = 1700000000000000ULL) {
    auto bundle = build_policy_bundle(signer, spec, now);
    if (!bundle) throw std::runtime_error(bundle.error());
    return *bundle;
}

}  // namespace orvane::testing_support
