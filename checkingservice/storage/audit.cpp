#include "checkingservice/storage/audit.h"

#include <chrono>

namespace pv::check {
namespace {

constexpr const char* kNone = "(none)";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

AuditedAdminStore::AuditedAdminStore(AdminStore& inner, ConsoleStore& console, std::string actor)
    : m_inner(inner), m_console(console), m_actor(std::move(actor)) {}

void AuditedAdminStore::Record(const std::string& action, const std::string& target,
                               const std::function<std::string()>& before,
                               const std::function<void()>& change,
                               const std::function<std::string()>& after) {
    m_console.Atomically([&] {
        AuditRecord entry;
        entry.before = before();
        change();
        entry.after = after();
        if (entry.after == entry.before) return; // nothing changed: nothing to record
        entry.timeMs = NowMs();
        entry.actor = m_actor;
        entry.action = action;
        entry.target = target;
        m_console.RecordAudit(entry);
    });
}

std::string AuditedAdminStore::ScopeText(const Scope& scope) {
    return scope.account ? "account " + *scope.account : std::string("global");
}

std::string AuditedAdminStore::AccountState(const std::string& name) {
    for (const auto& account : m_inner.Accounts()) {
        if (account.name != name) continue;
        std::string text = "policy " + std::string(ActionName(account.policy));
        text += account.passwordHash ? ", password" : ", no password";
        if (!account.relocation.empty()) text += ", moved to " + account.relocation;
        return text;
    }
    return kNone;
}

std::string AuditedAdminStore::ListState(const std::string& name) {
    for (const auto& list : m_inner.Lists()) {
        if (list.name == name) return std::to_string(list.entries) + " entries";
    }
    return kNone;
}

std::string AuditedAdminStore::RuleState(const Scope& scope, RuleKind kind, const std::string& key) {
    for (const auto& rule : m_console.GetRulePage(scope, key, 0, 10000).rules) {
        if (rule.kind == kind && rule.key == key) {
            return std::string(ActionName(rule.action)) + ' ' + std::string(KindName(kind)) + ' ' + key;
        }
    }
    return kNone;
}

std::string AuditedAdminStore::AttachmentState(const std::string& list, const Scope& scope) {
    for (const auto& a : m_inner.Attachments()) {
        if (a.list == list && a.account == scope.account) {
            return std::string(ActionName(a.action)) + ' ' + ScopeText(scope);
        }
    }
    return "not attached";
}

void AuditedAdminStore::AddAccount(const std::string& name, const std::optional<std::string>& hash,
                                   Action policy) {
    const auto state = [&] { return AccountState(name); };
    Record(
        "account.add", name, state, [&] { m_inner.AddAccount(name, hash, policy); }, state);
}

void AuditedAdminStore::SetPassword(const std::string& name, const std::string& hash) {
    const auto state = [&] { return AccountState(name); };
    Record(
        "account.password", name, state, [&] { m_inner.SetPassword(name, hash); },
        [] { return std::string("password changed"); });
}

void AuditedAdminStore::SetPolicy(const std::string& name, Action policy) {
    const auto state = [&] { return AccountState(name); };
    Record(
        "account.policy", name, state, [&] { m_inner.SetPolicy(name, policy); }, state);
}

void AuditedAdminStore::SetRelocation(const std::string& name, const std::string& address) {
    const auto state = [&] { return AccountState(name); };
    Record(
        address.empty() ? "account.stay" : "account.move", name, state,
        [&] { m_inner.SetRelocation(name, address); }, state);
}

void AuditedAdminStore::RemoveAccount(const std::string& name) {
    const auto state = [&] { return AccountState(name); };
    Record(
        "account.remove", name, state, [&] { m_inner.RemoveAccount(name); }, state);
}

void AuditedAdminStore::AddRule(const Scope& scope, RuleKind kind, const std::string& key, Action action) {
    const auto state = [&] { return RuleState(scope, kind, key); };
    Record(
        "rule.add", ScopeText(scope), state, [&] { m_inner.AddRule(scope, kind, key, action); }, state);
}

bool AuditedAdminStore::RemoveRule(const Scope& scope, RuleKind kind, const std::string& key) {
    bool removed = false;
    const auto state = [&] { return RuleState(scope, kind, key); };
    Record(
        "rule.remove", ScopeText(scope), state, [&] { removed = m_inner.RemoveRule(scope, kind, key); },
        state);
    return removed;
}

void AuditedAdminStore::CreateList(const std::string& name) {
    const auto state = [&] { return ListState(name); };
    Record(
        "list.create", name, state, [&] { m_inner.CreateList(name); }, state);
}

void AuditedAdminStore::RemoveList(const std::string& name) {
    const auto state = [&] { return ListState(name); };
    Record(
        "list.remove", name, state, [&] { m_inner.RemoveList(name); }, state);
}

uint64_t AuditedAdminStore::AddListEntries(const std::string& list,
                                           std::span<const std::pair<RuleKind, std::string>> entries,
                                           bool replace) {
    uint64_t added = 0;
    const auto state = [&] { return ListState(list); };
    std::string action = replace ? "list.replace" : "list.add";
    if (entries.size() == 1) {
        action += ' ';
        action += KindName(entries[0].first);
        action += ' ';
        action += entries[0].second;
    }
    Record(
        action, list, state, [&] { added = m_inner.AddListEntries(list, entries, replace); }, state);
    return added;
}

bool AuditedAdminStore::RemoveListEntry(const std::string& list, RuleKind kind, const std::string& key) {
    bool removed = false;
    const auto state = [&] { return ListState(list); };
    Record(
        "list.delete " + std::string(KindName(kind)) + ' ' + key, list, state,
        [&] { removed = m_inner.RemoveListEntry(list, kind, key); }, state);
    return removed;
}

void AuditedAdminStore::Attach(const std::string& list, const Scope& scope, Action action) {
    const auto state = [&] { return AttachmentState(list, scope); };
    Record(
        "list.attach", list, state, [&] { m_inner.Attach(list, scope, action); }, state);
}

bool AuditedAdminStore::Detach(const std::string& list, const Scope& scope) {
    bool removed = false;
    const auto state = [&] { return AttachmentState(list, scope); };
    Record(
        "list.detach", list, state, [&] { removed = m_inner.Detach(list, scope); }, state);
    return removed;
}

void AuditedAdminStore::SetLogKeep(uint64_t keep) {
    const auto state = [&] { return "keep " + std::to_string(m_inner.LogKeep()); };
    Record(
        "log.keep", "query log", state, [&] { m_inner.SetLogKeep(keep); }, state);
}

} // namespace pv::check
