// Storage seen through two narrow interfaces, so that the embedded SQLite file can give way to
// a shared database server when several stateless service instances stand behind a load
// balancer. The service needs only ServiceStore: a change counter to poll, one consistent read
// of everything the rule index is built from, and somewhere to put query-log records. The
// administration tool uses AdminStore. Keys handed to either are already normalised
// (normalize_pattern); the store keeps them as given.
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

#include "checkingservice/address.h"

namespace pv::check {

enum class Action : unsigned char { Allow, Forbid };

std::string_view action_name(Action action);
std::optional<Action> parse_action(std::string_view name);

// The profile that answers for unknown account names and wrong passwords. It is an ordinary
// account row without a password, so it can never be logged into, only configured.
inline constexpr std::string_view kStrangerAccount = "*";

// The scope of a rule or attachment: one account, or every account (global).
struct Scope {
  std::optional<std::string> account;  // nullopt: global
  static Scope global() { return {}; }
  static Scope of(std::string name) { return {std::move(name)}; }
};

struct AccountRecord {
  int64_t id = 0;
  std::string name;
  std::optional<std::string> password_hash;  // libsodium crypto_pwhash_str text
  Action policy = Action::Allow;             // for addresses no rule decides
  std::string relocation;                    // new checking address; empty: not moved
};

struct RuleRecord {
  std::optional<std::string> account;  // nullopt: global
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
  std::optional<std::string> account;  // nullopt: global
  std::string list;
  Action action = Action::Forbid;
};

struct QueryLogRecord {
  int64_t time_ms = 0;      // Unix time
  std::string account;      // the name as sent, truncated
  bool verified = false;    // false: the stranger profile answered
  std::string address;      // truncated
  std::string verdict;      // "000", "001" or "004"
  std::string reason;       // which rule or policy decided
};

// Names one batch of query-log records: who wrote it (an instance's name and an identifier of
// its start) and its place in that writer's sequence. It is recorded in the transaction that
// writes the batch, so that a batch sent again because the reply to its commit was lost is
// recognised and not written twice.
struct LogBatchId {
  std::string writer;     // empty: no id; the batch is always written
  uint64_t sequence = 0;  // grows from batch to batch of one writer
};
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
  virtual void setting(std::string_view key, std::string_view value) = 0;
  virtual void account(const AccountRecord &account) = 0;
  virtual void list(int64_t id, std::string_view name) = 0;
  virtual void rule(std::optional<int64_t> account_id, RuleKind kind, std::string_view key,
                    Action action) = 0;
  virtual void list_entry(int64_t list_id, RuleKind kind, std::string_view key) = 0;
  virtual void attachment(std::optional<int64_t> account_id, int64_t list_id, Action action) = 0;
};

struct ServiceHealth;

class ServiceStore {
 public:
  virtual ~ServiceStore() = default;
  // Raised by every change an administrator makes; cheap enough to poll every second.
  virtual uint64_t generation() = 0;
  // Streams everything into sink inside one read transaction; returns the generation read.
  virtual uint64_t load(SnapshotSink &sink) = 0;
  // Appends records and keeps only the newest `keep` of them. False: a batch of this writer
  // with this sequence number or a later one was written before, so nothing was.
  virtual bool append_query_log(std::span<const QueryLogRecord> records, uint64_t keep,
                                const LogBatchId &batch) = 0;
  void append_query_log(std::span<const QueryLogRecord> records, uint64_t keep) {
    append_query_log(records, keep, LogBatchId{});
  }
  // What an instance reports about itself for the console's health figures; stores that
  // cannot keep it may ignore it.
  virtual void report_health(const ServiceHealth &) {}
  // The name query-log rows written from here carry, so that the rows of several instances
  // sharing one database can be told apart.
  virtual void set_instance(const std::string &) {}
  // Replaces an account's password hash with new_hash if it is still old_hash: a successful
  // check found the stored hash costlier than the service checks at and made an equivalent
  // of its cost. Not an administrative change (no new generation, no audit record); a
  // password changed meanwhile, by an administrator or by another instance's upgrade, stays.
  // False when nothing was replaced; stores that cannot keep it may ignore it.
  virtual bool upgrade_password_hash(const std::string & /*name*/,
                                     const std::string & /*old_hash*/,
                                     const std::string & /*new_hash*/) {
    return false;
  }
};

