#include "checkingservice/password.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pv::check {
namespace {

// One key per process, drawn at start: digests from another run mean nothing.
std::array<unsigned char, crypto_generichash_KEYBYTES> g_cache_key;
std::once_flag g_cache_key_once;

const unsigned char *cache_key() {
  std::call_once(g_cache_key_once, [] { randombytes_buf(g_cache_key.data(), g_cache_key.size()); });
  return g_cache_key.data();
}

void update_with_length(crypto_generichash_state &state, std::string_view part) {
  const uint64_t length = part.size();
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(length >> (8 * i));
  crypto_generichash_update(&state, bytes, sizeof bytes);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(part.data()),
                            part.size());
}

}  // namespace

bool init_crypto() { return sodium_init() >= 0; }

std::string hash_password(std::string_view password, HashCost cost) {
  unsigned long long ops = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t mem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (cost == HashCost::Moderate) {
    ops = crypto_pwhash_OPSLIMIT_MODERATE;
    mem = crypto_pwhash_MEMLIMIT_MODERATE;
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

VerifyBudget::VerifyBudget(double per_second, double burst)
    : per_second_(per_second), burst_(std::max(1.0, burst)), tokens_(burst_),
      last_(std::chrono::steady_clock::now()) {}

bool VerifyBudget::take() {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  tokens_ = std::min(burst_, tokens_ + elapsed * per_second_);
  if (tokens_ < 1.0) {
    refused_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  tokens_ -= 1.0;
  taken_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

CredentialChecker::CredentialChecker(double per_second, double burst, size_t cache_capacity)
    : budget_(per_second, burst), capacity_(std::max<size_t>(1, cache_capacity)),
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
  crypto_generichash_state state;
  crypto_generichash_init(&state, cache_key(), crypto_generichash_KEYBYTES, 16);
  update_with_length(state, name);
  update_with_length(state, stored_hash);
  update_with_length(state, password);
  Digest out;
  crypto_generichash_final(&state, out.data(), out.size());
  return out;
}

void CredentialChecker::remember(const Digest &d, bool verified) {
  auto &set = verified ? verified_ : rejected_;
  // Forgetting everything at the cap keeps memory bounded; the cost is one slow hash per
  // account afterwards.
  if (set.size() >= capacity_) set.clear();
  set.insert(d);
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
                                                 std::string_view password) {
  const Digest d = digest(name, stored_hash, password);
  {
    std::lock_guard lock(mutex_);
    if (verified_.contains(d)) return true;
    if (rejected_.contains(d)) return false;
  }
  if (!budget_.take()) return std::nullopt;
  const bool ok = verify_password(stored_hash, password);
  std::lock_guard lock(mutex_);
  remember(d, ok);
  return ok;
}

bool CredentialChecker::check_later(std::string_view name, const std::string &stored_hash,
                                    std::string_view password, std::function<void()> done) {
  const Digest d = digest(name, stored_hash, password);
  std::lock_guard lock(mutex_);
  if (verified_.contains(d) || rejected_.contains(d)) return true;
  if (auto it = waiting_.find(d); it != waiting_.end()) {
    it->second.push_back(std::move(done));
    return false;
  }
  if (queue_.size() >= kMaxQueued || !budget_.take()) return true;
  waiting_[d].push_back(std::move(done));
  queue_.push_back({d, stored_hash, std::string(password)});
  wake_.notify_one();
  return false;
}

void CredentialChecker::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    const bool ok = verify_password(job.stored_hash, job.password);
    sodium_memzero(job.password.data(), job.password.size());
    std::vector<std::function<void()>> waiters;
    {
      std::lock_guard lock(mutex_);
      remember(job.digest, ok);
      if (auto it = waiting_.find(job.digest); it != waiting_.end()) {
        waiters = std::move(it->second);
        waiting_.erase(it);
      }
    }
    for (auto &done : waiters) {
      try {
        done();
      } catch (...) {
        // A waiter that cannot be told just stays parked until its connection ends.
      }
    }
  }
}

}  // namespace pv::check
