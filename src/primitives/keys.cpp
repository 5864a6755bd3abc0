#include "primitives/keys.hpp"

#include <sodium.h>

#include <algorithm>
#include <vector>
#include <list>
#include <string_view>
#include <unordered_map>

#include "primitives/digest.hpp"
#include "primitives/hex.hpp"
#include "primitives/json.hpp"
#include "primitives/key_files.hpp"
#include "primitives/utf8.hpp"

namespace orvane {
namespace {

bool sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The position just after the last token, as a record reader reports a
// missing member when it reaches the end of the object.
std::string end_position(std::string_view text) {
    std::size_t end = text.find_last_not_of(" \t\r\n");
    end = end == std::string_view::npos ? 0 : end + 1;
    std::size_t line = 1, column = 0;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') { ++line; column = 0; } else { ++column; }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace

// The table of answers kept across calls: entries are the exact input bytes
// of a valid check ("P" + public key, or "S" + public key + signature +
// message), most recently used first.
struct RememberedChecks::Table {
    explicit Table(std::size_t limit) : capacity(limit == 0 ? 1 : limit) {}

    bool contains(std::string_view entry) {
        auto found = index.find(entry);
        if (found == index.end()) return false;
        order.splice(order.begin(), order, found->second);
        return true;
    }

    void insert(std::string_view entry) {
        if (contains(entry)) return;
        if (order.size() >= capacity) {
            index.erase(std::string_view(order.back()));
            order.pop_back();
        }
        order.emplace_front(entry);
        index.emplace(std::string_view(order.front()), order.begin());
    }

    std::size_t capacity;
    std::list<std::string> order;  // list nodes never move: the index views stay valid
    std::unordered_map<std::string_view, std::list<std::string>::iterator> index;
};

RememberedChecks::RememberedChecks(std::size_t capacity) : table_(std::make_unique<Table>(capacity)) {}
RememberedChecks::RememberedChecks(RememberedChecks&&) noexcept = default;
RememberedChecks& RememberedChecks::operator=(RememberedChecks&&) noexcept = default;
RememberedChecks::~RememberedChecks() = default;
std::size_t RememberedChecks::size() const { return table_ ? table_->order.size() : 0; }

struct VerificationMemo {
    struct Point {
        PublicKey key;
        bool valid;
    };
    struct Check {
        PublicKey key;
        Signature signature;
        std::string message;
        bool valid;
    };
    std::vector<Point> points;
    std::vector<Check> checks;
    RememberedChecks::Table* kept = nullptr;  // the object's table, when the scope was given one
    std::string entry;                        // scratch for building its keys

    std::string_view point_entry(const PublicKey& key) {
        entry.assign(1, 'P');
        entry.append(reinterpret_cast<const char*>(key.data()), key.size());
        return entry;
    }
    std::string_view check_entry(const PublicKey& key, const Signature& signature, std::string_view message) {
        entry.assign(1, 'S');
        entry.append(reinterpret_cast<const char*>(key.data()), key.size());
        entry.append(reinterpret_cast<const char*>(signature.data()), signature.size());
        entry.append(message);
        return entry;
    }
    static RememberedChecks::Table* table_of(RememberedChecks* kept) {
        return kept != nullptr ? kept->table_.get() : nullptr;
    }
};

namespace {

// An operation checks a handful of distinct keys and signatures; the bounds
// only stop a long loop inside one scope from growing the memo without end.
constexpr std::size_t kMaxRemembered = 64;
constexpr std::size_t kMaxRememberedMessage = 4096;

thread_local VerificationMemo* active_memo = nullptr;

bool valid_point(const PublicKey& key) {
    VerificationMemo* memo = active_memo;
    if (memo != nullptr) {
        for (const auto& point : memo->points)
            if (point.key == key) return point.valid;
        if (memo->kept != nullptr && memo->kept->contains(memo->point_entry(key))) return true;
    }
    sodium_ready();
    const bool valid = crypto_core_ed25519_is_valid_point(key.data()) == 1;
    if (memo != nullptr) {
        if (memo->points.size() < kMaxRemembered) memo->points.push_back({key, valid});
        if (valid && memo->kept != nullptr) memo->kept->insert(memo->point_entry(key));
    }
    return valid;
}

}  // namespace

VerificationScope::VerificationScope(std::string_view known_valid_key) { open(nullptr, known_valid_key); }

VerificationScope::VerificationScope(RememberedChecks& kept, std::string_view known_valid_key) {
    open(&kept, known_valid_key);
}

void VerificationScope::open(RememberedChecks* kept, std::string_view known_valid_key) {
    if (active_memo == nullptr) {
        owned_ = std::make_unique<VerificationMemo>();
        active_memo = owned_.get();
        active_memo->kept = VerificationMemo::table_of(kept);
    } else if (active_memo->kept == nullptr && kept != nullptr) {
        active_memo->kept = VerificationMemo::table_of(kept);
        attached_kept_ = true;
    }
    PublicKey key{};
    bool right_size = false;
    if (!known_valid_key.empty() && hex_decode_into(known_valid_key, key, right_size) && right_size &&
        active_memo->points.size() < kMaxRemembered)
        active_memo->points.push_back({key, true});
}

VerificationScope::~VerificationScope() {
    if (owned_) active_memo = nullptr;
    else if (attached_kept_) active_memo->kept = nullptr;
}

KeyPair KeyPair::from_seed(std::span<const std::uint8_t, 32> seed) {
    sodium_ready();
    KeyPair key;
    crypto_sign_seed_keypair(key.public_key_.data(), key.secret_.data(), seed.data());
    return key;
}

KeyPair::KeyPair(KeyPair&& other) noexcept : secret_(other.secret_), public_key_(other.public_key_) {
    sodium_memzero(other.secret_.data(), other.secret_.size());
}

KeyPair& KeyPair::operator=(KeyPair&& other) noexcept {
    if (this != &other) {
        secret_ = other.secret_;
        public_key_ = other.public_key_;
        sodium_memzero(other.secret_.data(), other.secret_.size());
    }
    return *this;
}

KeyPair::~KeyPair() { sodium_memzero(secret_.data(), secret_.size()); }

std::string KeyPair::public_key_hex() const { return hex_encode(public_key_); }

std::span<const std::uint8_t, 32> KeyPair::seed() const {
    return std::span<const std::uint8_t, 32>(secret_.data(), 32);
}

Signature KeyPair::sign(std::span<const std::uint8_t> message) const {
    Signature sig{};
    crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(), secret_.data());
    return sig;
}

Signature KeyPair::sign(std::string_view message) const {
    return sign(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(message.data()),
                                              message.size()));
}

Signature sign_message(const KeyPair& key, std::span<const std::uint8_t> message) {
    return key.sign(message);
}

std::string key_file_text(const KeyPair& key) {
    std::string seed_hex = hex_encode(key.seed());
    std::string text = "{\n  \"public_key\": \"" + key.public_key_hex() + "\",\n  \"private_key\": \"" +
                       seed_hex + "\"\n}";
    sodium_memzero(seed_hex.data(), seed_hex.size());
    return text;
}

Result<std::string> gen_keys(const std::string& output) {
    if (!sodium_ready()) return fail("internal error: secure random source unavailable");
    std::array<std::uint8_t, 32> seed{};
    randombytes_buf(seed.data(), seed.size());
    KeyPair key = KeyPair::from_seed(seed);
    sodium_memzero(seed.data(), seed.size());
    std::string text = key_file_text(key);

    auto written = write_private_file(output, text);
    if (!written) {
        sodium_memzero(text.data(), text.size());
        return fail((written.error().creating ? "Error creating key file " : "Error writing key file ") + output +
                    ": " + written.error().reason);
    }
    return text;
}

Result<std::string> read_text_file(const std::string& path) {
    ORVANE_ASSIGN_OR_RETURN(auto content, read_regular_file(path));
    if (!is_valid_utf8(content)) {
        sodium_memzero(content.data(), content.size());
        return fail("stream did not contain valid UTF-8");
    }
    return content;
}

Result<KeyPair> key_pair_from_private_hex(std::string_view hex) {
    std::array<std::uint8_t, 32> seed{};
    bool right_size = false;
    ORVANE_TRY(hex_decode_into(hex, seed, right_size).with_context("Invalid private key hex: "));
    if (!right_size) return fail("Private key must be exactly 32 bytes");
    KeyPair key = KeyPair::from_seed(seed);
    sodium_memzero(seed.data(), seed.size());
    return key;
}

namespace {

// Counts the key members of the top-level object with nlohmann's SAX.
struct KeyMemberCounter : nlohmann::json_sax<Json> {
    int depth = 0, pub = 0, priv = 0;
    std::string duplicate;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { ++depth; return true; }
    bool key(string_t& k) override {
        if (depth == 1) {
            if (k == "public_key" && ++pub == 2 && duplicate.empty()) duplicate = k;
            if (k == "private_key" && ++priv == 2 && duplicate.empty()) duplicate = k;
        }
        return true;
    }
    bool end_object() override { --depth; return true; }
    bool start_array(std::size_t) override { ++depth; return true; }
    bool end_array() override { --depth; return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

// The first key member ("public_key" or "private_key") that the top-level
// object of `text` holds twice, or "".
std::string duplicate_key_member(const std::string& text) {
    KeyMemberCounter counter;
    Json::sax_parse(text, &counter);
    return counter.duplicate;
}

}  // namespace

Result<KeyPair> load_ledger_key(const std::string& path) {
    auto text = read_text_file(path);
    if (!text) return fail("Failed to read key file '" + path + "': " + text.error());
    // Read as a record of two required string members; duplicates are refused,
    // which the shared parser (last duplicate wins) cannot see, so members are
    // counted on a second, shallow pass over the top-level object.
    auto value = parse_json_unquoted(*text);
    if (!value) {
        sodium_memzero(text->data(), text->size());
        return fail("Failed to parse key file JSON: " + value.error());
    }
    std::string private_hex;
    auto parse_fail = [&](std::string reason) {
        sodium_memzero(text->data(), text->size());
        return fail("Failed to parse key file JSON: " + reason);
    };
    if (value->is_object()) {
        const std::string duplicate = duplicate_key_member(*text);
        const std::string position = end_position(*text);
        if (!duplicate.empty()) return parse_fail("duplicate field `" + duplicate + "`" + position);
        const std::string* pub = find_string(*value, "public_key");
        const std::string* priv = find_string(*value, "private_key");
        if (!find_member(*value, "public_key")) return parse_fail("missing field `public_key`" + position);
        if (!pub) return parse_fail("invalid type: expected a string for `public_key`" + position);
        if (!find_member(*value, "private_key")) return parse_fail("missing field `private_key`" + position);
        if (!priv) return parse_fail("invalid type: expected a string for `private_key`" + position);
        private_hex = *priv;
    } else if (value->is_array() && value->size() == 2 && (*value)[0].is_string() && (*value)[1].is_string()) {
        private_hex = (*value)[1].get<std::string>();
    } else {
        return parse_fail("invalid type: expected struct KeyPairConfig at line 1 column 1");
    }
    sodium_memzero(text->data(), text->size());
    auto key = key_pair_from_private_hex(private_hex);
    sodium_memzero(private_hex.data(), private_hex.size());
    return key;
}

Result<KeyPair> load_signing_key(const std::string& path) {
    auto text = read_text_file(path);
    if (!text) return fail("Failed to read key file '" + path + "': " + text.error());
    auto value = parse_json_unquoted(*text);
    sodium_memzero(text->data(), text->size());
    if (!value) return fail("Failed to parse key file '" + path + "': " + value.error());
    const std::string* priv = find_string(*value, "private_key");
    if (!priv) return fail("Key file '" + path + "' does not contain private_key");
    auto key = key_pair_from_private_hex(*priv);
    return key;
}

Result<PublicKey> parse_public_key(std::string_view hex) {
    PublicKey key{};
    bool right_size = false;
    ORVANE_TRY(hex_decode_into(hex, key, right_size).with_context("Invalid public key hex: "));
    if (!right_size) return fail("Public key must be exactly 32 bytes");
    if (!valid_point(key))
        return fail("Invalid Ed25519 public key: signature error: Cannot decompress Edwards point");
    return key;
}

bool verify_raw(const PublicKey& public_key, std::span<const std::uint8_t> message,
                const Signature& signature) {
    VerificationMemo* memo = active_memo;
    const bool remember = memo != nullptr && message.size() <= kMaxRememberedMessage;
    const bool keep = remember && memo->kept != nullptr && message.size() <= RememberedChecks::kMaxMessage;
    const std::string_view bytes(reinterpret_cast<const char*>(message.data()), message.size());
    if (remember) {
        for (const auto& check : memo->checks)
            if (check.key == public_key && check.signature == signature && check.message == bytes)
                return check.valid;
        if (keep && memo->kept->contains(memo->check_entry(public_key, signature, bytes))) return true;
    }
    sodium_ready();
    const bool valid = crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                                   public_key.data()) == 0;
    if (remember && memo->checks.size() < kMaxRemembered)
        memo->checks.push_back({public_key, signature, std::string(bytes), valid});
    if (keep && valid) memo->kept->insert(memo->check_entry(public_key, signature, bytes));
    return valid;
}

std::optional<Signature> parse_signature(std::string_view hex) {
    Signature signature{};
    bool right_size = false;
    if (!hex_decode_into(hex, signature, right_size) || !right_size) return std::nullopt;
    return signature;
}

bool verify_signature(std::string_view public_key_hex, std::span<const std::uint8_t> message,
                      std::string_view signature_hex) {
    auto key = parse_public_key(public_key_hex);
    if (!key) return false;
    const auto signature = parse_signature(signature_hex);
    return signature && verify_raw(*key, message, *signature);
}

bool verify_digest_signature(std::string_view public_key_hex, std::string_view digest_hex,
                             std::string_view signature_hex) {
    const auto digest = parse_digest(digest_hex);
    return digest && verify_signature(public_key_hex, *digest, signature_hex);
}

std::string signature_hex(const Signature& signature) { return hex_encode(signature); }

}  // namespace orvane
