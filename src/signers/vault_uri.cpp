#include <string>

#include "signers/vault_transit.hpp"

namespace orvane {

namespace {

bool is_safe_name(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

Result<std::string> parse_vault_transit_uri(std::string_view uri) {
    constexpr std::string_view kPrefix = "vault-transit://";
    if (!uri.starts_with(kPrefix)) {
        return fail("ORVANE_SIGNER_URI_UNKNOWN: expected vault-transit://mount/key");
    }
    const std::string_view rest = uri.substr(kPrefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        return fail("ORVANE_SIGNER_URI_INVALID: expected vault-transit://mount/key");
    }
    const std::string_view mount = rest.substr(0, slash);
    const std::string_view key = rest.substr(slash + 1);
    if (!is_safe_name(mount) || !is_safe_name(key)) {
        return fail("ORVANE_SIGNER_URI_INVALID: mount and key contain unsafe characters");
    }
    std::string path;
    path.reserve(mount.size() + key.size() + 6);
    path.append(mount).append("/sign/").append(key);
    return path;
}

}  // namespace orvane
