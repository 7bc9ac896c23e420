// Storage seen through two narrow interfaces, so that the embedded SQLite file can give way to
// a shared database server when several stateless service instances stand behind a load
// balancer. The service needs only ServiceStore: a change counter to poll, one consistent read
// of everything the rule index is built from, and somewhere to put query-log records. The
// administration tool uses AdminStore. Keys handed to either are already normalised
// (NormalizePattern); the store keeps them as given.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "checkingservice/rules/address.h"

namespace pv::check {

enum class Action : unsigned char { Allow, Forbid };

std::string_view ActionName(Action action);
std::optional<Action> ParseAction(std::string_view name);

// The profile that answers for unknown account names and wrong passwords. It is an ordinary
// account row without a password, so it can never be logged into, only configured.
inline constexpr std::string_view kStrangerAccount = "*";

// The scope of a rule or attachment: one account, or every account (global).
struct Scope {
    std::optional<std::string> account; // nullopt: global
    static Scope Global() { return {}; }
    static Scope Of(std::string name) { return {std::move(name)}; }
};

struct AccountRecord {
    int64_t id = 0;
    std::string name;
    std::optional<std::string> passwordHash; // libsodium crypto_pwhash_str text
    Action policy = Action::Allow;           // for addresses no rule decides
    std::string relocation;                  // new checking address; empty: not moved
};

struct RuleRecord {
    std::optional<std::string> account; // nullopt: global
    RuleKind kind = RuleKind::Host;
    std::string key;
    Action action = Action::Forbid;
};

struct ListInfo {
    int64_t id = 0;
    std::string name;
    uint64_t entries = 0;
};

struct AttachmentRecord {
    std::optional<std::string> account; // nullopt: global
    std::string list;
    Action action = Action::Forbid;
};

struct QueryLogRecord {
    int64_t timeMs = 0;    // Unix time
    std::string account;   // the name as sent, truncated
    bool verified = false; // false: the stranger profile answered
    std::string address;   // truncated
    std::string verdict;   // "000", "001" or "004"
    std::string reason;    // which rule or policy decided
};

// Names one batch of query-log records: who wrote it (an instance's name and an identifier of
// its start) and its place in that writer's sequence. It is recorded in the transaction that
// writes the batch, so that a batch sent again because the reply to its commit was lost is
// recognised and not written twice.
struct LogBatchId {
    std::string writer;    // empty: no id; the batch is always written
    uint64_t sequence = 0; // grows from batch to batch of one writer
};
// Whether a batch's records go into the log and its counters, or into the counters alone:
// records older than `keep` others about to be written would never stay in the log.
enum class LogWrite { RowsAndCounts, CountsOnly };
// A writer's last id is kept this long after its last batch, far longer than any retry waits.
inline constexpr int64_t kLogBatchDays = 30;

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Receives one consistent snapshot. Accounts and lists arrive before the rules, entries and
// attachments that refer to them (by the ids given here).
class SnapshotSink {
public:
    virtual ~SnapshotSink() = default;
    virtual void Setting(std::string_view key, std::string_view value) = 0;
    virtual void Account(const AccountRecord& account) = 0;
    virtual void List(int64_t id, std::string_view name) = 0;
    virtual void Rule(std::optional<int64_t> accountId, RuleKind kind, std::string_view key,
                      Action action) = 0;
    virtual void ListEntry(int64_t listId, RuleKind kind, std::string_view key) = 0;
    virtual void Attachment(std::optional<int64_t> accountId, int64_t listId, Action action) = 0;
};

struct ServiceHealth;

class ServiceStore {
public:
    virtual ~ServiceStore() = default;
    // Raised by every change an administrator makes; cheap enough to poll every second.
    virtual uint64_t Generation() = 0;
    // Streams everything into sink inside one read transaction; returns the generation read.
    virtual uint64_t Load(SnapshotSink& sink) = 0;
    // Appends records and keeps only the newest `keep` of them; the counters count them all.
    // False: a batch of this writer with this sequence number or a later one was written
    // before, so nothing was.
    virtual bool AppendQueryLog(std::span<const QueryLogRecord> records, uint64_t keep,
                                const LogBatchId& batch, LogWrite write) = 0;
    void AppendQueryLog(std::span<const QueryLogRecord> records, uint64_t keep) {
        AppendQueryLog(records, keep, LogBatchId{}, LogWrite::RowsAndCounts);
    }
    // What an instance reports about itself for the console's health figures; stores that
    // cannot keep it may ignore it.
    virtual void ReportHealth(const ServiceHealth&) {}
    // The name query-log rows written from here carry, so that the rows of several instances
    // sharing one database can be told apart.
    virtual void SetInstance(const std::string&) {}
    // Replaces an account's password hash with new_hash if it is still old_hash: a successful
    // check found the stored hash costlier than the service checks at and made an equivalent
    // of its cost. Not an administrative change (no new generation, no audit record); a
    // password changed meanwhile, by an administrator or by another instance's upgrade, stays.
    // False when nothing was replaced; stores that cannot keep it may ignore it.
    virtual bool UpgradePasswordHash(const std::string& /*name*/, const std::string& /*old_hash*/,
                                     const std::string& /*new_hash*/) {
        return false;
    }
};

inline constexpr uint64_t kDefaultLogKeep = 10000;

class AdminStore {
public:
    virtual ~AdminStore() = default;

