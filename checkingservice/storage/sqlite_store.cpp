#include "checkingservice/storage/sqlite_store.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pv::check {

class SqliteStore::Statement {
public:
    Statement(const SqliteDb& db, const char* sql) : m_db(db.get()) {
        sqlite3_stmt* prepared = nullptr;
        const int rc = sqlite3_prepare_v2(m_db, sql, -1, &prepared, nullptr);
        m_stmt.reset(prepared);
        if (rc != SQLITE_OK) throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value) {
        Check(sqlite3_bind_int64(m_stmt.get(), index, value));
        return *this;
    }
    Statement& Bind(int index, std::string_view value) {
        Check(sqlite3_bind_text(m_stmt.get(), index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindReal(int index, double value) {
        Check(sqlite3_bind_double(m_stmt.get(), index, value));
        return *this;
    }
    // Named parameters the statement does not use are skipped, so optional filters can bind
    // everything unconditionally.
    template <typename T>
    Statement& BindNamed(const char* name, const T& value) {
        if (const int index = sqlite3_bind_parameter_index(m_stmt.get(), name); index > 0) {
            Bind(index, value);
        }
        return *this;
    }
    // The text must stay unchanged until the statement is reset.
    Statement& BindStatic(int index, std::string_view value) {
        Check(sqlite3_bind_text(m_stmt.get(), index, value.data(), static_cast<int>(value.size()),
                                SQLITE_STATIC));
        return *this;
    }
    Statement& BindNull(int index) {
        Check(sqlite3_bind_null(m_stmt.get(), index));
        return *this;
    }
    // True while rows come; false once done.
    bool Step() {
        const int rc = sqlite3_step(m_stmt.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
    }
    void Run() {
        while (Step()) {}
        Reset();
    }
    void Reset() {
        sqlite3_reset(m_stmt.get());
        sqlite3_clear_bindings(m_stmt.get());
    }
    // For a statement run again at once with every parameter bound anew.
    void Rewind() { sqlite3_reset(m_stmt.get()); }
    int64_t Int64(int column) const { return sqlite3_column_int64(m_stmt.get(), column); }
    double Real(int column) const { return sqlite3_column_double(m_stmt.get(), column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt.get(), column) == SQLITE_NULL; }
    std::string_view Text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt.get(), column));
        const int size = sqlite3_column_bytes(m_stmt.get(), column);
        return bytes ? std::string_view(bytes, static_cast<size_t>(size)) : std::string_view();
    }

private:
    void Check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
    }
    sqlite3* m_db;
    SqliteStmt m_stmt;
};

class SqliteStore::Transaction {
public:
    // Inside an outer transaction (ConsoleStore::atomically) a savepoint, so that the outer
    // one decides what is kept.
    Transaction(SqliteStore& store, bool write)
        : m_store(store), m_nested(sqlite3_get_autocommit(store.m_db.get()) == 0) {
        m_store.Exec(m_nested ? "SAVEPOINT nested" : write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction() {
        if (m_done) return;
        sqlite3_exec(m_store.m_db.get(), m_nested ? "ROLLBACK TO nested; RELEASE nested" : "ROLLBACK",
                     nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        m_store.Exec(m_nested ? "RELEASE nested" : "COMMIT");
        m_done = true;
    }

private:
    SqliteStore& m_store;
    const bool m_nested;
    bool m_done = false;
};

namespace {

constexpr const char* kSchema = R"SQL(
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
constexpr const char* kTopSchema = R"SQL(
CREATE TABLE IF NOT EXISTS top_hourly(
  what INTEGER NOT NULL, start_ms INTEGER NOT NULL, key TEXT NOT NULL, count INTEGER NOT NULL,
  PRIMARY KEY(what, start_ms, key)) WITHOUT ROWID;
)SQL";

// The last batch id of each query-log writer, and what the health rows say of the last outage.
constexpr const char* kBatchSchema = R"SQL(
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
std::string LikePattern(std::string_view text) {
    std::string out = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out + "%";
}

// ParseKind for the million rows of a load: one look at the length and first letter.
std::optional<RuleKind> StoredKind(std::string_view name) {
    RuleKind kind;
    switch (name.size() < 4 ? 0 : name[0]) {
    case 'e':
        kind = RuleKind::Exact;
        break;
    case 'p':
        kind = RuleKind::Prefix;
        break;
    case 'h':
        kind = RuleKind::Host;
        break;
    case 'd':
        kind = RuleKind::Domain;
        break;
    default:
        return std::nullopt;
    }
    if (name != KindName(kind)) return std::nullopt;
    return kind;
}

std::optional<std::string> ScopeNameOf(int64_t scope, const std::vector<AccountRecord>& accounts) {
    if (scope == 0) return std::nullopt;
    for (const auto& account : accounts) {
        if (account.id == scope) return account.name;
    }
    return "#" + std::to_string(scope);
}

} // namespace

namespace {

// The database holds password hashes and every pupil's browsing history: only its owner may
// read it. SQLite gives the write-ahead log and shared-memory files the database's own mode,
// so creating the (empty) database file 0600 ourselves covers all three.
void CreatePrivateFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd && errno != EEXIST) {
        throw StoreError("cannot create database " + path + ": " + std::strerror(errno));
    }
}

void MakePrivate(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string name = path + suffix;
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            ::chmod(name.c_str(), st.st_mode & 0700);
        }
    }
}

} // namespace

SqliteStore::SqliteStore(const std::string& path, Open mode) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (mode == Open::Create) {
        CreatePrivateFile(path);
        MakePrivate(path);
    } else if (struct stat st{}; ::stat(path.c_str(), &st) != 0) {
        throw StoreError("database " + path + " does not exist (pvcheckctl --db " + path +
                         " init creates one)");
    }
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
    m_db.reset(opened); // also a handle that failed to open must be closed
    if (rc != SQLITE_OK) {
        throw StoreError("cannot open database " + path + ": " +
                         (m_db ? sqlite3_errmsg(m_db.get()) : "out of memory"));
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    if (mode != Open::Create) {
        // Read before anything is written: an empty or foreign file must stay as it is.
        bool initialised = false;
        try {
            Statement st(m_db, "SELECT 1 FROM meta WHERE key = 'schema'");
            initialised = st.Step();
        } catch (const StoreError&) {}
        if (!initialised) {
            throw StoreError(path + " is not an initialised checking database (pvcheckctl --db " + path +
                             " init creates one)");
        }
    } else {
        // Freed pages (query-log rows trimmed away) go back to the file system.
        const auto number = [&](const char* sql) {
            Statement st(m_db, sql);
            return st.Step() ? st.Int64(0) : 0;
        };
        if (number("PRAGMA auto_vacuum") != 2) {
            Exec("PRAGMA auto_vacuum=INCREMENTAL");
            if (number("SELECT COUNT(*) FROM sqlite_schema") > 0) Exec("VACUUM"); // an older file
        }
    }
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec("PRAGMA foreign_keys=ON");
    Exec(("PRAGMA journal_size_limit=" + std::to_string(kWalLimitBytes)).c_str());
    Migrate(path, mode);
}

