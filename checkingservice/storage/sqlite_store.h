// The embedded store: one SQLite file in WAL mode, so the running service keeps reading while
// the administration tool writes. Every administrative change raises meta.generation in the
// same transaction; the service polls it and rebuilds its index when it moves.
#pragma once

#include <memory>
#include <string>

#include "checkingservice/base/handles.h"
#include "checkingservice/storage/store.h"

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
    explicit SqliteStore(const std::string& path, Open mode = Open::Create);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    int OpenedVersion() const override { return m_openedVersion; }
    void SetInstance(const std::string& name) override { m_instance = name; }
    bool UpgradePasswordHash(const std::string& name, const std::string& oldHash,
                             const std::string& newHash) override;

    uint64_t Generation() override;
    uint64_t Load(SnapshotSink& sink) override;
    using ServiceStore::AppendQueryLog;
    bool AppendQueryLog(std::span<const QueryLogRecord> records, uint64_t keep, const LogBatchId& batch,
                        LogWrite write) override;

    void AddAccount(const std::string& name, const std::optional<std::string>& hash, Action policy) override;
    void SetPassword(const std::string& name, const std::string& hash) override;
    void SetPolicy(const std::string& name, Action policy) override;
    void SetRelocation(const std::string& name, const std::string& address) override;
    void RemoveAccount(const std::string& name) override;
    std::vector<AccountRecord> Accounts() override;
    void AddRule(const Scope& scope, RuleKind kind, const std::string& key, Action action) override;
    bool RemoveRule(const Scope& scope, RuleKind kind, const std::string& key) override;
    std::vector<RuleRecord> Rules(const std::optional<Scope>& filter) override;
    void CreateList(const std::string& name) override;
    void RemoveList(const std::string& name) override;
    std::vector<ListInfo> Lists() override;
    uint64_t AddListEntries(const std::string& list,
                            std::span<const std::pair<RuleKind, std::string>> entries, bool replace) override;
    bool RemoveListEntry(const std::string& list, RuleKind kind, const std::string& key) override;
    std::vector<std::pair<RuleKind, std::string>> ListEntries(const std::string& list,
                                                              uint64_t limit) override;
    void Attach(const std::string& list, const Scope& scope, Action action) override;
    bool Detach(const std::string& list, const Scope& scope) override;
    std::vector<AttachmentRecord> Attachments() override;
    void SetLogKeep(uint64_t keep) override;
    uint64_t LogKeep() override;
    std::vector<QueryLogRecord> QueryLog(uint64_t limit, const std::optional<std::string>& account) override;

    void ReportHealth(const ServiceHealth& health) override;

    void Atomically(const std::function<void()>& fn) override;
    void AddAdministrator(const std::string& name, const std::string& hash) override;
    bool RemoveAdministrator(const std::string& name) override;
    std::vector<AdministratorRecord> Administrators() override;
    void CreateSession(const std::string& digest, const SessionRecord& session) override;
    std::optional<SessionRecord> TouchSession(const std::string& digest, int64_t nowMs, int64_t idleMs,
                                              int64_t lifetimeMs) override;
    void EndSession(const std::string& digest) override;
    void RecordAudit(const AuditRecord& record) override;
    std::vector<AuditRecord> Audit(const AuditFilter& filter) override;
    std::vector<CounterRow> HourlyCounters(int64_t fromMs) override;
    std::vector<CounterRow> DailyCounters(int64_t fromMs) override;
    std::vector<QueryLogRow> SearchLog(const LogFilter& filter) override;
    std::pair<int64_t, int64_t> LogWindow(int64_t sinceMs, uint64_t maxRows) override;
    void ScanLog(int64_t first, int64_t last,
                 const std::function<void(const QueryLogRecord&)>& visit) override;
    uint64_t LogRows() override;
    TopCounts GetTopCounts(TopKind kind, int64_t fromMs, uint64_t limit) override;
    std::vector<ServiceHealth> Health() override;
    RulePage GetRulePage(const std::optional<Scope>& filter, const std::string& text, uint64_t offset,
                         uint64_t limit) override;
    std::optional<RuleRecord> FirstRule(const Scope& scope, RuleKind kind,
                                        std::span<const std::string> keys) override;
    std::optional<std::string> FirstListEntry(const std::string& list, RuleKind kind,
                                              std::span<const std::string> keys) override;
    EntryPage ListPage(const std::string& list, const std::string& text, uint64_t offset,
                       uint64_t limit) override;
    void RenameList(const std::string& from, const std::string& to) override;
    uint64_t ImportListEntries(const std::string& list,
                               std::span<const std::pair<RuleKind, std::string>> entries, bool replace,
                               const std::function<bool(uint64_t)>& progress) override;

private:
    class Statement;
    class Transaction;

    void Exec(const char* sql);
    int64_t AccountId(const std::string& name);
    int64_t ScopeId(const Scope& scope); // 0 for global
    int64_t ListId(const std::string& name);
    void BumpGeneration();
    void CountQueries(std::span<const QueryLogRecord> records);
    void CountTops(std::span<const QueryLogRecord> records);

    void Migrate(const std::string& path, Open mode);

    SqliteDb m_db;
    int m_openedVersion = 0;
    std::string m_instance;
};

} // namespace pv::check