    virtual void AddAccount(const std::string& name, const std::optional<std::string>& hash,
                            Action policy) = 0;
    virtual void SetPassword(const std::string& name, const std::string& hash) = 0;
    virtual void SetPolicy(const std::string& name, Action policy) = 0;
    virtual void SetRelocation(const std::string& name, const std::string& address) = 0;
    virtual void RemoveAccount(const std::string& name) = 0;
    virtual std::vector<AccountRecord> Accounts() = 0;

    // Adding a rule that exists with the other action changes its action.
    virtual void AddRule(const Scope& scope, RuleKind kind, const std::string& key, Action action) = 0;
    virtual bool RemoveRule(const Scope& scope, RuleKind kind, const std::string& key) = 0;
    virtual std::vector<RuleRecord> Rules(const std::optional<Scope>& filter) = 0;

    virtual void CreateList(const std::string& name) = 0;
    virtual void RemoveList(const std::string& name) = 0;
    virtual std::vector<ListInfo> Lists() = 0;
    // Returns how many entries were new. replace: the list holds exactly these afterwards.
    virtual uint64_t AddListEntries(const std::string& list,
                                    std::span<const std::pair<RuleKind, std::string>> entries,
                                    bool replace) = 0;
    virtual bool RemoveListEntry(const std::string& list, RuleKind kind, const std::string& key) = 0;
    virtual std::vector<std::pair<RuleKind, std::string>> ListEntries(const std::string& list,
                                                                      uint64_t limit) = 0;
    virtual void Attach(const std::string& list, const Scope& scope, Action action) = 0;
    virtual bool Detach(const std::string& list, const Scope& scope) = 0;
    virtual std::vector<AttachmentRecord> Attachments() = 0;

