// The shared store: one PostgreSQL database that any number of service instances, the
// administration tool and the console use at once. The tables map one to one onto the SQLite
// store's; every administrative change raises meta.generation and sends NOTIFY pv_changes in
// the same transaction, so instances waiting in WaitForChange learn of it at once.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checkingservice/base/handles.h"
#include "checkingservice/storage/store.h"

namespace pv::check {

// PostgreSQL text cannot hold a NUL byte, which query-log fields (from queries) may: it is
// stored as the escape the service's own log prints for it.
std::string WithoutNul(std::string_view text);

// The channel every administrative change is announced on.
inline constexpr const char* kChangeChannel = "pv_changes";

class PgStore final : public Store {
public:
    // conninfo: a postgresql:// address or key=value list; what it leaves out comes from the
    // PG* environment variables and the password file, as everywhere with libpq. Throws
    // StoreError (the message names the cause: unreachable, refused, wrong schema).
    explicit PgStore(const std::string& conninfo, OpenMode mode = OpenMode::Create);
    ~PgStore() override;
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    int OpenedVersion() const override { return m_openedVersion; }
    void SetInstance(const std::string& name) override { m_instance = name; }
    bool UpgradePasswordHash(const std::string& name, const std::string& oldHash,
                             const std::string& newHash) override;

    // Waits up to `timeout` for a change notification (listening from the first call on).
    // True: one arrived. Throws StoreError when the connection is lost.
    bool WaitForChange(std::chrono::milliseconds timeout) override;
    bool AnnouncesChanges() const override { return true; }
    // Whether the connection is up; a lost one is re-established here (one attempt).
    bool Reconnect() override;

    uint64_t Generation() override;
    uint64_t Load(SnapshotSink& sink) override;
    using ServiceStore::AppendQueryLog;
    bool AppendQueryLog(std::span<const QueryLogRecord> records, uint64_t keep, const LogBatchId& batch,
                        LogWrite write) override;
    void ReportHealth(const ServiceHealth& health) override;

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
    EntryPage ListPage(const std::string& list, const std::string& text, uint64_t offset,
                       uint64_t limit) override;
    void RenameList(const std::string& from, const std::string& to) override;
    std::optional<RuleRecord> FirstRule(const Scope& scope, RuleKind kind,
                                        std::span<const std::string> keys) override;
    std::optional<std::string> FirstListEntry(const std::string& list, RuleKind kind,
                                              std::span<const std::string> keys) override;
    uint64_t ImportListEntries(const std::string& list,
                               std::span<const std::pair<RuleKind, std::string>> entries, bool replace,
                               const std::function<bool(uint64_t)>& progress) override;

    // Parameters travel as text; nullopt is NULL.
    using Param = std::optional<std::string>;
    class Result;

private:
    class Transaction;

    Result Run(const std::string& sql, const std::vector<Param>& params = {});
    // Streams the rows one at a time, so that a million rules never sit in memory twice.
    void EachRow(const std::string& sql, const std::vector<Param>& params,
                 const std::function<void(const Result&)>& row);
    void ConfigureSession();
    // The same for a query without parameters through COPY in binary, which costs a fraction
    // per row: the rule index reads every rule and list entry at each rebuild. row gets the
    // fields' bytes; nullopt for NULL.
    void CopyRows(const std::string& query,
                  const std::function<void(std::span<const std::optional<std::string_view>>)>& row);
    void Migrate(OpenMode mode);
    [[noreturn]] void Fail(const std::string& what);
    int64_t AccountId(const std::string& name);
    int64_t ScopeId(const Scope& scope); // 0 for global
    int64_t ListId(const std::string& name);
    void BumpGeneration();
    RulePage RuleRows(const std::optional<Scope>& filter, const std::string& text, uint64_t offset,
                      uint64_t limit);
    void CountQueries(std::span<const QueryLogRecord> records);
    void CountTops(std::span<const QueryLogRecord> records);
    uint64_t InsertEntries(int64_t list, std::span<const std::pair<RuleKind, std::string>> entries,
                           const std::function<bool(uint64_t)>& progress);

    PgConn m_conn;
    bool m_listening = false;
    int m_openedVersion = 0;
    std::string m_instance;
};

class PgStore::Result {
public:
    explicit Result(pg_result* result) : m_result(result) {}
    Result(Result&& other) noexcept = default;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;

    int Rows() const;
    uint64_t Affected() const;
    bool IsNull(int row, int column) const;
    std::string_view Text(int row, int column) const;
    int64_t Int64(int row, int column) const;
    double Real(int row, int column) const;

private:
    PgResult m_result;
};

} // namespace pv::check
