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

#include "checkingservice/base/events.h"
#include "checkingservice/checking/check_service.h"
#include "checkingservice/checking/password.h"
#include "checkingservice/http/http_front.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/storage/store_factory.h"

namespace {

using namespace pv::check;

constexpr const char* kUsage = R"(usage: pvcheckd --db FILE|postgresql://... [options]

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
    std::string healthPath = "/health";
    std::string instance;
    std::chrono::seconds waitForDb{0};
    bool quiet = false;
};

// Digits only, within [low, high]: "-5", "1; x", " 7" or "99999999999999999999" are refused
// instead of wrapping or being read in part.
long Number(const char* text, const std::string& name, long low, long high) {
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

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* {
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
            options.http.port = static_cast<int>(Number(value(), arg, 0, 65535));
        } else if (arg == "--path") {
            options.service.path = value();
        } else if (arg == "--health-path") {
            options.healthPath = value();
            if (options.healthPath.size() < 2 || options.healthPath[0] != '/' ||
                options.healthPath.find_first_of("?# ") != std::string::npos) {
                throw std::runtime_error("--health-path needs a path such as /health");
            }
        } else if (arg == "--threads") {
            options.http.threads = static_cast<unsigned>(Number(value(), arg, 1, 64));
        } else if (arg == "--request-timeout-ms") {
            options.http.requestTimeout = std::chrono::milliseconds(Number(value(), arg, 1, kHour));
        } else if (arg == "--idle-timeout-ms") {
            options.http.idleTimeout = std::chrono::milliseconds(Number(value(), arg, 1, kHour));
        } else if (arg == "--first-byte-timeout-ms") {
            options.http.firstByteTimeout = std::chrono::milliseconds(Number(value(), arg, 1, kHour));
        } else if (arg == "--max-connections") {
            options.http.maxConnections = static_cast<size_t>(Number(value(), arg, 1, 1000000));
        } else if (arg == "--max-connections-per-client") {
            options.http.maxConnectionsPerClient = static_cast<size_t>(Number(value(), arg, 1, 1000000));
        } else if (arg == "--poll-ms") {
            options.poll = std::chrono::milliseconds(Number(value(), arg, 10, kHour));
        } else if (arg == "--verify-rate") {
            const long rate = Number(value(), arg, 1, 10000);
            options.service.verifyPerSecond = static_cast<double>(rate);
            options.service.verifyBurst = static_cast<double>(rate * 2);
        } else if (arg == "--log-queue-kb") {
            options.service.logQueueBytes = static_cast<size_t>(Number(value(), arg, 64, 1 << 20)) << 10;
        } else if (arg == "--instance") {
            options.instance = value();
            if (options.instance.empty() || options.instance.size() > 128) {
                throw std::runtime_error("--instance needs a name of 1 to 128 bytes");
            }
        } else if (arg == "--wait-for-db-s") {
            options.waitForDb = std::chrono::seconds(Number(value(), arg, 0, 86400));
        } else if (arg == "--no-query-log") {
            options.service.queryLog = false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    if (options.db.empty()) throw std::runtime_error("give --db FILE");
    if (options.healthPath == options.service.path) {
        throw std::runtime_error("--health-path must differ from --path");
    }
    if (options.instance.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        options.instance = std::string(host) + ":" + std::to_string(getpid());
    }
    return options;
}

bool IsHealthCheck(std::string_view method, std::string_view target, std::string_view path) {
    return (method == "GET" || method == "HEAD") && target.substr(0, target.find('?')) == path;
}

// Keeps the index current and the query log flowing into the store.
class Maintenance {
public:
    Maintenance(Store& store, CheckService& service, std::chrono::milliseconds poll, size_t logQueueBytes,
                std::string instance)
        : m_store(store), m_service(service), m_poll(poll), m_logQueueBytes(logQueueBytes),
          m_instance(std::move(instance)), m_writer(m_instance + "/" + StartId()) {}

    void ReloadNow() {
        std::lock_guard lock(m_mutex);
        m_reloadRequested = true;
        m_wake.notify_one();
    }
    // From a serving thread: the query log has grown enough to be written before the round.
    void LogBacklog() {
        std::lock_guard lock(m_mutex);
        m_logBacklog = true;
        m_wake.notify_one();
    }
    void Stop() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
    }

    void Run() {
        m_nextRound = std::chrono::steady_clock::now() + m_poll;
        for (;;) {
            const bool logOnly = Wait();
            bool reload = false;
            bool stopping = false;
            {
                std::lock_guard lock(m_mutex);
                reload = m_reloadRequested;
                m_reloadRequested = false;
                stopping = m_stopping;
            }
            // A backlog between rounds moves the log alone and leaves the round where it was.
            const bool round = !logOnly || reload || stopping;
            if (round) m_nextRound = std::chrono::steady_clock::now() + m_poll;
            if (!DatabaseUsable()) {
                if (stopping) return ReportUnwritten();
                continue;
            }
            if (!round) {
                CondenseLog();
                continue;
            }
            try {
                if (!stopping && (reload || m_store.Generation() != m_service.Index()->Generation())) {
                    Rebuild();
                }
            } catch (const std::exception& e) {
                DatabaseFailed(std::string("cannot reload the rules: ") + e.what());
            }
            if (m_downSince == 0) FlushLog();
            if (m_downSince == 0) WriteUpgrades();
            if (m_downSince == 0) ReportHealth(stopping);
            if (stopping) return ReportUnwritten();
        }
    }

    void Rebuild() {
        const auto started = std::chrono::steady_clock::now();
        IndexBuilder builder(m_service.Index());
        const uint64_t generation = m_store.Load(builder);
        const auto read = std::chrono::steady_clock::now();
        auto index = builder.Finish(generation);
        const auto done = std::chrono::steady_clock::now();
        const auto ms = [](auto from, auto to) {
            return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
        };
        // Where the time went: reading the store (with the records added or compared as they
        // come) and the tables built afterwards.
        LogEvent("rules loaded: generation " + std::to_string(generation) + ", " +
                 std::to_string(index->RuleCount()) + " rules, " + ms(started, done) + " ms (reading " +
                 ms(started, read) + " ms, tables " + ms(read, done) + " ms; " +
                 std::to_string(builder.TakenOver()) + " of " + std::to_string(index->OwnSegments()) +
                 " large lists taken over)" +
                 (builder.Dropped() ? ", " + std::to_string(builder.Dropped()) + " dropped" : ""));
        m_service.Publish(std::move(index));
        m_loadedMs = WallMs();
    }

    // The balancer's health check and the administrator's look at this instance, answered on a
    // serving thread. Status 200 whenever the instance answers queries, which it does from its
    // index also while the database is down: a check that failed with the database would take
    // every instance out of the balancer at once when the shared database goes, and the
    // balancer's own error page would then be read by the filters as "allowed".
    std::string HealthAnswer() const {
        const int64_t now = WallMs();
        const auto index = m_service.Index();
        const int64_t downSince = m_downSince;
        const int64_t loaded = m_loadedMs;
        const nlohmann::json answer = {
            {"instance", m_instance},
            {"generation", index->Generation()},
            {"index_age_s", loaded > 0 ? (now - loaded) / 1000 : 0},
            {"rules", index->RuleCount()},
            {"database", downSince == 0 ? "reachable" : "down"},
            {"database_down_since_ms", downSince},
            {"database_down_s", downSince == 0 ? 0 : (now - downSince) / 1000},
            {"log_records_buffered", m_buffered.load()},
            {"log_records_dropped", DroppedTotal()},
        };
        // An instance name is the administrator's bytes: whatever is not UTF-8 is replaced.
        return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }

private:
    // Query-log records on their way to the store, under an id that goes into the transaction
    // writing them (m_writer and sequence): a batch whose commit reached the database but whose
    // reply was lost with the connection is sent again as it is and recognised there, instead
    // of being written twice.
    struct Batch {
        uint64_t sequence = 0;
        std::vector<QueryLogRecord> records;
        LogWrite write = LogWrite::RowsAndCounts;
    };

    static int64_t WallMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    // Tells this start of the instance from earlier ones of the same name.
    static std::string StartId() {
        std::random_device random;
        char text[17];
        std::snprintf(text, sizeof text, "%08x%08x", random(), random());
        return text;
    }

    uint64_t DroppedTotal() const { return m_service.DroppedLogRecords() + m_unsentDropped; }

    // Until the next round: m_poll after the last one at most, sooner when a change is
    // announced (a shared database's notification), a reload is asked for, or the service
    // stops. Generation is compared every round anyway, so a lost notification costs at most
    // m_poll. True: woken for the query log's backlog alone.
    bool Wait() {
        for (;;) {
            std::unique_lock lock(m_mutex);
            if (m_stopping || m_reloadRequested) return false;
            if (std::exchange(m_logBacklog, false)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_nextRound - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (!m_store.AnnouncesChanges() || m_downSince != 0) {
                m_wake.wait_for(lock, left, [&] { return m_stopping || m_reloadRequested || m_logBacklog; });
                continue;
            }
            lock.unlock();
            try {
                // Short slices, so that a stop, SIGHUP or a backlog is seen within 50 ms.
                if (m_store.WaitForChange(std::min(left, std::chrono::milliseconds(50)))) return false;
            } catch (const std::exception& e) {
                DatabaseFailed(std::string("lost the database: ") + e.what());
                return false;
            }
        }
    }

    void ReportUnwritten() {
        TakeLog();
        if (const uint64_t waiting = WaitingRecords(); waiting > 0) {
            LogError("stopping with " + std::to_string(waiting) +
                     " query-log records the database did not take");
        }
    }

    // Whether the database may be used this round. While it is unreachable the service keeps
    // answering from its last index; connecting again is tried with a growing pause (up to
    // 10 s) so that a database coming back is not flooded by every instance at once.
    bool DatabaseUsable() {
        if (m_downSince == 0) return true;
        // Meanwhile the query log still moves from the service into the bounded buffer.
        TakeLog();
        KeepNewest();
        const auto now = std::chrono::steady_clock::now();
        if (now < m_nextAttempt) return false;
        if (m_store.Reconnect()) {
            const auto downFor = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_downStarted);
            LogError("the database is reachable again after " + std::to_string(downFor.count() / 1000) +
                     " s; " + std::to_string(WaitingRecords()) + " query-log records to write");
            // The health row written next tells the console about the outage it could not see.
            m_outageSinceMs = m_downSince;
            m_outageMs = downFor.count();
            m_outageBuffered = WaitingRecords();
            m_outageDropped = DroppedTotal() - m_droppedAtOutage;
            m_reportNow = true;
            m_downSince = 0;
            m_backoff = std::chrono::milliseconds(0);
            return true;
        }
        m_backoff = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(10000),
            std::max<std::chrono::milliseconds>(std::chrono::milliseconds(250), m_backoff * 2));
        m_nextAttempt = now + m_backoff;
        return false;
    }

    void DatabaseFailed(const std::string& message) {
        if (m_downSince == 0) {
            m_downSince = WallMs();
            m_downStarted = std::chrono::steady_clock::now();
            m_nextAttempt = m_downStarted + std::chrono::milliseconds(250);
            m_backoff = std::chrono::milliseconds(250);
            m_droppedAtOutage = DroppedTotal();
            LogError(message + "; answering from the index of generation " +
                     std::to_string(m_service.Index()->Generation()) + " until it is back");
        }
    }

    // Hashes that successful checks found costlier than the service's cost are replaced where
    // they are still the same; a failure leaves the old hash, which still verifies.
    void WriteUpgrades() {
        for (const HashUpgrade& upgrade : m_service.TakeHashUpgrades()) {
            try {
                if (m_store.UpgradePasswordHash(upgrade.name, upgrade.oldHash, upgrade.newHash)) {
                    LogEvent("password hash of \"" + Printable(upgrade.name, 64) +
                             "\" replaced by one of the service's cost");
                }
            } catch (const std::exception& e) {
                LogError(std::string("cannot store a password hash of the service's cost: ") + e.what());
            }
        }
    }

    // For the console's health figures, every few seconds, at once after an outage, and as the
    // last word of a stopping instance; a failure only costs the figures.
    void ReportHealth(bool stopping) {
        const int64_t now = WallMs();
        if (!stopping && !m_reportNow && now - m_reportedMs < 5000) return;
        m_reportNow = false;
        ServiceHealth health;
        health.instance = m_instance;
        health.timeMs = now;
        health.startedMs = m_startedMs;
        const auto index = m_service.Index();
        health.generation = index->Generation();
        health.loadedMs = m_loadedMs;
        health.rules = index->RuleCount();
        health.queriesPerSecond = m_reportedMs > 0 ? static_cast<double>(m_loggedSinceReport) * 1000.0 /
                                                         static_cast<double>(now - m_reportedMs)
                                                   : 0.0;
        health.droppedLogRecords = DroppedTotal();
        const CredentialChecker& checks = m_service.Credentials();
        const uint64_t slow = checks.SlowChecks();
        health.slowChecksPerSecond = m_reportedMs > 0 ? static_cast<double>(slow - m_slowAtReport) * 1000.0 /
                                                            static_cast<double>(now - m_reportedMs)
                                                      : 0.0;
        health.slowCheckBudget = checks.BudgetPerSecond();
        health.slowChecksRefused = checks.SlowChecksRefused();
        health.outageSinceMs = m_outageSinceMs;
        health.outageMs = m_outageMs;
        health.outageBuffered = m_outageBuffered;
        health.outageDropped = m_outageDropped;
        health.stoppedMs = stopping ? now : 0;
        m_slowAtReport = slow;
        m_loggedSinceReport = 0;
        m_reportedMs = now;
        try {
            m_store.ReportHealth(health);
        } catch (const std::exception& e) {
            LogError(std::string("cannot report health: ") + e.what());
        }
    }

    uint64_t WaitingRecords() const { return m_unsent.size() + (m_inDoubt ? m_inDoubt->records.size() : 0); }

    // Takes the service's new records behind those waiting already. held: as the service's
    // TakeLog, their memory goes on counting against its bound until released.
    void TakeLog(size_t* held = nullptr) {
        std::vector<QueryLogRecord> records = m_service.TakeLog(held);
        m_loggedSinceReport += records.size();
        if (m_unsent.empty()) {
            m_unsent = std::move(records);
        } else {
            m_unsent.insert(m_unsent.end(), std::make_move_iterator(records.begin()),
                            std::make_move_iterator(records.end()));
        }
        const uint64_t dropped = m_service.DroppedLogRecords();
        if (dropped != m_reportedDrops) {
            LogError("query log fell behind: " + std::to_string(dropped - m_reportedDrops) +
                     " records dropped");
            m_reportedDrops = dropped;
        }
        m_buffered = WaitingRecords();
    }

    static size_t BytesOf(const std::vector<QueryLogRecord>& records) {
        size_t bytes = 0;
        for (const auto& record : records) bytes += QueuedBytes(record);
        return bytes;
    }

    // Keeps the newest log_queue_bytes of the waiting records (the batch in doubt holds the
    // oldest); older ones beyond that are dropped, counted and logged.
    void KeepNewest() {
        size_t bytes = BytesOf(m_unsent);
        if (m_inDoubt) bytes += BytesOf(m_inDoubt->records);
        uint64_t dropped = 0;
        const auto dropOldest = [&](std::vector<QueryLogRecord>& records) {
            size_t firstKept = 0;
            while (firstKept < records.size() && bytes > m_logQueueBytes) {
                bytes -= QueuedBytes(records[firstKept++]);
            }
            records.erase(records.begin(), records.begin() + static_cast<ptrdiff_t>(firstKept));
            dropped += firstKept;
        };
        if (m_inDoubt) {
            // What is left of it keeps its id: had it been written after all, it is still
            // recognised.
            dropOldest(m_inDoubt->records);
            if (m_inDoubt->records.empty()) m_inDoubt.reset();
        }
        dropOldest(m_unsent);
        m_buffered = WaitingRecords();
        if (dropped > 0) {
            m_unsentDropped += dropped;
            LogError(
                "query log buffer full while the database cannot be written: " + std::to_string(dropped) +
                " records dropped (" + std::to_string(m_unsentDropped.load()) + " in all)");
        }
    }

    // Records that cannot be written (the database locked, full or gone) wait for the next
    // round, at most log_queue_bytes of them; older ones beyond that are dropped, counted and
    // logged. A batch that failed goes again first, unchanged but for records dropped.
    void FlushLog() {
        // The batch counts against the service's bound while it is being written, so that under
        // a flood the batch and the records queued behind it stay within the bound together.
        size_t held = 0;
        TakeLog(&held);
        const struct Release {
            CheckService& service;
            const size_t& held;
            ~Release() { service.ReleaseLog(held); }
        } release{m_service, held};
        std::string error;
        if (m_inDoubt) {
            error = Write(*m_inDoubt);
            if (error.empty()) m_inDoubt.reset();
        }
        if (error.empty() && !m_unsent.empty()) {
            Batch batch{++m_sequence, std::exchange(m_unsent, {})};
            error = Write(batch);
            if (!error.empty()) m_inDoubt = std::move(batch);
        }
        m_buffered = WaitingRecords();
        if (!error.empty()) WriteFailed(error);
    }

    // After a write that failed, with its batch in doubt.
    void WriteFailed(const std::string& error) {
        KeepNewest();
        LogError("cannot write the query log (" + std::to_string(WaitingRecords()) +
                 " records kept for the next try): " + error);
        if (!m_store.Reconnect()) DatabaseFailed("lost the database: " + error);
    }

    // Between rounds, when the service's records pile up: they move here, and those older than
    // the newest `log keep` waiting, which would never stay in the log, are counted in the
    // database at once and let go; the newest wait for the round, so that a busy service
    // writes the rows that stay, not every row to have them trimmed a moment later. If `log
    // keep` is so large that the waiting ones fill as much as the service's buffer, they are
    // written.
    void CondenseLog() {
        TakeLog();
        const uint64_t keep = m_service.Index()->LogKeep();
        if (!m_inDoubt && m_unsent.size() > keep) {
            const auto newest = m_unsent.end() - static_cast<ptrdiff_t>(keep);
            Batch batch{++m_sequence,
                        {std::make_move_iterator(m_unsent.begin()), std::make_move_iterator(newest)},
                        LogWrite::CountsOnly};
            m_unsent.erase(m_unsent.begin(), newest);
            if (const std::string error = Write(batch); !error.empty()) {
                m_inDoubt = std::move(batch);
                return WriteFailed(error);
            }
        }
        // A batch in doubt goes first, at the round; until then the waiting ones stay bounded.
        if (m_inDoubt) return KeepNewest();
        if (BytesOf(m_unsent) > m_logQueueBytes) return FlushLog();
        m_buffered = WaitingRecords();
    }

    // The reason the batch was not written, or nothing.
    std::string Write(const Batch& batch) {
        try {
            if (!m_store.AppendQueryLog(batch.records, m_service.Index()->LogKeep(),
                                        {m_writer, batch.sequence}, batch.write)) {
                LogError(std::to_string(batch.records.size()) +
                         " query-log records had been written before the reply to their commit was "
                         "lost; not written again");
            }
            return {};
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    Store& m_store;
    CheckService& m_service;
    std::chrono::milliseconds m_poll;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_reloadRequested = false;
    bool m_stopping = false;
    bool m_logBacklog = false;
    std::chrono::steady_clock::time_point m_nextRound;
    uint64_t m_reportedDrops = 0;
    size_t m_logQueueBytes;
    std::optional<Batch> m_inDoubt;       // sent, not known to be written
    std::vector<QueryLogRecord> m_unsent; // not sent yet
    uint64_t m_sequence = 0;
    std::atomic<uint64_t> m_buffered{0}; // records in both, for the health answer
    std::atomic<uint64_t> m_unsentDropped{0};
    std::string m_instance;
    std::string m_writer;                // the instance's name and this start's id
    std::atomic<int64_t> m_downSince{0}; // wall time the database was lost; 0: reachable
    std::chrono::steady_clock::time_point m_downStarted, m_nextAttempt;
    std::chrono::milliseconds m_backoff{0};
    uint64_t m_droppedAtOutage = 0;
    int64_t m_outageSinceMs = 0, m_outageMs = 0;
    uint64_t m_outageBuffered = 0, m_outageDropped = 0;
    bool m_reportNow = false;
    int64_t m_startedMs = WallMs();
    std::atomic<int64_t> m_loadedMs{0};
    int64_t m_reportedMs = 0;
    uint64_t m_loggedSinceReport = 0;
    uint64_t m_slowAtReport = 0;
};

int Serve(const Options& options) {
    // Large buffers (the vectors of a query-log batch) are mapped for themselves and handed
    // back when freed. The allocator would otherwise raise this threshold after the first
    // such buffer and keep the later ones in its heaps, where the resident set crept up by
    // about a batch every few seconds under a flood.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    if (!InitCrypto()) throw std::runtime_error("cannot start libsodium");
    SetEventLogQuiet(options.quiet);

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
    const auto giveUp = std::chrono::steady_clock::now() + options.waitForDb;
    std::unique_ptr<Store> opened;
    auto pause = std::chrono::milliseconds(250);
    for (;;) {
        try {
            opened = OpenStore(options.db, OpenMode::Existing);
            break;
        } catch (const StoreError& e) {
            const std::string what = e.what();
            // Only an unreachable server is waited for; a wrong schema or a missing file is not
            // going to mend itself.
            if (what.find("cannot connect") == std::string::npos ||
                std::chrono::steady_clock::now() + pause > giveUp) {
                throw;
            }
            LogError(what + "; waiting for it (--wait-for-db-s)");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::milliseconds(5000));
    }
    Store& store = *opened;
    store.SetInstance(options.instance);
    CheckService service(options.service);
    Maintenance maintenance(store, service, options.poll, options.service.logQueueBytes, options.instance);
    maintenance.Rebuild();
    service.SetLogBacklogHandler([&maintenance] { maintenance.LogBacklog(); });

    std::vector<CheckService::Context*> contexts;
    for (unsigned i = 0; i < std::max(1u, options.http.threads); ++i) {
        contexts.push_back(&service.NewContext(true));
    }
    HttpFront front(
        options.http,
        [&](std::string_view method, std::string_view target, std::string_view peer, unsigned thread) {
            if (IsHealthCheck(method, target, options.healthPath)) {
                return Reply{200, maintenance.HealthAnswer()};
            }
            return service.Answer(*contexts[thread], method, target, peer);
        },
        [&](std::string_view target, std::string_view client, unsigned thread,
            const HttpFront::MakeResume& makeResume) {
            return service.Prepare(*contexts[thread], target, client, makeResume);
        });
    const int port = front.Bind();
    front.Start();
    std::thread maintenanceThread([&] { maintenance.Run(); });

    const bool v6 = options.http.address.find(':') != std::string::npos;
    std::printf("pvcheckd: listening on http://%s%s%s:%d%s\n", v6 ? "[" : "", options.http.address.c_str(),
                v6 ? "]" : "", port, options.service.path.c_str());
    std::fflush(stdout);

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) continue;
        if (received == SIGHUP) {
            LogEvent("SIGHUP: reloading the rules");
            maintenance.ReloadNow();
            continue;
        }
        break;
    }
    LogEvent("stopping");
    front.Stop();
    maintenance.Stop();
    maintenanceThread.join();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Serve(Parse(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pvcheckd: %s\n", e.what());
        return 1;
    }
}