    virtual void SetLogKeep(uint64_t keep) = 0;
    virtual uint64_t LogKeep() = 0;
    virtual std::vector<QueryLogRecord> QueryLog(uint64_t limit,
                                                 const std::optional<std::string>& account) = 0;
};

// The administration console's data: administrators (separate from filtered accounts), their
// sessions, the audit trail of every administrative change, the per-hour counters the
// service keeps beside its query log, and paged views of what AdminStore returns whole.
struct ServiceHealth {
    std::string instance; // host name and process id
    int64_t timeMs = 0;   // when reported
    int64_t startedMs = 0;
    uint64_t generation = 0; // of the index answering now
    int64_t loadedMs = 0;    // when that index was swapped in
    uint64_t rules = 0;
    double queriesPerSecond = 0;
    uint64_t droppedLogRecords = 0;
    double slowChecksPerSecond = 0; // password verifications, against
    double slowCheckBudget = 0;     // the most allowed per second
    uint64_t slowChecksRefused = 0; // since start: answered as strangers for want of budget
    // The last time since its start the instance lost the database: when, for how long, how
    // many query-log records it had kept to write when the database was back, and how many it
    // dropped meanwhile past --log-queue-kb. Written once the database is back, since a row
    // cannot be written while it is down (the row then stops advancing instead).
    int64_t outageSinceMs = 0; // 0: none
    int64_t outageMs = 0;
    uint64_t outageBuffered = 0;
    uint64_t outageDropped = 0;
    int64_t stoppedMs = 0; // the instance stopped then (0: running)
};

struct AdministratorRecord {
    std::string name;
    std::string passwordHash;
    int64_t createdMs = 0;
};

struct SessionRecord {
    std::string administrator;
    std::string csrf;
    int64_t createdMs = 0;
    int64_t lastSeenMs = 0;
};

struct AuditRecord {
    int64_t id = 0;
    int64_t timeMs = 0;
    std::string actor;  // administrator name, or "command line"
    std::string action; // "account.add", "rule.remove", ...
    std::string target;
    std::string before;
    std::string after;
};

// Filters for the paged views; zero or empty means "any". Pages run newest first and
// continue below before_id.
struct AuditFilter {
    std::string actor;
    std::string text; // in action, target, before or after
    int64_t fromMs = 0, toMs = 0;
    int64_t beforeId = 0;
    uint64_t limit = 50;
};

struct LogFilter {
    std::optional<std::string> account;
    std::string verdict; // "000", "001", "004"
    std::string text;    // in the address
    int64_t fromMs = 0, toMs = 0;
    int64_t beforeId = 0;
    uint64_t limit = 50;
    int64_t afterId = 0; // and only ids above this one
};

struct QueryLogRow {
    int64_t id = 0;
    QueryLogRecord record;
};

struct CounterRow {
    int64_t startMs = 0; // start of the hour or the (UTC) day
    uint64_t queries = 0;
    uint64_t forbidden = 0;
};

// The dashboard's tops, counted per hour beside the hourly counters.
enum class TopKind : unsigned char { ForbiddenAddress, ForbiddenHost, Account, Rule };

struct TopRow {
    std::string key;
    uint64_t count = 0;
};

struct TopCounts {
    std::vector<TopRow> rows; // most counted first
    uint64_t others = 0;      // counted without their key: an hour already held
                              // kTopKeysPerHour keys of this kind
};

struct RulePage {
    std::vector<RuleRecord> rules;
    uint64_t total = 0;
};

struct EntryPage {
    std::vector<std::pair<RuleKind, std::string>> entries;
    uint64_t total = 0;
};

// Hourly counter rows are kept this long, then folded into daily rows, which are kept for
// kDailyCounterDays.
inline constexpr int64_t kHourlyCounterDays = 30;
inline constexpr int64_t kDailyCounterDays = 400;
// Keys of one top counted per hour (the rest of the hour's count goes to `others`), and how
// long the hourly tops are kept: the bound on what they take, whatever the traffic.
inline constexpr uint64_t kTopKeysPerHour = 1000;
inline constexpr int64_t kTopHours = 25;

class ConsoleStore {
public:
    virtual ~ConsoleStore() = default;

    // Runs fn in one write transaction: changes made through the store inside it, and the
    // audit record of them, are kept together or not at all.
    virtual void Atomically(const std::function<void()>& fn) = 0;

    virtual void AddAdministrator(const std::string& name, const std::string& hash) = 0;
    // Also ends the administrator's sessions. False: no such administrator.
    virtual bool RemoveAdministrator(const std::string& name) = 0;
    virtual std::vector<AdministratorRecord> Administrators() = 0;

    // Sessions are found by a digest of their token, so the database never holds a usable one.
    virtual void CreateSession(const std::string& digest, const SessionRecord& session) = 0;
    // The live session, its last use recorded (to a thirtieth of idle_ms); expired ones are
    // deleted instead.
    virtual std::optional<SessionRecord> TouchSession(const std::string& digest, int64_t nowMs,
                                                      int64_t idleMs, int64_t lifetimeMs) = 0;
    virtual void EndSession(const std::string& digest) = 0;