inline constexpr uint64_t kDefaultLogKeep = 10000;

class AdminStore {
 public:
  virtual ~AdminStore() = default;

  virtual void add_account(const std::string &name, const std::optional<std::string> &hash,
                           Action policy) = 0;
  virtual void set_password(const std::string &name, const std::string &hash) = 0;
  virtual void set_policy(const std::string &name, Action policy) = 0;
  virtual void set_relocation(const std::string &name, const std::string &address) = 0;
  virtual void remove_account(const std::string &name) = 0;
  virtual std::vector<AccountRecord> accounts() = 0;

  // Adding a rule that exists with the other action changes its action.
  virtual void add_rule(const Scope &scope, RuleKind kind, const std::string &key,
                        Action action) = 0;
  virtual bool remove_rule(const Scope &scope, RuleKind kind, const std::string &key) = 0;
  virtual std::vector<RuleRecord> rules(const std::optional<Scope> &filter) = 0;

  virtual void create_list(const std::string &name) = 0;
  virtual void remove_list(const std::string &name) = 0;
  virtual std::vector<ListInfo> lists() = 0;
  // Returns how many entries were new. replace: the list holds exactly these afterwards.
  virtual uint64_t add_list_entries(const std::string &list,
                                    std::span<const std::pair<RuleKind, std::string>> entries,
                                    bool replace) = 0;
  virtual bool remove_list_entry(const std::string &list, RuleKind kind,
                                 const std::string &key) = 0;
  virtual std::vector<std::pair<RuleKind, std::string>> list_entries(const std::string &list,
                                                                     uint64_t limit) = 0;
  virtual void attach(const std::string &list, const Scope &scope, Action action) = 0;
  virtual bool detach(const std::string &list, const Scope &scope) = 0;
  virtual std::vector<AttachmentRecord> attachments() = 0;

  virtual void set_log_keep(uint64_t keep) = 0;
  virtual uint64_t log_keep() = 0;
  virtual std::vector<QueryLogRecord> query_log(uint64_t limit,
                                                const std::optional<std::string> &account) = 0;
};

// The administration console's data: administrators (separate from filtered accounts), their
// sessions, the audit trail of every administrative change, the per-hour counters the
// service keeps beside its query log, and paged views of what AdminStore returns whole.
struct ServiceHealth {
  std::string instance;      // host name and process id
  int64_t time_ms = 0;       // when reported
  int64_t started_ms = 0;
  uint64_t generation = 0;   // of the index answering now
  int64_t loaded_ms = 0;     // when that index was swapped in
  uint64_t rules = 0;
  double queries_per_second = 0;
  uint64_t dropped_log_records = 0;
  double slow_checks_per_second = 0;  // password verifications, against
  double slow_check_budget = 0;       // the most allowed per second
  uint64_t slow_checks_refused = 0;   // since start: answered as strangers for want of budget
  // The last time since its start the instance lost the database: when, for how long, how
  // many query-log records it had kept to write when the database was back, and how many it
  // dropped meanwhile past --log-queue-kb. Written once the database is back, since a row
  // cannot be written while it is down (the row then stops advancing instead).
  int64_t outage_since_ms = 0;  // 0: none
  int64_t outage_ms = 0;
  uint64_t outage_buffered = 0;
  uint64_t outage_dropped = 0;
  int64_t stopped_ms = 0;  // the instance stopped then (0: running)
};

struct AdministratorRecord {
  std::string name;
  std::string password_hash;
  int64_t created_ms = 0;
};

struct SessionRecord {
  std::string administrator;
  std::string csrf;
  int64_t created_ms = 0;
  int64_t last_seen_ms = 0;
};

struct AuditRecord {
  int64_t id = 0;
  int64_t time_ms = 0;
  std::string actor;   // administrator name, or "command line"
  std::string action;  // "account.add", "rule.remove", ...
  std::string target;
  std::string before;
  std::string after;
};

// Filters for the paged views; zero or empty means "any". Pages run newest first and
// continue below before_id.
struct AuditFilter {
  std::string actor;
  std::string text;  // in action, target, before or after
  int64_t from_ms = 0, to_ms = 0;
  int64_t before_id = 0;
  uint64_t limit = 50;
};

