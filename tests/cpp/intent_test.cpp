// Action intent contract: validation order and messages, identifiers, money.
#include <gtest/gtest.h>

#include <string>

#include "authorization/intent.hpp"
#include "primitives/json.hpp"

namespace orvane {
namespace {

const std::string kAgent(64, 'a');

Json base_intent() {
    return Json{{"schema_version", "orvane.action-intent.v1"},
                {"tenant_id", "acme"},
                {"agent_id", kAgent},
                {"idempotency_key", "key-1"},
                {"action_type", "deploy"},
                {"resource", "svc/api"},
                {"requested_at", 1700000000000000ULL}};
}

Json parsed(std::string_view text) {
    auto value = parse_json(text);
    EXPECT_TRUE(value.has_value()) << (value ? "" : value.error());
    return value ? *value : Json();
}

std::string error_of(const Json& intent, std::string_view agent = kAgent) {
    auto result = validate_intent_contract(intent, agent);
    return result ? std::string("<accepted>") : result.error();
}

TEST(IntentContract, AcceptsAValidIntentAndKeepsStringsUntrimmed) {
    Json intent = base_intent();
    intent["tenant_id"] = " acme ";
    intent["extra"] = {1, 2};
    intent["money"] = nullptr;
    auto result = validate_intent_contract(intent, kAgent);
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->tenant_id, " acme ");
    EXPECT_EQ(result->agent_id, kAgent);
    EXPECT_EQ(result->idempotency_key, "key-1");
    EXPECT_EQ(result->requested_at, 1700000000000000ULL);
}

TEST(IntentContract, RefusesNonObjectsBeforeAnyOtherCheck) {
    EXPECT_EQ(error_of(parsed("[]")), "ORVANE_INVALID_CONTRACT: action intent must be a JSON object");
    EXPECT_EQ(error_of(parsed("\"x\"")), "ORVANE_INVALID_CONTRACT: action intent must be a JSON object");
}

TEST(IntentContract, ReportsTheFirstFaultInOrder) {
    Json intent = base_intent();
    intent["schema_version"] = "   ";
    intent.erase("tenant_id");
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: 'schema_version' must be a non-empty string");
    intent["schema_version"] = "orvane.action-intent.v2";
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: schema_version must be 'orvane.action-intent.v1'");
    intent["schema_version"] = "orvane.action-intent.v1";
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: 'tenant_id' must be a non-empty string");
    intent["tenant_id"] = "acme";
    intent["agent_id"] = 7;
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: 'agent_id' must be a non-empty string");
}

TEST(IntentContract, NamesEachRequiredStringMember) {
    for (const char* member : {"schema_version", "tenant_id", "agent_id", "idempotency_key",
                               "action_type", "resource"}) {
        Json intent = base_intent();
        intent.erase(member);
        EXPECT_EQ(error_of(intent),
                  std::string("ORVANE_INVALID_CONTRACT: '") + member + "' must be a non-empty string");
    }
}

TEST(IntentContract, BlankMeansUnicodeWhitespaceOnly) {
    Json intent = base_intent();
    intent["resource"] = "\t\u00a0\u3000\u2028 ";
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: 'resource' must be a non-empty string");
    intent["resource"] = "\u00a0x";
    EXPECT_EQ(error_of(intent), "<accepted>");
    intent["resource"] = "";
    EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: 'resource' must be a non-empty string");
}

// The action id joins these members with zero bytes; elsewhere a NUL is text.
TEST(IntentContract, ZeroBytesAreRefusedOnlyWhereTheActionIdJoinsMembers) {
    using namespace std::string_literals;
    for (const char* member : {"tenant_id", "idempotency_key"}) {
        Json intent = base_intent();
        intent[member] = "a\0b"s;
        EXPECT_EQ(error_of(intent),
                  std::string("ORVANE_INVALID_CONTRACT: '") + member + "' must not contain NUL characters");
    }
    Json intent = base_intent();
    intent["resource"] = "a\0b"s;
    EXPECT_EQ(error_of(intent), "<accepted>");
}

TEST(IntentContract, AgentIdMustMatchTheSigningKeyExactly) {
    const std::string mismatch = "ORVANE_AGENT_ID_MISMATCH: intent agent_id does not match the signing key";
    Json intent = base_intent();
    EXPECT_EQ(error_of(intent, std::string(64, 'A')), mismatch);
    EXPECT_EQ(error_of(intent, std::string(63, 'a')), mismatch);
    // The mismatch is reported before later members are looked at.
    intent.erase("resource");
    EXPECT_EQ(error_of(intent, "b"), mismatch);
}

TEST(IntentContract, RequestedAtMustBeAnUnsignedInteger) {
    const std::string message = "ORVANE_INVALID_CONTRACT: 'requested_at' must be an unsigned integer";
    for (const char* text : {"1.0", "-1", "\"1700000000000000\"", "18446744073709551616", "1e3", "null"}) {
        Json intent = base_intent();
        intent["requested_at"] = parsed(text);
        EXPECT_EQ(error_of(intent), message) << text;
    }
    Json intent = base_intent();
    intent.erase("requested_at");
    EXPECT_EQ(error_of(intent), message);
    intent["requested_at"] = parsed("0");
    EXPECT_EQ(error_of(intent), "<accepted>");
    intent["requested_at"] = parsed("18446744073709551615");
    auto result = validate_intent_contract(intent, kAgent);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->requested_at, 18446744073709551615ULL);
}

