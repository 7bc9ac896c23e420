// Account passwords: stored only as salted Argon2id hashes (libsodium crypto_pwhash_str). The
// wire format sends the password in clear with every query, so a verified pair is remembered
// under a keyed digest (SipHash-2-4 with a 128-bit result, a per-process random key): later
// queries cost a hash of a few dozen bytes instead of the deliberately slow one, and nothing
// reversible is kept.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pv::check {

// Fails only if libsodium cannot start; call once before anything else here.
bool InitCrypto();

// Argon2id costs of new hashes. A check holds the hash's memory while it runs, beside a rule
// index of tens of MiB, so both costs stay at 9 MiB and buy their strength with passes
// (9 MiB with 4 passes is one of the published equivalents of the usual recommendation;
// Moderate takes four times as long).
enum class HashCost { Interactive, Moderate, Minimum /* tests only */ };
inline constexpr size_t kHashMemory = size_t{9} << 20;

// Throws std::runtime_error when hashing fails (out of memory).
std::string HashPassword(std::string_view password, HashCost cost = HashCost::Interactive);

bool VerifyPassword(const std::string& storedHash, std::string_view password);

// The memory a check of the stored hash takes, read from its parameters; 0 when they cannot
// be read.
size_t HashMemory(std::string_view storedHash);

// A stored hash that a successful check found costlier in memory than kHashMemory, and the
// equivalent of the service's cost made from the password just checked (see
// CredentialChecker::TakeUpgrades).
struct HashUpgrade {
    std::string name;
    std::string oldHash;
    std::string newHash;
};

// Token buckets, one per key (an account name, a client address), so that one name's or one
// client's spent budget leaves everybody else's alone. At most max_keys are tracked; full
// buckets are forgotten first, and a new key finds no room only when that many keys are
// all spending at once.
class KeyedBudget {
public:
    KeyedBudget(double perSecond, double burst, size_t maxKeys = 65536);
    bool Take(const std::string& key);

private:
    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point last;
    };
    double Refill(Bucket& bucket, std::chrono::steady_clock::time_point now) const;

    std::mutex m_mutex;
    double m_perSecond;
    double m_burst;
    size_t m_maxKeys;
    std::unordered_map<std::string, Bucket> m_buckets;
};

// Verifies name/password pairs against stored hashes and remembers the outcomes. Keys cover
// the account name, the stored hash and the password: a changed password or a re-created
// account misses the cache by construction. Slow checks either run on the caller's thread
// (CheckNow) or on a worker thread of their own (CheckLater), so that a serving thread never
// spends a deliberately slow hash on a query. Thread-safe.
//
// Slow checks are budgeted per name and per client, and queued fairly: the worker takes the
// clients with waiting checks in turn, and a client, a name and the whole queue hold a
// bounded number of checks. A waiter is woken after max_wait at the latest, checked or not.
//
// An empty stored hash stands for a name that cannot log in (unknown, or without a password):
// such pairs are checked against a decoy hash of the default cost and never verify, so that
// the time a wrong password takes does not tell which names exist.
class CredentialChecker {
public:
    CredentialChecker(double perSecond, double burst, size_t cacheCapacity = 100000,
                      std::chrono::milliseconds maxWait = std::chrono::milliseconds(3000));
    ~CredentialChecker();
    CredentialChecker(const CredentialChecker&) = delete;
    CredentialChecker& operator=(const CredentialChecker&) = delete;

    enum class Outcome { Unknown, Verified, Rejected };
    Outcome Known(std::string_view name, const std::string& storedHash, std::string_view password) const;

    // From the cache, else a slow check here within the budget; nullopt when it is spent.
    std::optional<bool> CheckNow(std::string_view name, const std::string& storedHash,
                                 std::string_view password, std::string_view client = {});

    // The outcome if it is cached. Otherwise waiting: a slow check was started (or joined) on
    // the worker thread, make_done() was called once, and the worker calls what it returned
    // when known() can answer or max_wait has passed; or not waiting: a budget or the queue is
    // full and the pair stays unverified this time.
    struct Later {
        Outcome outcome = Outcome::Unknown;
        bool waiting = false;
    };
    using MakeDone = std::function<std::function<void()>()>;
    Later CheckLater(std::string_view name, const std::string& storedHash, std::string_view password,
                     const MakeDone& makeDone, std::string_view client = {});

    static constexpr size_t kMaxQueued = 64;
    static constexpr size_t kMaxQueuedPerClient = 8;
    static constexpr size_t kMaxQueuedPerName = 4;

    // Hashes to replace in the store: each the outcome of a successful check of a hash costlier
    // than kHashMemory (made on the checking thread, after the waiting queries were answered,
    // at most kMaxUpgrades waiting). The new hash is remembered as verified for the pair
    // already, so that the index that brings it costs no second check.
    std::vector<HashUpgrade> TakeUpgrades();
    static constexpr size_t kMaxUpgrades = 1024;

    // Memory that slow hashes (checks and upgrades) may hold at once; a hash that needs more
    // runs alone.
    static constexpr size_t kMemoryInFlight = kHashMemory;

    // Slow checks started and refused so far, and the budget of each name and each client, for
    // the health figures.
    uint64_t SlowChecks() const { return m_slowChecks.load(std::memory_order_relaxed); }
    uint64_t SlowChecksRefused() const { return m_refused.load(std::memory_order_relaxed); }
    double BudgetPerSecond() const { return m_perSecond; }

private:
    using Digest = std::array<unsigned char, 16>;
    using Clock = std::chrono::steady_clock;
    struct DigestHash {
        size_t operator()(const Digest& d) const;
    };
    struct Job {
        Digest digest;
        std::string storedHash;
        std::string password;
        std::string name;
    };
    struct Waiter {
        std::function<void()> done;
        Clock::time_point deadline;
    };
    Digest ComputeDigest(std::string_view name, const std::string& storedHash,
                         std::string_view password) const;
    void Remember(const Digest& digest, bool verified); // m_mutex held
    bool Verify(const std::string& storedHash, std::string_view password);
    void Upgrade(std::string_view name, const std::string& storedHash, std::string_view password);
    class MemoryHeld;
    static std::string NameKey(std::string_view name);
    bool TakeBudget(std::string_view name, std::string_view client);
    void Work();

    KeyedBudget m_names;
    KeyedBudget m_clients;
    double m_perSecond;
    std::atomic<uint64_t> m_slowChecks{0};
    std::atomic<uint64_t> m_refused{0};
    size_t m_capacity;
    std::chrono::milliseconds m_maxWait;
    mutable std::mutex m_mutex;
    std::unordered_set<Digest, DigestHash> m_verified;
    std::unordered_set<Digest, DigestHash> m_rejected;
    std::unordered_map<Digest, std::vector<Waiter>, DigestHash> m_waiting;
    std::unordered_map<std::string, std::deque<Job>> m_queues; // by client
    std::deque<std::string> m_turns;                           // clients with queued checks
    std::unordered_map<std::string, size_t> m_queuedNames;
    size_t m_queued = 0;
    std::once_flag m_decoyOnce;
    std::string m_decoy;
    std::vector<HashUpgrade> m_upgrades; // m_mutex
    std::mutex m_memoryMutex;
    std::condition_variable m_memoryFreed;
    size_t m_memoryHeld = 0;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace pv::check
