#include "checkingservice/password.h"

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
std::array<unsigned char, crypto_shorthash_siphashx24_KEYBYTES> g_cache_key;
std::once_flag g_cache_key_once;

const unsigned char *cache_key() {
  std::call_once(g_cache_key_once, [] { randombytes_buf(g_cache_key.data(), g_cache_key.size()); });
  return g_cache_key.data();
}

// Digests never leave the process, so the lengths go in in the machine's byte order.
unsigned char *put_with_length(unsigned char *out, std::string_view part) {
  const uint64_t length = part.size();
  std::memcpy(out, &length, sizeof length);
  if (!part.empty()) std::memcpy(out + sizeof length, part.data(), part.size());
  return out + sizeof length + part.size();
}

}  // namespace

bool init_crypto() { return sodium_init() >= 0; }

std::string hash_password(std::string_view password, HashCost cost) {
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

bool verify_password(const std::string &stored_hash, std::string_view password) {
  // crypto_pwhash_str_verify wants a NUL-terminated string of bounded length.
  if (stored_hash.empty() || stored_hash.size() >= crypto_pwhash_STRBYTES) return false;
  char buffer[crypto_pwhash_STRBYTES] = {};
  std::memcpy(buffer, stored_hash.data(), stored_hash.size());
  return crypto_pwhash_str_verify(buffer, password.data(), password.size()) == 0;
}

namespace {

// The number after "<name>=" in the parameters of an encoded Argon2 hash
// ("$argon2id$v=19$m=65536,t=2,p=1$salt$hash").
std::optional<uint64_t> hash_parameter(std::string_view stored_hash, std::string_view name) {
  const size_t params = stored_hash.find("$m=");
  if (!stored_hash.starts_with("$argon2") || params == std::string_view::npos) return std::nullopt;
  std::string_view rest = stored_hash.substr(params + 1);
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

}  // namespace

size_t hash_memory(std::string_view stored_hash) {
  const auto kib = hash_parameter(stored_hash, "m");
  return kib ? static_cast<size_t>(*kib) << 10 : 0;
}

KeyedBudget::KeyedBudget(double per_second, double burst, size_t max_keys)
    : per_second_(per_second), burst_(std::max(1.0, burst)),
      max_keys_(std::max<size_t>(1, max_keys)) {}

double KeyedBudget::refill(Bucket &bucket, std::chrono::steady_clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - bucket.last).count();
  bucket.last = now;
  bucket.tokens = std::min(burst_, bucket.tokens + elapsed * per_second_);
  return bucket.tokens;
}

bool KeyedBudget::take(const std::string &key) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  auto it = buckets_.find(key);
  if (it == buckets_.end()) {
    if (buckets_.size() >= max_keys_) {
      for (auto at = buckets_.begin(); at != buckets_.end();) {
        at = refill(at->second, now) >= burst_ ? buckets_.erase(at) : std::next(at);
      }
      if (buckets_.size() >= max_keys_) return false;
    }
    it = buckets_.emplace(key, Bucket{burst_, now}).first;
  }
  if (refill(it->second, now) < 1.0) return false;
  it->second.tokens -= 1.0;
  return true;
}

CredentialChecker::CredentialChecker(double per_second, double burst, size_t cache_capacity,
                                     std::chrono::milliseconds max_wait)
    : names_(per_second, burst), clients_(per_second, burst), per_second_(per_second),
      capacity_(std::max<size_t>(1, cache_capacity)), max_wait_(max_wait),
      worker_([this] { work(); }) {}

CredentialChecker::~CredentialChecker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

size_t CredentialChecker::DigestHash::operator()(const Digest &d) const {
  size_t value;
  std::memcpy(&value, d.data(), sizeof value);
  return value;
}

CredentialChecker::Digest CredentialChecker::digest(std::string_view name,
                                                    const std::string &stored_hash,
                                                    std::string_view password) const {
  // Every query of a known pair costs this digest, so it is a keyed short-input hash rather
  // than a general one. The input briefly holds the password and is wiped after use.
  const size_t size = 3 * sizeof(uint64_t) + name.size() + stored_hash.size() + password.size();
  unsigned char small[512];
  std::vector<unsigned char> large(size > sizeof small ? size : 0);
  unsigned char *input = large.empty() ? small : large.data();
  put_with_length(put_with_length(put_with_length(input, name), stored_hash), password);
  Digest out;
  crypto_shorthash_siphashx24(out.data(), input, size, cache_key());
  sodium_memzero(input, size);
  return out;
}

