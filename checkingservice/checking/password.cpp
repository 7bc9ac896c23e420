#include "checkingservice/checking/password.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace pv::check {
namespace {

// One key per process, drawn at start: digests from another run mean nothing.
std::array<unsigned char, crypto_shorthash_siphashx24_KEYBYTES> g_cacheKey;
std::once_flag g_cacheKeyOnce;

const unsigned char* CacheKey() {
    std::call_once(g_cacheKeyOnce, [] { randombytes_buf(g_cacheKey.data(), g_cacheKey.size()); });
    return g_cacheKey.data();
}

// Digests never leave the process, so the lengths go in in the machine's byte order.
unsigned char* PutWithLength(unsigned char* out, std::string_view part) {
    const uint64_t length = part.size();
    std::memcpy(out, &length, sizeof length);
    if (!part.empty()) std::memcpy(out + sizeof length, part.data(), part.size());
    return out + sizeof length + part.size();
}

} // namespace

bool InitCrypto() { return sodium_init() >= 0; }

std::string HashPassword(std::string_view password, HashCost cost) {
    unsigned long long ops = 4;
    size_t mem = kHashMemory;
    if (cost == HashCost::Moderate) {
        ops = 16;
    } else if (cost == HashCost::Minimum) {
        ops = crypto_pwhash_OPSLIMIT_MIN;
        mem = crypto_pwhash_MEMLIMIT_MIN;
    }
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), ops, mem,
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("password hashing failed (out of memory?)");
    }
    return out;
}

bool VerifyPassword(const std::string& storedHash, std::string_view password) {
    // crypto_pwhash_str_verify wants a NUL-terminated string of bounded length.
    if (storedHash.empty() || storedHash.size() >= crypto_pwhash_STRBYTES) return false;
    char buffer[crypto_pwhash_STRBYTES] = {};
    std::memcpy(buffer, storedHash.data(), storedHash.size());
    return crypto_pwhash_str_verify(buffer, password.data(), password.size()) == 0;
}