TEST(IntentContract, MoneyMustBeAnObjectOrNull) {
    for (const char* text : {"false", "0", "\"x\"", "[]"}) {
        Json intent = base_intent();
        intent["money"] = parsed(text);
        EXPECT_EQ(error_of(intent), "ORVANE_INVALID_CONTRACT: money must be an object or null") << text;
    }
    Json intent = base_intent();
    intent["money"] = Json::object();  // contents are checked only by policy evaluation
    EXPECT_EQ(error_of(intent), "<accepted>");
}

TEST(IntentIdentifiers, ActionIdIsTheDomainSeparatedDigest) {
    // SHA-256 of "orvane.action.v1\0acme\0<agent>\0key-1", computed independently.
    std::string ab;
    for (int i = 0; i < 32; ++i) ab += "ab";
    EXPECT_EQ(derive_action_id("acme", ab, "key-1"),
              "f57769f15bdb3bc71e6be0a2f5e7147cf9a71d2cf36ab57a4f93ba5c39ffc5ab");
    // The separators keep the fields apart.
    EXPECT_NE(derive_action_id("ab", "c", "d"), derive_action_id("a", "bc", "d"));
    // Untrimmed values are distinct tenants.
    EXPECT_NE(derive_action_id(" acme ", ab, "key-1"), derive_action_id("acme", ab, "key-1"));
}

TEST(IntentIdentifiers, HashFollowsCanonicalBytesAndActionIdIgnoresOtherMembers) {
    auto first = parse_json_field("intent", R"({"b": 1, "a": [1, 2]})");
    auto second = parse_json_field("intent", R"({"a":[1,2],"b":1})");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->canonical, second->canonical);
    EXPECT_EQ(intent_hash(first->canonical), intent_hash(second->canonical));
    EXPECT_EQ(intent_hash(R"({"a":1})"), "015abd7f5cc57a2dd94b7590f04ad8084273905ee33ec5cebeae62276a97f862");

    Json one = base_intent();
    Json other = base_intent();
    other["resource"] = "svc/db";
    EXPECT_NE(intent_hash(canonical_json(one)), intent_hash(canonical_json(other)));
    auto a = validate_intent_contract(one, kAgent);
    auto b = validate_intent_contract(other, kAgent);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(derive_action_id(a->tenant_id, a->agent_id, a->idempotency_key),
              derive_action_id(b->tenant_id, b->agent_id, b->idempotency_key));
}

Result<MoneyTerms> money_of(std::string_view text) { return resolve_money(parsed(text)); }

std::string money_error(std::string_view text) {
    auto result = money_of(text);
    return result ? "<resolved " + std::to_string(result->amount_minor) + ">" : result.error();
}

TEST(Money, AmountStringsConvertToMinorUnits) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"12", 1200}, {"12.5", 1250}, {"12.05", 1205}, {"12.", 1200},
        {"0.07", 7},  {"007.10", 710}, {"184467440737095516", 18446744073709551600ULL},
        {"184467440737095516.15", 18446744073709551615ULL},
    };
    for (const auto& [amount, minor] : cases) {
        auto result = money_of(std::string(R"({"asset":"USD","amount":")") + amount + "\"}");
        ASSERT_TRUE(result) << amount << ": " << result.error();
        EXPECT_EQ(result->amount_minor, minor) << amount;
        EXPECT_EQ(result->asset, "USD");
    }
}

TEST(Money, MalformedAmountStringsAreRefused) {
    const std::string format =
        "ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two fractional digits";
    for (const char* amount : {".5", "", "1.234", "1.2.3", "+1", "-1", " 1", "1e2", "1,5", "1.x", "1 "}) {
        EXPECT_EQ(money_error(std::string(R"({"asset":"USD","amount":")") + amount + "\"}"), format) << amount;
    }
    const std::string too_large = "ORVANE_INVALID_CONTRACT: money.amount is too large";
    for (const char* amount : {"18446744073709551615", "184467440737095516.16", "99999999999999999999999",
                               "184467440737095517"}) {
        EXPECT_EQ(money_error(std::string(R"({"asset":"USD","amount":")") + amount + "\"}"), too_large) << amount;
    }
}

TEST(Money, AmountMinorWinsWhenItIsAnUnsignedInteger) {
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":250,"amount":"abc"})"), "<resolved 250>");
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":-5,"amount":"1.5"})"), "<resolved 150>");
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":"250","amount":"2"})"), "<resolved 200>");
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":2.5,"amount":"3"})"), "<resolved 300>");
    const std::string decimal = "ORVANE_INVALID_CONTRACT: money.amount must be a decimal string";
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":-5})"), decimal);
    EXPECT_EQ(money_error(R"({"asset":"USD","amount_minor":"250"})"), decimal);
    EXPECT_EQ(money_error(R"({"asset":"USD","amount":12})"), decimal);
    EXPECT_EQ(money_error(R"({"asset":"USD"})"), decimal);
}

TEST(Money, AssetRules) {
    const std::string required = "ORVANE_INVALID_CONTRACT: money.asset is required";
    EXPECT_EQ(money_error(R"({"currency":5,"asset":"USD","amount":"1"})"), required);
    EXPECT_EQ(money_error(R"({"amount":"1"})"), required);
    EXPECT_EQ(money_error(R"({"asset":null,"amount":"1"})"), required);
    EXPECT_EQ(money_error("[]"), required);
    // The asset is read before the amount.
    EXPECT_EQ(money_error(R"({"amount":"bad"})"), required);

    auto both = money_of(R"({"currency":"EUR","asset":"USD","amount_minor":1})");
    ASSERT_TRUE(both);
    EXPECT_EQ(both->asset, "EUR");
    auto empty = money_of(R"({"asset":"","amount_minor":1})");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->asset, "");
}

}  // namespace
}  // namespace orvane