void CredentialChecker::remember(const Digest &d, bool verified) {
  auto &set = verified ? verified_ : rejected_;
  // Forgetting everything at the cap keeps memory bounded; the cost is one slow hash per
  // account afterwards.
  if (set.size() >= capacity_) set.clear();
  set.insert(d);
}

// Holds memory for one slow hash while it runs: waits until taking it keeps the memory of all
// hashes running within kMemoryInFlight, or until nothing else runs.
class CredentialChecker::MemoryHeld {
 public:
  MemoryHeld(CredentialChecker &checker, size_t bytes)
      : checker_(checker), bytes_(std::min(bytes, kMemoryInFlight)) {
    std::unique_lock lock(checker_.memory_mutex_);
    checker_.memory_freed_.wait(
        lock, [&] { return checker_.memory_held_ + bytes_ <= kMemoryInFlight; });
    checker_.memory_held_ += bytes_;
  }
  ~MemoryHeld() {
    {
      std::lock_guard lock(checker_.memory_mutex_);
      checker_.memory_held_ -= bytes_;
    }
    checker_.memory_freed_.notify_all();
  }
  MemoryHeld(const MemoryHeld &) = delete;
  MemoryHeld &operator=(const MemoryHeld &) = delete;

 private:
  CredentialChecker &checker_;
  const size_t bytes_;
};

bool CredentialChecker::verify(const std::string &stored_hash, std::string_view password) {
  const MemoryHeld held(*this, stored_hash.empty() ? kHashMemory : hash_memory(stored_hash));
  if (!stored_hash.empty()) return verify_password(stored_hash, password);
  try {
    bool made = false;
    std::call_once(decoy_once_, [&] {
      unsigned char secret[16];
      randombytes_buf(secret, sizeof secret);
      decoy_ = hash_password(std::string_view(reinterpret_cast<char *>(secret), sizeof secret));
      made = true;  // making it cost what checking against it costs
    });
    if (!made) verify_password(decoy_, password);
  } catch (const std::exception &) {
  }
  return false;
}

void CredentialChecker::upgrade(std::string_view name, const std::string &stored_hash,
                                std::string_view password) {
  const size_t memory = hash_memory(stored_hash);
  if (memory <= kHashMemory) return;
  {
    std::lock_guard lock(mutex_);
    if (upgrades_.size() >= kMaxUpgrades) return;
  }
  // A hash costlier in time than the old interactive preset keeps being the costlier kind.
  const uint64_t passes = hash_parameter(stored_hash, "t").value_or(1);
  const bool heavy = static_cast<double>(memory) * static_cast<double>(passes) >
                     static_cast<double>(crypto_pwhash_MEMLIMIT_INTERACTIVE) *
                         static_cast<double>(crypto_pwhash_OPSLIMIT_INTERACTIVE);
  std::string fresh;
  try {
    const MemoryHeld held(*this, kHashMemory);
    fresh = hash_password(password, heavy ? HashCost::Moderate : HashCost::Interactive);
  } catch (const std::exception &) {
    return;  // out of memory: the old hash stays, and is tried again another time
  }
  const Digest d = digest(name, fresh, password);
  std::lock_guard lock(mutex_);
  if (upgrades_.size() >= kMaxUpgrades) return;
  remember(d, true);
  upgrades_.push_back({std::string(name), stored_hash, std::move(fresh)});
}

std::vector<HashUpgrade> CredentialChecker::take_upgrades() {
  std::lock_guard lock(mutex_);
  return std::exchange(upgrades_, {});
}

std::string CredentialChecker::name_key(std::string_view name) {
  // Account names are at most 128 bytes; longer ones can only be strangers and may share a
  // budget, which keeps the tables small whatever arrives.
  return std::string(name.substr(0, 129));
}

bool CredentialChecker::take_budget(std::string_view name, std::string_view client) {
  // Both are asked, so that a flood spends its own budgets whichever runs out first.
  const bool name_ok = names_.take(name_key(name));
  const bool client_ok = clients_.take(std::string(client));
  (name_ok && client_ok ? slow_checks_ : refused_).fetch_add(1, std::memory_order_relaxed);
  return name_ok && client_ok;
}

CredentialChecker::Outcome CredentialChecker::known(std::string_view name,
                                                    const std::string &stored_hash,
                                                    std::string_view password) const {
  const Digest d = digest(name, stored_hash, password);
  std::lock_guard lock(mutex_);
  if (verified_.contains(d)) return Outcome::Verified;
  if (rejected_.contains(d)) return Outcome::Rejected;
  return Outcome::Unknown;
}

