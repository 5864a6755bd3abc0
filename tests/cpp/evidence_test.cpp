// Evidence files without a gate: the container's shape, and the tree heads of
// the logs, each judged by its own check.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "evidence/evidence_log.hpp"
#include "evidence/evidence_verify.hpp"
#include "log/merkle.hpp"
#include "log/note.hpp"
#include "primitives/keys.hpp"

namespace orvane::evidence {
namespace {

using Codes = std::vector<std::string>;

KeyPair key(std::uint8_t fill) {
    std::array<std::uint8_t, 32> seed{};
    seed.fill(fill);
    return KeyPair::from_seed(seed);
}

// A head of `tenant`'s log of one leaf, signed under `name` by `signer`.
std::string head(const KeyPair& signer, std::string_view tenant, std::string_view name = {}) {
    const std::string origin = log::log_origin(signer.public_key_hex(), tenant);
    const std::string text = log::checkpoint_text(origin, 1, log::empty_root());
    const std::string key_name = name.empty() ? origin : std::string(name);
    return text + "\n" + log::signature_line(key_name, log::key_id(key_name, signer.public_key()), signer.sign(text));
}

Json file_with_logs(Json logs) {
    return Json{{"schema_version", "orvane.evidence.v1"}, {"action_id", "a"}, {"authorization", Json::object()},
                {"execution", nullptr}, {"policy_attestation", nullptr}, {"registrations", Json::array()},
                {"lifecycle_events", Json::array()}, {"logs", std::move(logs)}};
}

Json log_of(std::string_view tenant, std::optional<std::string> note) {
    Json log{{"tenant_id", tenant}, {"entries", Json::array()}};
    if (note) log["tree_head"] = *note;
    return log;
}

TEST(EvidenceStructure, NamesWhatIsWrongAndLeavesDocumentsToTheChecks) {
    EXPECT_TRUE(check_structure(file_with_logs(Json::array())));
    auto refused = [](Json file) {
        auto checked = check_structure(file);
        return checked ? std::string() : checked.error();
    };
    EXPECT_EQ(refused(Json::array()), "ORVANE_EVIDENCE_MALFORMED: evidence must be a JSON object");
    Json file = file_with_logs(Json::array());
    file.erase("policy_attestation");
    EXPECT_EQ(refused(file), "ORVANE_EVIDENCE_MALFORMED: policy_attestation must be an object or null");
    Json numbered = log_of("acme", std::nullopt);
    numbered["tree_head"] = 1;
    EXPECT_EQ(refused(file_with_logs(Json::array({numbered}))),
              "ORVANE_EVIDENCE_MALFORMED: logs[].tree_head must be a string");
    Json entry_log = log_of("acme", std::nullopt);
    entry_log["entries"].push_back({{"event", Json::object()}, {"inclusion_proof", "x"}});
    EXPECT_EQ(refused(file_with_logs(Json::array({entry_log}))),
              "ORVANE_EVIDENCE_MALFORMED: logs[].entries[].inclusion_proof must be an object");
    // Documents of the wrong kind inside are for the checks to judge.
    Json odd = file_with_logs(Json::array());
    odd["authorization"] = Json{{"authorization", 7}};
    EXPECT_TRUE(check_structure(odd));
}

TEST(EvidenceTreeHeads, EachTenantsFirstLogInFileOrder) {
    const KeyPair gate = key(1), other = key(2);
    const std::string trusted = gate.public_key_hex();
    EXPECT_EQ(tree_head_codes(file_with_logs(Json::array()), trusted), Codes{"TREE_HEAD_MISSING"});

    const Json logs = Json::array({
        log_of("zeta", std::nullopt),
        log_of("acme", head(gate, "acme")),
        log_of("zeta", head(gate, "zeta")),  // a later log of the same tenant counts for nothing
        log_of("beta", head(gate, "acme")),
        log_of("gamma", head(other, "gamma")),
        log_of("delta", head(gate, "delta", "another-name")),
        log_of("eps", "not a note"),
    });
    EXPECT_EQ(tree_head_codes(file_with_logs(logs), trusted),
              (Codes{"TREE_HEAD_MISSING: zeta", "TREE_HEAD_ORIGIN_MISMATCH: beta", "TREE_HEAD_SIGNATURE_INVALID: gamma",
                     "TREE_HEAD_SIGNATURE_INVALID: delta", "TREE_HEAD_MALFORMED: eps"}));
}

TEST(EvidenceLogs, AnAnnouncedDocumentWithoutItsEvent) {
    Json file = file_with_logs(Json::array({log_of("acme", std::nullopt)}));
    file["authorization"] = Json{{"authorization", {{"tenant_id", "acme"}, {"authorization_id", "x"}}}};
    EXPECT_EQ(log_inclusion_codes(file), Codes{"LOG_ENTRY_MISSING: action.authorized"});
}

}  // namespace
}  // namespace orvane::evidence