struct LogFilter {
  std::optional<std::string> account;
  std::string verdict;  // "000", "001", "004"
  std::string text;     // in the address
  int64_t from_ms = 0, to_ms = 0;
  int64_t before_id = 0;
  uint64_t limit = 50;
  int64_t after_id = 0;  // and only ids above this one
};

struct QueryLogRow {
  int64_t id = 0;
  QueryLogRecord record;
};

struct CounterRow {
  int64_t start_ms = 0;  // start of the hour or the (UTC) day
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
  std::vector<TopRow> rows;  // most counted first
  uint64_t others = 0;       // counted without their key: an hour already held
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
  virtual void atomically(const std::function<void()> &fn) = 0;

  virtual void add_administrator(const std::string &name, const std::string &hash) = 0;
  // Also ends the administrator's sessions. False: no such administrator.
  virtual bool remove_administrator(const std::string &name) = 0;
  virtual std::vector<AdministratorRecord> administrators() = 0;

  // Sessions are found by a digest of their token, so the database never holds a usable one.
  virtual void create_session(const std::string &digest, const SessionRecord &session) = 0;
  // The live session, its last use recorded (to a thirtieth of idle_ms); expired ones are
  // deleted instead.
  virtual std::optional<SessionRecord> touch_session(const std::string &digest, int64_t now_ms,
                                                     int64_t idle_ms, int64_t lifetime_ms) = 0;
  virtual void end_session(const std::string &digest) = 0;

  virtual void record_audit(const AuditRecord &record) = 0;
  virtual std::vector<AuditRecord> audit(const AuditFilter &filter) = 0;

  // Counter rows starting at or after from_ms, oldest first. Daily rows include the days
  // still held as hourly rows.
  virtual std::vector<CounterRow> hourly_counters(int64_t from_ms) = 0;
  virtual std::vector<CounterRow> daily_counters(int64_t from_ms) = 0;
  virtual std::vector<QueryLogRow> search_log(const LogFilter &filter) = 0;
  // The ids [first, last] of the newest records (at most max_rows) at or after since_ms;
  // first > last when there are none. Ids grow with time and have no gaps.
  virtual std::pair<int64_t, int64_t> log_window(int64_t since_ms, uint64_t max_rows) = 0;
  // Visits the records with ids in [first, last] in one reused record, so that a large
  // range costs no allocation per row.
  virtual void scan_log(int64_t first, int64_t last,
                        const std::function<void(const QueryLogRecord &)> &visit) = 0;
  virtual uint64_t log_rows() = 0;
  // The most counted keys of one top over the hours starting at or after from_ms.
  virtual TopCounts top_counts(TopKind kind, int64_t from_ms, uint64_t limit) = 0;
  virtual std::vector<ServiceHealth> health() = 0;

  virtual RulePage rule_page(const std::optional<Scope> &filter, const std::string &text,
                             uint64_t offset, uint64_t limit) = 0;
  virtual EntryPage list_page(const std::string &list, const std::string &text, uint64_t offset,
                              uint64_t limit) = 0;
  virtual void rename_list(const std::string &from, const std::string &to) = 0;
  // Of keys (most specific first), the first held by a rule of this scope and kind, or by an
  // entry of this kind in the list: which rule a decision of the index came from.
  virtual std::optional<RuleRecord> first_rule(const Scope &scope, RuleKind kind,
                                               std::span<const std::string> keys) = 0;
  virtual std::optional<std::string> first_list_entry(const std::string &list, RuleKind kind,
                                                      std::span<const std::string> keys) = 0;
  // Like AdminStore::add_list_entries, in one transaction; progress(done) is called every few
  // thousand entries, and returning false from it cancels: StoreError, nothing changed.
  virtual uint64_t import_list_entries(
      const std::string &list, std::span<const std::pair<RuleKind, std::string>> entries,
      bool replace, const std::function<bool(uint64_t)> &progress) = 0;
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
  virtual int opened_version() const = 0;
  // A database server's lost connection is made again here (one attempt); false: still down.
  virtual bool reconnect() { return true; }
  // Waits up to timeout for another process's change to be announced; true: one was. Stores
  // that cannot announce changes return false at once, and the caller polls generation().
  virtual bool wait_for_change(std::chrono::milliseconds) { return false; }
  virtual bool announces_changes() const { return false; }
};

}  // namespace pv::check