SqliteStore::~SqliteStore() = default;

namespace {

// Forward steps from the version before each to it; kSchema itself is version 1.
struct Migration {
    int version;
    const char* sql;
};
constexpr Migration kMigrations[] = {
    {2, "ALTER TABLE query_log ADD COLUMN instance TEXT NOT NULL DEFAULT ''"},
    {3, kTopSchema},
    {4, kBatchSchema},
};
static_assert(std::size(kMigrations) + 1 == kSchemaVersion);

} // namespace

void SqliteStore::Migrate(const std::string& path, Open mode) {
    Transaction tx(*this, true);
    // Read before anything is written, so that a newer database is left as it is.
    const auto storedVersion = [&] {
        try {
            Statement st(m_db, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'schema'");
            return st.Step() ? static_cast<int>(st.Int64(0)) : 0;
        } catch (const StoreError&) {
            return 0; // no meta table: a new file
        }
    };
    m_openedVersion = storedVersion();
    const std::string version = std::to_string(m_openedVersion);
    if (m_openedVersion > kSchemaVersion) {
        throw StoreError(path + " has schema version " + version + ", newer than this program understands (" +
                         std::to_string(kSchemaVersion) + "): use a newer build");
    }
    if (m_openedVersion < kSchemaVersion && mode == Open::Existing) {
        throw StoreError(path + " has schema version " + version + ", older than this program's " +
                         std::to_string(kSchemaVersion) + ": run pvcheckctl --db " + path + " migrate");
    }
    Exec(kSchema); // tables of version 1 an older file may lack; a new file gets version 1
    const int from = storedVersion();
    for (const auto& step : kMigrations) {
        if (step.version <= from) continue;
        Exec(step.sql);
        Statement st(m_db, "UPDATE meta SET value = ? WHERE key = 'schema'");
        st.Bind(1, std::to_string(step.version));
        st.Run();
    }
    tx.Commit();
}

void SqliteStore::Exec(const char* sql) {
    char* rawError = nullptr;
    const int rc = sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &rawError);
    const SqliteText error(rawError);
    if (rc != SQLITE_OK) {
        throw StoreError(std::string("database: ") + (error ? error.get() : sqlite3_errmsg(m_db.get())));
    }
}

void SqliteStore::BumpGeneration() {
    Exec("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'generation'");
}

int64_t SqliteStore::AccountId(const std::string& name) {
    Statement st(m_db, "SELECT id FROM accounts WHERE name = ?");
    st.Bind(1, name);
    if (!st.Step()) throw StoreError("no account named \"" + name + "\"");
    return st.Int64(0);
}

int64_t SqliteStore::ScopeId(const Scope& scope) { return scope.account ? AccountId(*scope.account) : 0; }

int64_t SqliteStore::ListId(const std::string& name) {
    Statement st(m_db, "SELECT id FROM lists WHERE name = ?");
    st.Bind(1, name);
    if (!st.Step()) throw StoreError("no list named \"" + name + "\"");
    return st.Int64(0);
}

uint64_t SqliteStore::Generation() {
    Statement st(m_db, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'generation'");
    return st.Step() ? static_cast<uint64_t>(st.Int64(0)) : 0;
}

uint64_t SqliteStore::Load(SnapshotSink& sink) {
    Transaction tx(*this, false);
    const uint64_t gen = Generation();
    {
        Statement st(m_db, "SELECT key, value FROM meta");
        while (st.Step()) sink.Setting(st.Text(0), st.Text(1));
    }
    // Read in the same transaction, so the accounts belong to the same snapshot.
    for (const auto& account : Accounts()) sink.Account(account);
    std::vector<int64_t> listIds; // ascending
    {
        Statement st(m_db, "SELECT id, name FROM lists ORDER BY id");
        while (st.Step()) {
            listIds.push_back(st.Int64(0));
            sink.List(st.Int64(0), st.Text(1));
        }
    }
    const auto scopeOf = [](int64_t scope) {
        return scope == 0 ? std::nullopt : std::optional<int64_t>(scope);
    };
    {
        Statement st(m_db, "SELECT scope, list_id, action FROM attachments");
        while (st.Step()) {
            if (auto action = ParseAction(st.Text(2))) {
                sink.Attachment(scopeOf(st.Int64(0)), st.Int64(1), *action);
            }
        }
    }
    {
        Statement st(m_db, "SELECT scope, kind, key, action FROM rules");
        while (st.Step()) {
            const auto kind = StoredKind(st.Text(1));
            const auto action = ParseAction(st.Text(3));
            if (kind && action) sink.Rule(scopeOf(st.Int64(0)), *kind, st.Text(2), *action);
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
            Statement next(m_db, "SELECT list_id, kind FROM list_entries WHERE (list_id, kind, key) > "
                                 "(?, ?, ?) ORDER BY list_id, kind, key LIMIT 1");
            Statement last(m_db, "SELECT max(key) FROM list_entries WHERE list_id = ? AND kind = ?");
            int64_t list = INT64_MIN;
            std::string kind;
            for (;;) {
                next.Bind(1, list).Bind(2, kind);
                next.Bind(3, groups.empty() ? std::string_view("") : std::string_view(groups.back().last));
                if (!next.Step()) break;
                list = next.Int64(0);
                kind = next.Text(1);
                next.Reset();
                last.Bind(1, list).Bind(2, kind);
                if (!last.Step() || last.IsNull(0)) break;
                const bool known = std::binary_search(listIds.begin(), listIds.end(), list);
                groups.push_back({list, known ? StoredKind(kind) : std::nullopt, std::string(last.Text(0))});
                last.Reset();
            }
        }
        Statement st(m_db, "SELECT key FROM list_entries ORDER BY list_id, kind, key");
        size_t at = 0;
        while (at < groups.size() && st.Step()) {
            const std::string_view key = st.Text(0);
            const Group& group = groups[at];
            if (group.kind) sink.ListEntry(group.list, *group.kind, key);
            if (key == group.last) ++at;
        }
        // Within one read transaction the two views cannot disagree; if they ever did, the old
        // index had better go on answering than a new one miss entries.
        if (at != groups.size() || st.Step()) {
            throw StoreError("database: the list entries did not read back in key order");
        }
    }
    tx.Commit();
    return gen;
}

bool SqliteStore::UpgradePasswordHash(const std::string& name, const std::string& oldHash,
                                      const std::string& newHash) {
    Statement st(m_db, "UPDATE accounts SET password_hash = ? WHERE name = ? AND password_hash = ?");
    st.Bind(1, newHash).Bind(2, name).Bind(3, oldHash);
    st.Run();
    return sqlite3_changes(m_db.get()) > 0;
}

bool SqliteStore::AppendQueryLog(std::span<const QueryLogRecord> records, uint64_t keep,
                                 const LogBatchId& batch, LogWrite write) {
    // Only the newest `keep` could stay; rows are made room for before they are inserted, so
    // that neither the table nor the file ever holds much more than `keep` rows' worth.
    // The hourly counters count every query, also those the kept rows have no room for.
    const std::span<const QueryLogRecord> all = records;
    keep = std::min<uint64_t>(keep, INT64_MAX);
    if (write == LogWrite::CountsOnly) records = {};
    if (records.size() > keep) records = records.subspan(records.size() - keep);
    Transaction tx(*this, true);
    if (!batch.writer.empty()) {
        Statement seen(m_db, "SELECT sequence FROM log_batches WHERE writer = ?");
        seen.Bind(1, batch.writer);
        if (seen.Step() && seen.Int64(0) >= static_cast<int64_t>(batch.sequence)) return false;
    }
    if (!records.empty()) {
        Statement trim(m_db, "DELETE FROM query_log WHERE id <= (SELECT MAX(id) FROM query_log) - ?");
        trim.Bind(1, static_cast<int64_t>(keep - records.size()));
        trim.Run();
        Statement insert(m_db, "INSERT INTO query_log(time_ms, account, verified, address, verdict, reason, "
                               "instance) VALUES(?, ?, ?, ?, ?, ?, ?)");
        // The records outlive the statement's runs, so their text is bound without copies.
        insert.BindStatic(7, m_instance);
        for (const auto& record : records) {
            insert.Bind(1, record.timeMs)
                .BindStatic(2, record.account)
                .Bind(3, int64_t{record.verified ? 1 : 0})
                .BindStatic(4, record.address)
                .BindStatic(5, record.verdict)
                .BindStatic(6, record.reason);
            insert.Step();
            insert.Rewind();
        }
    }
    CountQueries(all);
    CountTops(all);
    if (!batch.writer.empty()) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        Statement written(m_db, "INSERT OR REPLACE INTO log_batches(writer, sequence, time_ms) "
                                "VALUES(?, ?, ?)");
        written.Bind(1, batch.writer).Bind(2, static_cast<int64_t>(batch.sequence)).Bind(3, now);
        written.Run();
        Statement old(m_db, "DELETE FROM log_batches WHERE time_ms < ?");
        old.Bind(1, now - kLogBatchDays * kDayMs);
        old.Run();
    }
    tx.Commit();
    // Pages freed by a lowered `log keep` go back to the file system (new databases only: older
    // ones are converted by pvcheckctl init).
    int64_t freePages = 0;
    {
        Statement count(m_db, "PRAGMA freelist_count");
        if (count.Step()) freePages = count.Int64(0);
    }
    if (freePages > 256) Exec("PRAGMA incremental_vacuum");
    return true;
}