namespace {

// The number after "<name>=" in the parameters of an encoded Argon2 hash
// ("$argon2id$v=19$m=65536,t=2,p=1$salt$hash").
std::optional<uint64_t> HashParameter(std::string_view storedHash, std::string_view name) {
    const size_t params = storedHash.find("$m=");
    if (!storedHash.starts_with("$argon2") || params == std::string_view::npos) return std::nullopt;
    std::string_view rest = storedHash.substr(params + 1);
    rest = rest.substr(0, rest.find('$'));
    while (!rest.empty()) {
        const std::string_view item = rest.substr(0, rest.find(','));
        rest.remove_prefix(std::min(rest.size(), item.size() + 1));
        if (item.size() > name.size() + 1 && item.starts_with(name) && item[name.size()] == '=') {
            uint64_t value = 0;
            const std::string_view digits = item.substr(name.size() + 1);
            if (digits.size() > 12) return std::nullopt;
            for (char c : digits) {
                if (c < '0' || c > '9') return std::nullopt;
                value = value * 10 + static_cast<uint64_t>(c - '0');
            }
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

size_t HashMemory(std::string_view storedHash) {
    const auto kib = HashParameter(storedHash, "m");
    return kib ? static_cast<size_t>(*kib) << 10 : 0;
}

KeyedBudget::KeyedBudget(double perSecond, double burst, size_t maxKeys)
    : m_perSecond(perSecond), m_burst(std::max(1.0, burst)), m_maxKeys(std::max<size_t>(1, maxKeys)) {}

double KeyedBudget::Refill(Bucket& bucket, std::chrono::steady_clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - bucket.last).count();
    bucket.last = now;
    bucket.tokens = std::min(m_burst, bucket.tokens + elapsed * m_perSecond);
    return bucket.tokens;
}

bool KeyedBudget::Take(const std::string& key) {
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    auto it = m_buckets.find(key);
    if (it == m_buckets.end()) {
        if (m_buckets.size() >= m_maxKeys) {
            for (auto at = m_buckets.begin(); at != m_buckets.end();) {
                at = Refill(at->second, now) >= m_burst ? m_buckets.erase(at) : std::next(at);
            }
            if (m_buckets.size() >= m_maxKeys) return false;
        }
        it = m_buckets.emplace(key, Bucket{m_burst, now}).first;
    }
    if (Refill(it->second, now) < 1.0) return false;
    it->second.tokens -= 1.0;
    return true;
}

CredentialChecker::CredentialChecker(double perSecond, double burst, size_t cacheCapacity,
                                     std::chrono::milliseconds maxWait)
    : m_names(perSecond, burst), m_clients(perSecond, burst), m_perSecond(perSecond),
      m_capacity(std::max<size_t>(1, cacheCapacity)), m_maxWait(maxWait), m_worker([this] { Work(); }) {}

CredentialChecker::~CredentialChecker() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

size_t CredentialChecker::DigestHash::operator()(const Digest& d) const {
    size_t value;
    std::memcpy(&value, d.data(), sizeof value);
    return value;
}

CredentialChecker::Digest CredentialChecker::ComputeDigest(std::string_view name,
                                                           const std::string& storedHash,
                                                           std::string_view password) const {
    // Every query of a known pair costs this digest, so it is a keyed short-input hash rather
    // than a general one. The input briefly holds the password and is wiped after use.
    const size_t size = 3 * sizeof(uint64_t) + name.size() + storedHash.size() + password.size();
    unsigned char small[512];
    std::vector<unsigned char> large(size > sizeof small ? size : 0);
    unsigned char* input = large.empty() ? small : large.data();
    PutWithLength(PutWithLength(PutWithLength(input, name), storedHash), password);
    Digest out;
    crypto_shorthash_siphashx24(out.data(), input, size, CacheKey());
    sodium_memzero(input, size);
    return out;
}

void CredentialChecker::Remember(const Digest& d, bool verified) {
    auto& set = verified ? m_verified : m_rejected;
    // Forgetting everything at the cap keeps memory bounded; the cost is one slow hash per
    // account afterwards.
    if (set.size() >= m_capacity) set.clear();
    set.insert(d);
}

// Holds memory for one slow hash while it runs: waits until taking it keeps the memory of all
// hashes running within kMemoryInFlight, or until nothing else runs.
class CredentialChecker::MemoryHeld {
public:
    MemoryHeld(CredentialChecker& checker, size_t bytes)
        : m_checker(checker), m_bytes(std::min(bytes, kMemoryInFlight)) {
        std::unique_lock lock(m_checker.m_memoryMutex);
        m_checker.m_memoryFreed.wait(lock,
                                     [&] { return m_checker.m_memoryHeld + m_bytes <= kMemoryInFlight; });
        m_checker.m_memoryHeld += m_bytes;
    }
    ~MemoryHeld() {
        {
            std::lock_guard lock(m_checker.m_memoryMutex);
            m_checker.m_memoryHeld -= m_bytes;
        }
        m_checker.m_memoryFreed.notify_all();
    }
    MemoryHeld(const MemoryHeld&) = delete;
    MemoryHeld& operator=(const MemoryHeld&) = delete;

private:
    CredentialChecker& m_checker;
    const size_t m_bytes;
};

bool CredentialChecker::Verify(const std::string& storedHash, std::string_view password) {
    const MemoryHeld held(*this, storedHash.empty() ? kHashMemory : HashMemory(storedHash));
    if (!storedHash.empty()) return VerifyPassword(storedHash, password);
    try {
        bool made = false;
        std::call_once(m_decoyOnce, [&] {
            unsigned char secret[16];
            randombytes_buf(secret, sizeof secret);
            m_decoy = HashPassword(std::string_view(reinterpret_cast<char*>(secret), sizeof secret));
            made = true; // making it cost what checking against it costs
        });
        if (!made) VerifyPassword(m_decoy, password);
    } catch (const std::exception&) {}
    return false;
}

void CredentialChecker::Upgrade(std::string_view name, const std::string& storedHash,
                                std::string_view password) {
    const size_t memory = HashMemory(storedHash);
    if (memory <= kHashMemory) return;
    {
        std::lock_guard lock(m_mutex);
        if (m_upgrades.size() >= kMaxUpgrades) return;
    }
    // A hash costlier in time than the old interactive preset keeps being the costlier kind.
    const uint64_t passes = HashParameter(storedHash, "t").value_or(1);
    const bool heavy = static_cast<double>(memory) * static_cast<double>(passes) >
                       static_cast<double>(crypto_pwhash_MEMLIMIT_INTERACTIVE) *
                           static_cast<double>(crypto_pwhash_OPSLIMIT_INTERACTIVE);
    std::string fresh;
    try {
        const MemoryHeld held(*this, kHashMemory);
        fresh = HashPassword(password, heavy ? HashCost::Moderate : HashCost::Interactive);
    } catch (const std::exception&) {
        return; // out of memory: the old hash stays, and is tried again another time
    }
    const Digest d = ComputeDigest(name, fresh, password);
    std::lock_guard lock(m_mutex);
    if (m_upgrades.size() >= kMaxUpgrades) return;
    Remember(d, true);
    m_upgrades.push_back({std::string(name), storedHash, std::move(fresh)});
}

std::vector<HashUpgrade> CredentialChecker::TakeUpgrades() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_upgrades, {});
}

std::string CredentialChecker::NameKey(std::string_view name) {
    // Account names are at most 128 bytes; longer ones can only be strangers and may share a
    // budget, which keeps the tables small whatever arrives.
    return std::string(name.substr(0, 129));
}

bool CredentialChecker::TakeBudget(std::string_view name, std::string_view client) {
    // Both are asked, so that a flood spends its own budgets whichever runs out first.
    const bool nameOk = m_names.Take(NameKey(name));
    const bool clientOk = m_clients.Take(std::string(client));
    (nameOk && clientOk ? m_slowChecks : m_refused).fetch_add(1, std::memory_order_relaxed);
    return nameOk && clientOk;
}

CredentialChecker::Outcome CredentialChecker::Known(std::string_view name, const std::string& storedHash,
                                                    std::string_view password) const {
    const Digest d = ComputeDigest(name, storedHash, password);
    std::lock_guard lock(m_mutex);
    if (m_verified.contains(d)) return Outcome::Verified;
    if (m_rejected.contains(d)) return Outcome::Rejected;
    return Outcome::Unknown;
}

std::optional<bool> CredentialChecker::CheckNow(std::string_view name, const std::string& storedHash,
                                                std::string_view password, std::string_view client) {
    const Digest d = ComputeDigest(name, storedHash, password);
    {
        std::lock_guard lock(m_mutex);
        if (m_verified.contains(d)) return true;
        if (m_rejected.contains(d)) return false;
    }
    if (!TakeBudget(name, client)) return std::nullopt;
    const bool ok = Verify(storedHash, password);
    {
        std::lock_guard lock(m_mutex);
        Remember(d, ok);
    }
    if (ok) Upgrade(name, storedHash, password);
    return ok;
}

CredentialChecker::Later CredentialChecker::CheckLater(std::string_view name, const std::string& storedHash,
                                                       std::string_view password, const MakeDone& makeDone,
                                                       std::string_view client) {
    const Digest d = ComputeDigest(name, storedHash, password);
    std::lock_guard lock(m_mutex);
    if (m_verified.contains(d)) return {Outcome::Verified, false};
    if (m_rejected.contains(d)) return {Outcome::Rejected, false};
    const auto deadline = Clock::now() + m_maxWait;
    if (auto it = m_waiting.find(d); it != m_waiting.end()) {
        it->second.push_back({makeDone(), deadline});
        return {Outcome::Unknown, true};
    }
    const std::string clientKey(client);
    const std::string nameKey = CredentialChecker::NameKey(name);
    const auto queue = m_queues.find(clientKey);
    const auto perName = m_queuedNames.find(nameKey);
    if (m_queued >= kMaxQueued || (queue != m_queues.end() && queue->second.size() >= kMaxQueuedPerClient) ||
        (perName != m_queuedNames.end() && perName->second >= kMaxQueuedPerName) ||
        !TakeBudget(name, client)) {
        return {};
    }
    m_waiting[d].push_back({makeDone(), deadline});
    auto& jobs = m_queues[clientKey];
    if (jobs.empty()) m_turns.push_back(clientKey);
    jobs.push_back({d, storedHash, std::string(password), nameKey});
    ++m_queuedNames[nameKey];
    ++m_queued;
    m_wake.notify_one();
    return {Outcome::Unknown, true};
}

void CredentialChecker::Work() {
    for (;;) {
        std::optional<Job> job;
        std::vector<std::function<void()>> expired;
        {
            std::unique_lock lock(m_mutex);
            for (;;) {
                if (m_stopping) return;
                // Waiters past their deadline are answered without the check; it still runs, so
                // that the pair's next query finds the outcome.
                const auto now = Clock::now();
                std::optional<Clock::time_point> next;
                for (auto it = m_waiting.begin(); it != m_waiting.end();) {
                    std::erase_if(it->second, [&](Waiter& waiter) {
                        if (waiter.deadline > now) {
                            next = next ? std::min(*next, waiter.deadline) : waiter.deadline;
                            return false;
                        }
                        expired.push_back(std::move(waiter.done));
                        return true;
                    });
                    it = it->second.empty() ? m_waiting.erase(it) : std::next(it);
                }
                if (!expired.empty()) break;
                if (m_queued > 0) {
                    const std::string client = std::move(m_turns.front());
                    m_turns.pop_front();
                    auto& jobs = m_queues[client];
                    job = std::move(jobs.front());
                    jobs.pop_front();
                    if (jobs.empty()) {
                        m_queues.erase(client);
                    } else {
                        m_turns.push_back(client);
                    }
                    if (auto it = m_queuedNames.find(job->name);
                        it != m_queuedNames.end() && --it->second == 0) {
                        m_queuedNames.erase(it);
                    }
                    --m_queued;
                    break;
                }
                if (next) {
                    m_wake.wait_until(lock, *next);
                } else {
                    m_wake.wait(lock);
                }
            }
        }
        for (auto& done : expired) {
            try {
                done();
            } catch (...) {
                // A waiter that cannot be told just stays parked until its connection ends.
            }
        }
        if (!job) continue;
        const bool ok = Verify(job->storedHash, job->password);
        std::vector<Waiter> waiters;
        {
            std::lock_guard lock(m_mutex);
            Remember(job->digest, ok);
            if (auto it = m_waiting.find(job->digest); it != m_waiting.end()) {
                waiters = std::move(it->second);
                m_waiting.erase(it);
            }
        }
        for (auto& waiter : waiters) {
            try {
                waiter.done();
            } catch (...) {
                // As above.
            }
        }
        if (ok) Upgrade(job->name, job->storedHash, job->password);
        sodium_memzero(job->password.data(), job->password.size());
    }
}

} // namespace pv::check
