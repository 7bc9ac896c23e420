#include "checkingservice/sqlite_store.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <chrono>
#include <vector>
#include <iterator>

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
  Statement(const SqliteDb &db, const char *sql) : db_(db.get()) {
    sqlite3_stmt *prepared = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql, -1, &prepared, nullptr);
    stmt_.reset(prepared);
    if (rc != SQLITE_OK) throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
  }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  Statement &bind(int index, int64_t value) {
    check(sqlite3_bind_int64(stmt_.get(), index, value));
    return *this;
  }
  Statement &bind(int index, std::string_view value) {
    check(sqlite3_bind_text(stmt_.get(), index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement &bind_real(int index, double value) {
    check(sqlite3_bind_double(stmt_.get(), index, value));
    return *this;
  }
  // Named parameters the statement does not use are skipped, so optional filters can bind
  // everything unconditionally.
  template <typename T>
  Statement &bind_named(const char *name, const T &value) {
    if (const int index = sqlite3_bind_parameter_index(stmt_.get(), name); index > 0) {
      bind(index, value);
    }
    return *this;
  }
  // The text must stay unchanged until the statement is reset.
  Statement &bind_static(int index, std::string_view value) {
    check(sqlite3_bind_text(stmt_.get(), index, value.data(), static_cast<int>(value.size()),
                            SQLITE_STATIC));
    return *this;
  }
  Statement &bind_null(int index) {
    check(sqlite3_bind_null(stmt_.get(), index));
    return *this;
  }
  // True while rows come; false once done.
  bool step() {
    const int rc = sqlite3_step(stmt_.get());
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
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
  }
  // For a statement run again at once with every parameter bound anew.
  void rewind() { sqlite3_reset(stmt_.get()); }
  int64_t int64(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
  double real(int column) const { return sqlite3_column_double(stmt_.get(), column); }
  bool is_null(int column) const { return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL; }
  std::string_view text(int column) const {
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(stmt_.get(), column));
    const int size = sqlite3_column_bytes(stmt_.get(), column);
    return bytes ? std::string_view(bytes, static_cast<size_t>(size)) : std::string_view();
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
  }
  sqlite3 *db_;
  SqliteStmt stmt_;
};

class SqliteStore::Transaction {
 public:
  // Inside an outer transaction (ConsoleStore::atomically) a savepoint, so that the outer
  // one decides what is kept.
  Transaction(SqliteStore &store, bool write)
      : store_(store), nested_(sqlite3_get_autocommit(store.db_.get()) == 0) {
    store_.exec(nested_ ? "SAVEPOINT nested" : write ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  ~Transaction() {
    if (done_) return;
    sqlite3_exec(store_.db_.get(), nested_ ? "ROLLBACK TO nested; RELEASE nested" : "ROLLBACK",
                 nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  void commit() {
    store_.exec(nested_ ? "RELEASE nested" : "COMMIT");
    done_ = true;
  }

 private:
  SqliteStore &store_;
  const bool nested_;
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
CREATE INDEX IF NOT EXISTS query_log_time ON query_log(time_ms);
CREATE TABLE IF NOT EXISTS counters_hourly(
  start_ms INTEGER PRIMARY KEY, queries INTEGER NOT NULL, forbidden INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS counters_daily(
  start_ms INTEGER PRIMARY KEY, queries INTEGER NOT NULL, forbidden INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS service_health(instance TEXT PRIMARY KEY, time_ms INTEGER NOT NULL,
  started_ms INTEGER NOT NULL, generation INTEGER NOT NULL, loaded_ms INTEGER NOT NULL,
  rules INTEGER NOT NULL, qps REAL NOT NULL, dropped INTEGER NOT NULL,
  slow_per_second REAL NOT NULL, slow_budget REAL NOT NULL, slow_refused INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS administrators(
  name TEXT PRIMARY KEY, password_hash TEXT NOT NULL, created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  digest TEXT PRIMARY KEY,
  administrator TEXT NOT NULL REFERENCES administrators(name) ON DELETE CASCADE,
  csrf TEXT NOT NULL, created_ms INTEGER NOT NULL, last_seen_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS audit(
  id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, actor TEXT NOT NULL, action TEXT NOT NULL,
  target TEXT NOT NULL, before TEXT NOT NULL, after TEXT NOT NULL);
)SQL";

// The dashboard's tops, counted per hour (`what`: TopKind; TopKind + 4 holds the count of
// keys past kTopKeysPerHour under an empty key). Its own step, idempotent like the rest, run
// after kSchema also on older files.
constexpr const char *kTopSchema = R"SQL(
CREATE TABLE IF NOT EXISTS top_hourly(
  what INTEGER NOT NULL, start_ms INTEGER NOT NULL, key TEXT NOT NULL, count INTEGER NOT NULL,
  PRIMARY KEY(what, start_ms, key)) WITHOUT ROWID;
)SQL";

// The last batch id of each query-log writer, and what the health rows say of the last outage.
constexpr const char *kBatchSchema = R"SQL(
CREATE TABLE IF NOT EXISTS log_batches(
  writer TEXT PRIMARY KEY, sequence INTEGER NOT NULL, time_ms INTEGER NOT NULL) WITHOUT ROWID;
ALTER TABLE service_health ADD COLUMN outage_since_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE service_health ADD COLUMN outage_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE service_health ADD COLUMN outage_buffered INTEGER NOT NULL DEFAULT 0;
ALTER TABLE service_health ADD COLUMN outage_dropped INTEGER NOT NULL DEFAULT 0;
ALTER TABLE service_health ADD COLUMN stopped_ms INTEGER NOT NULL DEFAULT 0;
)SQL";

constexpr int64_t kHourMs = 3600 * 1000;
constexpr size_t kTopAddressBytes = 200;
constexpr int64_t kDayMs = 24 * kHourMs;

// "%text%" for LIKE, with the pattern characters of text itself taken literally.
std::string like_pattern(std::string_view text) {
  std::string out = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

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

namespace {

// The database holds password hashes and every pupil's browsing history: only its owner may
// read it. SQLite gives the write-ahead log and shared-memory files the database's own mode,
// so creating the (empty) database file 0600 ourselves covers all three.
void create_private_file(const std::string &path) {
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && errno != EEXIST) {
    throw StoreError("cannot create database " + path + ": " + std::strerror(errno));
  }
}

void make_private(const std::string &path) {
  for (const char *suffix : {"", "-wal", "-shm"}) {
    const std::string name = path + suffix;
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      ::chmod(name.c_str(), st.st_mode & 0700);
    }
  }
}

}  // namespace

SqliteStore::SqliteStore(const std::string &path, Open mode) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (mode == Open::Create) {
    create_private_file(path);
    make_private(path);
  } else if (struct stat st {}; ::stat(path.c_str(), &st) != 0) {
    throw StoreError("database " + path + " does not exist (pvcheckctl --db " + path +
                     " init creates one)");
  }
  sqlite3 *opened = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
  db_.reset(opened);  // also a handle that failed to open must be closed
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open database " + path + ": " +
                     (db_ ? sqlite3_errmsg(db_.get()) : "out of memory"));
  }
  sqlite3_busy_timeout(db_.get(), 5000);
  if (mode != Open::Create) {
    // Read before anything is written: an empty or foreign file must stay as it is.
    bool initialised = false;
    try {
      Statement st(db_, "SELECT 1 FROM meta WHERE key = 'schema'");
      initialised = st.step();
    } catch (const StoreError &) {
    }
    if (!initialised) {
      throw StoreError(path + " is not an initialised checking database (pvcheckctl --db " +
                       path + " init creates one)");
    }
  } else {
    // Freed pages (query-log rows trimmed away) go back to the file system.
    const auto number = [&](const char *sql) {
      Statement st(db_, sql);
      return st.step() ? st.int64(0) : 0;
    };
    if (number("PRAGMA auto_vacuum") != 2) {
      exec("PRAGMA auto_vacuum=INCREMENTAL");
      if (number("SELECT COUNT(*) FROM sqlite_schema") > 0) exec("VACUUM");  // an older file
    }
  }
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  exec("PRAGMA foreign_keys=ON");
  exec(("PRAGMA journal_size_limit=" + std::to_string(kWalLimitBytes)).c_str());
  migrate(path, mode);
}

SqliteStore::~SqliteStore() = default;

namespace {

// Forward steps from the version before each to it; kSchema itself is version 1.
struct Migration {
  int version;
  const char *sql;
};
constexpr Migration kMigrations[] = {
    {2, "ALTER TABLE query_log ADD COLUMN instance TEXT NOT NULL DEFAULT ''"},
    {3, kTopSchema},
    {4, kBatchSchema},
};
static_assert(std::size(kMigrations) + 1 == kSchemaVersion);

}  // namespace

void SqliteStore::migrate(const std::string &path, Open mode) {
  Transaction tx(*this, true);
  // Read before anything is written, so that a newer database is left as it is.
  const auto stored_version = [&] {
    try {
      Statement st(db_, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'schema'");
      return st.step() ? static_cast<int>(st.int64(0)) : 0;
    } catch (const StoreError &) {
      return 0;  // no meta table: a new file
    }
  };
  opened_version_ = stored_version();
  const std::string version = std::to_string(opened_version_);
  if (opened_version_ > kSchemaVersion) {
    throw StoreError(path + " has schema version " + version +
                     ", newer than this program understands (" + std::to_string(kSchemaVersion) +
                     "): use a newer build");
  }
  if (opened_version_ < kSchemaVersion && mode == Open::Existing) {
    throw StoreError(path + " has schema version " + version + ", older than this program's " +
                     std::to_string(kSchemaVersion) + ": run pvcheckctl --db " + path +
                     " migrate");
  }
  exec(kSchema);  // tables of version 1 an older file may lack; a new file gets version 1
  const int from = stored_version();
  for (const auto &step : kMigrations) {
    if (step.version <= from) continue;
    exec(step.sql);
    Statement st(db_, "UPDATE meta SET value = ? WHERE key = 'schema'");
    st.bind(1, std::to_string(step.version));
    st.run();
  }
  tx.commit();
}

void SqliteStore::exec(const char *sql) {
  char *raw_error = nullptr;
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &raw_error);
  const SqliteText error(raw_error);
  if (rc != SQLITE_OK) {
    throw StoreError(std::string("database: ") +
                     (error ? error.get() : sqlite3_errmsg(db_.get())));
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
  std::vector<int64_t> list_ids;  // ascending
  {
    Statement st(db_, "SELECT id, name FROM lists ORDER BY id");
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
    // Every entry in one pass over the table in key order (list, kind, key), reading one
    // column: a scan per list and kind would also compare every row with the end of its
    // range. Where a list and kind ends is found beforehand by seeks: its last key. Entries
    // of a list that no longer exists are passed over.
    struct Group {
      int64_t list;
      std::optional<RuleKind> kind;
      std::string last;
    };
    std::vector<Group> groups;
    {
      // The next group starts after the last key of the one before: a seek on the whole key.
      Statement next(db_, "SELECT list_id, kind FROM list_entries WHERE (list_id, kind, key) > "
                          "(?, ?, ?) ORDER BY list_id, kind, key LIMIT 1");
      Statement last(db_, "SELECT max(key) FROM list_entries WHERE list_id = ? AND kind = ?");
      int64_t list = INT64_MIN;
      std::string kind;
      for (;;) {
        next.bind(1, list).bind(2, kind);
        next.bind(3, groups.empty() ? std::string_view("") : std::string_view(groups.back().last));
        if (!next.step()) break;
        list = next.int64(0);
        kind = next.text(1);
        next.reset();
        last.bind(1, list).bind(2, kind);
        if (!last.step() || last.is_null(0)) break;
        const bool known = std::binary_search(list_ids.begin(), list_ids.end(), list);
        groups.push_back(
            {list, known ? stored_kind(kind) : std::nullopt, std::string(last.text(0))});
        last.reset();
      }
    }
    Statement st(db_, "SELECT key FROM list_entries ORDER BY list_id, kind, key");
    size_t at = 0;
    while (at < groups.size() && st.step()) {
      const std::string_view key = st.text(0);
      const Group &group = groups[at];
      if (group.kind) sink.list_entry(group.list, *group.kind, key);
      if (key == group.last) ++at;
    }
    // Within one read transaction the two views cannot disagree; if they ever did, the old
    // index had better go on answering than a new one miss entries.
    if (at != groups.size() || st.step()) {
      throw StoreError("database: the list entries did not read back in key order");
    }
  }
  tx.commit();
  return gen;
}

bool SqliteStore::upgrade_password_hash(const std::string &name, const std::string &old_hash,
                                        const std::string &new_hash) {
  Statement st(db_, "UPDATE accounts SET password_hash = ? WHERE name = ? AND password_hash = ?");
  st.bind(1, new_hash).bind(2, name).bind(3, old_hash);
  st.run();
  return sqlite3_changes(db_.get()) > 0;
}

bool SqliteStore::append_query_log(std::span<const QueryLogRecord> records, uint64_t keep,
                                   const LogBatchId &batch) {
  // Only the newest `keep` could stay; rows are made room for before they are inserted, so
  // that neither the table nor the file ever holds much more than `keep` rows' worth.
  // The hourly counters count every query, also those the kept rows have no room for.
  const std::span<const QueryLogRecord> all = records;
  keep = std::min<uint64_t>(keep, INT64_MAX);
  if (records.size() > keep) records = records.subspan(records.size() - keep);
  Transaction tx(*this, true);
  if (!batch.writer.empty()) {
    Statement seen(db_, "SELECT sequence FROM log_batches WHERE writer = ?");
    seen.bind(1, batch.writer);
    if (seen.step() && seen.int64(0) >= static_cast<int64_t>(batch.sequence)) return false;
  }
  Statement trim(db_, "DELETE FROM query_log WHERE id <= (SELECT MAX(id) FROM query_log) - ?");
  trim.bind(1, static_cast<int64_t>(keep - records.size()));
  trim.run();
  Statement insert(db_,
                   "INSERT INTO query_log(time_ms, account, verified, address, verdict, reason, "
                   "instance) VALUES(?, ?, ?, ?, ?, ?, ?)");
  // The records outlive the statement's runs, so their text is bound without copies.
  insert.bind_static(7, instance_);
  for (const auto &record : records) {
    insert.bind(1, record.time_ms)
        .bind_static(2, record.account)
        .bind(3, int64_t{record.verified ? 1 : 0})
        .bind_static(4, record.address)
        .bind_static(5, record.verdict)
        .bind_static(6, record.reason);
    insert.step();
    insert.rewind();
  }
  count_queries(all);
  count_tops(all);
  if (!batch.writer.empty()) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    Statement written(db_, "INSERT OR REPLACE INTO log_batches(writer, sequence, time_ms) "
                           "VALUES(?, ?, ?)");
    written.bind(1, batch.writer).bind(2, static_cast<int64_t>(batch.sequence)).bind(3, now);
    written.run();
    Statement old(db_, "DELETE FROM log_batches WHERE time_ms < ?");
    old.bind(1, now - kLogBatchDays * kDayMs);
    old.run();
  }
  tx.commit();
  // Pages freed by a lowered `log keep` go back to the file system (new databases only: older
  // ones are converted by pvcheckctl init).
  int64_t free_pages = 0;
  {
    Statement count(db_, "PRAGMA freelist_count");
    if (count.step()) free_pages = count.int64(0);
  }
  if (free_pages > 256) exec("PRAGMA incremental_vacuum");
  return true;
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
  const bool removed = sqlite3_changes(db_.get()) > 0;
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
    added += static_cast<uint64_t>(sqlite3_changes(db_.get()));
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
  const bool removed = sqlite3_changes(db_.get()) > 0;
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
  const bool removed = sqlite3_changes(db_.get()) > 0;
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

// Counters are kept beside the log in the same transaction, so they survive restarts and stay
// correct however small the log is kept. Hourly rows older than kHourlyCounterDays are folded
// into daily rows; daily rows older than kDailyCounterDays go.
void SqliteStore::count_queries(std::span<const QueryLogRecord> records) {
  if (records.empty()) return;
  Statement add(db_,
                "INSERT INTO counters_hourly(start_ms, queries, forbidden) VALUES(?, ?, ?) "
                "ON CONFLICT(start_ms) DO UPDATE SET queries = queries + excluded.queries, "
                "forbidden = forbidden + excluded.forbidden");
  int64_t hour = -1;
  int64_t queries = 0, forbidden = 0, newest = 0;
  const auto flush = [&] {
    if (hour < 0) return;
    add.bind(1, hour).bind(2, queries).bind(3, forbidden);
    add.run();
  };
  for (const auto &record : records) {  // in time order, so each hour comes as one run
    const int64_t this_hour = record.time_ms - record.time_ms % kHourMs;
    if (this_hour != hour) {
      flush();
      hour = this_hour;
      queries = forbidden = 0;
    }
    ++queries;
    if (record.verdict == "001") ++forbidden;
    newest = std::max(newest, record.time_ms);
  }
  flush();
  const int64_t cutoff = newest - newest % kDayMs - kHourlyCounterDays * kDayMs;
  Statement fold(db_,
                 "INSERT INTO counters_daily(start_ms, queries, forbidden) "
                 "SELECT start_ms - start_ms % 86400000, SUM(queries), SUM(forbidden) "
                 "FROM counters_hourly WHERE start_ms < ?1 GROUP BY 1 "
                 "ON CONFLICT(start_ms) DO UPDATE SET queries = queries + excluded.queries, "
                 "forbidden = forbidden + excluded.forbidden");
  fold.bind(1, cutoff);
  fold.run();
  Statement drop_hours(db_, "DELETE FROM counters_hourly WHERE start_ms < ?");
  drop_hours.bind(1, cutoff);
  drop_hours.run();
  Statement drop_days(db_, "DELETE FROM counters_daily WHERE start_ms < ?");
  drop_days.bind(1, cutoff - (kDailyCounterDays - kHourlyCounterDays) * kDayMs);
  drop_days.run();
}

// The tops of every query, not only of the kept log rows: counted per hour in the same
// transaction, at most kTopKeysPerHour keys per hour and kind, for kTopHours. A batch is
// summed in memory first (at most kTopKeysPerHour keys per hour and kind there too, so a
// flood of distinct addresses costs no memory), so a busy hour costs one row write per
// distinct key.
void SqliteStore::count_tops(std::span<const QueryLogRecord> records) {
  if (records.empty()) return;
  // Per kind and hour, as the PostgreSQL store does it: keys the hour holds already are
  // counted on, new ones take what is left of its room in the order they first came, and the
  // counts of those finding none go to the hour's key-less row of kind + 4. The hour's keys
  // are read once and the batch summed in memory, so that a flood of distinct addresses
  // costs a statement per key kept, not one or two per query.
  struct Hour {
    std::unordered_set<std::string> held;
    std::unordered_map<std::string, int64_t> sums;
    uint64_t room = 0;
    int64_t others = 0;
  };
  std::map<std::pair<int64_t, int64_t>, Hour> hours;
  Statement held_keys(db_, "SELECT key FROM top_hourly WHERE what = ? AND start_ms = ?");
  const auto hour_of = [&](int64_t what, int64_t hour) -> Hour & {
    const auto [it, created] = hours.try_emplace({what, hour});
    if (created) {
      held_keys.bind(1, what).bind(2, hour);
      while (held_keys.step()) it->second.held.emplace(held_keys.text(0));
      held_keys.reset();
      const uint64_t held = it->second.held.size();
      it->second.room = kTopKeysPerHour - std::min<uint64_t>(kTopKeysPerHour, held);
    }
    return it->second;
  };
  AddressParts parts;
  std::string key;
  int64_t newest = 0;
  for (const auto &r : records) {
    const int64_t hour = r.time_ms - r.time_ms % kHourMs;
    newest = std::max(newest, r.time_ms);
    const auto add = [&](TopKind kind) {
      Hour &h = hour_of(static_cast<int64_t>(kind), hour);
      if (const auto it = h.sums.find(key); it != h.sums.end()) {
        ++it->second;
      } else if (h.held.contains(key)) {
        h.sums.emplace(key, 1);
      } else if (h.room > 0) {
        --h.room;
        h.sums.emplace(key, 1);
      } else {
        ++h.others;
      }
    };
    key.assign(r.verified ? std::string_view(r.account) : std::string_view("* (stranger)"));
    add(TopKind::Account);
    key.assign(r.reason);
    add(TopKind::Rule);
    if (r.verdict == "001") {
      // Long addresses are counted by their start, which keeps an hour of the top small.
      key.assign(r.address.size() <= kTopAddressBytes ? r.address
                                                      : r.address.substr(0, kTopAddressBytes) +
                                                            "\u2026");
      add(TopKind::ForbiddenAddress);
      parse_address(r.address, parts);
      key.assign(parts.host);
      add(TopKind::ForbiddenHost);
    }
  }
  Statement upsert(db_, "INSERT INTO top_hourly(what, start_ms, key, count) VALUES(?, ?, ?, ?) "
                        "ON CONFLICT DO UPDATE SET count = count + excluded.count");
  for (const auto &[what_hour, h] : hours) {
    const auto [what, hour] = what_hour;
    for (const auto &[held_key, n] : h.sums) {
      upsert.bind(1, what).bind(2, hour).bind(3, held_key).bind(4, n);
      upsert.run();
    }
    if (h.others > 0) {
      upsert.bind(1, what + 4).bind(2, hour).bind(3, std::string_view("")).bind(4, h.others);
      upsert.run();
    }
  }
  Statement drop(db_, "DELETE FROM top_hourly WHERE what = ? AND start_ms < ?");
  for (int64_t what = 0; what < 8; ++what) {
    drop.bind(1, what).bind(2, newest - newest % kHourMs - (kTopHours - 1) * kHourMs);
    drop.run();
  }
}

TopCounts SqliteStore::top_counts(TopKind kind, int64_t from_ms, uint64_t limit) {
  TopCounts out;
  Statement st(db_, "SELECT key, SUM(count) AS n FROM top_hourly WHERE what = ? AND "
                    "start_ms >= ? GROUP BY key ORDER BY n DESC, key LIMIT ?");
  st.bind(1, int64_t{static_cast<int>(kind)}).bind(2, from_ms)
      .bind(3, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
  while (st.step()) out.rows.push_back({std::string(st.text(0)), static_cast<uint64_t>(st.int64(1))});
  Statement others(db_, "SELECT SUM(count) FROM top_hourly WHERE what = ? AND start_ms >= ?");
  others.bind(1, int64_t{static_cast<int>(kind) + 4}).bind(2, from_ms);
  if (others.step() && !others.is_null(0)) out.others = static_cast<uint64_t>(others.int64(0));
  return out;
}

void SqliteStore::report_health(const ServiceHealth &health) {
  Statement st(db_,
               "INSERT OR REPLACE INTO service_health(instance, time_ms, started_ms, generation, "
               "loaded_ms, rules, qps, dropped, slow_per_second, slow_budget, slow_refused, "
               "outage_since_ms, outage_ms, outage_buffered, outage_dropped, stopped_ms) "
               "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  st.bind(1, health.instance)
      .bind(2, health.time_ms)
      .bind(3, health.started_ms)
      .bind(4, static_cast<int64_t>(health.generation))
      .bind(5, health.loaded_ms)
      .bind(6, static_cast<int64_t>(health.rules))
      .bind(8, static_cast<int64_t>(health.dropped_log_records))
      .bind(11, static_cast<int64_t>(health.slow_checks_refused))
      .bind(12, health.outage_since_ms)
      .bind(13, health.outage_ms)
      .bind(14, static_cast<int64_t>(health.outage_buffered))
      .bind(15, static_cast<int64_t>(health.outage_dropped))
      .bind(16, health.stopped_ms);
  st.bind_real(7, health.queries_per_second)
      .bind_real(9, health.slow_checks_per_second)
      .bind_real(10, health.slow_check_budget);
  st.run();
}

std::vector<ServiceHealth> SqliteStore::health() {
  std::vector<ServiceHealth> out;
  Statement st(db_,
               "SELECT instance, time_ms, started_ms, generation, loaded_ms, rules, qps, dropped, "
               "slow_per_second, slow_budget, slow_refused, outage_since_ms, outage_ms, "
               "outage_buffered, outage_dropped, stopped_ms FROM service_health "
               "ORDER BY time_ms DESC");
  while (st.step()) {
    out.push_back({std::string(st.text(0)), st.int64(1), st.int64(2),
                   static_cast<uint64_t>(st.int64(3)), st.int64(4),
                   static_cast<uint64_t>(st.int64(5)), st.real(6),
                   static_cast<uint64_t>(st.int64(7)), st.real(8), st.real(9),
                   static_cast<uint64_t>(st.int64(10)), st.int64(11), st.int64(12),
                   static_cast<uint64_t>(st.int64(13)), static_cast<uint64_t>(st.int64(14)),
                   st.int64(15)});
  }
  return out;
}

void SqliteStore::atomically(const std::function<void()> &fn) {
  Transaction tx(*this, true);
  fn();
  tx.commit();
}

void SqliteStore::add_administrator(const std::string &name, const std::string &hash) {
  Transaction tx(*this, true);
  {
    Statement exists(db_, "SELECT 1 FROM administrators WHERE name = ?");
    exists.bind(1, name);
    if (exists.step()) throw StoreError("administrator \"" + name + "\" exists already");
  }
  Statement st(db_, "INSERT INTO administrators(name, password_hash, created_ms) "
                    "VALUES(?, ?, ?)");
  st.bind(1, name).bind(2, hash).bind(3, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
  st.run();
  tx.commit();
}

bool SqliteStore::remove_administrator(const std::string &name) {
  Transaction tx(*this, true);
  for (const char *sql : {"DELETE FROM sessions WHERE administrator = ?",
                          "DELETE FROM administrators WHERE name = ?"}) {
    Statement st(db_, sql);
    st.bind(1, name);
    st.run();
  }
  const bool removed = sqlite3_changes(db_.get()) > 0;
  tx.commit();
  return removed;
}

std::vector<AdministratorRecord> SqliteStore::administrators() {
  std::vector<AdministratorRecord> out;
  Statement st(db_, "SELECT name, password_hash, created_ms FROM administrators ORDER BY name");
  while (st.step()) out.push_back({std::string(st.text(0)), std::string(st.text(1)), st.int64(2)});
  return out;
}

void SqliteStore::create_session(const std::string &digest, const SessionRecord &session) {
  Transaction tx(*this, true);
  Statement st(db_, "INSERT INTO sessions(digest, administrator, csrf, created_ms, last_seen_ms) "
                    "VALUES(?, ?, ?, ?, ?)");
  st.bind(1, digest).bind(2, session.administrator).bind(3, session.csrf)
      .bind(4, session.created_ms).bind(5, session.last_seen_ms);
  st.run();
  tx.commit();
}

std::optional<SessionRecord> SqliteStore::touch_session(const std::string &digest,
                                                        int64_t now_ms, int64_t idle_ms,
                                                        int64_t lifetime_ms) {
  std::optional<SessionRecord> found;
  {
    Statement st(db_, "SELECT administrator, csrf, created_ms, last_seen_ms FROM sessions "
                      "WHERE digest = ?");
    st.bind(1, digest);
    if (st.step()) {
      found = SessionRecord{std::string(st.text(0)), std::string(st.text(1)), st.int64(2),
                            st.int64(3)};
    }
  }
  if (!found) return std::nullopt;
  const bool expired =
      found->last_seen_ms < now_ms - idle_ms || found->created_ms < now_ms - lifetime_ms;
  // Most requests only read: the last use is written when it has moved by a thirtieth of
  // the idle time (a minute for half an hour), and expired sessions of everyone go then too.
  if (expired || now_ms - found->last_seen_ms > idle_ms / 30) {
    Transaction tx(*this, true);
    Statement expire(db_, "DELETE FROM sessions WHERE last_seen_ms < ? OR created_ms < ?");
    expire.bind(1, now_ms - idle_ms).bind(2, now_ms - lifetime_ms);
    expire.run();
    if (!expired) {
      Statement st(db_, "UPDATE sessions SET last_seen_ms = ? WHERE digest = ?");
      st.bind(1, now_ms).bind(2, digest);
      st.run();
      found->last_seen_ms = now_ms;
    }
    tx.commit();
  }
  if (expired) return std::nullopt;
  return found;
}

void SqliteStore::end_session(const std::string &digest) {
  Statement st(db_, "DELETE FROM sessions WHERE digest = ?");
  st.bind(1, digest);
  st.run();
}

void SqliteStore::record_audit(const AuditRecord &record) {
  Statement st(db_, "INSERT INTO audit(time_ms, actor, action, target, before, after) "
                    "VALUES(?, ?, ?, ?, ?, ?)");
  st.bind(1, record.time_ms).bind(2, record.actor).bind(3, record.action).bind(4, record.target)
      .bind(5, record.before).bind(6, record.after);
  st.run();
}

std::vector<AuditRecord> SqliteStore::audit(const AuditFilter &filter) {
  std::string sql = "SELECT id, time_ms, actor, action, target, before, after FROM audit WHERE 1";
  if (filter.before_id > 0) sql += " AND id < :before";
  if (!filter.actor.empty()) sql += " AND actor = :actor";
  if (!filter.text.empty()) {
    sql += " AND (action LIKE :text ESCAPE '\\' OR target LIKE :text ESCAPE '\\' OR "
           "before LIKE :text ESCAPE '\\' OR after LIKE :text ESCAPE '\\')";
  }
  if (filter.from_ms > 0) sql += " AND time_ms >= :from";
  if (filter.to_ms > 0) sql += " AND time_ms < :to";
  sql += " ORDER BY id DESC LIMIT :limit";
  Statement st(db_, sql.c_str());
  st.bind_named(":before", filter.before_id).bind_named(":actor", filter.actor)
      .bind_named(":text", like_pattern(filter.text)).bind_named(":from", filter.from_ms)
      .bind_named(":to", filter.to_ms)
      .bind_named(":limit", static_cast<int64_t>(std::min<uint64_t>(filter.limit, 10000)));
  std::vector<AuditRecord> out;
  while (st.step()) {
    out.push_back({st.int64(0), st.int64(1), std::string(st.text(2)), std::string(st.text(3)),
                   std::string(st.text(4)), std::string(st.text(5)), std::string(st.text(6))});
  }
  return out;
}

std::vector<CounterRow> SqliteStore::hourly_counters(int64_t from_ms) {
  std::vector<CounterRow> out;
  Statement st(db_, "SELECT start_ms, queries, forbidden FROM counters_hourly "
                    "WHERE start_ms >= ? ORDER BY start_ms");
  st.bind(1, from_ms);
  while (st.step()) {
    out.push_back({st.int64(0), static_cast<uint64_t>(st.int64(1)),
                   static_cast<uint64_t>(st.int64(2))});
  }
  return out;
}

std::vector<CounterRow> SqliteStore::daily_counters(int64_t from_ms) {
  std::vector<CounterRow> out;
  Statement st(db_,
               "SELECT start_ms, SUM(queries), SUM(forbidden) FROM ("
               "SELECT start_ms, queries, forbidden FROM counters_daily WHERE start_ms >= ?1 "
               "UNION ALL SELECT start_ms - start_ms % 86400000, queries, forbidden "
               "FROM counters_hourly WHERE start_ms >= ?1) GROUP BY 1 ORDER BY 1");
  st.bind(1, from_ms);
  while (st.step()) {
    out.push_back({st.int64(0), static_cast<uint64_t>(st.int64(1)),
                   static_cast<uint64_t>(st.int64(2))});
  }
  return out;
}

std::vector<QueryLogRow> SqliteStore::search_log(const LogFilter &filter) {
  // The log is appended in time order, so a time range becomes a range of ids found through
  // the time index; the rows are then read newest first along the ids, and the time test is
  // repeated on them for the few records of a batch that straddle a bound.
  int64_t low_id = filter.after_id + 1;
  int64_t high_id = filter.before_id > 0 ? filter.before_id : INT64_MAX;
  if (filter.from_ms > 0) {
    Statement st(db_, "SELECT id FROM query_log WHERE time_ms >= ? ORDER BY time_ms LIMIT 1");
    st.bind(1, filter.from_ms);
    if (!st.step()) return {};
    low_id = std::max(low_id, st.int64(0));
  }
  if (filter.to_ms > 0) {
    Statement st(db_,
                 "SELECT id FROM query_log WHERE time_ms < ? ORDER BY time_ms DESC LIMIT 1");
    st.bind(1, filter.to_ms);
    if (!st.step()) return {};
    high_id = std::min(high_id, st.int64(0) + 1);
  }
  std::string sql =
      "SELECT id, time_ms, account, verified, address, verdict, reason FROM query_log "
      "WHERE id >= :low AND id < :high";
  if (filter.account) sql += " AND account = :account";
  if (!filter.verdict.empty()) sql += " AND verdict = :verdict";
  if (!filter.text.empty()) sql += " AND address LIKE :text ESCAPE '\\'";
  if (filter.from_ms > 0) sql += " AND +time_ms >= :from";
  if (filter.to_ms > 0) sql += " AND +time_ms < :to";
  sql += " ORDER BY id DESC LIMIT :limit";
  Statement st(db_, sql.c_str());
  st.bind_named(":low", low_id).bind_named(":high", high_id)
      .bind_named(":account", filter.account.value_or(""))
      .bind_named(":verdict", filter.verdict).bind_named(":text", like_pattern(filter.text))
      .bind_named(":from", filter.from_ms).bind_named(":to", filter.to_ms)
      .bind_named(":limit", static_cast<int64_t>(std::min<uint64_t>(filter.limit, 1000000)));
  std::vector<QueryLogRow> out;
  while (st.step()) {
    out.push_back({st.int64(0),
                   {st.int64(1), std::string(st.text(2)), st.int64(3) != 0,
                    std::string(st.text(4)), std::string(st.text(5)), std::string(st.text(6))}});
  }
  return out;
}

std::pair<int64_t, int64_t> SqliteStore::log_window(int64_t since_ms, uint64_t max_rows) {
  int64_t last = 0;
  {
    Statement st(db_, "SELECT MAX(id) FROM query_log");
    if (!st.step() || st.is_null(0)) return {1, 0};
    last = st.int64(0);
  }
  int64_t first = last - static_cast<int64_t>(std::min<uint64_t>(max_rows, INT64_MAX / 2)) + 1;
  Statement st(db_, "SELECT id FROM query_log WHERE time_ms >= ? ORDER BY time_ms LIMIT 1");
  st.bind(1, since_ms);
  if (!st.step()) return {1, 0};
  return {std::max(first, st.int64(0)), last};
}

void SqliteStore::scan_log(int64_t first, int64_t last,
                           const std::function<void(const QueryLogRecord &)> &visit) {
  Statement st(db_,
               "SELECT time_ms, account, verified, address, verdict, reason FROM query_log "
               "WHERE id BETWEEN ? AND ?");
  st.bind(1, first).bind(2, last);
  QueryLogRecord record;
  while (st.step()) {
    record.time_ms = st.int64(0);
    record.account.assign(st.text(1));
    record.verified = st.int64(2) != 0;
    record.address.assign(st.text(3));
    record.verdict.assign(st.text(4));
    record.reason.assign(st.text(5));
    visit(record);
  }
}

uint64_t SqliteStore::log_rows() {
  // Two subqueries: SQLite answers a lone MIN or MAX from the key, both together by a scan.
  Statement st(db_, "SELECT (SELECT MAX(id) FROM query_log) - (SELECT MIN(id) FROM query_log) + 1");
  return st.step() && !st.is_null(0) ? static_cast<uint64_t>(st.int64(0)) : 0;
}

RulePage SqliteStore::rule_page(const std::optional<Scope> &filter, const std::string &text,
                                uint64_t offset, uint64_t limit) {
  const auto all_accounts = accounts();
  std::string where = " WHERE 1";
  if (filter) where += " AND scope = :scope";
  if (!text.empty()) where += " AND key LIKE :text ESCAPE '\\'";
  RulePage page;
  const int64_t scope = filter ? scope_id(*filter) : 0;
  limit = std::min<uint64_t>(limit, 10000);
  if (!text.empty()) {
    // A substring search reads every rule anyway: one pass counts the matches and keeps the
    // page, instead of a count and then a second scan for the page.
    Statement st(db_, ("SELECT scope, kind, key, action FROM rules" + where +
                       " ORDER BY scope, kind, key").c_str());
    st.bind_named(":scope", scope).bind_named(":text", like_pattern(text));
    for (; st.step(); ++page.total) {
      if (page.total < offset || page.total - offset >= limit) continue;
      const auto kind = parse_kind(st.text(1));
      const auto action = parse_action(st.text(3));
      if (!kind || !action) continue;
      page.rules.push_back({scope_name_of(st.int64(0), all_accounts), *kind,
                            std::string(st.text(2)), *action});
    }
    return page;
  }
  {
    Statement st(db_, ("SELECT COUNT(*) FROM rules" + where).c_str());
    st.bind_named(":scope", scope);
    if (st.step()) page.total = static_cast<uint64_t>(st.int64(0));
  }
  Statement st(db_, ("SELECT scope, kind, key, action FROM rules" + where +
                     " ORDER BY scope, kind, key LIMIT :limit OFFSET :offset")
                        .c_str());
  st.bind_named(":scope", scope)
      .bind_named(":limit", static_cast<int64_t>(limit))
      .bind_named(":offset", static_cast<int64_t>(std::min<uint64_t>(offset, INT64_MAX)));
  while (st.step()) {
    const auto kind = parse_kind(st.text(1));
    const auto action = parse_action(st.text(3));
    if (!kind || !action) continue;
    page.rules.push_back({scope_name_of(st.int64(0), all_accounts), *kind,
                          std::string(st.text(2)), *action});
  }
  return page;
}

std::optional<RuleRecord> SqliteStore::first_rule(const Scope &scope, RuleKind kind,
                                                  std::span<const std::string> keys) {
  const int64_t scope_number = scope_id(scope);
  Statement st(db_, "SELECT action FROM rules WHERE scope = ? AND kind = ? AND key = ?");
  for (const auto &key : keys) {
    st.reset();
    st.bind(1, scope_number).bind(2, kind_name(kind)).bind(3, key);
    if (!st.step()) continue;
    if (const auto action = parse_action(st.text(0))) {
      return RuleRecord{scope.account, kind, key, *action};
    }
  }
  return std::nullopt;
}

std::optional<std::string> SqliteStore::first_list_entry(const std::string &list, RuleKind kind,
                                                         std::span<const std::string> keys) {
  const int64_t id = list_id(list);
  Statement st(db_, "SELECT 1 FROM list_entries WHERE list_id = ? AND kind = ? AND key = ?");
  for (const auto &key : keys) {
    st.reset();
    st.bind(1, id).bind(2, kind_name(kind)).bind(3, key);
    if (st.step()) return key;
  }
  return std::nullopt;
}

EntryPage SqliteStore::list_page(const std::string &list, const std::string &text,
                                 uint64_t offset, uint64_t limit) {
  const int64_t id = list_id(list);
  const std::string where =
      text.empty() ? " WHERE list_id = :id" : " WHERE list_id = :id AND key LIKE :text ESCAPE '\\'";
  EntryPage page;
  limit = std::min<uint64_t>(limit, 10000);
  if (!text.empty()) {  // one pass, as for the rules
    Statement st(db_, ("SELECT kind, key FROM list_entries" + where + " ORDER BY kind, key")
                          .c_str());
    st.bind_named(":id", id).bind_named(":text", like_pattern(text));
    for (; st.step(); ++page.total) {
      if (page.total < offset || page.total - offset >= limit) continue;
      if (auto kind = parse_kind(st.text(0))) {
        page.entries.emplace_back(*kind, std::string(st.text(1)));
      }
    }
    return page;
  }
  {
    Statement st(db_, ("SELECT COUNT(*) FROM list_entries" + where).c_str());
    st.bind_named(":id", id).bind_named(":text", like_pattern(text));
    if (st.step()) page.total = static_cast<uint64_t>(st.int64(0));
  }
  Statement st(db_, ("SELECT kind, key FROM list_entries" + where +
                     " ORDER BY kind, key LIMIT :limit OFFSET :offset")
                        .c_str());
  st.bind_named(":id", id).bind_named(":text", like_pattern(text))
      .bind_named(":limit", static_cast<int64_t>(std::min<uint64_t>(limit, 10000)))
      .bind_named(":offset", static_cast<int64_t>(std::min<uint64_t>(offset, INT64_MAX)));
  while (st.step()) {
    if (auto kind = parse_kind(st.text(0))) {
      page.entries.emplace_back(*kind, std::string(st.text(1)));
    }
  }
  return page;
}

void SqliteStore::rename_list(const std::string &from, const std::string &to) {
  Transaction tx(*this, true);
  const int64_t id = list_id(from);
  {
    Statement exists(db_, "SELECT 1 FROM lists WHERE name = ?");
    exists.bind(1, to);
    if (exists.step()) throw StoreError("list \"" + to + "\" exists already");
  }
  Statement st(db_, "UPDATE lists SET name = ? WHERE id = ?");
  st.bind(1, to).bind(2, id);
  st.run();
  bump_generation();
  tx.commit();
}

uint64_t SqliteStore::import_list_entries(
    const std::string &list, std::span<const std::pair<RuleKind, std::string>> entries,
    bool replace, const std::function<bool(uint64_t)> &progress) {
  Transaction tx(*this, true);
  const int64_t id = list_id(list);
  if (replace) {
    Statement clear(db_, "DELETE FROM list_entries WHERE list_id = ?");
    clear.bind(1, id);
    clear.run();
  }
  Statement insert(db_, "INSERT OR IGNORE INTO list_entries(list_id, kind, key) VALUES(?, ?, ?)");
  uint64_t added = 0, done = 0;
  for (const auto &[kind, key] : entries) {
    insert.bind(1, id).bind(2, kind_name(kind)).bind(3, key);
    insert.run();
    added += static_cast<uint64_t>(sqlite3_changes(db_.get()));
    if (++done % 4096 == 0 && progress && !progress(done)) {
      throw StoreError("import cancelled; nothing was changed");
    }
  }
  if (progress && !progress(done)) throw StoreError("import cancelled; nothing was changed");
  bump_generation();
  tx.commit();
  return added;
}

}  // namespace pv::check
