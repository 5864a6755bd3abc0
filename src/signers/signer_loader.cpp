// Loading the signer a key file or signer configuration document describes.
#include <sodium.h>

#include <optional>
#include <string>
#include <vector>

#include "primitives/hex.hpp"
#include "primitives/json.hpp"
#include "primitives/key_files.hpp"
#include "primitives/keys.hpp"
#include "signers/local_signer.hpp"
#include "primitives/utf8.hpp"
#include "signers/vault_transit.hpp"

namespace orvane {

namespace {

constexpr std::string_view kConfigSchema = "orvane.signer-config.v1";
constexpr std::string_view kAlgorithm = "Ed25519";

// Wipes decoded secret bytes however the loader leaves.
struct WipedBytes {
    std::vector<std::uint8_t> bytes;
    ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

Result<SignerRef> load_local_signer(const Json& document, const std::string& private_hex,
                                    const std::string& path) {
    auto decoded = hex_decode(private_hex);
    if (!decoded) return fail("Invalid private key hex in '" + path + "': " + decoded.error());
    WipedBytes secret{std::move(*decoded)};
    if (secret.bytes.size() != 32) return fail("Private key must be exactly 32 bytes");
    KeyPair key = KeyPair::from_seed(std::span<const std::uint8_t, 32>(secret.bytes.data(), 32));

    SignerIdentity identity;
    identity.public_key = key.public_key_hex();
    if (const std::string* configured = find_string(document, "public_key");
        configured != nullptr && *configured != identity.public_key) {
        return fail("ORVANE_SIGNER_KEY_MISMATCH: public_key does not match private_key");
    }
    const std::string* uri = find_string(document, "signer_uri");
    identity.signer_uri = uri ? *uri : "local-ed25519://" + identity.public_key;
    const std::string* version = find_string(document, "key_version");
    identity.key_version = version ? *version : "1";
    identity.algorithm = kAlgorithm;
    return std::make_shared<LocalSigner>(std::move(identity), std::move(key));
}

// A present string that is not empty after trimming; the untrimmed text is kept.
Result<std::string> required_member(const Json& document, std::string_view name) {
    const std::string* value = find_string(document, name);
    if (value == nullptr || trim_unicode(*value).empty()) {
        return fail("ORVANE_SIGNER_CONFIG_INVALID: '" + std::string(name) + "' is required");
    }
    return *value;
}

Result<SignerRef> load_vault_signer(const Json& document) {
    const std::string* schema = find_string(document, "schema_version");
    if (schema == nullptr || *schema != kConfigSchema) {
        return fail("ORVANE_SIGNER_CONFIG_INVALID: expected orvane.signer-config.v1");
    }
    ORVANE_ASSIGN_OR_RETURN(auto provider, required_member(document, "provider"));
    if (provider != "vault-transit-cli") {
        return fail("ORVANE_SIGNER_PROVIDER_UNKNOWN: unsupported provider '" + provider + "'");
    }
    ORVANE_ASSIGN_OR_RETURN(auto algorithm, required_member(document, "algorithm"));
    if (algorithm != kAlgorithm) {
        return fail("ORVANE_SIGNER_ALGORITHM_UNKNOWN: unsupported algorithm '" + algorithm + "'");
    }
    ORVANE_ASSIGN_OR_RETURN(auto uri, required_member(document, "signer_uri"));
    VaultTransitSettings settings;
    ORVANE_ASSIGN_OR_RETURN(settings.transit_sign_path, parse_vault_transit_uri(uri));
    ORVANE_ASSIGN_OR_RETURN(auto public_key, required_member(document, "public_key"));
    ORVANE_TRY(parse_public_key(public_key));
    ORVANE_ASSIGN_OR_RETURN(auto key_version, required_member(document, "key_version"));

    if (auto timeout = find_unsigned(document, "timeout_ms")) {
        if (*timeout < 100 || *timeout > 60000) {
            return fail("ORVANE_SIGNER_CONFIG_INVALID: timeout_ms must be 100..60000");
        }
        settings.timeout_ms = *timeout;
    }
    if (auto attempts = find_unsigned(document, "max_attempts")) {
        if (*attempts < 1 || *attempts > 3) {
            return fail("ORVANE_SIGNER_CONFIG_INVALID: max_attempts must be 1..3");
        }
        settings.max_attempts = static_cast<std::uint32_t>(*attempts);
    }
    if (const std::string* binary = find_string(document, "vault_binary")) {
        settings.vault_binary = *binary;
    }

    SignerIdentity identity{std::move(public_key), std::move(key_version), std::move(uri),
                            std::string(kAlgorithm)};
    return std::make_shared<VaultTransitSigner>(std::move(identity), std::move(settings));
}

}  // namespace

Result<SignerRef> load_signer(const std::string& path) {
    auto text = read_regular_file(path);
    if (!text) return fail("Failed to read signer configuration '" + path + "': " + text.error());
    // Bytes that are not UTF-8 are the parser's to refuse: the document cannot
    // be parsed, though the file was read. The text may hold a private key, so
    // it is wiped, and the parser's reason does not repeat it.
    auto document = parse_json_unquoted(*text);
    sodium_memzero(text->data(), text->size());
    if (!document) {
        return fail("Failed to parse signer configuration '" + path + "': " + document.error());
    }
    if (const std::string* private_hex = find_string(*document, "private_key")) {
        return load_local_signer(*document, *private_hex, path);
    }
    return load_vault_signer(*document);
}

}  // namespace orvane