void SqliteStore::AddAccount(const std::string& name, const std::optional<std::string>& hash, Action policy) {
    Transaction tx(*this, true);
    {
        Statement exists(m_db, "SELECT 1 FROM accounts WHERE name = ?");
        exists.Bind(1, name);
        if (exists.Step()) throw StoreError("account \"" + name + "\" exists already");
    }
    Statement st(m_db, "INSERT INTO accounts(name, password_hash, policy) VALUES(?, ?, ?)");
    st.Bind(1, name);
    if (hash)
        st.Bind(2, *hash);
    else
        st.BindNull(2);
    st.Bind(3, ActionName(policy));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

void SqliteStore::SetPassword(const std::string& name, const std::string& hash) {
    if (name == kStrangerAccount) throw StoreError("the stranger profile takes no password");
    Transaction tx(*this, true);
    Statement st(m_db, "UPDATE accounts SET password_hash = ? WHERE id = ?");
    st.Bind(1, hash).Bind(2, AccountId(name));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

void SqliteStore::SetPolicy(const std::string& name, Action policy) {
    Transaction tx(*this, true);
    Statement st(m_db, "UPDATE accounts SET policy = ? WHERE id = ?");
    st.Bind(1, ActionName(policy)).Bind(2, AccountId(name));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

void SqliteStore::SetRelocation(const std::string& name, const std::string& address) {
    Transaction tx(*this, true);
    Statement st(m_db, "UPDATE accounts SET relocation = ? WHERE id = ?");
    st.Bind(1, address).Bind(2, AccountId(name));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

void SqliteStore::RemoveAccount(const std::string& name) {
    if (name == kStrangerAccount) throw StoreError("the stranger profile cannot be removed");
    Transaction tx(*this, true);
    const int64_t id = AccountId(name);
    for (const char* sql : {"DELETE FROM rules WHERE scope = ?", "DELETE FROM attachments WHERE scope = ?",
                            "DELETE FROM accounts WHERE id = ?"}) {
        Statement st(m_db, sql);
        st.Bind(1, id);
        st.Run();
    }
    BumpGeneration();
    tx.Commit();
}

std::vector<AccountRecord> SqliteStore::Accounts() {
    std::vector<AccountRecord> out;
    Statement st(m_db, "SELECT id, name, password_hash, policy, relocation FROM accounts ORDER BY name");
    while (st.Step()) {
        AccountRecord account;
        account.id = st.Int64(0);
        account.name = st.Text(1);
        if (!st.IsNull(2)) account.passwordHash = std::string(st.Text(2));
        account.policy = ParseAction(st.Text(3)).value_or(Action::Allow);
        account.relocation = st.Text(4);
        out.push_back(std::move(account));
    }
    return out;
}

void SqliteStore::AddRule(const Scope& scope, RuleKind kind, const std::string& key, Action action) {
    Transaction tx(*this, true);
    Statement st(m_db, "INSERT INTO rules(scope, kind, key, action) VALUES(?, ?, ?, ?) "
                       "ON CONFLICT(scope, kind, key) DO UPDATE SET action = excluded.action");
    st.Bind(1, ScopeId(scope)).Bind(2, KindName(kind)).Bind(3, key).Bind(4, ActionName(action));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

bool SqliteStore::RemoveRule(const Scope& scope, RuleKind kind, const std::string& key) {
    Transaction tx(*this, true);
    Statement st(m_db, "DELETE FROM rules WHERE scope = ? AND kind = ? AND key = ?");
    st.Bind(1, ScopeId(scope)).Bind(2, KindName(kind)).Bind(3, key);
    st.Run();
    const bool removed = sqlite3_changes(m_db.get()) > 0;
    if (removed) BumpGeneration();
    tx.Commit();
    return removed;
}

std::vector<RuleRecord> SqliteStore::Rules(const std::optional<Scope>& filter) {
    const auto allAccounts = Accounts();
    std::vector<RuleRecord> out;
    Statement st(m_db, filter ? "SELECT scope, kind, key, action FROM rules WHERE scope = ? "
                                "ORDER BY scope, kind, key"
                              : "SELECT scope, kind, key, action FROM rules "
                                "ORDER BY scope, kind, key");
    if (filter) st.Bind(1, ScopeId(*filter));
    while (st.Step()) {
        const auto kind = ParseKind(st.Text(1));
        const auto action = ParseAction(st.Text(3));
        if (!kind || !action) continue;
        out.push_back({ScopeNameOf(st.Int64(0), allAccounts), *kind, std::string(st.Text(2)), *action});
    }
    return out;
}

void SqliteStore::CreateList(const std::string& name) {
    Transaction tx(*this, true);
    {
        Statement exists(m_db, "SELECT 1 FROM lists WHERE name = ?");
        exists.Bind(1, name);
        if (exists.Step()) throw StoreError("list \"" + name + "\" exists already");
    }
    Statement st(m_db, "INSERT INTO lists(name) VALUES(?)");
    st.Bind(1, name);
    st.Run();
    BumpGeneration();
    tx.Commit();
}

void SqliteStore::RemoveList(const std::string& name) {
    Transaction tx(*this, true);
    Statement st(m_db, "DELETE FROM lists WHERE id = ?");
    st.Bind(1, ListId(name));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

std::vector<ListInfo> SqliteStore::Lists() {
    std::vector<ListInfo> out;
    Statement st(m_db, "SELECT id, name, (SELECT COUNT(*) FROM list_entries WHERE list_id = lists.id) "
                       "FROM lists ORDER BY name");
    while (st.Step()) {
        out.push_back({st.Int64(0), std::string(st.Text(1)), static_cast<uint64_t>(st.Int64(2))});
    }
    return out;
}

uint64_t SqliteStore::AddListEntries(const std::string& list,
                                     std::span<const std::pair<RuleKind, std::string>> entries,
                                     bool replace) {
    Transaction tx(*this, true);
    const int64_t id = ListId(list);
    if (replace) {
        Statement clear(m_db, "DELETE FROM list_entries WHERE list_id = ?");
        clear.Bind(1, id);
        clear.Run();
    }
    // Many rows per statement: a large import spends its time in the tree, not in stepping and
    // resetting a statement per row. Parameter 1 is the list; each row adds a kind and a key,
    // bound without a copy (kind names are static, keys outlive the statement's step).
    constexpr size_t kRows = 64;
    const auto insertSql = [](size_t rows) {
        std::string sql = "INSERT OR IGNORE INTO list_entries(list_id, kind, key) VALUES";
        for (size_t i = 0; i < rows; ++i) {
            sql += i ? ",(?1,?" : "(?1,?";
            sql += std::to_string(2 + 2 * i) + ",?" + std::to_string(3 + 2 * i) + ")";
        }
        return sql;
    };
    uint64_t added = 0;
    const auto insertRows = [&](Statement& insert, size_t from, size_t rows) {
        insert.Bind(1, id);
        for (size_t i = 0; i < rows; ++i) {
            const auto& [kind, key] = entries[from + i];
            insert.BindStatic(static_cast<int>(2 + 2 * i), KindName(kind))
                .BindStatic(static_cast<int>(3 + 2 * i), key);
        }
        insert.Run();
        added += static_cast<uint64_t>(sqlite3_changes(m_db.get()));
    };
    size_t done = 0;
    if (entries.size() >= kRows) {
        Statement insert(m_db, insertSql(kRows).c_str());
        for (; entries.size() - done >= kRows; done += kRows) insertRows(insert, done, kRows);
    }
    if (done < entries.size()) {
        Statement insert(m_db, insertSql(entries.size() - done).c_str());
        insertRows(insert, done, entries.size() - done);
    }
    BumpGeneration();
    tx.Commit();
    return added;
}

bool SqliteStore::RemoveListEntry(const std::string& list, RuleKind kind, const std::string& key) {
    Transaction tx(*this, true);
    Statement st(m_db, "DELETE FROM list_entries WHERE list_id = ? AND kind = ? AND key = ?");
    st.Bind(1, ListId(list)).Bind(2, KindName(kind)).Bind(3, key);
    st.Run();
    const bool removed = sqlite3_changes(m_db.get()) > 0;
    if (removed) BumpGeneration();
    tx.Commit();
    return removed;
}

std::vector<std::pair<RuleKind, std::string>> SqliteStore::ListEntries(const std::string& list,
                                                                       uint64_t limit) {
    std::vector<std::pair<RuleKind, std::string>> out;
    Statement st(m_db, "SELECT kind, key FROM list_entries WHERE list_id = ? ORDER BY kind, key "
                       "LIMIT ?");
    st.Bind(1, ListId(list)).Bind(2, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
    while (st.Step()) {
        if (auto kind = ParseKind(st.Text(0))) out.emplace_back(*kind, std::string(st.Text(1)));
    }
    return out;
}

void SqliteStore::Attach(const std::string& list, const Scope& scope, Action action) {
    Transaction tx(*this, true);
    Statement st(m_db, "INSERT INTO attachments(scope, list_id, action) VALUES(?, ?, ?) "
                       "ON CONFLICT(scope, list_id) DO UPDATE SET action = excluded.action");
    st.Bind(1, ScopeId(scope)).Bind(2, ListId(list)).Bind(3, ActionName(action));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

bool SqliteStore::Detach(const std::string& list, const Scope& scope) {
    Transaction tx(*this, true);
    Statement st(m_db, "DELETE FROM attachments WHERE scope = ? AND list_id = ?");
    st.Bind(1, ScopeId(scope)).Bind(2, ListId(list));
    st.Run();
    const bool removed = sqlite3_changes(m_db.get()) > 0;
    if (removed) BumpGeneration();
    tx.Commit();
    return removed;
}

std::vector<AttachmentRecord> SqliteStore::Attachments() {
    const auto allAccounts = Accounts();
    std::vector<AttachmentRecord> out;
    Statement st(m_db, "SELECT a.scope, l.name, a.action FROM attachments a JOIN lists l "
                       "ON l.id = a.list_id ORDER BY a.scope, l.name");
    while (st.Step()) {
        if (auto action = ParseAction(st.Text(2))) {
            out.push_back({ScopeNameOf(st.Int64(0), allAccounts), std::string(st.Text(1)), *action});
        }
    }
    return out;
}

void SqliteStore::SetLogKeep(uint64_t keep) {
    Transaction tx(*this, true);
    Statement st(m_db, "INSERT INTO meta(key, value) VALUES('log_keep', ?) "
                       "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    st.Bind(1, std::to_string(keep));
    st.Run();
    BumpGeneration();
    tx.Commit();
}

uint64_t SqliteStore::LogKeep() {
    Statement st(m_db, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'log_keep'");
    return st.Step() ? static_cast<uint64_t>(std::max<int64_t>(0, st.Int64(0))) : kDefaultLogKeep;
}

std::vector<QueryLogRecord> SqliteStore::QueryLog(uint64_t limit, const std::optional<std::string>& account) {
    std::vector<QueryLogRecord> out;
    Statement st(m_db, account ? "SELECT time_ms, account, verified, address, verdict, reason "
                                 "FROM query_log WHERE account = ? ORDER BY id DESC LIMIT ?"
                               : "SELECT time_ms, account, verified, address, verdict, reason "
                                 "FROM query_log ORDER BY id DESC LIMIT ?");
    int next = 1;
    if (account) st.Bind(next++, *account);
    st.Bind(next, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
    while (st.Step()) {
        out.push_back({st.Int64(0), std::string(st.Text(1)), st.Int64(2) != 0, std::string(st.Text(3)),
                       std::string(st.Text(4)), std::string(st.Text(5))});
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// Counters are kept beside the log in the same transaction, so they survive restarts and stay
// correct however small the log is kept. Hourly rows older than kHourlyCounterDays are folded
// into daily rows; daily rows older than kDailyCounterDays go.
void SqliteStore::CountQueries(std::span<const QueryLogRecord> records) {
    if (records.empty()) return;
    Statement add(m_db, "INSERT INTO counters_hourly(start_ms, queries, forbidden) VALUES(?, ?, ?) "
                        "ON CONFLICT(start_ms) DO UPDATE SET queries = queries + excluded.queries, "
                        "forbidden = forbidden + excluded.forbidden");
    int64_t hour = -1;
    int64_t queries = 0, forbidden = 0, newest = 0;
    const auto flush = [&] {
        if (hour < 0) return;
        add.Bind(1, hour).Bind(2, queries).Bind(3, forbidden);
        add.Run();
    };
    for (const auto& record : records) { // in time order, so each hour comes as one run
        const int64_t thisHour = record.timeMs - record.timeMs % kHourMs;
        if (thisHour != hour) {
            flush();
            hour = thisHour;
            queries = forbidden = 0;
        }
        ++queries;
        if (record.verdict == "001") ++forbidden;
        newest = std::max(newest, record.timeMs);
    }
    flush();
    const int64_t cutoff = newest - newest % kDayMs - kHourlyCounterDays * kDayMs;
    Statement fold(m_db, "INSERT INTO counters_daily(start_ms, queries, forbidden) "
                         "SELECT start_ms - start_ms % 86400000, SUM(queries), SUM(forbidden) "
                         "FROM counters_hourly WHERE start_ms < ?1 GROUP BY 1 "
                         "ON CONFLICT(start_ms) DO UPDATE SET queries = queries + excluded.queries, "
                         "forbidden = forbidden + excluded.forbidden");
    fold.Bind(1, cutoff);
    fold.Run();
    Statement dropHours(m_db, "DELETE FROM counters_hourly WHERE start_ms < ?");
    dropHours.Bind(1, cutoff);
    dropHours.Run();
    Statement dropDays(m_db, "DELETE FROM counters_daily WHERE start_ms < ?");
    dropDays.Bind(1, cutoff - (kDailyCounterDays - kHourlyCounterDays) * kDayMs);
    dropDays.Run();
}

// The tops of every query, not only of the kept log rows: counted per hour in the same
// transaction, at most kTopKeysPerHour keys per hour and kind, for kTopHours. A batch is
// summed in memory first (at most kTopKeysPerHour keys per hour and kind there too, so a
// flood of distinct addresses costs no memory), so a busy hour costs one row write per
// distinct key.
void SqliteStore::CountTops(std::span<const QueryLogRecord> records) {
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
    Statement heldKeys(m_db, "SELECT key FROM top_hourly WHERE what = ? AND start_ms = ?");
    const auto hourOf = [&](int64_t what, int64_t hour) -> Hour& {
        const auto [it, created] = hours.try_emplace({what, hour});
        if (created) {
            heldKeys.Bind(1, what).Bind(2, hour);
            while (heldKeys.Step()) it->second.held.emplace(heldKeys.Text(0));
            heldKeys.Reset();
            const uint64_t held = it->second.held.size();
            it->second.room = kTopKeysPerHour - std::min<uint64_t>(kTopKeysPerHour, held);
        }
        return it->second;
    };
    AddressParts parts;
    std::string key;
    int64_t newest = 0;
    for (const auto& r : records) {
        const int64_t hour = r.timeMs - r.timeMs % kHourMs;
        newest = std::max(newest, r.timeMs);
        const auto add = [&](TopKind kind) {
            Hour& h = hourOf(static_cast<int64_t>(kind), hour);
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
            key.assign(r.address.size() <= kTopAddressBytes
                           ? r.address
                           : r.address.substr(0, kTopAddressBytes) + "\u2026");
            add(TopKind::ForbiddenAddress);
            ParseAddress(r.address, parts);
            key.assign(parts.host);
            add(TopKind::ForbiddenHost);
        }
    }
    Statement upsert(m_db, "INSERT INTO top_hourly(what, start_ms, key, count) VALUES(?, ?, ?, ?) "
                           "ON CONFLICT DO UPDATE SET count = count + excluded.count");
    for (const auto& [what_hour, h] : hours) {
        const auto [what, hour] = what_hour;
        for (const auto& [held_key, n] : h.sums) {
            upsert.Bind(1, what).Bind(2, hour).Bind(3, held_key).Bind(4, n);
            upsert.Run();
        }
        if (h.others > 0) {
            upsert.Bind(1, what + 4).Bind(2, hour).Bind(3, std::string_view("")).Bind(4, h.others);
            upsert.Run();
        }
    }
    Statement drop(m_db, "DELETE FROM top_hourly WHERE what = ? AND start_ms < ?");
    for (int64_t what = 0; what < 8; ++what) {
        drop.Bind(1, what).Bind(2, newest - newest % kHourMs - (kTopHours - 1) * kHourMs);
        drop.Run();
    }
}

TopCounts SqliteStore::GetTopCounts(TopKind kind, int64_t fromMs, uint64_t limit) {
    TopCounts out;
    Statement st(m_db, "SELECT key, SUM(count) AS n FROM top_hourly WHERE what = ? AND "
                       "start_ms >= ? GROUP BY key ORDER BY n DESC, key LIMIT ?");
    st.Bind(1, int64_t{static_cast<int>(kind)})
        .Bind(2, fromMs)
        .Bind(3, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
    while (st.Step()) out.rows.push_back({std::string(st.Text(0)), static_cast<uint64_t>(st.Int64(1))});
    Statement others(m_db, "SELECT SUM(count) FROM top_hourly WHERE what = ? AND start_ms >= ?");
    others.Bind(1, int64_t{static_cast<int>(kind) + 4}).Bind(2, fromMs);
    if (others.Step() && !others.IsNull(0)) out.others = static_cast<uint64_t>(others.Int64(0));
    return out;
}

void SqliteStore::ReportHealth(const ServiceHealth& health) {
    Statement st(m_db, "INSERT OR REPLACE INTO service_health(instance, time_ms, started_ms, generation, "
                       "loaded_ms, rules, qps, dropped, slow_per_second, slow_budget, slow_refused, "
                       "outage_since_ms, outage_ms, outage_buffered, outage_dropped, stopped_ms) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    st.Bind(1, health.instance)
        .Bind(2, health.timeMs)
        .Bind(3, health.startedMs)
        .Bind(4, static_cast<int64_t>(health.generation))
        .Bind(5, health.loadedMs)
        .Bind(6, static_cast<int64_t>(health.rules))
        .Bind(8, static_cast<int64_t>(health.droppedLogRecords))
        .Bind(11, static_cast<int64_t>(health.slowChecksRefused))
        .Bind(12, health.outageSinceMs)
        .Bind(13, health.outageMs)
        .Bind(14, static_cast<int64_t>(health.outageBuffered))
        .Bind(15, static_cast<int64_t>(health.outageDropped))
        .Bind(16, health.stoppedMs);
    st.BindReal(7, health.queriesPerSecond)
        .BindReal(9, health.slowChecksPerSecond)
        .BindReal(10, health.slowCheckBudget);
    st.Run();
}

std::vector<ServiceHealth> SqliteStore::Health() {
    std::vector<ServiceHealth> out;
    Statement st(m_db, "SELECT instance, time_ms, started_ms, generation, loaded_ms, rules, qps, dropped, "
                       "slow_per_second, slow_budget, slow_refused, outage_since_ms, outage_ms, "
                       "outage_buffered, outage_dropped, stopped_ms FROM service_health "
                       "ORDER BY time_ms DESC");
    while (st.Step()) {
        out.push_back(
            {std::string(st.Text(0)), st.Int64(1), st.Int64(2), static_cast<uint64_t>(st.Int64(3)),
             st.Int64(4), static_cast<uint64_t>(st.Int64(5)), st.Real(6), static_cast<uint64_t>(st.Int64(7)),
             st.Real(8), st.Real(9), static_cast<uint64_t>(st.Int64(10)), st.Int64(11), st.Int64(12),
             static_cast<uint64_t>(st.Int64(13)), static_cast<uint64_t>(st.Int64(14)), st.Int64(15)});
    }
    return out;
}

void SqliteStore::Atomically(const std::function<void()>& fn) {
    Transaction tx(*this, true);
    fn();
    tx.Commit();
}

void SqliteStore::AddAdministrator(const std::string& name, const std::string& hash) {
    Transaction tx(*this, true);
    {
        Statement exists(m_db, "SELECT 1 FROM administrators WHERE name = ?");
        exists.Bind(1, name);
        if (exists.Step()) throw StoreError("administrator \"" + name + "\" exists already");
    }
    Statement st(m_db, "INSERT INTO administrators(name, password_hash, created_ms) "
                       "VALUES(?, ?, ?)");
    st.Bind(1, name).Bind(2, hash).Bind(3, std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
    st.Run();
    tx.Commit();
}

bool SqliteStore::RemoveAdministrator(const std::string& name) {
    Transaction tx(*this, true);
    for (const char* sql :
         {"DELETE FROM sessions WHERE administrator = ?", "DELETE FROM administrators WHERE name = ?"}) {
        Statement st(m_db, sql);
        st.Bind(1, name);
        st.Run();
    }
    const bool removed = sqlite3_changes(m_db.get()) > 0;
    tx.Commit();
    return removed;
}

std::vector<AdministratorRecord> SqliteStore::Administrators() {
    std::vector<AdministratorRecord> out;
    Statement st(m_db, "SELECT name, password_hash, created_ms FROM administrators ORDER BY name");
    while (st.Step()) out.push_back({std::string(st.Text(0)), std::string(st.Text(1)), st.Int64(2)});
    return out;
}

void SqliteStore::CreateSession(const std::string& digest, const SessionRecord& session) {
    Transaction tx(*this, true);
    Statement st(m_db, "INSERT INTO sessions(digest, administrator, csrf, created_ms, last_seen_ms) "
                       "VALUES(?, ?, ?, ?, ?)");
    st.Bind(1, digest)
        .Bind(2, session.administrator)
        .Bind(3, session.csrf)
        .Bind(4, session.createdMs)
        .Bind(5, session.lastSeenMs);
    st.Run();
    tx.Commit();
}

std::optional<SessionRecord> SqliteStore::TouchSession(const std::string& digest, int64_t nowMs,
                                                       int64_t idleMs, int64_t lifetimeMs) {
    std::optional<SessionRecord> found;
    {
        Statement st(m_db, "SELECT administrator, csrf, created_ms, last_seen_ms FROM sessions "
                           "WHERE digest = ?");
        st.Bind(1, digest);
        if (st.Step()) {
            found = SessionRecord{std::string(st.Text(0)), std::string(st.Text(1)), st.Int64(2), st.Int64(3)};
        }
    }
    if (!found) return std::nullopt;
    const bool expired = found->lastSeenMs < nowMs - idleMs || found->createdMs < nowMs - lifetimeMs;
    // Most requests only read: the last use is written when it has moved by a thirtieth of
    // the idle time (a minute for half an hour), and expired sessions of everyone go then too.
    if (expired || nowMs - found->lastSeenMs > idleMs / 30) {
        Transaction tx(*this, true);
        Statement expire(m_db, "DELETE FROM sessions WHERE last_seen_ms < ? OR created_ms < ?");
        expire.Bind(1, nowMs - idleMs).Bind(2, nowMs - lifetimeMs);
        expire.Run();
        if (!expired) {
            Statement st(m_db, "UPDATE sessions SET last_seen_ms = ? WHERE digest = ?");
            st.Bind(1, nowMs).Bind(2, digest);
            st.Run();
            found->lastSeenMs = nowMs;
        }
        tx.Commit();
    }
    if (expired) return std::nullopt;
    return found;
}

void SqliteStore::EndSession(const std::string& digest) {
    Statement st(m_db, "DELETE FROM sessions WHERE digest = ?");
    st.Bind(1, digest);
    st.Run();
}

void SqliteStore::RecordAudit(const AuditRecord& record) {
    Statement st(m_db, "INSERT INTO audit(time_ms, actor, action, target, before, after) "
                       "VALUES(?, ?, ?, ?, ?, ?)");
    st.Bind(1, record.timeMs)
        .Bind(2, record.actor)
        .Bind(3, record.action)
        .Bind(4, record.target)
        .Bind(5, record.before)
        .Bind(6, record.after);
    st.Run();
}

std::vector<AuditRecord> SqliteStore::Audit(const AuditFilter& filter) {
    std::string sql = "SELECT id, time_ms, actor, action, target, before, after FROM audit WHERE 1";
    if (filter.beforeId > 0) sql += " AND id < :before";
    if (!filter.actor.empty()) sql += " AND actor = :actor";
    if (!filter.text.empty()) {
        sql += " AND (action LIKE :text ESCAPE '\\' OR target LIKE :text ESCAPE '\\' OR "
               "before LIKE :text ESCAPE '\\' OR after LIKE :text ESCAPE '\\')";
    }
    if (filter.fromMs > 0) sql += " AND time_ms >= :from";
    if (filter.toMs > 0) sql += " AND time_ms < :to";
    sql += " ORDER BY id DESC LIMIT :limit";
    Statement st(m_db, sql.c_str());
    st.BindNamed(":before", filter.beforeId)
        .BindNamed(":actor", filter.actor)
        .BindNamed(":text", LikePattern(filter.text))
        .BindNamed(":from", filter.fromMs)
        .BindNamed(":to", filter.toMs)
        .BindNamed(":limit", static_cast<int64_t>(std::min<uint64_t>(filter.limit, 10000)));
    std::vector<AuditRecord> out;
    while (st.Step()) {
        out.push_back({st.Int64(0), st.Int64(1), std::string(st.Text(2)), std::string(st.Text(3)),
                       std::string(st.Text(4)), std::string(st.Text(5)), std::string(st.Text(6))});
    }
    return out;
}

std::vector<CounterRow> SqliteStore::HourlyCounters(int64_t fromMs) {
    std::vector<CounterRow> out;
    Statement st(m_db, "SELECT start_ms, queries, forbidden FROM counters_hourly "
                       "WHERE start_ms >= ? ORDER BY start_ms");
    st.Bind(1, fromMs);
    while (st.Step()) {
        out.push_back({st.Int64(0), static_cast<uint64_t>(st.Int64(1)), static_cast<uint64_t>(st.Int64(2))});
    }
    return out;
}

std::vector<CounterRow> SqliteStore::DailyCounters(int64_t fromMs) {
    std::vector<CounterRow> out;
    Statement st(m_db, "SELECT start_ms, SUM(queries), SUM(forbidden) FROM ("
                       "SELECT start_ms, queries, forbidden FROM counters_daily WHERE start_ms >= ?1 "
                       "UNION ALL SELECT start_ms - start_ms % 86400000, queries, forbidden "
                       "FROM counters_hourly WHERE start_ms >= ?1) GROUP BY 1 ORDER BY 1");
    st.Bind(1, fromMs);
    while (st.Step()) {
        out.push_back({st.Int64(0), static_cast<uint64_t>(st.Int64(1)), static_cast<uint64_t>(st.Int64(2))});
    }
    return out;
}

std::vector<QueryLogRow> SqliteStore::SearchLog(const LogFilter& filter) {
    // The log is appended in time order, so a time range becomes a range of ids found through
    // the time index; the rows are then read newest first along the ids, and the time test is
    // repeated on them for the few records of a batch that straddle a bound.
    int64_t lowId = filter.afterId + 1;
    int64_t highId = filter.beforeId > 0 ? filter.beforeId : INT64_MAX;
    if (filter.fromMs > 0) {
        Statement st(m_db, "SELECT id FROM query_log WHERE time_ms >= ? ORDER BY time_ms LIMIT 1");
        st.Bind(1, filter.fromMs);
        if (!st.Step()) return {};
        lowId = std::max(lowId, st.Int64(0));
    }
    if (filter.toMs > 0) {
        Statement st(m_db, "SELECT id FROM query_log WHERE time_ms < ? ORDER BY time_ms DESC LIMIT 1");
        st.Bind(1, filter.toMs);
        if (!st.Step()) return {};
        highId = std::min(highId, st.Int64(0) + 1);
    }
    std::string sql = "SELECT id, time_ms, account, verified, address, verdict, reason FROM query_log "
                      "WHERE id >= :low AND id < :high";
    if (filter.account) sql += " AND account = :account";
    if (!filter.verdict.empty()) sql += " AND verdict = :verdict";
    if (!filter.text.empty()) sql += " AND address LIKE :text ESCAPE '\\'";
    if (filter.fromMs > 0) sql += " AND +time_ms >= :from";
    if (filter.toMs > 0) sql += " AND +time_ms < :to";
    sql += " ORDER BY id DESC LIMIT :limit";
    Statement st(m_db, sql.c_str());
    st.BindNamed(":low", lowId)
        .BindNamed(":high", highId)
        .BindNamed(":account", filter.account.value_or(""))
        .BindNamed(":verdict", filter.verdict)
        .BindNamed(":text", LikePattern(filter.text))
        .BindNamed(":from", filter.fromMs)
        .BindNamed(":to", filter.toMs)
        .BindNamed(":limit", static_cast<int64_t>(std::min<uint64_t>(filter.limit, 1000000)));
    std::vector<QueryLogRow> out;
    while (st.Step()) {
        out.push_back({st.Int64(0),
                       {st.Int64(1), std::string(st.Text(2)), st.Int64(3) != 0, std::string(st.Text(4)),
                        std::string(st.Text(5)), std::string(st.Text(6))}});
    }
    return out;
}

std::pair<int64_t, int64_t> SqliteStore::LogWindow(int64_t sinceMs, uint64_t maxRows) {
    int64_t last = 0;
    {
        Statement st(m_db, "SELECT MAX(id) FROM query_log");
        if (!st.Step() || st.IsNull(0)) return {1, 0};
        last = st.Int64(0);
    }
    int64_t first = last - static_cast<int64_t>(std::min<uint64_t>(maxRows, INT64_MAX / 2)) + 1;
    Statement st(m_db, "SELECT id FROM query_log WHERE time_ms >= ? ORDER BY time_ms LIMIT 1");
    st.Bind(1, sinceMs);
    if (!st.Step()) return {1, 0};
    return {std::max(first, st.Int64(0)), last};
}

void SqliteStore::ScanLog(int64_t first, int64_t last,
                          const std::function<void(const QueryLogRecord&)>& visit) {
    Statement st(m_db, "SELECT time_ms, account, verified, address, verdict, reason FROM query_log "
                       "WHERE id BETWEEN ? AND ?");
    st.Bind(1, first).Bind(2, last);
    QueryLogRecord record;
    while (st.Step()) {
        record.timeMs = st.Int64(0);
        record.account.assign(st.Text(1));
        record.verified = st.Int64(2) != 0;
        record.address.assign(st.Text(3));
        record.verdict.assign(st.Text(4));
        record.reason.assign(st.Text(5));
        visit(record);
    }
}

uint64_t SqliteStore::LogRows() {
    // Two subqueries: SQLite answers a lone MIN or MAX from the key, both together by a scan.
    Statement st(m_db, "SELECT (SELECT MAX(id) FROM query_log) - (SELECT MIN(id) FROM query_log) + 1");
    return st.Step() && !st.IsNull(0) ? static_cast<uint64_t>(st.Int64(0)) : 0;
}

RulePage SqliteStore::GetRulePage(const std::optional<Scope>& filter, const std::string& text,
                                  uint64_t offset, uint64_t limit) {
    const auto allAccounts = Accounts();
    std::string where = " WHERE 1";
    if (filter) where += " AND scope = :scope";
    if (!text.empty()) where += " AND key LIKE :text ESCAPE '\\'";
    RulePage page;
    const int64_t scope = filter ? ScopeId(*filter) : 0;
    limit = std::min<uint64_t>(limit, 10000);
    if (!text.empty()) {
        // A substring search reads every rule anyway: one pass counts the matches and keeps the
        // page, instead of a count and then a second scan for the page.
        Statement st(
            m_db,
            ("SELECT scope, kind, key, action FROM rules" + where + " ORDER BY scope, kind, key").c_str());
        st.BindNamed(":scope", scope).BindNamed(":text", LikePattern(text));
        for (; st.Step(); ++page.total) {
            if (page.total < offset || page.total - offset >= limit) continue;
            const auto kind = ParseKind(st.Text(1));
            const auto action = ParseAction(st.Text(3));
            if (!kind || !action) continue;
            page.rules.push_back(
                {ScopeNameOf(st.Int64(0), allAccounts), *kind, std::string(st.Text(2)), *action});
        }
        return page;
    }
    {
        Statement st(m_db, ("SELECT COUNT(*) FROM rules" + where).c_str());
        st.BindNamed(":scope", scope);
        if (st.Step()) page.total = static_cast<uint64_t>(st.Int64(0));
    }
    Statement st(m_db, ("SELECT scope, kind, key, action FROM rules" + where +
                        " ORDER BY scope, kind, key LIMIT :limit OFFSET :offset")
                           .c_str());
    st.BindNamed(":scope", scope)
        .BindNamed(":limit", static_cast<int64_t>(limit))
        .BindNamed(":offset", static_cast<int64_t>(std::min<uint64_t>(offset, INT64_MAX)));
    while (st.Step()) {
        const auto kind = ParseKind(st.Text(1));
        const auto action = ParseAction(st.Text(3));
        if (!kind || !action) continue;
        page.rules.push_back(
            {ScopeNameOf(st.Int64(0), allAccounts), *kind, std::string(st.Text(2)), *action});
    }
    return page;
}

std::optional<RuleRecord> SqliteStore::FirstRule(const Scope& scope, RuleKind kind,
                                                 std::span<const std::string> keys) {
    const int64_t scopeNumber = ScopeId(scope);
    Statement st(m_db, "SELECT action FROM rules WHERE scope = ? AND kind = ? AND key = ?");
    for (const auto& key : keys) {
        st.Reset();
        st.Bind(1, scopeNumber).Bind(2, KindName(kind)).Bind(3, key);
        if (!st.Step()) continue;
        if (const auto action = ParseAction(st.Text(0))) {
            return RuleRecord{scope.account, kind, key, *action};
        }
    }
    return std::nullopt;
}

std::optional<std::string> SqliteStore::FirstListEntry(const std::string& list, RuleKind kind,
                                                       std::span<const std::string> keys) {
    const int64_t id = ListId(list);
    Statement st(m_db, "SELECT 1 FROM list_entries WHERE list_id = ? AND kind = ? AND key = ?");
    for (const auto& key : keys) {
        st.Reset();
        st.Bind(1, id).Bind(2, KindName(kind)).Bind(3, key);
        if (st.Step()) return key;
    }
    return std::nullopt;
}

EntryPage SqliteStore::ListPage(const std::string& list, const std::string& text, uint64_t offset,
                                uint64_t limit) {
    const int64_t id = ListId(list);
    const std::string where =
        text.empty() ? " WHERE list_id = :id" : " WHERE list_id = :id AND key LIKE :text ESCAPE '\\'";
    EntryPage page;
    limit = std::min<uint64_t>(limit, 10000);
    if (!text.empty()) { // one pass, as for the rules
        Statement st(m_db, ("SELECT kind, key FROM list_entries" + where + " ORDER BY kind, key").c_str());
        st.BindNamed(":id", id).BindNamed(":text", LikePattern(text));
        for (; st.Step(); ++page.total) {
            if (page.total < offset || page.total - offset >= limit) continue;
            if (auto kind = ParseKind(st.Text(0))) {
                page.entries.emplace_back(*kind, std::string(st.Text(1)));
            }
        }
        return page;
    }
    {
        Statement st(m_db, ("SELECT COUNT(*) FROM list_entries" + where).c_str());
        st.BindNamed(":id", id).BindNamed(":text", LikePattern(text));
        if (st.Step()) page.total = static_cast<uint64_t>(st.Int64(0));
    }
    Statement st(m_db, ("SELECT kind, key FROM list_entries" + where +
                        " ORDER BY kind, key LIMIT :limit OFFSET :offset")
                           .c_str());
    st.BindNamed(":id", id)
        .BindNamed(":text", LikePattern(text))
        .BindNamed(":limit", static_cast<int64_t>(std::min<uint64_t>(limit, 10000)))
        .BindNamed(":offset", static_cast<int64_t>(std::min<uint64_t>(offset, INT64_MAX)));
    while (st.Step()) {
        if (auto kind = ParseKind(st.Text(0))) {
            page.entries.emplace_back(*kind, std::string(st.Text(1)));
        }
    }
    return page;
}

void SqliteStore::RenameList(const std::string& from, const std::string& to) {
    Transaction tx(*this, true);
    const int64_t id = ListId(from);
    {
        Statement exists(m_db, "SELECT 1 FROM lists WHERE name = ?");
        exists.Bind(1, to);
        if (exists.Step()) throw StoreError("list \"" + to + "\" exists already");
    }
    Statement st(m_db, "UPDATE lists SET name = ? WHERE id = ?");
    st.Bind(1, to).Bind(2, id);
    st.Run();
    BumpGeneration();
    tx.Commit();
}

uint64_t SqliteStore::ImportListEntries(const std::string& list,
                                        std::span<const std::pair<RuleKind, std::string>> entries,
                                        bool replace, const std::function<bool(uint64_t)>& progress) {
    Transaction tx(*this, true);
    const int64_t id = ListId(list);
    if (replace) {
        Statement clear(m_db, "DELETE FROM list_entries WHERE list_id = ?");
        clear.Bind(1, id);
        clear.Run();
    }
    Statement insert(m_db, "INSERT OR IGNORE INTO list_entries(list_id, kind, key) VALUES(?, ?, ?)");
    uint64_t added = 0, done = 0;
    for (const auto& [kind, key] : entries) {
        insert.Bind(1, id).Bind(2, KindName(kind)).Bind(3, key);
        insert.Run();
        added += static_cast<uint64_t>(sqlite3_changes(m_db.get()));
        if (++done % 4096 == 0 && progress && !progress(done)) {
            throw StoreError("import cancelled; nothing was changed");
        }
    }
    if (progress && !progress(done)) throw StoreError("import cancelled; nothing was changed");
    BumpGeneration();
    tx.Commit();
    return added;
}

} // namespace pv::check
