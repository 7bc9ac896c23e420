// pvcheckd: the checking service. Answers from an in-memory index; a maintenance thread polls
// the store's change counter (or acts on SIGHUP), rebuilds the index off to the side and
// swaps it in, and moves query-log records into the store.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "checkingservice/check_service.h"
#include "checkingservice/events.h"
#include "checkingservice/http_front.h"
#include "checkingservice/password.h"
#include "checkingservice/rule_index.h"
#include "checkingservice/store_factory.h"

namespace {

using namespace pv::check;

constexpr const char *kUsage = R"(usage: pvcheckd --db FILE|postgresql://... [options]

  --listen ADDRESS          address to listen on (127.0.0.1)
  --port N                  port (8880); 0 picks a free one, printed at start
  --path PATH               path of the checking address (/cgi-bin/checker); * takes any
  --health-path PATH        path of this instance's health answer for a load balancer
                            (/health)
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
  --instance NAME           name of this instance in the query log and health figures
                            (host name:process id)
  --wait-for-db-s N         at start, wait up to N seconds for an unreachable database (0:
                            exit at once with a message)
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
  std::string health_path = "/health";
  std::string instance;
  std::chrono::seconds wait_for_db{0};
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
    } else if (arg == "--health-path") {
      options.health_path = value();
      if (options.health_path.size() < 2 || options.health_path[0] != '/' ||
          options.health_path.find_first_of("?# ") != std::string::npos) {
        throw std::runtime_error("--health-path needs a path such as /health");
      }
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
    } else if (arg == "--instance") {
      options.instance = value();
      if (options.instance.empty() || options.instance.size() > 128) {
        throw std::runtime_error("--instance needs a name of 1 to 128 bytes");
      }
    } else if (arg == "--wait-for-db-s") {
      options.wait_for_db = std::chrono::seconds(number(value(), arg, 0, 86400));
    } else if (arg == "--no-query-log") {
      options.service.query_log = false;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      throw std::runtime_error("unknown option " + arg);
    }
  }
  if (options.db.empty()) throw std::runtime_error("give --db FILE");
  if (options.health_path == options.service.path) {
    throw std::runtime_error("--health-path must differ from --path");
  }
  if (options.instance.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    options.instance = std::string(host) + ":" + std::to_string(getpid());
  }
  return options;
}

bool is_health_check(std::string_view method, std::string_view target, std::string_view path) {
  return (method == "GET" || method == "HEAD") && target.substr(0, target.find('?')) == path;
}

