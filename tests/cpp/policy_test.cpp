// Policy content checks, bundle verification, pattern matching and evaluation.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>

#include "policy/policy_evaluation.hpp"
#include "policy_test_support.hpp"
#include "primitives/digest.hpp"
#include "primitives/hex.hpp"

namespace orvane {
namespace {

using testing_support::policy_spec;
using testing_support::SeedSigner;
using testing_support::signed_bundle;

Json parsed(std::string_view text) {
    auto value = parse_json(text);
    EXPECT_TRUE(value.has_value()) << (value ? "" : value.error());
    return value ? *value : Json();
}

std::string content_error(const Json& document) {
    auto status = validate_policy_content(document);
    return status ? "<valid>" : status.error();
}

TEST(PolicyContent, SchemaVersionAndIdentity) {
    EXPECT_EQ(content_error(parsed("[]")), "ORVANE_POLICY_SCHEMA_UNKNOWN");
    Json spec = policy_spec();
    spec["schema_version"] = "orvane.policy-bundle.v2";
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_SCHEMA_UNKNOWN");
    spec = policy_spec();
    spec["policy_version"] = " \t";
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: 'policy_version' is required");
    spec = policy_spec();
    spec.erase("tenant_id");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: 'tenant_id' is required");
    spec = policy_spec();
    spec["constraints"] = Json::array();
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: constraints must be an object");
    spec.erase("constraints");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: constraints must be an object");
    EXPECT_EQ(content_error(policy_spec()), "<valid>");
}

TEST(PolicyContent, UnknownConstraintKeysComeFirstInByteOrder) {
    Json spec = policy_spec();
    spec["constraints"] = Json{{"note", 1}};
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_CONSTRAINT_UNKNOWN: 'note'");
    spec["constraints"]["Zeta"] = 1;
    spec["constraints"]["max_ttl_seconds"] = 1;
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_CONSTRAINT_UNKNOWN: 'Zeta'");
}

TEST(PolicyContent, RequiredPatternListsInOrder) {
    for (const char* key : {"allowed_action_types", "allowed_resources", "allowed_executors"}) {
        Json spec = policy_spec();
        spec["constraints"].erase(key);
        EXPECT_EQ(content_error(spec), std::string("ORVANE_POLICY_INVALID: ") + key + " must be an array");
        spec["constraints"][key] = Json::array();
        EXPECT_EQ(content_error(spec), std::string("ORVANE_POLICY_INVALID: ") + key + " must not be empty");
        spec["constraints"][key] = Json::array({"x", ""});
        EXPECT_EQ(content_error(spec), std::string("ORVANE_POLICY_INVALID: ") + key + " entries must be strings");
        spec["constraints"][key] = Json::array({"   "});  // entries are not trimmed
        EXPECT_EQ(content_error(spec), "<valid>");
    }
    Json spec = policy_spec();
    spec["constraints"].erase("allowed_resources");
    spec["constraints"].erase("allowed_executors");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: allowed_resources must be an array");
}

TEST(PolicyContent, NumericBounds) {
    const std::pair<const char*, const char*> ttl[] = {
        {"0", "ORVANE_POLICY_INVALID: max_ttl_seconds must be 1..86400"},
        {"86401", "ORVANE_POLICY_INVALID: max_ttl_seconds must be 1..86400"},
        {"86400", "<valid>"},
        {"1", "<valid>"},
        {"30.0", "ORVANE_POLICY_INVALID: max_ttl_seconds is required"},
        {"-1", "ORVANE_POLICY_INVALID: max_ttl_seconds is required"},
    };
    for (const auto& [value, expected] : ttl) {
        Json spec = policy_spec();
        spec["constraints"]["max_ttl_seconds"] = parsed(value);
        EXPECT_EQ(content_error(spec), expected) << value;
    }
    const std::pair<const char*, const char*> input[] = {
        {"10000000", "<valid>"},
        {"10000001", "ORVANE_POLICY_INVALID: max_input_bytes must be 1..10000000"},
        {"0", "ORVANE_POLICY_INVALID: max_input_bytes must be 1..10000000"},
        {"\"5\"", "ORVANE_POLICY_INVALID: max_input_bytes is required"},
    };
    for (const auto& [value, expected] : input) {
        Json spec = policy_spec();
        spec["constraints"]["max_input_bytes"] = parsed(value);
        EXPECT_EQ(content_error(spec), expected) << value;
    }
    Json spec = policy_spec();
    spec["constraints"].erase("max_ttl_seconds");
    spec["constraints"].erase("max_input_bytes");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: max_ttl_seconds is required");
}

TEST(PolicyContent, OptionalMoneyConstraints) {
    Json spec = policy_spec();
    EXPECT_EQ(content_error(spec), "<valid>");
    spec["constraints"]["allowed_currencies"] = Json::array();
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: allowed_currencies must not be empty");
    spec["constraints"]["allowed_currencies"] = parsed(R"(["USD", 5])");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: allowed_currencies entries must be strings");
    spec["constraints"]["allowed_currencies"] = "USD";
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: allowed_currencies must be an array");
    spec["constraints"]["allowed_currencies"] = Json::array({"USD"});
    spec["constraints"]["allowed_beneficiaries"] = Json::array();
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: allowed_beneficiaries must not be empty");
    spec["constraints"]["allowed_beneficiaries"] = Json::array({"acct:*"});
    spec["constraints"]["max_money_amount_minor"] = parsed("-1");
    EXPECT_EQ(content_error(spec), "ORVANE_POLICY_INVALID: max_money_amount_minor must be an unsigned integer");
    spec["constraints"]["max_money_amount_minor"] = parsed("0");
    EXPECT_EQ(content_error(spec), "<valid>");
}

std::string verify_error(const Json& bundle, std::optional<std::string_view> key = std::nullopt) {
    auto status = verify_policy_bundle(bundle, key);
    return status ? "<verified>" : status.error();
}

TEST(PolicyBundle, BuiltBundleVerifiesAndCarriesTheSigner) {
    SeedSigner signer(7);
    Json bundle = signed_bundle(signer, policy_spec());
    EXPECT_EQ(verify_error(bundle), "<verified>");
    EXPECT_EQ(verify_error(bundle, signer.identity().public_key), "<verified>");
    EXPECT_EQ(bundle["signer"]["public_key"], signer.identity().public_key);
    EXPECT_EQ(bundle["issued_at"], 1700000000000000ULL);
    Json body = bundle;
    body.erase("policy_digest");
    body.erase("signature");
    EXPECT_EQ(bundle["policy_digest"], sha256_hex(canonical_json(body)));

    // Listing annotations are outside the digest.
    bundle["status"] = "RETIRED";
    bundle["retired_at"] = 5;
    EXPECT_EQ(verify_error(bundle, signer.identity().public_key), "<verified>");
}

TEST(PolicyBundle, OnlyTheUsedSpecMembersReachTheBundle) {
    SeedSigner signer(7);
    Json spec = policy_spec();
    spec["comment"] = "ignored";
    Json bundle = signed_bundle(signer, spec);
    EXPECT_EQ(bundle.count("comment"), 0u);
}

TEST(PolicyBundle, AWrongSignatureFromTheSignerIsCaught) {
    SeedSigner faulty(7, true);
    auto bundle = build_policy_bundle(faulty, policy_spec(), 1);
    ASSERT_FALSE(bundle);
    EXPECT_EQ(bundle.error(), "ORVANE_POLICY_SIGNATURE_INVALID");
}

TEST(PolicyBundle, VerificationOrder) {
    SeedSigner signer(7);
    SeedSigner other(8);
    const Json good = signed_bundle(signer, policy_spec());

    Json b = good;
    b["schema_version"] = 1;
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_SCHEMA_UNKNOWN");
    b = good;
    b.erase("policy_digest");
    b.erase("signer");
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_INVALID: 'policy_digest' is required");
    b = good;
    b["signature"] = "";
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_INVALID: 'signature' is required");
    b = good;
    b.erase("signer");
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_SIGNER_MISSING");
    b["signer"] = "x";
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_INVALID: 'signer_uri' is required");
    for (const char* member : {"signer_uri", "key_version", "algorithm", "public_key"}) {
        b = good;
        b["signer"].erase(member);
        EXPECT_EQ(verify_error(b), std::string("ORVANE_POLICY_INVALID: '") + member + "' is required");
    }
    EXPECT_EQ(verify_error(good, other.identity().public_key), "ORVANE_POLICY_SIGNER_UNTRUSTED");
    std::string upper = signer.identity().public_key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(verify_error(good, upper), "ORVANE_POLICY_SIGNER_UNTRUSTED");
    b = good;
    b["signer"]["algorithm"] = "ed25519";
    EXPECT_EQ(verify_error(b, signer.identity().public_key), "ORVANE_POLICY_SIGNER_UNKNOWN");

    b = good;
    b["constraints"]["allowed_resources"] = Json::array({"*"});
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_DIGEST_MISMATCH");
    b = good;
    b["signer"]["key_version"] = "2";
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_DIGEST_MISMATCH");
    b = good;
    std::string signature = b["signature"];
    signature[0] = signature[0] == '0' ? '1' : '0';
    b["signature"] = signature;
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_SIGNATURE_INVALID");
    b["signature"] = "zz";
    EXPECT_EQ(verify_error(b), "ORVANE_POLICY_SIGNATURE_INVALID");

    // A bundle signed over broken content verifies its proof, then fails on content.
    Json body = good;
    body.erase("policy_digest");
    body.erase("signature");
    body["constraints"]["max_ttl_seconds"] = 0;
    const std::string digest = canonical_digest(body);
    auto raw = hex_decode(digest);
    ASSERT_TRUE(raw);
    body["policy_digest"] = digest;
    body["signature"] = *signer.sign(*raw);
    EXPECT_EQ(verify_error(body), "ORVANE_POLICY_INVALID: max_ttl_seconds must be 1..86400");
}

std::string match(const char* patterns, std::string_view candidate) {
    Json list = parsed(patterns);
    auto result = match_patterns(&list, candidate);
    return result ? (*result ? "yes" : "no") : result.error();
}

TEST(PolicyPatterns, WildcardPrefixAndExact) {
    EXPECT_EQ(match(R"(["db/*"])", "db/"), "yes");
    EXPECT_EQ(match(R"(["db/*"])", "db/users"), "yes");
    EXPECT_EQ(match(R"(["db/*"])", "db"), "no");
    EXPECT_EQ(match(R"(["*x"])", "*x"), "yes");
    EXPECT_EQ(match(R"(["*x"])", "ax"), "no");
    EXPECT_EQ(match(R"(["a*"])", "a"), "yes");
    EXPECT_EQ(match(R"(["a*b"])", "axb"), "no");
    EXPECT_EQ(match(R"(["Read"])", "read"), "no");
    EXPECT_EQ(match(R"(["x", "*"])", "anything"), "yes");
    EXPECT_EQ(match(R"(["x"])", ""), "no");
}

TEST(PolicyPatterns, MalformedListsAreErrors) {
    EXPECT_EQ(match_patterns(nullptr, "x").error(), "ORVANE_POLICY_INVALID: pattern list must be an array");
    EXPECT_EQ(match("{}", "x"), "ORVANE_POLICY_INVALID: pattern list must be an array");
    EXPECT_EQ(match("[]", "x"), "ORVANE_POLICY_INVALID: pattern list must not be empty");
    EXPECT_EQ(match(R"(["x", 1])", "x"), "ORVANE_POLICY_INVALID: pattern list entries must be strings");
}

class PolicyEvaluationTest : public ::testing::Test {
protected:
    Json intent(std::string action = "deploy.prod", std::string resource = "db/users") const {
        return Json{{"schema_version", "orvane.action-intent.v1"},
                    {"tenant_id", "acme"},
                    {"agent_id", std::string(64, 'a')},
                    {"idempotency_key", "k"},
                    {"action_type", std::move(action)},
                    {"resource", std::move(resource)},
                    {"requested_at", 1}};
    }
    Json bundle_with(const std::function<void(Json&)>& edit) const {
        Json spec = policy_spec();
        edit(spec["constraints"]);
        return signed_bundle(signer_, spec);
    }
    static std::vector<std::string> codes(const Json& bundle, const Json& intent, std::uint64_t ttl = 60) {
        auto result = evaluate_policy(bundle, intent, ttl);
        if (!result) return {"error: " + result.error()};
        return result->reason_codes;
    }
    using Codes = std::vector<std::string>;

    SeedSigner signer_{7};
    Json bundle_ = signed_bundle(signer_, policy_spec());
};

TEST_F(PolicyEvaluationTest, AllowedIntent) {
    auto result = evaluate_policy(bundle_, intent(), 300);
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->decision, "ALLOWED");
    EXPECT_EQ(result->reason_codes, Codes{"POLICY_ALLOWED"});
    EXPECT_EQ(canonical_json(result->executor_constraints), R"({"allowed_executors":["*"]})");
}

TEST_F(PolicyEvaluationTest, CollectsEveryDenialInOrder) {
    auto result = evaluate_policy(bundle_, intent("delete", "fs/x"), 301);
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->decision, "BLOCKED");
    EXPECT_EQ(result->reason_codes, (Codes{"POLICY_ACTION_DENIED", "POLICY_RESOURCE_DENIED", "POLICY_TTL_DENIED"}));

    Json everything = intent("delete", "fs/x");
    everything["tenant_id"] = "ACME";
    everything["input"] = Json{{"big", std::string(2000, 'x')}, {"ratio", 0.5}};
    everything["money"] = parsed(R"({"asset":"USD","amount":"1"})");
    Json capped = bundle_with([](Json& c) { c["max_money_amount_minor"] = 50; });
    EXPECT_EQ(codes(capped, everything, 301),
              (Codes{"POLICY_TENANT_DENIED", "POLICY_ACTION_DENIED", "POLICY_RESOURCE_DENIED", "POLICY_TTL_DENIED",
                     "POLICY_NON_DETERMINISTIC_INPUT", "POLICY_INPUT_TOO_LARGE", "POLICY_MONEY_DENIED"}));
}

TEST_F(PolicyEvaluationTest, TenantRule) {
    Json other = intent();
    other["tenant_id"] = "ACME";
    EXPECT_EQ(codes(bundle_, other), Codes{"POLICY_TENANT_DENIED"});
    Json wildcard_spec = policy_spec("any.v1", "*");
    Json wildcard = signed_bundle(signer_, wildcard_spec);
    EXPECT_EQ(codes(wildcard, other), Codes{"POLICY_ALLOWED"});
    other.erase("tenant_id");
    EXPECT_EQ(codes(bundle_, other), Codes{"error: ORVANE_POLICY_INVALID: 'tenant_id' is required"});
}

TEST_F(PolicyEvaluationTest, MalformedInputsAreErrors) {
    Json no_action = intent();
    no_action["action_type"] = " ";
    EXPECT_EQ(codes(bundle_, no_action), Codes{"error: ORVANE_POLICY_INVALID: 'action_type' is required"});
    Json no_resource = intent();
    no_resource.erase("resource");
    EXPECT_EQ(codes(bundle_, no_resource), Codes{"error: ORVANE_POLICY_INVALID: 'resource' is required"});
    Json tampered = bundle_;
    tampered["tenant_id"] = "*";
    EXPECT_EQ(codes(tampered, intent()), Codes{"error: ORVANE_POLICY_DIGEST_MISMATCH"});
}

TEST_F(PolicyEvaluationTest, TtlBoundIsInclusive) {
    EXPECT_EQ(codes(bundle_, intent(), 300), Codes{"POLICY_ALLOWED"});
    EXPECT_EQ(codes(bundle_, intent(), 301), Codes{"POLICY_TTL_DENIED"});
}

TEST_F(PolicyEvaluationTest, InputDeterminism) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"a":1.5})", true},
        {R"([18446744073709551615])", true},
        {R"({"a":{"b":[1,{"c":1e3}]}})", true},
        {"-0", true},
        {R"({"a":-5,"b":9223372036854775807,"c":-9223372036854775808})", false},
        {R"({"s":"1.5","t":true,"n":null})", false},
    };
    for (const auto& [input, denied] : cases) {
        Json with_input = intent();
        with_input["input"] = parsed(input);
        EXPECT_EQ(codes(bundle_, with_input),
                  denied ? Codes{"POLICY_NON_DETERMINISTIC_INPUT"} : Codes{"POLICY_ALLOWED"})
            << input;
    }
}

TEST_F(PolicyEvaluationTest, InputSizeUsesCanonicalBytes) {
    Json tiny = bundle_with([](Json& c) { c["max_input_bytes"] = 2; });
    EXPECT_EQ(codes(tiny, intent()), Codes{"POLICY_ALLOWED"});  // absent input is "{}"
    Json null_input = intent();
    null_input["input"] = nullptr;
    EXPECT_EQ(codes(tiny, null_input), Codes{"POLICY_INPUT_TOO_LARGE"});
    Json spaced = intent();
    spaced["input"] = parsed(R"({ "b" : 1 ,  "a" : [ ] })");  // canonical {"a":[],"b":1} is 14 bytes
    Json fourteen = bundle_with([](Json& c) { c["max_input_bytes"] = 14; });
    Json thirteen = bundle_with([](Json& c) { c["max_input_bytes"] = 13; });
    EXPECT_EQ(codes(fourteen, spaced), Codes{"POLICY_ALLOWED"});
    EXPECT_EQ(codes(thirteen, spaced), Codes{"POLICY_INPUT_TOO_LARGE"});
}

TEST_F(PolicyEvaluationTest, MoneyConstraints) {
    Json money_bundle = bundle_with([](Json& c) {
        c["allowed_currencies"] = Json::array({"USD", "EU*"});
        c["allowed_beneficiaries"] = Json::array({"acct:1"});
        c["max_money_amount_minor"] = 1000;
    });
    auto with_money = [&](const char* money) {
        Json i = intent();
        i["money"] = parsed(money);
        return codes(money_bundle, i);
    };
    EXPECT_EQ(with_money(R"({"asset":"USD","amount":"10.00","beneficiary":"acct:1"})"), Codes{"POLICY_ALLOWED"});
    EXPECT_EQ(with_money(R"({"currency":"EUR","amount_minor":1000,"beneficiary":"acct:1"})"), Codes{"POLICY_ALLOWED"});
    EXPECT_EQ(with_money(R"({"asset":"USD","amount":"10.01","beneficiary":"acct:1"})"), Codes{"POLICY_MONEY_DENIED"});
    EXPECT_EQ(with_money(R"({"asset":"USD","amount":"1","beneficiary":"acct:2"})"), Codes{"POLICY_MONEY_DENIED"});
    // A currency outside the list is denied before the beneficiary is looked at.
    EXPECT_EQ(with_money(R"({"asset":"GBP","amount":"1"})"), Codes{"POLICY_MONEY_DENIED"});
    EXPECT_EQ(with_money(R"({"asset":"USD","amount":"1"})"),
              Codes{"error: ORVANE_INVALID_CONTRACT: money.beneficiary is required when allowed_beneficiaries is constrained"});
    EXPECT_EQ(with_money(R"({"asset":"USD","amount":"1","beneficiary":7})"),
              Codes{"error: ORVANE_INVALID_CONTRACT: money.beneficiary is required when allowed_beneficiaries is constrained"});

    // A malformed amount fails even when the policy does not constrain money.
    Json i = intent();
    i["money"] = parsed(R"({"asset":"USD","amount":"1.234"})");
    EXPECT_EQ(codes(bundle_, i),
              Codes{"error: ORVANE_INVALID_CONTRACT: money.amount must be an unsigned decimal with at most two fractional digits"});
    i["money"] = nullptr;
    EXPECT_EQ(codes(bundle_, i), Codes{"POLICY_ALLOWED"});
}

TEST_F(PolicyEvaluationTest, EvidenceBindsIntentBundleAndTtl) {
    Json first = intent();
    first["input"] = parsed(R"({"b":2,"a":1})");
    auto one = evaluate_policy(bundle_, first, 60);
    auto two = evaluate_policy(bundle_, parsed(canonical_json(first)), 60);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->evidence_digest, two->evidence_digest);

    const Json evidence = {{"schema_version", "orvane.policy-evidence.v1"},
                           {"policy_digest", bundle_["policy_digest"]},
                           {"intent", first},
                           {"ttl_seconds", 60}};
    EXPECT_EQ(one->evidence_digest, sha256_hex(canonical_json(evidence)));

    Json unread = first;
    unread["note"] = "no rule reads this";
    EXPECT_NE(evaluate_policy(bundle_, unread, 60)->evidence_digest, one->evidence_digest);
    EXPECT_NE(evaluate_policy(bundle_, first, 61)->evidence_digest, one->evidence_digest);
    Json other_bundle = signed_bundle(signer_, policy_spec(), 1700000000000001ULL);
    EXPECT_NE(evaluate_policy(other_bundle, first, 60)->evidence_digest, one->evidence_digest);
}

TEST_F(PolicyEvaluationTest, VerifiedEvaluationMatchesTheFullOne) {
    Json i = intent("delete");
    auto full = evaluate_policy(bundle_, i, 60);
    auto fast = evaluate_verified_policy(bundle_, i, 60);
    ASSERT_TRUE(full && fast);
    EXPECT_EQ(full->reason_codes, fast->reason_codes);
    EXPECT_EQ(full->evidence_digest, fast->evidence_digest);
    EXPECT_EQ(full->decision, fast->decision);
}

}  // namespace
}  // namespace orvane
