#include "checkingservice/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <vector>

namespace pv::check {

std::string_view action_name(Action action) {
  return action == Action::Forbid ? "forbid" : "allow";
}

std::optional<Action> parse_action(std::string_view name) {
  if (name == "allow") return Action::Allow;
  if (name == "forbid") return Action::Forbid;
  return std::nullopt;
}

class SqliteStore::Statement {
 public:
  Statement(sqlite3 *db, const char *sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("database: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  Statement &bind(int index, int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement &bind(int index, std::string_view value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  // The text must stay unchanged until the statement is reset.
  Statement &bind_static(int index, std::string_view value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_STATIC));
    return *this;
  }
  Statement &bind_null(int index) {
    check(sqlite3_bind_null(stmt_, index));
    return *this;
  }
  // True while rows come; false once done.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
  }
  void run() {
    while (step()) {
    }
    reset();
  }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t int64(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string_view text(int column) const {
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes ? std::string_view(bytes, static_cast<size_t>(size)) : std::string_view();
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
  }
  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
};

class SqliteStore::Transaction {
 public:
  Transaction(SqliteStore &store, bool write) : store_(store) {
    store_.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  void commit() {
    store_.exec("COMMIT");
    done_ = true;
  }

 private:
  SqliteStore &store_;
  bool done_ = false;
};

namespace {

constexpr const char *kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
INSERT OR IGNORE INTO meta VALUES('schema', '1'), ('generation', '1'), ('log_keep', '10000');
CREATE TABLE IF NOT EXISTS accounts(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT,
  policy TEXT NOT NULL DEFAULT 'allow',
  relocation TEXT NOT NULL DEFAULT '');
INSERT OR IGNORE INTO accounts(name, policy) VALUES('*', 'allow');
CREATE TABLE IF NOT EXISTS lists(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS list_entries(
  list_id INTEGER NOT NULL REFERENCES lists(id) ON DELETE CASCADE,
  kind TEXT NOT NULL, key TEXT NOT NULL,
  PRIMARY KEY(list_id, kind, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS rules(
  scope INTEGER NOT NULL, kind TEXT NOT NULL, key TEXT NOT NULL, action TEXT NOT NULL,
  PRIMARY KEY(scope, kind, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS attachments(
  scope INTEGER NOT NULL,
  list_id INTEGER NOT NULL REFERENCES lists(id) ON DELETE CASCADE,
  action TEXT NOT NULL,
  PRIMARY KEY(scope, list_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS query_log(
  id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, account TEXT NOT NULL,
  verified INTEGER NOT NULL, address TEXT NOT NULL, verdict TEXT NOT NULL,
  reason TEXT NOT NULL);
)SQL";

// parse_kind for the million rows of a load: one look at the length and first letter.
std::optional<RuleKind> stored_kind(std::string_view name) {
  RuleKind kind;
  switch (name.size() < 4 ? 0 : name[0]) {
    case 'e': kind = RuleKind::Exact; break;
    case 'p': kind = RuleKind::Prefix; break;
    case 'h': kind = RuleKind::Host; break;
    case 'd': kind = RuleKind::Domain; break;
    default: return std::nullopt;
  }
  if (name != kind_name(kind)) return std::nullopt;
  return kind;
}

std::optional<std::string> scope_name_of(int64_t scope,
                                         const std::vector<AccountRecord> &accounts) {
  if (scope == 0) return std::nullopt;
  for (const auto &account : accounts) {
    if (account.id == scope) return account.name;
  }
  return "#" + std::to_string(scope);
}

}  // namespace

SqliteStore::SqliteStore(const std::string &path) {
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open database " + path + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA foreign_keys=ON");
    Transaction tx(*this, true);
    exec(kSchema);
    tx.commit();
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

void SqliteStore::exec(const char *sql) {
  char *error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw StoreError("database: " + message);
  }
}

void SqliteStore::bump_generation() {
  exec("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'generation'");
}

int64_t SqliteStore::account_id(const std::string &name) {
  Statement st(db_, "SELECT id FROM accounts WHERE name = ?");
  st.bind(1, name);
  if (!st.step()) throw StoreError("no account named \"" + name + "\"");
  return st.int64(0);
}

int64_t SqliteStore::scope_id(const Scope &scope) {
  return scope.account ? account_id(*scope.account) : 0;
}

int64_t SqliteStore::list_id(const std::string &name) {
  Statement st(db_, "SELECT id FROM lists WHERE name = ?");
  st.bind(1, name);
  if (!st.step()) throw StoreError("no list named \"" + name + "\"");
  return st.int64(0);
}

uint64_t SqliteStore::generation() {
  Statement st(db_, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'generation'");
  return st.step() ? static_cast<uint64_t>(st.int64(0)) : 0;
}

uint64_t SqliteStore::load(SnapshotSink &sink) {
  Transaction tx(*this, false);
  const uint64_t gen = generation();
  {
    Statement st(db_, "SELECT key, value FROM meta");
    while (st.step()) sink.setting(st.text(0), st.text(1));
  }
  {
    Statement st(db_, "SELECT id, name, password_hash, policy, relocation FROM accounts");
    while (st.step()) {
      AccountRecord account;
      account.id = st.int64(0);
      account.name = st.text(1);
      if (!st.is_null(2)) account.password_hash = std::string(st.text(2));
      account.policy = parse_action(st.text(3)).value_or(Action::Allow);
      account.relocation = st.text(4);
      sink.account(account);
    }
  }
  std::vector<int64_t> list_ids;
  {
    Statement st(db_, "SELECT id, name FROM lists");
    while (st.step()) {
      list_ids.push_back(st.int64(0));
      sink.list(st.int64(0), st.text(1));
    }
  }
  const auto scope_of = [](int64_t scope) {
    return scope == 0 ? std::nullopt : std::optional<int64_t>(scope);
  };
  {
    Statement st(db_, "SELECT scope, list_id, action FROM attachments");
    while (st.step()) {
      if (auto action = parse_action(st.text(2))) {
        sink.attachment(scope_of(st.int64(0)), st.int64(1), *action);
      }
    }
  }
  {
    Statement st(db_, "SELECT scope, kind, key, action FROM rules");
    while (st.step()) {
      const auto kind = stored_kind(st.text(1));
      const auto action = parse_action(st.text(3));
      if (kind && action) sink.rule(scope_of(st.int64(0)), *kind, st.text(2), *action);
    }
  }
  {
    // One range of the primary key per list and kind: a million entries then cost one column
    // each instead of three. Entries of a list that no longer exists are not read at all.
    Statement st(db_, "SELECT key FROM list_entries WHERE list_id = ? AND kind = ?");
    for (const int64_t list : list_ids) {
      for (RuleKind kind : {RuleKind::Exact, RuleKind::Prefix, RuleKind::Host, RuleKind::Domain}) {
        st.bind(1, list).bind_static(2, kind_name(kind));
        while (st.step()) sink.list_entry(list, kind, st.text(0));
        st.reset();
      }
    }
  }
  tx.commit();
  return gen;
}

void SqliteStore::append_query_log(std::span<const QueryLogRecord> records, uint64_t keep) {
  Transaction tx(*this, true);
  Statement insert(db_,
                   "INSERT INTO query_log(time_ms, account, verified, address, verdict, reason) "
                   "VALUES(?, ?, ?, ?, ?, ?)");
  for (const auto &record : records) {
    insert.bind(1, record.time_ms)
        .bind(2, record.account)
        .bind(3, int64_t{record.verified ? 1 : 0})
        .bind(4, record.address)
        .bind(5, record.verdict)
        .bind(6, record.reason);
    insert.run();
  }
  Statement trim(db_, "DELETE FROM query_log WHERE id <= (SELECT MAX(id) FROM query_log) - ?");
  trim.bind(1, static_cast<int64_t>(std::min<uint64_t>(keep, INT64_MAX)));
  trim.run();
  tx.commit();
}

void SqliteStore::add_account(const std::string &name, const std::optional<std::string> &hash,
                              Action policy) {
  Transaction tx(*this, true);
  {
    Statement exists(db_, "SELECT 1 FROM accounts WHERE name = ?");
    exists.bind(1, name);
    if (exists.step()) throw StoreError("account \"" + name + "\" exists already");
  }
  Statement st(db_, "INSERT INTO accounts(name, password_hash, policy) VALUES(?, ?, ?)");
  st.bind(1, name);
  if (hash) st.bind(2, *hash);
  else st.bind_null(2);
  st.bind(3, action_name(policy));
  st.run();
  bump_generation();
  tx.commit();
}

void SqliteStore::set_password(const std::string &name, const std::string &hash) {
  if (name == kStrangerAccount) throw StoreError("the stranger profile takes no password");
  Transaction tx(*this, true);
  Statement st(db_, "UPDATE accounts SET password_hash = ? WHERE id = ?");
  st.bind(1, hash).bind(2, account_id(name));
  st.run();
  bump_generation();
  tx.commit();
}

void SqliteStore::set_policy(const std::string &name, Action policy) {
  Transaction tx(*this, true);
  Statement st(db_, "UPDATE accounts SET policy = ? WHERE id = ?");
  st.bind(1, action_name(policy)).bind(2, account_id(name));
  st.run();
  bump_generation();
  tx.commit();
}

void SqliteStore::set_relocation(const std::string &name, const std::string &address) {
  Transaction tx(*this, true);
  Statement st(db_, "UPDATE accounts SET relocation = ? WHERE id = ?");
  st.bind(1, address).bind(2, account_id(name));
  st.run();
  bump_generation();
  tx.commit();
}

void SqliteStore::remove_account(const std::string &name) {
  if (name == kStrangerAccount) throw StoreError("the stranger profile cannot be removed");
  Transaction tx(*this, true);
  const int64_t id = account_id(name);
  for (const char *sql : {"DELETE FROM rules WHERE scope = ?",
                          "DELETE FROM attachments WHERE scope = ?",
                          "DELETE FROM accounts WHERE id = ?"}) {
    Statement st(db_, sql);
    st.bind(1, id);
    st.run();
  }
  bump_generation();
  tx.commit();
}

std::vector<AccountRecord> SqliteStore::accounts() {
  std::vector<AccountRecord> out;
  Statement st(db_,
               "SELECT id, name, password_hash, policy, relocation FROM accounts ORDER BY name");
  while (st.step()) {
    AccountRecord account;
    account.id = st.int64(0);
    account.name = st.text(1);
    if (!st.is_null(2)) account.password_hash = std::string(st.text(2));
    account.policy = parse_action(st.text(3)).value_or(Action::Allow);
    account.relocation = st.text(4);
    out.push_back(std::move(account));
  }
  return out;
}

void SqliteStore::add_rule(const Scope &scope, RuleKind kind, const std::string &key,
                           Action action) {
  Transaction tx(*this, true);
  Statement st(db_,
               "INSERT INTO rules(scope, kind, key, action) VALUES(?, ?, ?, ?) "
               "ON CONFLICT(scope, kind, key) DO UPDATE SET action = excluded.action");
  st.bind(1, scope_id(scope)).bind(2, kind_name(kind)).bind(3, key).bind(4, action_name(action));
  st.run();
  bump_generation();
  tx.commit();
}

bool SqliteStore::remove_rule(const Scope &scope, RuleKind kind, const std::string &key) {
  Transaction tx(*this, true);
  Statement st(db_, "DELETE FROM rules WHERE scope = ? AND kind = ? AND key = ?");
  st.bind(1, scope_id(scope)).bind(2, kind_name(kind)).bind(3, key);
  st.run();
  const bool removed = sqlite3_changes(db_) > 0;
  if (removed) bump_generation();
  tx.commit();
  return removed;
}

std::vector<RuleRecord> SqliteStore::rules(const std::optional<Scope> &filter) {
  const auto all_accounts = accounts();
  std::vector<RuleRecord> out;
  Statement st(db_, filter ? "SELECT scope, kind, key, action FROM rules WHERE scope = ? "
                             "ORDER BY scope, kind, key"
                           : "SELECT scope, kind, key, action FROM rules "
                             "ORDER BY scope, kind, key");
  if (filter) st.bind(1, scope_id(*filter));
  while (st.step()) {
    const auto kind = parse_kind(st.text(1));
    const auto action = parse_action(st.text(3));
    if (!kind || !action) continue;
    out.push_back({scope_name_of(st.int64(0), all_accounts), *kind, std::string(st.text(2)),
                   *action});
  }
  return out;
}

void SqliteStore::create_list(const std::string &name) {
  Transaction tx(*this, true);
  {
    Statement exists(db_, "SELECT 1 FROM lists WHERE name = ?");
    exists.bind(1, name);
    if (exists.step()) throw StoreError("list \"" + name + "\" exists already");
  }
  Statement st(db_, "INSERT INTO lists(name) VALUES(?)");
  st.bind(1, name);
  st.run();
  bump_generation();
  tx.commit();
}

void SqliteStore::remove_list(const std::string &name) {
  Transaction tx(*this, true);
  Statement st(db_, "DELETE FROM lists WHERE id = ?");
  st.bind(1, list_id(name));
  st.run();
  bump_generation();
  tx.commit();
}

std::vector<ListInfo> SqliteStore::lists() {
  std::vector<ListInfo> out;
  Statement st(db_,
               "SELECT id, name, (SELECT COUNT(*) FROM list_entries WHERE list_id = lists.id) "
               "FROM lists ORDER BY name");
  while (st.step()) {
    out.push_back({st.int64(0), std::string(st.text(1)), static_cast<uint64_t>(st.int64(2))});
  }
  return out;
}

uint64_t SqliteStore::add_list_entries(const std::string &list,
                                       std::span<const std::pair<RuleKind, std::string>> entries,
                                       bool replace) {
  Transaction tx(*this, true);
  const int64_t id = list_id(list);
  if (replace) {
    Statement clear(db_, "DELETE FROM list_entries WHERE list_id = ?");
    clear.bind(1, id);
    clear.run();
  }
  // Many rows per statement: a large import spends its time in the tree, not in stepping and
  // resetting a statement per row. Parameter 1 is the list; each row adds a kind and a key,
  // bound without a copy (kind names are static, keys outlive the statement's step).
  constexpr size_t kRows = 64;
  const auto insert_sql = [](size_t rows) {
    std::string sql = "INSERT OR IGNORE INTO list_entries(list_id, kind, key) VALUES";
    for (size_t i = 0; i < rows; ++i) {
      sql += i ? ",(?1,?" : "(?1,?";
      sql += std::to_string(2 + 2 * i) + ",?" + std::to_string(3 + 2 * i) + ")";
    }
    return sql;
  };
  uint64_t added = 0;
  const auto insert_rows = [&](Statement &insert, size_t from, size_t rows) {
    insert.bind(1, id);
    for (size_t i = 0; i < rows; ++i) {
      const auto &[kind, key] = entries[from + i];
      insert.bind_static(static_cast<int>(2 + 2 * i), kind_name(kind))
          .bind_static(static_cast<int>(3 + 2 * i), key);
    }
    insert.run();
    added += static_cast<uint64_t>(sqlite3_changes(db_));
  };
  size_t done = 0;
  if (entries.size() >= kRows) {
    Statement insert(db_, insert_sql(kRows).c_str());
    for (; entries.size() - done >= kRows; done += kRows) insert_rows(insert, done, kRows);
  }
  if (done < entries.size()) {
    Statement insert(db_, insert_sql(entries.size() - done).c_str());
    insert_rows(insert, done, entries.size() - done);
  }
  bump_generation();
  tx.commit();
  return added;
}

bool SqliteStore::remove_list_entry(const std::string &list, RuleKind kind,
                                    const std::string &key) {
  Transaction tx(*this, true);
  Statement st(db_, "DELETE FROM list_entries WHERE list_id = ? AND kind = ? AND key = ?");
  st.bind(1, list_id(list)).bind(2, kind_name(kind)).bind(3, key);
  st.run();
  const bool removed = sqlite3_changes(db_) > 0;
  if (removed) bump_generation();
  tx.commit();
  return removed;
}

std::vector<std::pair<RuleKind, std::string>> SqliteStore::list_entries(const std::string &list,
                                                                        uint64_t limit) {
  std::vector<std::pair<RuleKind, std::string>> out;
  Statement st(db_, "SELECT kind, key FROM list_entries WHERE list_id = ? ORDER BY kind, key "
                    "LIMIT ?");
  st.bind(1, list_id(list)).bind(2, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
  while (st.step()) {
    if (auto kind = parse_kind(st.text(0))) out.emplace_back(*kind, std::string(st.text(1)));
  }
  return out;
}

void SqliteStore::attach(const std::string &list, const Scope &scope, Action action) {
  Transaction tx(*this, true);
  Statement st(db_,
               "INSERT INTO attachments(scope, list_id, action) VALUES(?, ?, ?) "
               "ON CONFLICT(scope, list_id) DO UPDATE SET action = excluded.action");
  st.bind(1, scope_id(scope)).bind(2, list_id(list)).bind(3, action_name(action));
  st.run();
  bump_generation();
  tx.commit();
}

bool SqliteStore::detach(const std::string &list, const Scope &scope) {
  Transaction tx(*this, true);
  Statement st(db_, "DELETE FROM attachments WHERE scope = ? AND list_id = ?");
  st.bind(1, scope_id(scope)).bind(2, list_id(list));
  st.run();
  const bool removed = sqlite3_changes(db_) > 0;
  if (removed) bump_generation();
  tx.commit();
  return removed;
}

std::vector<AttachmentRecord> SqliteStore::attachments() {
  const auto all_accounts = accounts();
  std::vector<AttachmentRecord> out;
  Statement st(db_,
               "SELECT a.scope, l.name, a.action FROM attachments a JOIN lists l "
               "ON l.id = a.list_id ORDER BY a.scope, l.name");
  while (st.step()) {
    if (auto action = parse_action(st.text(2))) {
      out.push_back({scope_name_of(st.int64(0), all_accounts), std::string(st.text(1)), *action});
    }
  }
  return out;
}

void SqliteStore::set_log_keep(uint64_t keep) {
  Transaction tx(*this, true);
  Statement st(db_, "INSERT INTO meta(key, value) VALUES('log_keep', ?) "
                    "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  st.bind(1, std::to_string(keep));
  st.run();
  bump_generation();
  tx.commit();
}

uint64_t SqliteStore::log_keep() {
  Statement st(db_, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'log_keep'");
  return st.step() ? static_cast<uint64_t>(std::max<int64_t>(0, st.int64(0))) : kDefaultLogKeep;
}

std::vector<QueryLogRecord> SqliteStore::query_log(uint64_t limit,
                                                   const std::optional<std::string> &account) {
  std::vector<QueryLogRecord> out;
  Statement st(db_, account ? "SELECT time_ms, account, verified, address, verdict, reason "
                              "FROM query_log WHERE account = ? ORDER BY id DESC LIMIT ?"
                            : "SELECT time_ms, account, verified, address, verdict, reason "
                              "FROM query_log ORDER BY id DESC LIMIT ?");
  int next = 1;
  if (account) st.bind(next++, *account);
  st.bind(next, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
  while (st.step()) {
    out.push_back({st.int64(0), std::string(st.text(1)), st.int64(2) != 0,
                   std::string(st.text(3)), std::string(st.text(4)), std::string(st.text(5))});
  }
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace pv::check
