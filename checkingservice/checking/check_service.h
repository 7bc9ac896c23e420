// Answers checking queries from the current rule index. Transport-free: the HTTP front end
// hands in the method and raw request target and sends back what comes out.
//
// Replies: "001" forbids, "000" allows, "004" + address relocates. Whatever cannot be read as
// a query is answered "000" with an error status, since the filter takes anything but "001"
// and "004" as allow, and is logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "checkingservice/checking/password.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/storage/store.h"

namespace pv::check {

struct ServiceOptions {
    std::string path = "/cgi-bin/checker"; // "*": answer on every path
    double verifyPerSecond = 10;           // slow password checks, per name and per client
    double verifyBurst = 20;
    size_t logQueueBytes = 4 << 20; // query-log records waiting for the store
    bool queryLog = true;
};

struct Reply {
    int status = 200;
    std::string body;
};

// Longer hosts, or hosts of more labels, are forbidden before any rule is looked at.
inline constexpr size_t kMaxHostBytes = 253;
inline constexpr size_t kMaxHostLabels = 127;

// What a query-log record keeps of the name, the address and the deciding rule.
inline constexpr size_t kLoggedAccountBytes = 128;
inline constexpr size_t kLoggedAddressBytes = 1024;
inline constexpr size_t kLoggedReasonBytes = 160;

// Memory a record takes while it waits for the store, as counted against log_queue_bytes.
size_t QueuedBytes(const QueryLogRecord& record);

class CheckService {
public:
    // State of one serving thread: its copy of the index pointer, its credential cache and its
    // share of the query log. Only that thread answers through it.
    class Context {
    public:
        explicit Context(bool gated) : m_gated(gated) {}

    private:
        friend class CheckService;
        // Gated: every request went through prepare() first, so answer() never runs a slow
        // password check itself.
        const bool m_gated;
        std::shared_ptr<const RuleIndex> m_index;
        uint64_t m_version = 0;
        // What prepare() found for the request it was last asked about, which answer() is asked
        // about next on the same thread: the pair's outcome need not be looked up twice.
        const char* m_preparedTarget = nullptr;
        size_t m_preparedSize = 0;
        uint64_t m_preparedVersion = 0; // of the index it looked at
        CredentialChecker::Outcome m_prepared = CredentialChecker::Outcome::Unknown;
        AddressParts m_address; // the last query's, whose strings are reused
        std::mutex m_logMutex;
        std::vector<QueryLogRecord> m_log;
    };

    explicit CheckService(ServiceOptions options);

    // Makes index the one later queries are answered from; threads pick it up at their next
    // query without waiting on each other.
    void Publish(std::shared_ptr<const RuleIndex> index);
    std::shared_ptr<const RuleIndex> Index() const;

    Context& NewContext(bool gated = false);

    // Before answer(), on a serving thread that must not block: false means a slow password
    // check was started for this query and what make_resume() returned will be called (from
    // another thread) once answer() can do without it.
    // client: who sent the query, for the per-client budget of slow checks.
    bool Prepare(Context& context, std::string_view target, std::string_view client,
                 const CredentialChecker::MakeDone& makeResume);
    Reply Answer(Context& context, std::string_view method, std::string_view target, std::string_view peer);

    // Hands over the query-log records collected so far, oldest first. held: their memory goes
    // on counting against log_queue_bytes until ReleaseLog(*held), so that a batch being
    // written and the records queued behind it stay within the bound together.
    std::vector<QueryLogRecord> TakeLog(size_t* held = nullptr);
    void ReleaseLog(size_t held);
    // Called on a serving thread once the waiting records reach a quarter of log_queue_bytes,
    // again only after the next TakeLog: under load the writer takes them long before the
    // bound, instead of at its next round while the bound drops what comes. Set before the
    // first query; it must not block.
    void SetLogBacklogHandler(std::function<void()> handler) { m_onLogBacklog = std::move(handler); }
    // Records refused because log_queue_bytes were waiting already.
    uint64_t DroppedLogRecords() const { return m_droppedLog.load(); }
    const CredentialChecker& Credentials() const { return m_credentials; }
    // Password hashes that checks found costlier than the service's (see CredentialChecker).
    std::vector<HashUpgrade> TakeHashUpgrades() { return m_credentials.TakeUpgrades(); }

private:
    void Record(Context& context, QueryLogRecord record);
    const RuleIndex& Current(Context& context);

    ServiceOptions m_options;
    CredentialChecker m_credentials;
    mutable std::mutex m_indexMutex;
    std::shared_ptr<const RuleIndex> m_index;
    std::atomic<uint64_t> m_indexVersion{0};
    std::mutex m_contextsMutex;
    std::vector<std::unique_ptr<Context>> m_contexts;
    std::atomic<uint64_t> m_droppedLog{0};
    std::atomic<size_t> m_queuedLogBytes{0};
    std::function<void()> m_onLogBacklog;
    std::atomic<bool> m_logBacklogSignalled{false};
};

} // namespace pv::check
