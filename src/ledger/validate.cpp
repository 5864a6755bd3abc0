// Re-checks the whole ledger from its stored rows: one genesis, every id the
// digest of its content, every signature valid under its actor, and a
// consistent chain of parents, depths and times. Never writes.
//
// The content checks (parse, digest, signature) are independent per decision
// and dominate the cost, so large ledgers spread them over worker threads.
// Those threads touch only the loaded rows, never a Python object; the chain
// checks and the report stay on the calling thread, in ledger order.
#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ledger/decision.hpp"
#include "ledger/ledger_ops.hpp"
#include "primitives/hex.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {

namespace {

using ledger::Decision;

// Below this many decisions the threads cost more than they save.
constexpr std::size_t kParallelThreshold = 256;
constexpr std::size_t kChunk = 64;
constexpr unsigned kMaxWorkers = 8;

Result<std::vector<Decision>> load_ledger(storage::Connection& db) {
    ORVANE_ASSIGN_OR_RETURN(auto rows,
                            storage::Statement::prepare(db, ledger::kSelectLedgerOrder)
                                .with_context("Failed to prepare select statement: "));
    std::vector<Decision> decisions;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto more, rows.step().with_context("Error reading record: "));
        if (!more) break;
        ORVANE_ASSIGN_OR_RETURN(auto decision,
                                ledger::read_decision(rows).with_context("Error reading record: "));
        decisions.push_back(std::move(decision));
    }
    return decisions;
}

// An actor's key as the checks need it: decoded and known to be a curve
// point, or the error that every decision of that actor reports.
struct ActorKey {
    PublicKey key{};
    std::optional<std::string> error;
};

ActorKey check_actor(std::string_view actor_id) {
    ActorKey out;
    bool right_size = true;
    if (auto r = hex_decode_into(actor_id, out.key, right_size); !r) {
        out.error = "Invalid actor_id: " + r.error();
    } else if (!right_size) {
        out.error = "Invalid public key size";
    } else if (auto key = parse_public_key(actor_id); !key) {
        // Hex and length are already known good: only the point can be wrong.
        constexpr std::string_view kPrefix = "Invalid Ed25519 public key: ";
        std::string_view reason = key.error();
        if (reason.starts_with(kPrefix)) reason.remove_prefix(kPrefix.size());
        out.error = "Invalid public key: " + std::string(reason);
    }
    return out;
}

// Checking a point costs nearly as much as verifying a signature, and a
// ledger has few actors: each distinct actor is checked once, up front.
using ActorKeys = std::unordered_map<std::string_view, ActorKey>;

ActorKeys check_actors(const std::vector<Decision>& decisions) {
    ActorKeys keys;
    for (const Decision& d : decisions)
        if (!keys.contains(d.actor_id)) keys.emplace(d.actor_id, check_actor(d.actor_id));
    return keys;
}

// The content checks of one decision, in order; the first failure is its error.
std::optional<std::string> check_content(const Decision& d, const ActorKey& actor) {
    auto digest = ledger::decision_hash(d.parent_id, d.actor_id, d.timestamp, d.payload,
                                        d.rules_evaluated);
    if (!digest) return "Decision '" + d.id + "' hash calculation error: " + digest.error();
    std::string computed = hex_encode(*digest);
    if (computed != d.id)
        return "Decision '" + d.id + "' has invalid hash. Computed: '" + computed +
               "', Recorded: '" + d.id + "'";

    if (actor.error) return *actor.error;

    Signature signature{};
    bool right_size = true;
    if (auto r = hex_decode_into(d.signature, signature, right_size); !r)
        return "Invalid signature hex: " + r.error();
    if (!right_size) return "Invalid signature size";
    if (!verify_raw(actor.key, *digest, signature))
        return "Decision '" + d.id +
               "' signature verification failed: signature error: Verification equation was not "
               "satisfied";
    return std::nullopt;
}

std::vector<std::optional<std::string>> check_all_content(const std::vector<Decision>& decisions) {
    // Filled before the workers start and only read by them.
    const ActorKeys actors = check_actors(decisions);
    std::vector<std::optional<std::string>> results(decisions.size());
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    auto work = [&] {
        try {
            for (;;) {
                std::size_t begin = next.fetch_add(kChunk, std::memory_order_relaxed);
                if (begin >= decisions.size()) return;
                std::size_t end = std::min(begin + kChunk, decisions.size());
                for (std::size_t i = begin; i < end; ++i)
                    results[i] = check_content(decisions[i], actors.at(decisions[i].actor_id));
            }
        } catch (...) {
            if (!failed.exchange(true)) failure = std::current_exception();
            next.store(decisions.size());
        }
    };

    std::vector<std::jthread> workers;
    if (decisions.size() >= kParallelThreshold) {
        unsigned extra = std::min(std::thread::hardware_concurrency(), kMaxWorkers);
        extra = extra > 1 ? extra - 1 : 0;
        extra = std::min<std::size_t>(extra, decisions.size() / kChunk);
        try {
            for (unsigned i = 0; i < extra; ++i) workers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer threads than hoped; the shared counter lets the rest cope.
        }
    }
    work();
    for (auto& worker : workers) worker.join();
    if (failure) std::rethrow_exception(failure);
    return results;
}

