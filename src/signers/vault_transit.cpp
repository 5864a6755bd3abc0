#include "signers/vault_transit.hpp"

#include <sodium.h>

#include <vector>

#include "primitives/hex.hpp"
#include "primitives/keys.hpp"
#include "signers/signer_process.hpp"
#include "primitives/utf8.hpp"

namespace orvane {

namespace {

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), kVariant);
    out.resize(out.size() - 1);  // the terminating zero
    return out;
}

// Standard base64 with padding; ASCII whitespace anywhere is skipped.
bool base64_decode(std::string_view text, std::vector<std::uint8_t>& out) {
    out.assign(text.size() / 4 * 3 + 3, 0);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), " \t\n\f\r", &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return false;
    }
    out.resize(length);
    return true;
}

}  // namespace

Result<std::string> VaultTransitSigner::sign(std::span<const std::uint8_t> message) const {
    const std::vector<std::string> arguments = {"write", "-field=signature",
                                                settings_.transit_sign_path,
                                                "input=" + base64_encode(message)};
    std::string last_failure;
    for (std::uint32_t attempt = 1; attempt <= settings_.max_attempts; ++attempt) {
        const std::string label =
            "attempt " + std::to_string(attempt) + "/" + std::to_string(settings_.max_attempts) + ": ";
        auto output = signers::run_signer_program(settings_.vault_binary, arguments, settings_.timeout_ms);
        if (!output) {
            last_failure = label + output.error();
            continue;
        }
        if (!output->failed_status.empty()) {
            last_failure = label + "signer exited with " + output->failed_status + ": " +
                           std::string(trim_unicode(utf8_lossy(output->standard_error)));
            continue;
        }
        if (!is_valid_utf8(output->standard_output)) {
            last_failure = label + "signer returned non-UTF-8 output";
            continue;
        }
        return check_response(output->standard_output, message);
    }
    return fail("ORVANE_SIGNER_UNAVAILABLE: " + last_failure);
}

Result<std::string> VaultTransitSigner::check_response(std::string_view output,
                                                       std::span<const std::uint8_t> message) const {
    const std::string_view answer = trim_unicode(output);
    const std::string& version = identity().key_version;
    const std::size_t first = answer.find(':');
    const std::size_t second = first == std::string_view::npos ? first : answer.find(':', first + 1);
    const bool well_formed = second != std::string_view::npos &&
                             answer.find(':', second + 1) == std::string_view::npos &&
                             answer.substr(0, first) == "vault" &&
                             answer.substr(first + 1, second - first - 1) == "v" + version;
    if (!well_formed) {
        return fail("ORVANE_SIGNER_RESPONSE_INVALID: expected vault:v" + version + ":...");
    }
    std::vector<std::uint8_t> signature;
    if (!base64_decode(answer.substr(second + 1), signature)) {
        return fail("ORVANE_SIGNER_RESPONSE_INVALID: invalid base64 signature");
    }
    if (signature.size() != 64) {
        return fail("ORVANE_SIGNER_RESPONSE_INVALID: Ed25519 signature must be 64 bytes");
    }
    std::string signature_text = hex_encode(signature);
    if (!verify_signature(identity().public_key, message, signature_text)) {
        return fail("ORVANE_SIGNER_RESPONSE_INVALID: signature does not match configured public key");
    }
    return signature_text;
}

}  // namespace orvane
