// pvcheckd: the checking service. Answers from an in-memory index; a maintenance thread polls
// the store's change counter (or acts on SIGHUP), rebuilds the index off to the side and
// swaps it in, and moves query-log records into the store.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "checkingservice/check_service.h"
#include "checkingservice/events.h"
#include "checkingservice/http_front.h"
#include "checkingservice/password.h"
#include "checkingservice/rule_index.h"
#include "checkingservice/store_factory.h"

namespace {

using namespace pv::check;

constexpr const char *kUsage = R"(usage: pvcheckd --db FILE [options]

  --listen ADDRESS          address to listen on (127.0.0.1)
  --port N                  port (8880); 0 picks a free one, printed at start
  --path PATH               path of the checking address (/cgi-bin/checker); * takes any
  --threads N               serving threads (2)
  --request-timeout-ms N    time a request may take to arrive whole (5000)
  --idle-timeout-ms N       idle time before a kept-alive connection is closed (15000)
  --first-byte-timeout-ms N time a new connection may stay silent (2000)
  --max-connections N       open connections at most (4096)
  --max-connections-per-client N
                            open connections from one client address at most (64)
  --poll-ms N               how often the store is asked for changes (1000)
  --verify-rate N           slow password checks per second for one name, and for one
                            client address, at most (10)
  --log-queue-kb N          query-log records waiting for the database, at most (4096 KiB)
  --no-query-log            keep no query log
  --quiet                   log errors only
SIGHUP reloads the rules at once; SIGINT and SIGTERM stop the service.
)";

constexpr long kHour = 3600 * 1000;

struct Options {
  std::string db;
  HttpOptions http;
  ServiceOptions service;
  std::chrono::milliseconds poll{1000};
  bool quiet = false;
};

// Digits only, within [low, high]: "-5", "1; x", " 7" or "99999999999999999999" are refused
// instead of wrapping or being read in part.
long number(const char *text, const std::string &name, long low, long high) {
  const std::string_view digits(text);
  long value = 0;
  bool ok = !digits.empty() && digits.size() <= 12;
  for (char c : digits) {
    if (c < '0' || c > '9') ok = false;
    if (ok) value = value * 10 + (c - '0');
  }
  if (!ok || value < low || value > high) {
    throw std::runtime_error(name + " needs a number from " + std::to_string(low) + " to " +
                             std::to_string(high));
  }
  return value;
}

Options parse(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char * {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (arg == "--db") {
      options.db = value();
    } else if (arg == "--listen") {
      options.http.address = value();
    } else if (arg == "--port") {
      options.http.port = static_cast<int>(number(value(), arg, 0, 65535));
    } else if (arg == "--path") {
      options.service.path = value();
    } else if (arg == "--threads") {
      options.http.threads = static_cast<unsigned>(number(value(), arg, 1, 64));
    } else if (arg == "--request-timeout-ms") {
      options.http.request_timeout = std::chrono::milliseconds(number(value(), arg, 1, kHour));
    } else if (arg == "--idle-timeout-ms") {
      options.http.idle_timeout = std::chrono::milliseconds(number(value(), arg, 1, kHour));
    } else if (arg == "--first-byte-timeout-ms") {
      options.http.first_byte_timeout = std::chrono::milliseconds(number(value(), arg, 1, kHour));
    } else if (arg == "--max-connections") {
      options.http.max_connections = static_cast<size_t>(number(value(), arg, 1, 1000000));
    } else if (arg == "--max-connections-per-client") {
      options.http.max_connections_per_client =
          static_cast<size_t>(number(value(), arg, 1, 1000000));
    } else if (arg == "--poll-ms") {
      options.poll = std::chrono::milliseconds(number(value(), arg, 10, kHour));
    } else if (arg == "--verify-rate") {
      const long rate = number(value(), arg, 1, 10000);
      options.service.verify_per_second = static_cast<double>(rate);
      options.service.verify_burst = static_cast<double>(rate * 2);
    } else if (arg == "--log-queue-kb") {
      options.service.log_queue_bytes = static_cast<size_t>(number(value(), arg, 64, 1 << 20)) << 10;
    } else if (arg == "--no-query-log") {
      options.service.query_log = false;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      throw std::runtime_error("unknown option " + arg);
    }
  }
  if (options.db.empty()) throw std::runtime_error("give --db FILE");
  return options;
}

// Keeps the index current and the query log flowing into the store.
class Maintenance {
 public:
  Maintenance(Store &store, CheckService &service, std::chrono::milliseconds poll,
              size_t log_queue_bytes)
      : store_(store), service_(service), poll_(poll), log_queue_bytes_(log_queue_bytes) {}

  void reload_now() {
    std::lock_guard lock(mutex_);
    reload_requested_ = true;
    wake_.notify_one();
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
  }

