// Account passwords: stored only as salted Argon2id hashes (libsodium crypto_pwhash_str). The
// wire format sends the password in clear with every query, so a verified pair is remembered
// under a keyed BLAKE2b digest with a per-process random key: later queries cost a hash of a
// few dozen bytes instead of the deliberately slow one, and nothing reversible is kept.
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
bool init_crypto();

enum class HashCost { Interactive, Moderate, Minimum /* tests only */ };

// Throws std::runtime_error when hashing fails (out of memory).
std::string hash_password(std::string_view password, HashCost cost = HashCost::Interactive);

bool verify_password(const std::string &stored_hash, std::string_view password);

// Caps how many slow verifications run per second across the process, so that a stream of
// wrong passwords cannot keep the service busy hashing. Token bucket.
class VerifyBudget {
 public:
  explicit VerifyBudget(double per_second, double burst);
  bool take();
  // Slow checks allowed and refused so far, for the health figures.
  uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }
  uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }
  double per_second() const { return per_second_; }

 private:
  std::atomic<uint64_t> taken_{0};
  std::atomic<uint64_t> refused_{0};
  std::mutex mutex_;
  double per_second_;
  double burst_;
  double tokens_;
  std::chrono::steady_clock::time_point last_;
};

// Verifies name/password pairs against stored hashes and remembers the outcomes. Keys cover
// the account name, the stored hash and the password: a changed password or a re-created
// account misses the cache by construction. Slow checks either run on the caller's thread
// (check_now) or on a worker thread of their own (check_later), so that a serving thread never
// spends a deliberately slow hash on a query. Thread-safe.
class CredentialChecker {
 public:
  CredentialChecker(double per_second, double burst, size_t cache_capacity = 100000);
  ~CredentialChecker();
  CredentialChecker(const CredentialChecker &) = delete;
  CredentialChecker &operator=(const CredentialChecker &) = delete;

  enum class Outcome { Unknown, Verified, Rejected };
  Outcome known(std::string_view name, const std::string &stored_hash,
                std::string_view password) const;

  // From the cache, else a slow check here within the budget; nullopt when it is spent.
  std::optional<bool> check_now(std::string_view name, const std::string &stored_hash,
                                std::string_view password);

  // False: a slow check was started (or joined) on the worker thread, which calls done when
  // known() can answer. True: nothing to wait for - the outcome is cached, or the budget or
  // the queue is full and the pair stays unverified this time.
  bool check_later(std::string_view name, const std::string &stored_hash,
                   std::string_view password, std::function<void()> done);

  static constexpr size_t kMaxQueued = 64;
  const VerifyBudget &budget() const { return budget_; }

 private:
  using Digest = std::array<unsigned char, 16>;
  struct DigestHash {
    size_t operator()(const Digest &d) const;
  };
  struct Job {
    Digest digest;
    std::string stored_hash;
    std::string password;
  };
  Digest digest(std::string_view name, const std::string &stored_hash,
                std::string_view password) const;
  void remember(const Digest &digest, bool verified);  // mutex_ held
  void work();

  VerifyBudget budget_;
  size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_set<Digest, DigestHash> verified_;
  std::unordered_set<Digest, DigestHash> rejected_;
  std::unordered_map<Digest, std::vector<std::function<void()>>, DigestHash> waiting_;
  std::deque<Job> queue_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace pv::check
