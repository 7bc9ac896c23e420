// Storage seen through two narrow interfaces, so that the embedded SQLite file can give way to
// a shared database server when several stateless service instances stand behind a load
// balancer. The service needs only ServiceStore: a change counter to poll, one consistent read
// of everything the rule index is built from, and somewhere to put query-log records. The
// administration tool uses AdminStore. Keys handed to either are already normalised
// (normalize_pattern); the store keeps them as given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "checkingservice/address.h"

namespace pv::check {

enum class Action : unsigned char { Allow, Forbid };

std::string_view action_name(Action action);
std::optional<Action> parse_action(std::string_view name);

// The profile that answers for unknown account names and wrong passwords. It is an ordinary
// account row without a password, so it can never be logged into, only configured.
inline constexpr std::string_view kStrangerAccount = "*";

// The scope of a rule or attachment: one account, or every account (global).
struct Scope {
  std::optional<std::string> account;  // nullopt: global
  static Scope global() { return {}; }
  static Scope of(std::string name) { return {std::move(name)}; }
};

struct AccountRecord {
  int64_t id = 0;
  std::string name;
  std::optional<std::string> password_hash;  // libsodium crypto_pwhash_str text
  Action policy = Action::Allow;             // for addresses no rule decides
  std::string relocation;                    // new checking address; empty: not moved
};

struct RuleRecord {
  std::optional<std::string> account;  // nullopt: global
  RuleKind kind = RuleKind::Host;
  std::string key;
  Action action = Action::Forbid;
};

struct ListInfo {
  int64_t id = 0;
  std::string name;
  uint64_t entries = 0;
};

struct AttachmentRecord {
  std::optional<std::string> account;  // nullopt: global
  std::string list;
  Action action = Action::Forbid;
};

struct QueryLogRecord {
  int64_t time_ms = 0;      // Unix time
  std::string account;      // the name as sent, truncated
  bool verified = false;    // false: the stranger profile answered
  std::string address;      // truncated
  std::string verdict;      // "000", "001" or "004"
  std::string reason;       // which rule or policy decided
};

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Receives one consistent snapshot. Accounts and lists arrive before the rules, entries and
// attachments that refer to them (by the ids given here).
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  virtual void setting(std::string_view key, std::string_view value) = 0;
  virtual void account(const AccountRecord &account) = 0;
  virtual void list(int64_t id, std::string_view name) = 0;
  virtual void rule(std::optional<int64_t> account_id, RuleKind kind, std::string_view key,
                    Action action) = 0;
  virtual void list_entry(int64_t list_id, RuleKind kind, std::string_view key) = 0;
  virtual void attachment(std::optional<int64_t> account_id, int64_t list_id, Action action) = 0;
};

class ServiceStore {
 public:
  virtual ~ServiceStore() = default;
  // Raised by every change an administrator makes; cheap enough to poll every second.
  virtual uint64_t generation() = 0;
  // Streams everything into sink inside one read transaction; returns the generation read.
  virtual uint64_t load(SnapshotSink &sink) = 0;
  // Appends records and keeps only the newest `keep` of them.
  virtual void append_query_log(std::span<const QueryLogRecord> records, uint64_t keep) = 0;
};

inline constexpr uint64_t kDefaultLogKeep = 10000;

class AdminStore {
 public:
  virtual ~AdminStore() = default;

  virtual void add_account(const std::string &name, const std::optional<std::string> &hash,
                           Action policy) = 0;
  virtual void set_password(const std::string &name, const std::string &hash) = 0;
  virtual void set_policy(const std::string &name, Action policy) = 0;
  virtual void set_relocation(const std::string &name, const std::string &address) = 0;
  virtual void remove_account(const std::string &name) = 0;
  virtual std::vector<AccountRecord> accounts() = 0;

  // Adding a rule that exists with the other action changes its action.
  virtual void add_rule(const Scope &scope, RuleKind kind, const std::string &key,
                        Action action) = 0;
  virtual bool remove_rule(const Scope &scope, RuleKind kind, const std::string &key) = 0;
  virtual std::vector<RuleRecord> rules(const std::optional<Scope> &filter) = 0;

  virtual void create_list(const std::string &name) = 0;
  virtual void remove_list(const std::string &name) = 0;
  virtual std::vector<ListInfo> lists() = 0;
  // Returns how many entries were new. replace: the list holds exactly these afterwards.
  virtual uint64_t add_list_entries(const std::string &list,
                                    std::span<const std::pair<RuleKind, std::string>> entries,
                                    bool replace) = 0;
  virtual bool remove_list_entry(const std::string &list, RuleKind kind,
                                 const std::string &key) = 0;
  virtual std::vector<std::pair<RuleKind, std::string>> list_entries(const std::string &list,
                                                                     uint64_t limit) = 0;
  virtual void attach(const std::string &list, const Scope &scope, Action action) = 0;
  virtual bool detach(const std::string &list, const Scope &scope) = 0;
  virtual std::vector<AttachmentRecord> attachments() = 0;

  virtual void set_log_keep(uint64_t keep) = 0;
  virtual uint64_t log_keep() = 0;
  virtual std::vector<QueryLogRecord> query_log(uint64_t limit,
                                                const std::optional<std::string> &account) = 0;
};

}  // namespace pv::check