// Keeps the index current and the query log flowing into the store.
class Maintenance {
 public:
  Maintenance(Store &store, CheckService &service, std::chrono::milliseconds poll,
              size_t log_queue_bytes, std::string instance)
      : store_(store),
        service_(service),
        poll_(poll),
        log_queue_bytes_(log_queue_bytes),
        instance_(std::move(instance)),
        writer_(instance_ + "/" + start_id()) {}

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
      wait();
      bool reload = false;
      bool stopping = false;
      {
        std::lock_guard lock(mutex_);
        reload = reload_requested_;
        reload_requested_ = false;
        stopping = stopping_;
      }
      if (!database_usable()) {
        if (stopping) return report_unwritten();
        continue;
      }
      try {
        if (!stopping && (reload || store_.generation() != service_.index()->generation())) {
          rebuild();
        }
      } catch (const std::exception &e) {
        database_failed(std::string("cannot reload the rules: ") + e.what());
      }
      if (down_since_ == 0) flush_log();
      if (down_since_ == 0) write_upgrades();
      if (down_since_ == 0) report_health(stopping);
      if (stopping) return report_unwritten();
    }
  }

  void rebuild() {
    const auto started = std::chrono::steady_clock::now();
    IndexBuilder builder(service_.index());
    const uint64_t generation = store_.load(builder);
    const auto read = std::chrono::steady_clock::now();
    auto index = builder.finish(generation);
    const auto done = std::chrono::steady_clock::now();
    const auto ms = [](auto from, auto to) {
      return std::to_string(
          std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
    };
    // Where the time went: reading the store (with the records added or compared as they
    // come) and the tables built afterwards.
    log_event("rules loaded: generation " + std::to_string(generation) + ", " +
              std::to_string(index->rule_count()) + " rules, " + ms(started, done) +
              " ms (reading " + ms(started, read) + " ms, tables " + ms(read, done) + " ms; " +
              std::to_string(builder.taken_over()) + " of " +
              std::to_string(index->own_segments()) + " large lists taken over)" +
              (builder.dropped() ? ", " + std::to_string(builder.dropped()) + " dropped" : ""));
    service_.publish(std::move(index));
    loaded_ms_ = wall_ms();
  }

  // The balancer's health check and the administrator's look at this instance, answered on a
  // serving thread. Status 200 whenever the instance answers queries, which it does from its
  // index also while the database is down: a check that failed with the database would take
  // every instance out of the balancer at once when the shared database goes, and the
  // balancer's own error page would then be read by the filters as "allowed".
  std::string health_answer() const {
    const int64_t now = wall_ms();
    const auto index = service_.index();
    const int64_t down_since = down_since_;
    const int64_t loaded = loaded_ms_;
    const nlohmann::json answer = {
        {"instance", instance_},
        {"generation", index->generation()},
        {"index_age_s", loaded > 0 ? (now - loaded) / 1000 : 0},
        {"rules", index->rule_count()},
        {"database", down_since == 0 ? "reachable" : "down"},
        {"database_down_since_ms", down_since},
        {"database_down_s", down_since == 0 ? 0 : (now - down_since) / 1000},
        {"log_records_buffered", buffered_.load()},
        {"log_records_dropped", dropped_total()},
    };
    // An instance name is the administrator's bytes: whatever is not UTF-8 is replaced.
    return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }

 private:
  // Query-log records on their way to the store, under an id that goes into the transaction
  // writing them (writer_ and sequence): a batch whose commit reached the database but whose
  // reply was lost with the connection is sent again as it is and recognised there, instead
  // of being written twice.
  struct Batch {
    uint64_t sequence = 0;
    std::vector<QueryLogRecord> records;
  };

  static int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // Tells this start of the instance from earlier ones of the same name.
  static std::string start_id() {
    std::random_device random;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", random(), random());
    return text;
  }

  uint64_t dropped_total() const { return service_.dropped_log_records() + unsent_dropped_; }

  // Until the next round: poll_ at most, sooner when a change is announced (a shared
  // database's notification), a reload is asked for, or the service stops. Generation is
  // compared every round anyway, so a lost notification costs at most poll_.
  void wait() {
    const auto deadline = std::chrono::steady_clock::now() + poll_;
    for (;;) {
      std::unique_lock lock(mutex_);
      if (stopping_ || reload_requested_) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      if (!store_.announces_changes() || down_since_ != 0) {
        wake_.wait_for(lock, left, [&] { return stopping_ || reload_requested_; });
        return;
      }
      lock.unlock();
      try {
        // Short slices, so that a stop or SIGHUP is seen within a tenth of a second.
        if (store_.wait_for_change(std::min(left, std::chrono::milliseconds(100)))) return;
      } catch (const std::exception &e) {
        database_failed(std::string("lost the database: ") + e.what());
        return;
      }
    }
  }

  void report_unwritten() {
    take_log();
    if (const uint64_t waiting = waiting_records(); waiting > 0) {
      log_error("stopping with " + std::to_string(waiting) +
                " query-log records the database did not take");
    }
  }

  // Whether the database may be used this round. While it is unreachable the service keeps
  // answering from its last index; connecting again is tried with a growing pause (up to
  // 10 s) so that a database coming back is not flooded by every instance at once.
  bool database_usable() {
    if (down_since_ == 0) return true;
    // Meanwhile the query log still moves from the service into the bounded buffer.
    take_log();
    keep_newest();
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) return false;
    if (store_.reconnect()) {
      const auto down_for =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - down_started_);
      log_error("the database is reachable again after " +
                std::to_string(down_for.count() / 1000) + " s; " +
                std::to_string(waiting_records()) + " query-log records to write");
      // The health row written next tells the console about the outage it could not see.
      outage_since_ms_ = down_since_;
      outage_ms_ = down_for.count();
      outage_buffered_ = waiting_records();
      outage_dropped_ = dropped_total() - dropped_at_outage_;
      report_now_ = true;
      down_since_ = 0;
      backoff_ = std::chrono::milliseconds(0);
      return true;
    }
    backoff_ = std::min<std::chrono::milliseconds>(
        std::chrono::milliseconds(10000),
        std::max<std::chrono::milliseconds>(std::chrono::milliseconds(250), backoff_ * 2));
    next_attempt_ = now + backoff_;
    return false;
  }

  void database_failed(const std::string &message) {
    if (down_since_ == 0) {
      down_since_ = wall_ms();
      down_started_ = std::chrono::steady_clock::now();
      next_attempt_ = down_started_ + std::chrono::milliseconds(250);
      backoff_ = std::chrono::milliseconds(250);
      dropped_at_outage_ = dropped_total();
      log_error(message + "; answering from the index of generation " +
                std::to_string(service_.index()->generation()) + " until it is back");
    }
  }

  // Hashes that successful checks found costlier than the service's cost are replaced where
  // they are still the same; a failure leaves the old hash, which still verifies.
  void write_upgrades() {
    for (const HashUpgrade &upgrade : service_.take_hash_upgrades()) {
      try {
        if (store_.upgrade_password_hash(upgrade.name, upgrade.old_hash, upgrade.new_hash)) {
          log_event("password hash of \"" + printable(upgrade.name, 64) +
                    "\" replaced by one of the service's cost");
        }
      } catch (const std::exception &e) {
        log_error(std::string("cannot store a password hash of the service's cost: ") +
                  e.what());
      }
    }
  }

  // For the console's health figures, every few seconds, at once after an outage, and as the
  // last word of a stopping instance; a failure only costs the figures.
  void report_health(bool stopping) {
    const int64_t now = wall_ms();
    if (!stopping && !report_now_ && now - reported_ms_ < 5000) return;
    report_now_ = false;
    ServiceHealth health;
    health.instance = instance_;
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
    health.dropped_log_records = dropped_total();
    const CredentialChecker &checks = service_.credentials();
    const uint64_t slow = checks.slow_checks();
    health.slow_checks_per_second =
        reported_ms_ > 0 ? static_cast<double>(slow - slow_at_report_) * 1000.0 /
                               static_cast<double>(now - reported_ms_)
                         : 0.0;
    health.slow_check_budget = checks.budget_per_second();
    health.slow_checks_refused = checks.slow_checks_refused();
    health.outage_since_ms = outage_since_ms_;
    health.outage_ms = outage_ms_;
    health.outage_buffered = outage_buffered_;
    health.outage_dropped = outage_dropped_;
    health.stopped_ms = stopping ? now : 0;
    slow_at_report_ = slow;
    logged_since_report_ = 0;
    reported_ms_ = now;
    try {
      store_.report_health(health);
    } catch (const std::exception &e) {
      log_error(std::string("cannot report health: ") + e.what());
    }
  }

  uint64_t waiting_records() const {
    return unsent_.size() + (in_doubt_ ? in_doubt_->records.size() : 0);
  }

  // Takes the service's new records behind those waiting already. held: as the service's
  // take_log, their memory goes on counting against its bound until released.
  void take_log(size_t *held = nullptr) {
    std::vector<QueryLogRecord> records = service_.take_log(held);
    logged_since_report_ += records.size();
    if (unsent_.empty()) {
      unsent_ = std::move(records);
    } else {
      unsent_.insert(unsent_.end(), std::make_move_iterator(records.begin()),
                     std::make_move_iterator(records.end()));
    }
    const uint64_t dropped = service_.dropped_log_records();
    if (dropped != reported_drops_) {
      log_error("query log fell behind: " + std::to_string(dropped - reported_drops_) +
                " records dropped");
      reported_drops_ = dropped;
    }
    buffered_ = waiting_records();
  }

  // Keeps the newest log_queue_bytes of the waiting records (the batch in doubt holds the
  // oldest); older ones beyond that are dropped, counted and logged.
  void keep_newest() {
    size_t bytes = 0;
    for (const auto &record : unsent_) bytes += queued_bytes(record);
    if (in_doubt_) {
      for (const auto &record : in_doubt_->records) bytes += queued_bytes(record);
    }
    uint64_t dropped = 0;
    const auto drop_oldest = [&](std::vector<QueryLogRecord> &records) {
      size_t first_kept = 0;
      while (first_kept < records.size() && bytes > log_queue_bytes_) {
        bytes -= queued_bytes(records[first_kept++]);
      }
      records.erase(records.begin(), records.begin() + static_cast<ptrdiff_t>(first_kept));
      dropped += first_kept;
    };
    if (in_doubt_) {
      // What is left of it keeps its id: had it been written after all, it is still
      // recognised.
      drop_oldest(in_doubt_->records);
      if (in_doubt_->records.empty()) in_doubt_.reset();
    }
    drop_oldest(unsent_);
    buffered_ = waiting_records();
    if (dropped > 0) {
      unsent_dropped_ += dropped;
      log_error("query log buffer full while the database cannot be written: " +
                std::to_string(dropped) + " records dropped (" +
                std::to_string(unsent_dropped_.load()) + " in all)");
    }
  }

  // Records that cannot be written (the database locked, full or gone) wait for the next
  // round, at most log_queue_bytes of them; older ones beyond that are dropped, counted and
  // logged. A batch that failed goes again first, unchanged but for records dropped.
  void flush_log() {
    // The batch counts against the service's bound while it is being written, so that under
    // a flood the batch and the records queued behind it stay within the bound together.
    size_t held = 0;
    take_log(&held);
    const struct Release {
      CheckService &service;
      const size_t &held;
      ~Release() { service.release_log(held); }
    } release{service_, held};
    std::string error;
    if (in_doubt_) {
      error = write(*in_doubt_);
      if (error.empty()) in_doubt_.reset();
    }
    if (error.empty() && !unsent_.empty()) {
      Batch batch{++sequence_, std::exchange(unsent_, {})};
      error = write(batch);
      if (!error.empty()) in_doubt_ = std::move(batch);
    }
    buffered_ = waiting_records();
    if (error.empty()) return;
    keep_newest();
    log_error("cannot write the query log (" + std::to_string(waiting_records()) +
              " records kept for the next try): " + error);
    if (!store_.reconnect()) database_failed("lost the database: " + error);
  }

  // The reason the batch was not written, or nothing.
  std::string write(const Batch &batch) {
    try {
      if (!store_.append_query_log(batch.records, service_.index()->log_keep(),
                                   {writer_, batch.sequence})) {
        log_error(std::to_string(batch.records.size()) +
                  " query-log records had been written before the reply to their commit was "
                  "lost; not written again");
      }
      return {};
    } catch (const std::exception &e) {
      return e.what();
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
  std::optional<Batch> in_doubt_;       // sent, not known to be written
  std::vector<QueryLogRecord> unsent_;  // not sent yet
  uint64_t sequence_ = 0;
  std::atomic<uint64_t> buffered_{0};  // records in both, for the health answer
  std::atomic<uint64_t> unsent_dropped_{0};
  std::string instance_;
  std::string writer_;  // the instance's name and this start's id
  std::atomic<int64_t> down_since_{0};  // wall time the database was lost; 0: reachable
  std::chrono::steady_clock::time_point down_started_, next_attempt_;
  std::chrono::milliseconds backoff_{0};
  uint64_t dropped_at_outage_ = 0;
  int64_t outage_since_ms_ = 0, outage_ms_ = 0;
  uint64_t outage_buffered_ = 0, outage_dropped_ = 0;
  bool report_now_ = false;
  int64_t started_ms_ = wall_ms();
  std::atomic<int64_t> loaded_ms_{0};
  int64_t reported_ms_ = 0;
  uint64_t logged_since_report_ = 0;
  uint64_t slow_at_report_ = 0;
};

int serve(const Options &options) {
  // Large buffers (the vectors of a query-log batch) are mapped for themselves and handed
  // back when freed. The allocator would otherwise raise this threshold after the first
  // such buffer and keep the later ones in its heaps, where the resident set crept up by
  // about a batch every few seconds under a flood.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
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

  // Never answer from an empty index: without the database, wait for it (as configured) or
  // stop with the reason.
  const auto give_up = std::chrono::steady_clock::now() + options.wait_for_db;
  std::unique_ptr<Store> opened;
  auto pause = std::chrono::milliseconds(250);
  for (;;) {
    try {
      opened = open_store(options.db, OpenMode::Existing);
      break;
    } catch (const StoreError &e) {
      const std::string what = e.what();
      // Only an unreachable server is waited for; a wrong schema or a missing file is not
      // going to mend itself.
      if (what.find("cannot connect") == std::string::npos ||
          std::chrono::steady_clock::now() + pause > give_up) {
        throw;
      }
      log_error(what + "; waiting for it (--wait-for-db-s)");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::milliseconds(5000));
  }
  Store &store = *opened;
  store.set_instance(options.instance);
  CheckService service(options.service);
  Maintenance maintenance(store, service, options.poll, options.service.log_queue_bytes,
                          options.instance);
  maintenance.rebuild();

  std::vector<CheckService::Context *> contexts;
  for (unsigned i = 0; i < std::max(1u, options.http.threads); ++i) {
    contexts.push_back(&service.new_context(true));
  }
  HttpFront front(
      options.http,
      [&](std::string_view method, std::string_view target, std::string_view peer,
          unsigned thread) {
        if (is_health_check(method, target, options.health_path)) {
          return Reply{200, maintenance.health_answer()};
        }
        return service.answer(*contexts[thread], method, target, peer);
      },
      [&](std::string_view target, std::string_view client, unsigned thread,
          const HttpFront::MakeResume &make_resume) {
        return service.prepare(*contexts[thread], target, client, make_resume);
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