    virtual void RecordAudit(const AuditRecord& record) = 0;
    virtual std::vector<AuditRecord> Audit(const AuditFilter& filter) = 0;

    // Counter rows starting at or after from_ms, oldest first. Daily rows include the days
    // still held as hourly rows.
    virtual std::vector<CounterRow> HourlyCounters(int64_t fromMs) = 0;
    virtual std::vector<CounterRow> DailyCounters(int64_t fromMs) = 0;
    virtual std::vector<QueryLogRow> SearchLog(const LogFilter& filter) = 0;
    // The ids [first, last] of the newest records (at most max_rows) at or after since_ms;
    // first > last when there are none. Ids grow with time and have no gaps.
    virtual std::pair<int64_t, int64_t> LogWindow(int64_t sinceMs, uint64_t maxRows) = 0;
    // Visits the records with ids in [first, last] in one reused record, so that a large
    // range costs no allocation per row.
    virtual void ScanLog(int64_t first, int64_t last,
                         const std::function<void(const QueryLogRecord&)>& visit) = 0;
    virtual uint64_t LogRows() = 0;
    // The most counted keys of one top over the hours starting at or after from_ms.
    virtual TopCounts GetTopCounts(TopKind kind, int64_t fromMs, uint64_t limit) = 0;
    virtual std::vector<ServiceHealth> Health() = 0;

    virtual RulePage GetRulePage(const std::optional<Scope>& filter, const std::string& text, uint64_t offset,
                                 uint64_t limit) = 0;
    virtual EntryPage ListPage(const std::string& list, const std::string& text, uint64_t offset,
                               uint64_t limit) = 0;
    virtual void RenameList(const std::string& from, const std::string& to) = 0;
    // Of keys (most specific first), the first held by a rule of this scope and kind, or by an
    // entry of this kind in the list: which rule a decision of the index came from.
    virtual std::optional<RuleRecord> FirstRule(const Scope& scope, RuleKind kind,
                                                std::span<const std::string> keys) = 0;
    virtual std::optional<std::string> FirstListEntry(const std::string& list, RuleKind kind,
                                                      std::span<const std::string> keys) = 0;
    // Like AdminStore::AddListEntries, in one transaction; progress(done) is called every few
    // thousand entries, and returning false from it cancels: StoreError, nothing changed.
    virtual uint64_t ImportListEntries(const std::string& list,
                                       std::span<const std::pair<RuleKind, std::string>> entries,
                                       bool replace, const std::function<bool(uint64_t)>& progress) = 0;
};

// The schema every back end holds, numbered alike: a database of another version is refused
// by the programs (older: `pvcheckctl migrate` brings it forward; newer: a newer build reads
// it). Version 2 added the instance column of the query log, version 3 the hourly tops,
// version 4 the ids of written query-log batches and the health rows' last outage.
inline constexpr int kSchemaVersion = 4;

// How a database is opened. Create: made when absent (the only mode that makes one) and
// brought up to the current schema; Existing: only an initialised database of the current
// schema; Migrate: an existing one, brought forward to the current schema.
enum class OpenMode { Create, Existing, Migrate };

// Everything one back end offers; the programs hold one of these (see store_factory.h).
class Store : public ServiceStore, public AdminStore, public ConsoleStore {
public:
    // The schema version found on opening (before any migration).
    virtual int OpenedVersion() const = 0;
    // A database server's lost connection is made again here (one attempt); false: still down.
    virtual bool Reconnect() { return true; }
    // Waits up to timeout for another process's change to be announced; true: one was. Stores
    // that cannot announce changes return false at once, and the caller polls generation().
    virtual bool WaitForChange(std::chrono::milliseconds) { return false; }
    virtual bool AnnouncesChanges() const { return false; }
};

} // namespace pv::check