std::optional<bool> CredentialChecker::check_now(std::string_view name,
                                                 const std::string &stored_hash,
                                                 std::string_view password,
                                                 std::string_view client) {
  const Digest d = digest(name, stored_hash, password);
  {
    std::lock_guard lock(mutex_);
    if (verified_.contains(d)) return true;
    if (rejected_.contains(d)) return false;
  }
  if (!take_budget(name, client)) return std::nullopt;
  const bool ok = verify(stored_hash, password);
  {
    std::lock_guard lock(mutex_);
    remember(d, ok);
  }
  if (ok) upgrade(name, stored_hash, password);
  return ok;
}

CredentialChecker::Later CredentialChecker::check_later(std::string_view name,
                                                       const std::string &stored_hash,
                                                       std::string_view password,
                                                       const MakeDone &make_done,
                                                       std::string_view client) {
  const Digest d = digest(name, stored_hash, password);
  std::lock_guard lock(mutex_);
  if (verified_.contains(d)) return {Outcome::Verified, false};
  if (rejected_.contains(d)) return {Outcome::Rejected, false};
  const auto deadline = Clock::now() + max_wait_;
  if (auto it = waiting_.find(d); it != waiting_.end()) {
    it->second.push_back({make_done(), deadline});
    return {Outcome::Unknown, true};
  }
  const std::string client_key(client);
  const std::string name_key = CredentialChecker::name_key(name);
  const auto queue = queues_.find(client_key);
  const auto per_name = queued_names_.find(name_key);
  if (queued_ >= kMaxQueued ||
      (queue != queues_.end() && queue->second.size() >= kMaxQueuedPerClient) ||
      (per_name != queued_names_.end() && per_name->second >= kMaxQueuedPerName) ||
      !take_budget(name, client)) {
    return {};
  }
  waiting_[d].push_back({make_done(), deadline});
  auto &jobs = queues_[client_key];
  if (jobs.empty()) turns_.push_back(client_key);
  jobs.push_back({d, stored_hash, std::string(password), name_key});
  ++queued_names_[name_key];
  ++queued_;
  wake_.notify_one();
  return {Outcome::Unknown, true};
}

void CredentialChecker::work() {
  for (;;) {
    std::optional<Job> job;
    std::vector<std::function<void()>> expired;
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        if (stopping_) return;
        // Waiters past their deadline are answered without the check; it still runs, so
        // that the pair's next query finds the outcome.
        const auto now = Clock::now();
        std::optional<Clock::time_point> next;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
          std::erase_if(it->second, [&](Waiter &waiter) {
            if (waiter.deadline > now) {
              next = next ? std::min(*next, waiter.deadline) : waiter.deadline;
              return false;
            }
            expired.push_back(std::move(waiter.done));
            return true;
          });
          it = it->second.empty() ? waiting_.erase(it) : std::next(it);
        }
        if (!expired.empty()) break;
        if (queued_ > 0) {
          const std::string client = std::move(turns_.front());
          turns_.pop_front();
          auto &jobs = queues_[client];
          job = std::move(jobs.front());
          jobs.pop_front();
          if (jobs.empty()) {
            queues_.erase(client);
          } else {
            turns_.push_back(client);
          }
          if (auto it = queued_names_.find(job->name);
              it != queued_names_.end() && --it->second == 0) {
            queued_names_.erase(it);
          }
          --queued_;
          break;
        }
        if (next) {
          wake_.wait_until(lock, *next);
        } else {
          wake_.wait(lock);
        }
      }
    }
    for (auto &done : expired) {
      try {
        done();
      } catch (...) {
        // A waiter that cannot be told just stays parked until its connection ends.
      }
    }
    if (!job) continue;
    const bool ok = verify(job->stored_hash, job->password);
    std::vector<Waiter> waiters;
    {
      std::lock_guard lock(mutex_);
      remember(job->digest, ok);
      if (auto it = waiting_.find(job->digest); it != waiting_.end()) {
        waiters = std::move(it->second);
        waiting_.erase(it);
      }
    }
    for (auto &waiter : waiters) {
      try {
        waiter.done();
      } catch (...) {
        // As above.
      }
    }
    if (ok) upgrade(job->name, job->stored_hash, job->password);
    sodium_memzero(job->password.data(), job->password.size());
  }
}

}  // namespace pv::check
