// Placeholder bodies until this subsystem lands; each reports that it is not built yet.
#include "signers/signer_ops.hpp"
namespace orvane {
namespace { std::string pending() { return "ORVANE_NOT_IMPLEMENTED: not built yet"; } }

Result<std::string> whoami(Gate&) { return fail(pending()); }
Result<std::string> signer_conformance(Gate&) { return fail(pending()); }
}  // namespace orvane

// Placeholder loader until the signer subsystem lands: plain key files only.
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"
namespace orvane {
namespace {
class PendingLocalSigner final : public Signer {
public:
    explicit PendingLocalSigner(KeyPair key)
        : Signer({key.public_key_hex(), "1", "local-ed25519://" + key.public_key_hex(), "Ed25519"}),
          key_(std::move(key)) {}
    Result<std::string> sign(std::span<const std::uint8_t> message) const override {
        return signature_hex(key_.sign(message));
    }
private:
    KeyPair key_;
};
}  // namespace
Result<SignerRef> load_signer(const std::string& path) {
    auto key = load_signing_key(path);
    if (!key) return fail(key.error());
    return SignerRef(std::make_shared<PendingLocalSigner>(std::move(*key)));
}
Result<std::string> Signer::sign_digest_hex(std::string_view digest_hex) const {
    auto digest = hex_decode(digest_hex);
    if (!digest) return fail("Invalid digest hex: " + digest.error());
    return sign(*digest);
}
}  // namespace orvane
