// Writing, reading and checking the signed notes that carry tree heads.
#include "log/note.hpp"

#include <charconv>
#include <cstring>

#include "primitives/base64.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/utf8.hpp"

namespace orvane::log {

namespace {

constexpr std::string_view kOriginPrefix = "orvane-ddb/gate/";
constexpr std::string_view kTenantPart = "/tenant/";
constexpr std::string_view kSignaturePrefix = "\u2014 ";  // an em dash and a space

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

Result<TreeNote> refuse(std::string why) { return fail("Invalid tree head note: " + why); }

// A key name: not empty, no whitespace, no '+'.
bool valid_name(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c == ' ' || c == '\t' || c == '\n' || c == '+' || c < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

std::string log_origin(std::string_view gate_key_hex, std::string_view tenant_id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(kOriginPrefix.size() + gate_key_hex.size() + kTenantPart.size() + tenant_id.size() * 3);
    out.append(kOriginPrefix).append(lower(gate_key_hex)).append(kTenantPart);
    for (unsigned char c : tenant_id) {
        if (unreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 15]);
        }
    }
    return out;
}

std::optional<OriginParts> parse_origin(std::string_view origin) {
    if (!origin.starts_with(kOriginPrefix)) return std::nullopt;
    std::string_view rest = origin.substr(kOriginPrefix.size());
    const auto cut = rest.find('/');
    if (cut == std::string_view::npos) return std::nullopt;
    OriginParts parts;
    parts.gate_key = std::string(rest.substr(0, cut));
    rest = rest.substr(cut);
    if (!rest.starts_with(kTenantPart)) return std::nullopt;
    rest = rest.substr(kTenantPart.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            parts.tenant_id.push_back(rest[i]);
            continue;
        }
        if (i + 2 >= rest.size()) return std::nullopt;
        auto bytes = hex_decode(rest.substr(i + 1, 2));
        if (!bytes) return std::nullopt;
        parts.tenant_id.push_back(static_cast<char>((*bytes)[0]));
        i += 2;
    }
    if (!is_valid_utf8(parts.tenant_id)) return std::nullopt;
    // Only the one text log_origin writes counts.
    if (log_origin(parts.gate_key, parts.tenant_id) != origin) return std::nullopt;
    return parts;
}

KeyId key_id(std::string_view name, const PublicKey& key, std::uint8_t type) {
    std::string material;
    material.reserve(name.size() + 2 + key.size());
    material.append(name).push_back('\n');
    material.push_back(static_cast<char>(type));
    material.append(reinterpret_cast<const char*>(key.data()), key.size());
    const Digest digest = sha256(material);
    return {digest[0], digest[1], digest[2], digest[3]};
}

std::string checkpoint_text(std::string_view origin, std::uint64_t size, const Hash& root) {
    std::string out;
    out.reserve(origin.size() + 70);
    out.append(origin).push_back('\n');
    out.append(std::to_string(size)).push_back('\n');
    out.append(base64_encode(root)).push_back('\n');
    return out;
}

std::string signature_line(std::string_view name, const KeyId& id, std::span<const std::uint8_t> signature) {
    std::vector<std::uint8_t> blob(id.begin(), id.end());
    blob.insert(blob.end(), signature.begin(), signature.end());
    std::string out;
    out.append(kSignaturePrefix).append(name).push_back(' ');
    out.append(base64_encode(blob)).push_back('\n');
    return out;
}

std::string verifier_key(std::string_view name, const PublicKey& key) {
    std::vector<std::uint8_t> typed{0x01};
    typed.insert(typed.end(), key.begin(), key.end());
    const KeyId id = key_id(name, key);
    std::string out(name);
    out.push_back('+');
    out.append(hex_encode(id)).push_back('+');
    out.append(base64_encode(typed));
    return out;
}