// Decisions whose parent is genesis must sit at depth 0; all others need their
// parent, one depth below and not later in time.
void check_structure(const Decision& d,
                     const std::unordered_map<std::string_view, const Decision*>& by_id,
                     std::vector<std::string>& errors) {
    if (d.parent_id == ledger::kGenesisParent) {
        if (d.causal_depth != 0)
            errors.push_back("Genesis decision '" + d.id + "' must have causal_depth 0");
        return;
    }
    auto parent = by_id.find(d.parent_id);
    if (parent == by_id.end()) {
        errors.push_back("Decision '" + d.id + "' orphan node. Parent '" + d.parent_id +
                         "' missing");
        return;
    }
    const Decision& p = *parent->second;
    if (d.causal_depth != p.causal_depth + 1)
        errors.push_back("Decision '" + d.id + "' causal depth mismatch. Expected '" +
                         std::to_string(p.causal_depth + 1) + "', found '" +
                         std::to_string(d.causal_depth) + "'");
    if (d.timestamp < p.timestamp)
        errors.push_back("Decision '" + d.id + "' temporal anomaly. Precedes parent '" +
                         d.parent_id + "'");
}

// One agents lookup per distinct actor, in order of first appearance.
std::vector<std::string> actor_warnings(storage::Connection& db,
                                        const std::vector<Decision>& decisions,
                                        std::size_t& unique_actors) {
    std::unordered_set<std::string_view> seen;
    std::vector<std::string_view> actors;
    for (const Decision& d : decisions)
        if (seen.insert(d.actor_id).second) actors.push_back(d.actor_id);
    unique_actors = actors.size();

    std::vector<std::string> warnings;
    const storage::Queries q(db);
    for (std::string_view actor : actors) {
        // A failed lookup reads as "not registered": the answer is a warning only.
        const bool registered =
            q.exists("SELECT 1 FROM agents WHERE public_key = ?1 LIMIT 1", actor).value_or(false);
        if (!registered)
            warnings.push_back("Actor '" + std::string(actor) +
                               "' is not registered in the agents table.");
    }
    return warnings;
}

Json string_array(std::vector<std::string>&& items) {
    Json array = Json::array();
    for (auto& item : items) array.push_back(std::move(item));
    return array;
}

}  // namespace

Result<std::string> validate_ledger(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto loaded, load_ledger(gate.db));
    const std::vector<Decision>& decisions = loaded;

    Json report = Json::object();
    if (decisions.empty()) {
        report["message"] = "Database is empty.";
        report["status"] = "valid";
        report["total_records"] = 0u;
        return canonical_json(report);
    }

    std::unordered_map<std::string_view, const Decision*> by_id;
    by_id.reserve(decisions.size());
    std::size_t genesis_count = 0;
    for (const Decision& d : decisions) {
        by_id.emplace(d.id, &d);
        if (d.parent_id == ledger::kGenesisParent) ++genesis_count;
    }

    std::vector<std::string> errors;
    if (genesis_count == 0)
        errors.push_back("No genesis decision found in the ledger.");
    else if (genesis_count > 1)
        errors.push_back("Multiple genesis decisions found (" + std::to_string(genesis_count) +
                         "). Only one is allowed.");

    auto content = check_all_content(decisions);
    for (std::size_t i = 0; i < decisions.size(); ++i) {
        if (content[i]) {
            errors.push_back(std::move(*content[i]));
            continue;
        }
        check_structure(decisions[i], by_id, errors);
    }

    std::size_t unique_actors = 0;
    auto warnings = actor_warnings(gate.db, decisions, unique_actors);

    report["total_records"] = static_cast<std::uint64_t>(decisions.size());
    if (!warnings.empty()) report["warnings"] = string_array(std::move(warnings));
    if (errors.empty()) {
        report["message"] = "All decisions verified successfully.";
        report["status"] = "valid";
        report["unique_actors"] = static_cast<std::uint64_t>(unique_actors);
        return canonical_json(report);
    }
    report["errors"] = string_array(std::move(errors));
    report["status"] = "invalid";
    return fail(canonical_json(report));
}

}  // namespace orvane
