// The audit trail. Every administrative change, made in the console or with pvcheckctl, goes
// through AuditedAdminStore: it reads what the change touches, makes the change, reads it
// again and records who did what with both states - all in one transaction, so a change is
// never kept without its record. Passwords and their hashes never appear in it.
#pragma once

#include <functional>
#include <string>

#include "checkingservice/storage/store.h"

namespace pv::check {

inline constexpr std::string_view kCommandLineActor = "command line";

class AuditedAdminStore final : public AdminStore {
public:
    AuditedAdminStore(AdminStore& inner, ConsoleStore& console, std::string actor);

    // A change outside AdminStore (administrators, renaming, imports): before and after describe
    // the state around change.
    void Record(const std::string& action, const std::string& target,
                const std::function<std::string()>& before, const std::function<void()>& change,
                const std::function<std::string()>& after);

    void AddAccount(const std::string& name, const std::optional<std::string>& hash, Action policy) override;
    void SetPassword(const std::string& name, const std::string& hash) override;
    void SetPolicy(const std::string& name, Action policy) override;
    void SetRelocation(const std::string& name, const std::string& address) override;
    void RemoveAccount(const std::string& name) override;
    std::vector<AccountRecord> Accounts() override { return m_inner.Accounts(); }
    void AddRule(const Scope& scope, RuleKind kind, const std::string& key, Action action) override;
    bool RemoveRule(const Scope& scope, RuleKind kind, const std::string& key) override;
    std::vector<RuleRecord> Rules(const std::optional<Scope>& filter) override {
        return m_inner.Rules(filter);
    }
    void CreateList(const std::string& name) override;
    void RemoveList(const std::string& name) override;
    std::vector<ListInfo> Lists() override { return m_inner.Lists(); }
    uint64_t AddListEntries(const std::string& list,
                            std::span<const std::pair<RuleKind, std::string>> entries, bool replace) override;
    bool RemoveListEntry(const std::string& list, RuleKind kind, const std::string& key) override;
    std::vector<std::pair<RuleKind, std::string>> ListEntries(const std::string& list,
                                                              uint64_t limit) override {
        return m_inner.ListEntries(list, limit);
    }
    void Attach(const std::string& list, const Scope& scope, Action action) override;
    bool Detach(const std::string& list, const Scope& scope) override;
    std::vector<AttachmentRecord> Attachments() override { return m_inner.Attachments(); }
    void SetLogKeep(uint64_t keep) override;
    uint64_t LogKeep() override { return m_inner.LogKeep(); }
    std::vector<QueryLogRecord> QueryLog(uint64_t limit, const std::optional<std::string>& account) override {
        return m_inner.QueryLog(limit, account);
    }

    // The texts the trail uses, also for the console's own records.
    std::string AccountState(const std::string& name);
    std::string ListState(const std::string& name);
    static std::string ScopeText(const Scope& scope);

private:
    std::string RuleState(const Scope& scope, RuleKind kind, const std::string& key);
    std::string AttachmentState(const std::string& list, const Scope& scope);

    AdminStore& m_inner;
    ConsoleStore& m_console;
    std::string m_actor;
};

} // namespace pv::check
