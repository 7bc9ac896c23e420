// The embedded store: one SQLite file in WAL mode, so the running service keeps reading while
// the administration tool writes. Every administrative change raises meta.generation in the
// same transaction; the service polls it and rebuilds its index when it moves.
#pragma once

#include <memory>
#include <string>

#include "checkingservice/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace pv::check {

// The write-ahead log is cut back to this size whenever it is reset.
inline constexpr int64_t kWalLimitBytes = 4 * 1024 * 1024;

class SqliteStore final : public ServiceStore, public AdminStore {
 public:
  // Create: opens the database, creating it (mode 0600) when absent, and brings its schema up
  // to date. Existing: opens only a database that exists and holds the schema, so that a
  // mistyped name cannot start a service over an empty rule set. Throws StoreError.
  enum class Open { Create, Existing };
  explicit SqliteStore(const std::string &path, Open mode = Open::Create);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore &) = delete;
  SqliteStore &operator=(const SqliteStore &) = delete;

  uint64_t generation() override;
  uint64_t load(SnapshotSink &sink) override;
  void append_query_log(std::span<const QueryLogRecord> records, uint64_t keep) override;

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

 private:
  class Statement;
  class Transaction;

  void exec(const char *sql);
  int64_t account_id(const std::string &name);
  int64_t scope_id(const Scope &scope);  // 0 for global
  int64_t list_id(const std::string &name);
  void bump_generation();

  sqlite3 *db_ = nullptr;
};

}  // namespace pv::check
