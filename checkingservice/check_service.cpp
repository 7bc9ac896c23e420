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

bool CheckService::prepare(Context &context, std::string_view target,
                           std::function<void()> resume) {
  const CheckQuery query = parse_check_target(target);
  if (!query.url || !query.log || query.log->empty()) return true;
  const RuleIndex &index = current(context);
  const RuleIndex::Account *named = index.find_account(*query.log);
  if (!named || named == &index.stranger() || !named->password_hash) return true;
  return credentials_.check_later(*query.log, *named->password_hash,
                                  query.pwd.value_or(std::string_view()), std::move(resume));
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
  bool verified = false;
  const std::string_view name = query.log.value_or(std::string_view());
  if (!name.empty()) {
    const RuleIndex::Account *named = index.find_account(name);
    if (named && named != account && named->password_hash) {
      const std::string_view password = query.pwd.value_or(std::string_view());
      std::optional<bool> ok;
      if (context.gated) {
        switch (credentials_.known(name, *named->password_hash, password)) {
          case CredentialChecker::Outcome::Verified: ok = true; break;
          case CredentialChecker::Outcome::Rejected: ok = false; break;
          case CredentialChecker::Outcome::Unknown: break;
        }
      } else {
        ok = credentials_.check_now(name, *named->password_hash, password);
      }
      if (!ok) {
        log_event("password checks over budget: \"" + printable(name, 64) +
                  "\" answered as a stranger");
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
  } else {
    const RuleIndex::Decision decision = index.decide(*account, parse_address(*query.url));
    switch (decision.verdict) {
      case Verdict::Allow: reply.body = "000"; break;
      case Verdict::Forbid: reply.body = "001"; break;
      case Verdict::Relocate: reply.body = "004" + account->relocation; break;
    }
    if (options_.query_log) reason = index.describe(decision);
  }

  if (options_.query_log) {
    QueryLogRecord entry;
    entry.time_ms = now_ms();
    entry.account = std::string(name.substr(0, kLoggedAccountBytes));
    entry.verified = verified;
    entry.address = std::string(query.url->substr(0, kLoggedAddressBytes));
    entry.verdict = reply.body.substr(0, 3);
    entry.reason = std::move(reason);
    record(context, std::move(entry));
  }
  return reply;
}

void CheckService::record(Context &context, QueryLogRecord entry) {
  std::lock_guard lock(context.log_mutex);
  if (context.log.size() >= options_.log_queue_limit) {
    dropped_log_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  context.log.push_back(std::move(entry));
}

std::vector<QueryLogRecord> CheckService::take_log() {
  std::vector<QueryLogRecord> all;
  std::lock_guard lock(contexts_mutex_);
  for (auto &context : contexts_) {
    std::vector<QueryLogRecord> taken;
    {
      std::lock_guard log_lock(context->log_mutex);
      taken.swap(context->log);
    }
    all.insert(all.end(), std::make_move_iterator(taken.begin()),
               std::make_move_iterator(taken.end()));
  }
  std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
    return a.time_ms < b.time_ms;
  });
  return all;
}

}  // namespace pv::check
