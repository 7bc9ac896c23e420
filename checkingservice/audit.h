// The audit trail. Every administrative change, made in the console or with pvcheckctl, goes
// through AuditedAdminStore: it reads what the change touches, makes the change, reads it
// again and records who did what with both states - all in one transaction, so a change is
// never kept without its record. Passwords and their hashes never appear in it.
#pragma once

#include <functional>
#include <string>

#include "checkingservice/store.h"

namespace pv::check {

inline constexpr std::string_view kCommandLineActor = "command line";

class AuditedAdminStore final : public AdminStore {
 public:
  AuditedAdminStore(AdminStore &inner, ConsoleStore &console, std::string actor);

  // A change outside AdminStore (administrators, renaming, imports): before and after describe
  // the state around change.
  void record(const std::string &action, const std::string &target,
              const std::function<std::string()> &before, const std::function<void()> &change,
              const std::function<std::string()> &after);

  void add_account(const std::string &name, const std::optional<std::string> &hash,
                   Action policy) override;
  void set_password(const std::string &name, const std::string &hash) override;
  void set_policy(const std::string &name, Action policy) override;
  void set_relocation(const std::string &name, const std::string &address) override;
  void remove_account(const std::string &name) override;
  std::vector<AccountRecord> accounts() override { return inner_.accounts(); }
  void add_rule(const Scope &scope, RuleKind kind, const std::string &key, Action action) override;
  bool remove_rule(const Scope &scope, RuleKind kind, const std::string &key) override;
  std::vector<RuleRecord> rules(const std::optional<Scope> &filter) override {
    return inner_.rules(filter);
  }
  void create_list(const std::string &name) override;
  void remove_list(const std::string &name) override;
  std::vector<ListInfo> lists() override { return inner_.lists(); }
  uint64_t add_list_entries(const std::string &list,
                            std::span<const std::pair<RuleKind, std::string>> entries,
                            bool replace) override;
  bool remove_list_entry(const std::string &list, RuleKind kind, const std::string &key) override;
  std::vector<std::pair<RuleKind, std::string>> list_entries(const std::string &list,
                                                             uint64_t limit) override {
    return inner_.list_entries(list, limit);
  }
  void attach(const std::string &list, const Scope &scope, Action action) override;
  bool detach(const std::string &list, const Scope &scope) override;
  std::vector<AttachmentRecord> attachments() override { return inner_.attachments(); }
  void set_log_keep(uint64_t keep) override;
  uint64_t log_keep() override { return inner_.log_keep(); }
  std::vector<QueryLogRecord> query_log(uint64_t limit,
                                        const std::optional<std::string> &account) override {
    return inner_.query_log(limit, account);
  }

  // The texts the trail uses, also for the console's own records.
  std::string account_state(const std::string &name);
  std::string list_state(const std::string &name);
  static std::string scope_text(const Scope &scope);

 private:
  std::string rule_state(const Scope &scope, RuleKind kind, const std::string &key);
  std::string attachment_state(const std::string &list, const Scope &scope);

  AdminStore &inner_;
  ConsoleStore &console_;
  std::string actor_;
};

}  // namespace pv::check