Result<TreeNote> parse_tree_note(std::string_view note) {
    if (!is_valid_utf8(note)) return refuse("not UTF-8");
    for (unsigned char c : note)
        if ((c < 0x20 && c != '\n') || c == 0x7f) return refuse("control character");
    const auto split = note.rfind("\n\n");
    if (split == std::string_view::npos) return refuse("no blank line before the signatures");
    TreeNote out;
    out.text = std::string(note.substr(0, split + 1));
    std::string_view sigs = note.substr(split + 2);

    std::vector<std::string_view> lines;
    for (std::string_view rest = out.text; !rest.empty();) {
        const auto end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest = rest.substr(end + 1);
    }
    if (lines.size() < 3) return refuse("it needs an origin, a tree size and a root hash");
    for (std::string_view line : lines)
        if (line.empty()) return refuse("empty text line");
    out.origin = std::string(lines[0]);
    const std::string_view size = lines[1];
    if (size.empty() || (size.size() > 1 && size[0] == '0') || size[0] < '0' || size[0] > '9')
        return refuse("tree size is not a decimal number");
    const auto read = std::from_chars(size.data(), size.data() + size.size(), out.size);
    if (read.ec != std::errc() || read.ptr != size.data() + size.size())
        return refuse("tree size is not a decimal number");
    auto root = base64_decode(lines[2]);
    if (!root || root->size() != 32) return refuse("root hash is not base64 of 32 bytes");
    std::memcpy(out.root.data(), root->data(), 32);

    if (sigs.empty() || !sigs.ends_with('\n')) return refuse("the signature block must end with a line break");
    for (std::string_view rest = sigs; !rest.empty();) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = rest.substr(end + 1);
        if (!line.starts_with(kSignaturePrefix)) return refuse("malformed signature line");
        line.remove_prefix(kSignaturePrefix.size());
        const auto space = line.rfind(' ');
        if (space == std::string_view::npos) return refuse("malformed signature line");
        NoteSignature signature;
        signature.name = std::string(line.substr(0, space));
        auto blob = base64_decode(line.substr(space + 1));
        if (!valid_name(signature.name) || !blob || blob->size() < 5) return refuse("malformed signature line");
        signature.blob = std::move(*blob);
        out.signatures.push_back(std::move(signature));
    }
    return out;
}

NoteVerdict check_tree_note(const TreeNote& note, const PublicKey& key, std::string_view key_hex) {
    const std::string trusted = lower(key_hex);
    auto origin = parse_origin(note.origin);
    if (!origin || origin->gate_key != trusted)
        return {NoteCheck::OriginMismatch, "Tree head origin '" + note.origin + "' does not name the gate key " +
                                               trusted, std::nullopt};
    const KeyId id = key_id(note.origin, key);
    bool signed_elsewhere = false;
    for (const NoteSignature& line : note.signatures) {
        if (line.name != note.origin) {
            if (std::memcmp(line.blob.data(), key_id(line.name, key).data(), 4) == 0) signed_elsewhere = true;
            continue;
        }
        if (std::memcmp(line.blob.data(), id.data(), 4) != 0) continue;
        Signature signature{};
        if (line.blob.size() != 4 + signature.size())
            return {NoteCheck::SignatureInvalid, "Tree head signature is mathematically invalid", origin};
        std::memcpy(signature.data(), line.blob.data() + 4, signature.size());
        const std::span<const std::uint8_t> message(reinterpret_cast<const std::uint8_t*>(note.text.data()),
                                                    note.text.size());
        if (!verify_raw(key, message, signature))
            return {NoteCheck::SignatureInvalid, "Tree head signature is mathematically invalid", origin};
        return {NoteCheck::Valid, "Tree head signature verified", origin};
    }
    if (signed_elsewhere)
        return {NoteCheck::OriginMismatch, "Tree head is signed by the gate key for another origin than '" +
                                               note.origin + "'", origin};
    return {NoteCheck::UntrustedSigner, "Tree head carries no signature by the trusted key " + trusted, origin};
}

}  // namespace orvane::log