  void run() {
    for (;;) {
      bool reload = false;
      bool stopping = false;
      {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, poll_, [&] { return stopping_ || reload_requested_; });
        reload = reload_requested_;
        reload_requested_ = false;
        stopping = stopping_;
      }
      try {
        if (!stopping && (reload || store_.generation() != service_.index()->generation())) {
          rebuild();
        }
      } catch (const std::exception &e) {
        log_error(std::string("cannot reload the rules: ") + e.what());
      }
      flush_log();
      report_health();
      if (stopping) return;
    }
  }

  void rebuild() {
    const auto started = std::chrono::steady_clock::now();
    IndexBuilder builder;
    const uint64_t generation = store_.load(builder);
    auto index = builder.finish(generation);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    log_event("rules loaded: generation " + std::to_string(generation) + ", " +
              std::to_string(index->rule_count()) + " rules, " + std::to_string(ms) + " ms" +
              (builder.dropped() ? ", " + std::to_string(builder.dropped()) + " dropped" : ""));
    service_.publish(std::move(index));
    loaded_ms_ = wall_ms();
  }

 private:
  static int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // For the console's health figures, every few seconds; a failure only costs the figures.
  void report_health() {
    const int64_t now = wall_ms();
    if (now - reported_ms_ < 5000) return;
    ServiceHealth health;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    health.instance = std::string(host) + ":" + std::to_string(getpid());
    health.time_ms = now;
    health.started_ms = started_ms_;
    const auto index = service_.index();
    health.generation = index->generation();
    health.loaded_ms = loaded_ms_;
    health.rules = index->rule_count();
    health.queries_per_second =
        reported_ms_ > 0 ? static_cast<double>(logged_since_report_) * 1000.0 /
                               static_cast<double>(now - reported_ms_)
                         : 0.0;
    health.dropped_log_records = service_.dropped_log_records();
    const CredentialChecker &checks = service_.credentials();
    const uint64_t slow = checks.slow_checks();
    health.slow_checks_per_second =
        reported_ms_ > 0 ? static_cast<double>(slow - slow_at_report_) * 1000.0 /
                               static_cast<double>(now - reported_ms_)
                         : 0.0;
    health.slow_check_budget = checks.budget_per_second();
    health.slow_checks_refused = checks.slow_checks_refused();
    slow_at_report_ = slow;
    logged_since_report_ = 0;
    reported_ms_ = now;
    try {
      store_.report_health(health);
    } catch (const std::exception &e) {
      log_error(std::string("cannot report health: ") + e.what());
    }
  }

  // Records that cannot be written (the database locked or full) wait for the next round,
  // at most log_queue_bytes of them; older ones beyond that are dropped, counted and logged.
  void flush_log() {
    std::vector<QueryLogRecord> records = service_.take_log();
    logged_since_report_ += records.size();
    if (!unsent_.empty()) {
      records.insert(records.begin(), std::make_move_iterator(unsent_.begin()),
                     std::make_move_iterator(unsent_.end()));
      unsent_.clear();
    }
    const uint64_t dropped = service_.dropped_log_records();
    if (dropped != reported_drops_) {
      log_error("query log fell behind: " + std::to_string(dropped - reported_drops_) +
                " records dropped");
      reported_drops_ = dropped;
    }
    if (records.empty()) return;
    try {
      store_.append_query_log(records, service_.index()->log_keep());
    } catch (const std::exception &e) {
      size_t bytes = 0;
      size_t first_kept = records.size();
      while (first_kept > 0 &&
             bytes + queued_bytes(records[first_kept - 1]) <= log_queue_bytes_) {
        bytes += queued_bytes(records[--first_kept]);
      }
      unsent_.assign(std::make_move_iterator(records.begin() + first_kept),
                     std::make_move_iterator(records.end()));
      log_error("cannot write the query log (" + std::to_string(unsent_.size()) +
                " records kept for the next try, " + std::to_string(first_kept) +
                " dropped): " + e.what());
    }
  }

  Store &store_;
  CheckService &service_;
  std::chrono::milliseconds poll_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool reload_requested_ = false;
  bool stopping_ = false;
  uint64_t reported_drops_ = 0;
  size_t log_queue_bytes_;
  std::vector<QueryLogRecord> unsent_;
  int64_t started_ms_ = wall_ms();
  int64_t loaded_ms_ = 0;
  int64_t reported_ms_ = 0;
  uint64_t logged_since_report_ = 0;
  uint64_t slow_at_report_ = 0;
};

int serve(const Options &options) {
  if (!init_crypto()) throw std::runtime_error("cannot start libsodium");
  set_event_log_quiet(options.quiet);

  // Signals are taken by sigwait below; every thread started from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const auto opened = open_store(options.db, OpenMode::Existing);
  Store &store = *opened;
  CheckService service(options.service);
  Maintenance maintenance(store, service, options.poll, options.service.log_queue_bytes);
  maintenance.rebuild();

  std::vector<CheckService::Context *> contexts;
  for (unsigned i = 0; i < std::max(1u, options.http.threads); ++i) {
    contexts.push_back(&service.new_context(true));
  }
  HttpFront front(
      options.http,
      [&](std::string_view method, std::string_view target, std::string_view peer,
          unsigned thread) { return service.answer(*contexts[thread], method, target, peer); },
      [&](std::string_view target, std::string_view client, unsigned thread,
          std::function<void()> resume) {
        return service.prepare(*contexts[thread], target, client, std::move(resume));
      });
  const int port = front.bind();
  front.start();
  std::thread maintenance_thread([&] { maintenance.run(); });

  const bool v6 = options.http.address.find(':') != std::string::npos;
  std::printf("pvcheckd: listening on http://%s%s%s:%d%s\n", v6 ? "[" : "",
              options.http.address.c_str(), v6 ? "]" : "", port, options.service.path.c_str());
  std::fflush(stdout);

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGHUP) {
      log_event("SIGHUP: reloading the rules");
      maintenance.reload_now();
      continue;
    }
    break;
  }
  log_event("stopping");
  front.stop();
  maintenance.stop();
  maintenance_thread.join();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return serve(parse(argc, argv));
  } catch (const std::exception &e) {
    std::fprintf(stderr, "pvcheckd: %s\n", e.what());
    return 1;
  }
}
