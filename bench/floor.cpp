// The performance floor, measured with the same libraries the module calls:
// Ed25519 sign and verify (libsodium), one SQLite WAL commit with
// synchronous = FULL, and SHA-256 of N bytes (OpenSSL EVP).
//
// Usage: orvane_bench_floor <scratch directory> [sha256 byte counts...]
// Prints one JSON object: median microseconds per operation.
#include <openssl/evp.h>
#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Median of `rounds` rounds, each the mean of `per_round` calls.
template <typename F>
double median_micros(int rounds, int per_round, F&& body) {
    std::vector<double> means;
    means.reserve(rounds);
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < per_round; ++i) body();
        const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
        means.push_back(spent.count() / per_round);
    }
    std::nth_element(means.begin(), means.begin() + means.size() / 2, means.end());
    return means[means.size() / 2];
}

bool exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s: %s\n", sql, err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return false;
    }
    return true;
}

// One "BEGIN IMMEDIATE; INSERT one row; COMMIT" in a WAL database with
// synchronous = FULL, the write every gate operation ends with.
double wal_commit_micros(const std::string& dir) {
    const std::string path = dir + "/floor-commit.db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return -1;
    if (!exec(db, "PRAGMA journal_mode = WAL") || !exec(db, "PRAGMA synchronous = FULL") ||
        !exec(db, "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, body TEXT NOT NULL)"))
        return -1;
    sqlite3_stmt *begin = nullptr, *insert = nullptr, *commit = nullptr;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO t (body) VALUES (?1)", -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    const std::string body(600, 'x');  // about the size of one stored receipt
    bool ok = true;
    auto one = [&] {
        ok &= sqlite3_step(begin) == SQLITE_DONE;
        sqlite3_reset(begin);
        sqlite3_bind_text(insert, 1, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
        ok &= sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
        ok &= sqlite3_step(commit) == SQLITE_DONE;
        sqlite3_reset(commit);
    };
    for (int i = 0; i < 20; ++i) one();  // warm the WAL file
    const double micros = median_micros(15, 40, one);
    sqlite3_finalize(begin);
    sqlite3_finalize(insert);
    sqlite3_finalize(commit);
    sqlite3_close_v2(db);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    return ok ? micros : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || sodium_init() < 0) {
        std::fprintf(stderr, "usage: %s <scratch dir> [sha256 sizes...]\n", argv[0]);
        return 2;
    }
    std::array<unsigned char, 32> pk{}, digest{};
    std::array<unsigned char, 64> sk{}, sig{};
    crypto_sign_keypair(pk.data(), sk.data());
    randombytes_buf(digest.data(), digest.size());
    crypto_sign_detached(sig.data(), nullptr, digest.data(), digest.size(), sk.data());

    // The gate signs 32-byte digests; the agent and executor signatures cover
    // documents of a few hundred bytes, which costs the same within noise.
    volatile int sink = 0;
    const double sign = median_micros(15, 200, [&] {
        crypto_sign_detached(sig.data(), nullptr, digest.data(), digest.size(), sk.data());
        sink = sink + sig[0];
    });
    const double verify = median_micros(15, 200, [&] {
        sink = sink + crypto_sign_verify_detached(sig.data(), digest.data(), digest.size(), pk.data());
    });
    const double commit = wal_commit_micros(argv[1]);

    std::string sha_json;
    for (int i = 2; i < argc; ++i) {
        const std::size_t n = std::strtoull(argv[i], nullptr, 10);
        std::vector<unsigned char> bytes(n, 0x61);
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        const int per_round = static_cast<int>(std::clamp<std::size_t>(4'000'000 / (n + 64), 1, 2000));
        const double micros = median_micros(15, per_round, [&] {
            EVP_Digest(bytes.data(), bytes.size(), out, &len, EVP_sha256(), nullptr);
            sink = sink + out[0];
        });
        if (!sha_json.empty()) sha_json += ", ";
        sha_json += '"';
        sha_json += std::to_string(n);
        sha_json += "\": ";
        sha_json += std::to_string(micros);
    }
    std::printf(
        "{\"sign\": %.3f, \"verify\": %.3f, \"commit\": %.3f, \"sha256\": {%s}, "
        "\"sqlite\": \"%s\", \"sodium\": \"%s\"}\n",
        sign, verify, commit, sha_json.c_str(), sqlite3_libversion(), sodium_version_string());
    return commit < 0 ? 1 : 0;
}
