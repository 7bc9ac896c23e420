#include "checkingservice/audit.h"

#include <chrono>

namespace pv::check {
namespace {

constexpr const char *kNone = "(none)";

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

AuditedAdminStore::AuditedAdminStore(AdminStore &inner, ConsoleStore &console, std::string actor)
    : inner_(inner), console_(console), actor_(std::move(actor)) {}

void AuditedAdminStore::record(const std::string &action, const std::string &target,
                               const std::function<std::string()> &before,
                               const std::function<void()> &change,
                               const std::function<std::string()> &after) {
  console_.atomically([&] {
    AuditRecord entry;
    entry.before = before();
    change();
    entry.after = after();
    if (entry.after == entry.before) return;  // nothing changed: nothing to record
    entry.time_ms = now_ms();
    entry.actor = actor_;
    entry.action = action;
    entry.target = target;
    console_.record_audit(entry);
  });
}

std::string AuditedAdminStore::scope_text(const Scope &scope) {
  return scope.account ? "account " + *scope.account : std::string("global");
}

std::string AuditedAdminStore::account_state(const std::string &name) {
  for (const auto &account : inner_.accounts()) {
    if (account.name != name) continue;
    std::string text = "policy " + std::string(action_name(account.policy));
    text += account.password_hash ? ", password" : ", no password";
    if (!account.relocation.empty()) text += ", moved to " + account.relocation;
    return text;
  }
  return kNone;
}

std::string AuditedAdminStore::list_state(const std::string &name) {
  for (const auto &list : inner_.lists()) {
    if (list.name == name) return std::to_string(list.entries) + " entries";
  }
  return kNone;
}

std::string AuditedAdminStore::rule_state(const Scope &scope, RuleKind kind,
                                          const std::string &key) {
  for (const auto &rule : console_.rule_page(scope, key, 0, 10000).rules) {
    if (rule.kind == kind && rule.key == key) {
      return std::string(action_name(rule.action)) + ' ' + std::string(kind_name(kind)) + ' ' + key;
    }
  }
  return kNone;
}

std::string AuditedAdminStore::attachment_state(const std::string &list, const Scope &scope) {
  for (const auto &a : inner_.attachments()) {
    if (a.list == list && a.account == scope.account) {
      return std::string(action_name(a.action)) + ' ' + scope_text(scope);
    }
  }
  return "not attached";
}

void AuditedAdminStore::add_account(const std::string &name, const std::optional<std::string> &hash,
                                    Action policy) {
  const auto state = [&] { return account_state(name); };
  record(
      "account.add", name, state, [&] { inner_.add_account(name, hash, policy); }, state);
}

void AuditedAdminStore::set_password(const std::string &name, const std::string &hash) {
  const auto state = [&] { return account_state(name); };
  record(
      "account.password", name, state, [&] { inner_.set_password(name, hash); },
      [] { return std::string("password changed"); });
}

void AuditedAdminStore::set_policy(const std::string &name, Action policy) {
  const auto state = [&] { return account_state(name); };
  record(
      "account.policy", name, state, [&] { inner_.set_policy(name, policy); }, state);
}

void AuditedAdminStore::set_relocation(const std::string &name, const std::string &address) {
  const auto state = [&] { return account_state(name); };
  record(
      address.empty() ? "account.stay" : "account.move", name, state,
      [&] { inner_.set_relocation(name, address); }, state);
}

void AuditedAdminStore::remove_account(const std::string &name) {
  const auto state = [&] { return account_state(name); };
  record(
      "account.remove", name, state, [&] { inner_.remove_account(name); }, state);
}

void AuditedAdminStore::add_rule(const Scope &scope, RuleKind kind, const std::string &key,
                                 Action action) {
  const auto state = [&] { return rule_state(scope, kind, key); };
  record(
      "rule.add", scope_text(scope), state, [&] { inner_.add_rule(scope, kind, key, action); },
      state);
}

bool AuditedAdminStore::remove_rule(const Scope &scope, RuleKind kind, const std::string &key) {
  bool removed = false;
  const auto state = [&] { return rule_state(scope, kind, key); };
  record(
      "rule.remove", scope_text(scope), state,
      [&] { removed = inner_.remove_rule(scope, kind, key); }, state);
  return removed;
}

void AuditedAdminStore::create_list(const std::string &name) {
  const auto state = [&] { return list_state(name); };
  record(
      "list.create", name, state, [&] { inner_.create_list(name); }, state);
}

void AuditedAdminStore::remove_list(const std::string &name) {
  const auto state = [&] { return list_state(name); };
  record(
      "list.remove", name, state, [&] { inner_.remove_list(name); }, state);
}

uint64_t AuditedAdminStore::add_list_entries(
    const std::string &list, std::span<const std::pair<RuleKind, std::string>> entries,
    bool replace) {
  uint64_t added = 0;
  const auto state = [&] { return list_state(list); };
  std::string action = replace ? "list.replace" : "list.add";
  if (entries.size() == 1) {
    action += ' ';
    action += kind_name(entries[0].first);
    action += ' ';
    action += entries[0].second;
  }
  record(
      action, list, state, [&] { added = inner_.add_list_entries(list, entries, replace); }, state);
  return added;
}

bool AuditedAdminStore::remove_list_entry(const std::string &list, RuleKind kind,
                                          const std::string &key) {
  bool removed = false;
  const auto state = [&] { return list_state(list); };
  record(
      "list.delete " + std::string(kind_name(kind)) + ' ' + key, list, state,
      [&] { removed = inner_.remove_list_entry(list, kind, key); }, state);
  return removed;
}

void AuditedAdminStore::attach(const std::string &list, const Scope &scope, Action action) {
  const auto state = [&] { return attachment_state(list, scope); };
  record(
      "list.attach", list, state, [&] { inner_.attach(list, scope, action); }, state);
}

bool AuditedAdminStore::detach(const std::string &list, const Scope &scope) {
  bool removed = false;
  const auto state = [&] { return attachment_state(list, scope); };
  record(
      "list.detach", list, state, [&] { removed = inner_.detach(list, scope); }, state);
  return removed;
}

void AuditedAdminStore::set_log_keep(uint64_t keep) {
  const auto state = [&] { return "keep " + std::to_string(inner_.log_keep()); };
  record(
      "log.keep", "query log", state, [&] { inner_.set_log_keep(keep); }, state);
}

}  // namespace pv::check
