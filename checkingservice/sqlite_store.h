// The embedded store: one SQLite file in WAL mode, so the running service keeps reading while
// the administration tool writes. Every administrative change raises meta.generation in the
// same transaction; the service polls it and rebuilds its index when it moves.
#pragma once

#include <memory>
#include <string>

#include "checkingservice/handles.h"
#include "checkingservice/store.h"

namespace pv::check {

// The write-ahead log is cut back to this size whenever it is reset.
inline constexpr int64_t kWalLimitBytes = 4 * 1024 * 1024;

class SqliteStore final : public Store {
 public:
  // Create: opens the database, creating it (mode 0600) when absent, and brings its schema up
  // to date. Existing: opens only a database that exists and holds the schema, so that a
  // mistyped name cannot start a service over an empty rule set. Throws StoreError.
  // Migrate: as Existing, then brought forward to kSchemaVersion.
  using Open = OpenMode;
  explicit SqliteStore(const std::string &path, Open mode = Open::Create);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore &) = delete;
  SqliteStore &operator=(const SqliteStore &) = delete;

  int opened_version() const override { return opened_version_; }
  void set_instance(const std::string &name) override { instance_ = name; }
  bool upgrade_password_hash(const std::string &name, const std::string &old_hash,
                             const std::string &new_hash) override;

  uint64_t generation() override;
  uint64_t load(SnapshotSink &sink) override;
  using ServiceStore::append_query_log;
  bool append_query_log(std::span<const QueryLogRecord> records, uint64_t keep,
                        const LogBatchId &batch) override;

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

  void report_health(const ServiceHealth &health) override;

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
  std::optional<RuleRecord> first_rule(const Scope &scope, RuleKind kind,
                                       std::span<const std::string> keys) override;
  std::optional<std::string> first_list_entry(const std::string &list, RuleKind kind,
                                              std::span<const std::string> keys) override;
  EntryPage list_page(const std::string &list, const std::string &text, uint64_t offset,
                      uint64_t limit) override;
  void rename_list(const std::string &from, const std::string &to) override;
  uint64_t import_list_entries(const std::string &list,
                               std::span<const std::pair<RuleKind, std::string>> entries,
                               bool replace, const std::function<bool(uint64_t)> &progress) override;

 private:
  class Statement;
  class Transaction;

  void exec(const char *sql);
  int64_t account_id(const std::string &name);
  int64_t scope_id(const Scope &scope);  // 0 for global
  int64_t list_id(const std::string &name);
  void bump_generation();
  void count_queries(std::span<const QueryLogRecord> records);
  void count_tops(std::span<const QueryLogRecord> records);

  void migrate(const std::string &path, Open mode);

  SqliteDb db_;
  int opened_version_ = 0;
  std::string instance_;
};

}  // namespace pv::check
