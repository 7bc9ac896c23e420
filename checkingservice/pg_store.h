// The shared store: one PostgreSQL database that any number of service instances, the
// administration tool and the console use at once. The tables map one to one onto the SQLite
// store's; every administrative change raises meta.generation and sends NOTIFY pv_changes in
// the same transaction, so instances waiting in wait_for_change learn of it at once.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checkingservice/handles.h"
#include "checkingservice/store.h"

namespace pv::check {

// PostgreSQL text cannot hold a NUL byte, which query-log fields (from queries) may: it is
// stored as the escape the service's own log prints for it.
std::string without_nul(std::string_view text);

// The channel every administrative change is announced on.
inline constexpr const char *kChangeChannel = "pv_changes";

class PgStore final : public Store {
 public:
  // conninfo: a postgresql:// address or key=value list; what it leaves out comes from the
  // PG* environment variables and the password file, as everywhere with libpq. Throws
  // StoreError (the message names the cause: unreachable, refused, wrong schema).
  explicit PgStore(const std::string &conninfo, OpenMode mode = OpenMode::Create);
  ~PgStore() override;
  PgStore(const PgStore &) = delete;
  PgStore &operator=(const PgStore &) = delete;

  int opened_version() const override { return opened_version_; }
  void set_instance(const std::string &name) override { instance_ = name; }
  bool upgrade_password_hash(const std::string &name, const std::string &old_hash,
                             const std::string &new_hash) override;

  // Waits up to `timeout` for a change notification (listening from the first call on).
  // True: one arrived. Throws StoreError when the connection is lost.
  bool wait_for_change(std::chrono::milliseconds timeout) override;
  bool announces_changes() const override { return true; }
  // Whether the connection is up; a lost one is re-established here (one attempt).
  bool reconnect() override;

  uint64_t generation() override;
  uint64_t load(SnapshotSink &sink) override;
  using ServiceStore::append_query_log;
  bool append_query_log(std::span<const QueryLogRecord> records, uint64_t keep,
                        const LogBatchId &batch) override;
  void report_health(const ServiceHealth &health) override;

  void add_account(const std::string &name, const std::optional<std::string> &hash,
                   Action policy) override;
  void set_password(const std::string &name, const std::string &hash) override;
  void set_policy(const std::string &name, Action policy) override;
  void set_relocation(const std::string &name, const std::string &address) override;
  void remove_account(const std::string &name) override;
  std::vector<AccountRecord> accounts() override;
  void add_rule(const Scope &scope, RuleKind kind, const std::string &key,
                Action action) override;
  bool remove_rule(const Scope &scope, RuleKind kind, const std::string &key) override;
  std::vector<RuleRecord> rules(const std::optional<Scope> &filter) override;
  void create_list(const std::string &name) override;
  void remove_list(const std::string &name) override;
  std::vector<ListInfo> lists() override;
  uint64_t add_list_entries(const std::string &list,
                            std::span<const std::pair<RuleKind, std::string>> entries,
                            bool replace) override;
  bool remove_list_entry(const std::string &list, RuleKind kind, const std::string &key) override;
  std::vector<std::pair<RuleKind, std::string>> list_entries(const std::string &list,
                                                             uint64_t limit) override;
  void attach(const std::string &list, const Scope &scope, Action action) override;
  bool detach(const std::string &list, const Scope &scope) override;
  std::vector<AttachmentRecord> attachments() override;
  void set_log_keep(uint64_t keep) override;
  uint64_t log_keep() override;
  std::vector<QueryLogRecord> query_log(uint64_t limit,
                                        const std::optional<std::string> &account) override;

  void atomically(const std::function<void()> &fn) override;
  void add_administrator(const std::string &name, const std::string &hash) override;
  bool remove_administrator(const std::string &name) override;
  std::vector<AdministratorRecord> administrators() override;
  void create_session(const std::string &digest, const SessionRecord &session) override;
  std::optional<SessionRecord> touch_session(const std::string &digest, int64_t now_ms,
                                             int64_t idle_ms, int64_t lifetime_ms) override;
  void end_session(const std::string &digest) override;
  void record_audit(const AuditRecord &record) override;
  std::vector<AuditRecord> audit(const AuditFilter &filter) override;
  std::vector<CounterRow> hourly_counters(int64_t from_ms) override;
  std::vector<CounterRow> daily_counters(int64_t from_ms) override;
  std::vector<QueryLogRow> search_log(const LogFilter &filter) override;
  std::pair<int64_t, int64_t> log_window(int64_t since_ms, uint64_t max_rows) override;
  void scan_log(int64_t first, int64_t last,
                const std::function<void(const QueryLogRecord &)> &visit) override;
  uint64_t log_rows() override;
  TopCounts top_counts(TopKind kind, int64_t from_ms, uint64_t limit) override;
  std::vector<ServiceHealth> health() override;
  RulePage rule_page(const std::optional<Scope> &filter, const std::string &text,
                     uint64_t offset, uint64_t limit) override;
  EntryPage list_page(const std::string &list, const std::string &text, uint64_t offset,
                      uint64_t limit) override;
  void rename_list(const std::string &from, const std::string &to) override;
  std::optional<RuleRecord> first_rule(const Scope &scope, RuleKind kind,
                                       std::span<const std::string> keys) override;
  std::optional<std::string> first_list_entry(const std::string &list, RuleKind kind,
                                              std::span<const std::string> keys) override;
  uint64_t import_list_entries(const std::string &list,
                               std::span<const std::pair<RuleKind, std::string>> entries,
                               bool replace, const std::function<bool(uint64_t)> &progress) override;

  // Parameters travel as text; nullopt is NULL.
  using Param = std::optional<std::string>;
  class Result;

 private:
  class Transaction;

  Result run(const std::string &sql, const std::vector<Param> &params = {});
  // Streams the rows one at a time, so that a million rules never sit in memory twice.
  void each_row(const std::string &sql, const std::vector<Param> &params,
                const std::function<void(const Result &)> &row);
  void configure_session();
  // The same for a query without parameters through COPY in binary, which costs a fraction
  // per row: the rule index reads every rule and list entry at each rebuild. row gets the
  // fields' bytes; nullopt for NULL.
  void copy_rows(const std::string &query,
                 const std::function<void(std::span<const std::optional<std::string_view>>)> &row);
  void migrate(OpenMode mode);
  [[noreturn]] void fail(const std::string &what);
  int64_t account_id(const std::string &name);
  int64_t scope_id(const Scope &scope);  // 0 for global
  int64_t list_id(const std::string &name);
  void bump_generation();
  RulePage rule_rows(const std::optional<Scope> &filter, const std::string &text,
                     uint64_t offset, uint64_t limit);
  void count_queries(std::span<const QueryLogRecord> records);
  void count_tops(std::span<const QueryLogRecord> records);
  uint64_t insert_entries(int64_t list, std::span<const std::pair<RuleKind, std::string>> entries,
                          const std::function<bool(uint64_t)> &progress);

  PgConn conn_;
  bool listening_ = false;
  int opened_version_ = 0;
  std::string instance_;
};

class PgStore::Result {
 public:
  explicit Result(pg_result *result) : result_(result) {}
  Result(Result &&other) noexcept = default;
  Result(const Result &) = delete;
  Result &operator=(const Result &) = delete;
  Result &operator=(Result &&) = delete;

  int rows() const;
  uint64_t affected() const;
  bool is_null(int row, int column) const;
  std::string_view text(int row, int column) const;
  int64_t int64(int row, int column) const;
  double real(int row, int column) const;

 private:
  PgResult result_;
};

}  // namespace pv::check
