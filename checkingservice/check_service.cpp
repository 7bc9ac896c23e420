#include "checkingservice/check_service.h"

#include <algorithm>
#include <chrono>

#include "checkingservice/events.h"
#include "checkingservice/query.h"

namespace pv::check {
namespace {

Reply malformed(int status, std::string_view what, std::string_view peer) {
  log_event("malformed request from " + printable(peer, 64) + ": " + std::string(what));
  return {status, "000"};
}

bool host_fits(std::string_view host) {
  return host.size() <= kMaxHostBytes &&
         static_cast<size_t>(std::count(host.begin(), host.end(), '.')) < kMaxHostLabels;
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CheckService::CheckService(ServiceOptions options)
    : options_(std::move(options)),
      credentials_(options_.verify_per_second, options_.verify_burst) {
  IndexBuilder empty;
  publish(empty.finish(0));
}

void CheckService::publish(std::shared_ptr<const RuleIndex> index) {
  std::lock_guard lock(index_mutex_);
  index_ = std::move(index);
  index_version_.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<const RuleIndex> CheckService::index() const {
  std::lock_guard lock(index_mutex_);
  return index_;
}

CheckService::Context &CheckService::new_context(bool gated) {
  std::lock_guard lock(contexts_mutex_);
  contexts_.push_back(std::make_unique<Context>(gated));
  return *contexts_.back();
}

const RuleIndex &CheckService::current(Context &context) {
  if (const uint64_t version = index_version_.load(std::memory_order_acquire);
      version != context.version) {
    std::lock_guard lock(index_mutex_);
    context.index = index_;
    context.version = index_version_.load(std::memory_order_relaxed);
  }
  return *context.index;
}

namespace {

// The hash a name's password is checked against: an account's own, or none (empty) for a
// name that cannot log in, which the checker then compares with a decoy of the same cost.
const std::string &hash_of(const RuleIndex &index, const RuleIndex::Account *named) {
  static const std::string kNone;
  if (!named || named == &index.stranger() || !named->password_hash) return kNone;
  return *named->password_hash;
}

}  // namespace

bool CheckService::prepare(Context &context, std::string_view target, std::string_view client,
                           const CredentialChecker::MakeDone &make_resume) {
  context.prepared_target = nullptr;
  const CheckQuery query = parse_check_target(target);
  if (!query.url || !query.log || query.log->empty() || !query.pwd || query.pwd->empty()) {
    return true;
  }
  const RuleIndex &index = current(context);
  const CredentialChecker::Later later = credentials_.check_later(
      *query.log, hash_of(index, index.find_account(*query.log)), *query.pwd, make_resume,
      client);
  if (later.waiting) return false;
  context.prepared_target = target.data();
  context.prepared_size = target.size();
  context.prepared_version = context.version;
  context.prepared = later.outcome;
  return true;
}

Reply CheckService::answer(Context &context, std::string_view method, std::string_view target,
                           std::string_view peer) {
  if (method != "GET" && method != "HEAD") {
    return malformed(405, "method " + printable(method, 16), peer);
  }
  const CheckQuery query = parse_check_target(target);
  if (options_.path != "*" && query.path != options_.path) {
    return malformed(404, "unknown path " + printable(query.path, 100), peer);
  }
  if (!query.url) return malformed(400, "no url= in the query", peer);

  const RuleIndex &index = current(context);

  const RuleIndex::Account *account = &index.stranger();
  // A pair whose check could not be made in time: answered by the stricter of its account and
  // the stranger profile.
  const RuleIndex::Account *unchecked = nullptr;
  bool verified = false;
  const std::string_view name = query.log.value_or(std::string_view());
  const std::string_view password = query.pwd.value_or(std::string_view());
  if (!name.empty() && !password.empty()) {
    const RuleIndex::Account *named = index.find_account(name);
    const std::string &hash = hash_of(index, named);
    std::optional<bool> ok;
    if (context.gated) {
      // Only for the same request, answered from the same index (whose hash was checked).
      const bool prepared = context.prepared_target == target.data() &&
                            context.prepared_size == target.size() &&
                            context.prepared_version == context.version;
      context.prepared_target = nullptr;
      switch (prepared ? context.prepared : credentials_.known(name, hash, password)) {
        case CredentialChecker::Outcome::Verified: ok = true; break;
        case CredentialChecker::Outcome::Rejected: ok = false; break;
        case CredentialChecker::Outcome::Unknown: break;
      }
    } else {
      ok = credentials_.check_now(name, hash, password, peer);
    }
    if (!hash.empty()) {
      if (!ok) {
        log_event("password not checked in time: \"" + printable(name, 64) +
                  "\" answered by the stricter of its account and the stranger profile");
        unchecked = named;
      } else if (*ok) {
        account = named;
        verified = true;
      }
    }
  }

  Reply reply;
  std::string reason;
  if (query.url->empty()) {
    reply.body = "000";
    reason = "empty address";
  } else if (parse_address(*query.url, context.address); !host_fits(context.address.host)) {
    // No name server resolves such a host, so nothing is lost by forbidding it; matching it
    // would cost time in the number of its labels.
    reply.body = "001";
    reason = "invalid host";
  } else {
    const AddressParts &address = context.address;
    RuleIndex::Decision decision = index.decide(*account, address);
    if (unchecked && decision.verdict != Verdict::Forbid) {
      const RuleIndex::Decision own = index.decide(*unchecked, address);
      if (own.verdict == Verdict::Forbid) decision = own;
    }
    switch (decision.verdict) {
      case Verdict::Allow: reply.body = "000"; break;
      case Verdict::Forbid: reply.body = "001"; break;
      case Verdict::Relocate: reply.body = "004" + account->relocation; break;
    }
    if (options_.query_log) {
      reason = index.describe(decision);
      if (unchecked) reason += ", password not checked";
    }
  }

  if (options_.query_log) {
    QueryLogRecord entry;
    entry.time_ms = now_ms();
    entry.account = std::string(name.substr(0, kLoggedAccountBytes));
    entry.verified = verified;
    entry.address = std::string(query.url->substr(0, kLoggedAddressBytes));
    entry.verdict = reply.body.substr(0, 3);
    if (reason.size() > kLoggedReasonBytes) reason.resize(kLoggedReasonBytes);
    entry.reason = std::move(reason);
    record(context, std::move(entry));
  }
  return reply;
}

size_t queued_bytes(const QueryLogRecord &record) {
  // What the allocator takes for a string's bytes: nothing for a short one held inside the
  // string, else its capacity, the terminating NUL and the chunk header, in 16-byte steps.
  const auto heap = [](const std::string &text) -> size_t {
    return text.capacity() <= 15 ? 0 : (text.capacity() + 24) & ~size_t{15};
  };
  return sizeof record + heap(record.account) + heap(record.address) + heap(record.verdict) +
         heap(record.reason);
}

void CheckService::record(Context &context, QueryLogRecord entry) {
  const size_t bytes = queued_bytes(entry);
  if (queued_log_bytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes >
      options_.log_queue_bytes) {
    queued_log_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
    dropped_log_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::lock_guard lock(context.log_mutex);
  context.log.push_back(std::move(entry));
}

std::vector<QueryLogRecord> CheckService::take_log(size_t *held) {
  std::vector<std::vector<QueryLogRecord>> taken;
  size_t count = 0;
  size_t bytes = 0;
  {
    std::lock_guard lock(contexts_mutex_);
    for (auto &context : contexts_) {
      std::vector<QueryLogRecord> records;
      {
        std::lock_guard log_lock(context->log_mutex);
        records.swap(context->log);
      }
      for (const auto &entry : records) bytes += queued_bytes(entry);
      count += records.size();
      if (!records.empty()) taken.push_back(std::move(records));
    }
  }
  std::vector<QueryLogRecord> all;
  if (taken.size() == 1) {
    all.swap(taken.front());
  } else {
    all.reserve(count);
    for (auto &records : taken) {
      all.insert(all.end(), std::make_move_iterator(records.begin()),
                 std::make_move_iterator(records.end()));
      std::vector<QueryLogRecord>().swap(records);
    }
  }
  if (held) {
    *held = bytes;
  } else {
    release_log(bytes);
  }
  // Oldest first, in place: the order is found on positions (ties keep it) and then applied
  // cycle by cycle, so that the batch is never held twice.
  if (!std::is_sorted(all.begin(), all.end(),
                      [](const auto &a, const auto &b) { return a.time_ms < b.time_ms; })) {
    std::vector<uint32_t> order(all.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return all[a].time_ms < all[b].time_ms; });
    for (uint32_t start = 0; start < order.size(); ++start) {
      if (order[start] == start) continue;
      QueryLogRecord carried = std::move(all[start]);
      uint32_t at = start;
      while (order[at] != start) {
        all[at] = std::move(all[order[at]]);
        const uint32_t next = order[at];
        order[at] = at;
        at = next;
      }
      all[at] = std::move(carried);
      order[at] = at;
    }
  }
  return all;
}

void CheckService::release_log(size_t held) {
  queued_log_bytes_.fetch_sub(held, std::memory_order_relaxed);
}

}  // namespace pv::check
