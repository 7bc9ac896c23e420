// Account passwords: stored only as salted Argon2id hashes (libsodium crypto_pwhash_str). The
// wire format sends the password in clear with every query, so a verified pair is remembered
// under a keyed BLAKE2b digest with a per-process random key: later queries cost a hash of a
// few dozen bytes instead of the deliberately slow one, and nothing reversible is kept.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

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

 private:
  std::mutex mutex_;
  double per_second_;
  double burst_;
  double tokens_;
  std::chrono::steady_clock::time_point last_;
};

// Remembers outcomes of slow verifications for one serving thread (so no locking). Keys
// cover the account name, the stored hash and the password: a changed password or a
// re-created account misses the cache by construction.
class CredentialCache {
 public:
  explicit CredentialCache(size_t capacity = 100000);

  enum class Outcome { Unknown, Verified, Rejected };
  Outcome lookup(std::string_view name, const std::string &stored_hash,
                 std::string_view password) const;
  void remember(std::string_view name, const std::string &stored_hash,
                std::string_view password, bool verified);

 private:
  using Digest = std::array<unsigned char, 16>;
  struct DigestHash {
    size_t operator()(const Digest &d) const;
  };
  Digest digest(std::string_view name, const std::string &stored_hash,
                std::string_view password) const;

  size_t capacity_;
  std::unordered_set<Digest, DigestHash> verified_;
  std::unordered_set<Digest, DigestHash> rejected_;
};

// Verifies name/password against the stored hash, consulting and filling the cache, within
// the budget. nullopt: the budget was spent, the pair stays unverified this time.
std::optional<bool> check_credentials(CredentialCache &cache, VerifyBudget &budget,
                                      std::string_view name, const std::string &stored_hash,
                                      std::string_view password);

}  // namespace pv::check
