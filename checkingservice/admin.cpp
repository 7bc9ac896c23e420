#include "checkingservice/admin.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>

#include "checkingservice/audit.h"
#include "checkingservice/events.h"
#include "checkingservice/list_file.h"
#include "checkingservice/password.h"
#include "checkingservice/rule_index.h"
#include "checkingservice/store_copy.h"
#include "checkingservice/store_factory.h"

namespace pv::check {
namespace {

constexpr const char *kUsage = R"(usage: pvcheckctl --db FILE|postgresql://... COMMAND ...

  init                                   create the database (the only command that does)
  migrate                                bring an older database to this program's schema
  copy-to postgresql://...               copy this SQLite database into a new PostgreSQL one,
                                         checked row for row
  account list
  account add NAME [--policy allow|forbid] [--password-stdin] [--cost interactive|moderate]
  account password NAME --password-stdin [--cost ...]
  account policy NAME allow|forbid       default for addresses no rule decides
  account move NAME ADDRESS              answer NAME's queries "004" + ADDRESS
  account stay NAME                      cancel a move
  account remove NAME
  rule list [--global | --account NAME]
  rule add (--global | --account NAME) allow|forbid KIND PATTERN
  rule remove (--global | --account NAME) KIND PATTERN
  list all
  list create NAME
  list remove NAME
  list add NAME KIND PATTERN
  list delete NAME KIND PATTERN
  list show NAME [--limit N]
  list import NAME FILE [--kind KIND] [--replace]      FILE "-" reads standard input
  list attach NAME (--global | --account ACCOUNT) allow|forbid
  list detach NAME (--global | --account ACCOUNT)
  log show [--limit N] [--account NAME]
  log keep N                             keep the newest N query-log records
  check ACCOUNT ADDRESS                  what the service answers ACCOUNT (password assumed)
  admin list                             administrators of the console
  admin add NAME [--cost ...]            reads the password from standard input
  admin remove NAME                      also ends the administrator's sessions
  audit show [--limit N] [--actor NAME]  the newest administrative changes

Every change is recorded in the audit trail as made by "command line".

KIND is exact, prefix, host or domain. The account "*" is the profile for unknown names and
wrong passwords. --password-stdin reads the password from the first line of standard input;
--password TEXT also works but shows the password to anyone who lists the processes.
)";

constexpr uint64_t kMaxCount = 1'000'000'000;
constexpr uint64_t kMaxLogKeep = 100'000'000;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Args {
 public:
  explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}

  bool flag(std::string_view name) {
    for (auto it = args_.begin(); it != args_.end(); ++it) {
      if (*it == name) {
        args_.erase(it);
        return true;
      }
    }
    return false;
  }
  std::optional<std::string> value(std::string_view name) {
    for (auto it = args_.begin(); it != args_.end(); ++it) {
      if (*it == name) {
        if (it + 1 == args_.end()) throw UsageError(std::string(name) + " needs a value");
        std::string v = *(it + 1);
        args_.erase(it, it + 2);
        return v;
      }
    }
    return std::nullopt;
  }
  std::string next(std::string_view what) {
    if (args_.empty()) throw UsageError("missing " + std::string(what));
    std::string v = args_.front();
    args_.erase(args_.begin());
    return v;
  }
  void done() {
    if (!args_.empty()) throw UsageError("unexpected argument \"" + args_.front() + "\"");
  }

 private:
  std::vector<std::string> args_;
};

Action action_arg(const std::string &text) {
  if (auto action = parse_action(text)) return *action;
  throw UsageError("expected allow or forbid, not \"" + text + "\"");
}

RuleKind kind_arg(const std::string &text) {
  if (auto kind = parse_kind(text)) return *kind;
  throw UsageError("expected exact, prefix, host or domain, not \"" + text + "\"");
}

std::string pattern_arg(RuleKind kind, const std::string &text) {
  PatternResult result = normalize_pattern(kind, text);
  if (!result.error.empty()) throw UsageError("\"" + text + "\": " + result.error);
  return result.key;
}

// --global or --account NAME; required unless optional is set.
std::optional<Scope> scope_arg(Args &args, bool optional) {
  const bool global = args.flag("--global");
  std::optional<std::string> account = args.value("--account");
  if (global && account) throw UsageError("give --global or --account, not both");
  if (global) return Scope::global();
  if (account) return Scope::of(*account);
  if (optional) return std::nullopt;
  throw UsageError("give --global or --account NAME");
}

HashCost cost_arg(Args &args) {
  const std::string cost = args.value("--cost").value_or("interactive");
  if (cost == "interactive") return HashCost::Interactive;
  if (cost == "moderate") return HashCost::Moderate;
  if (cost == "minimum") return HashCost::Minimum;
  throw UsageError("unknown --cost " + cost);
}

// A count typed by the administrator: digits only, at most max.
uint64_t count_arg(const std::string &text, uint64_t max) {
  uint64_t value = 0;
  const bool digits =
      !text.empty() && text.size() <= 19 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) value = std::stoull(text);
  if (!digits || value > max) {
    throw UsageError("expected a number from 0 to " + std::to_string(max) + ", not \"" + text +
                     "\"");
  }
  return value;
}

// Everything printed from the database or the network passes through here: an address or a
// name from a query may hold terminal escapes, line ends or NUL bytes.
std::string shown(std::string_view text) { return printable(text, text.size()); }

std::optional<std::string> password_arg(Args &args, std::istream &in, std::ostream &err) {
  std::optional<std::string> password = args.value("--password");
  if (password) {
    err << "pvcheckctl: warning: --password shows the password in the process list; "
           "--password-stdin does not\n";
  }
  if (args.flag("--password-stdin")) {
    if (password) throw UsageError("give --password or --password-stdin, not both");
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
  }
  if (password) {
    const std::string problem = check_password(*password);
    if (!problem.empty()) throw UsageError(problem);
  }
  return password;
}

std::string scope_text(const std::optional<std::string> &account) {
  return account ? "account " + shown(*account) : std::string("global");
}

int account_command(AdminStore &store, Args &args, std::istream &in, std::ostream &out,
                    std::ostream &err) {
  const std::string verb = args.next("account command");
  if (verb == "list") {
    args.done();
    for (const auto &account : store.accounts()) {
      out << shown(account.name) << "\tpolicy=" << action_name(account.policy)
          << (account.password_hash ? "\tpassword" : "\tno-password");
      if (!account.relocation.empty()) out << "\tmoved-to=" << shown(account.relocation);
      out << '\n';
    }
    return 0;
  }
  const std::string name = args.next("account name");
  if (verb == "add") {
    const std::string problem = check_account_name(name);
    if (!problem.empty()) throw UsageError(problem);
    const Action policy = action_arg(args.value("--policy").value_or("allow"));
    const HashCost cost = cost_arg(args);
    const std::optional<std::string> password = password_arg(args, in, err);
    args.done();
    std::optional<std::string> hash;
    if (password) hash = hash_password(*password, cost);
    store.add_account(name, hash, policy);
    out << "account " << name << " added" << (hash ? "" : " without a password") << '\n';
    return 0;
  }
  if (verb == "password") {
    const HashCost cost = cost_arg(args);
    const std::optional<std::string> password = password_arg(args, in, err);
    args.done();
    if (!password) throw UsageError("give --password or --password-stdin");
    store.set_password(name, hash_password(*password, cost));
    out << "password of " << name << " changed\n";
    return 0;
  }
  if (verb == "policy") {
    const Action policy = action_arg(args.next("allow or forbid"));
    args.done();
    store.set_policy(name, policy);
    return 0;
  }
  if (verb == "move") {
    const std::string address = args.next("new checking address");
    args.done();
    const std::string problem = check_relocation(address);
    if (!problem.empty()) throw UsageError(problem);
    store.set_relocation(name, address);
    return 0;
  }
  if (verb == "stay") {
    args.done();
    store.set_relocation(name, "");
    return 0;
  }
  if (verb == "remove") {
    args.done();
    store.remove_account(name);
    return 0;
  }
  throw UsageError("unknown account command " + verb);
}

int rule_command(AdminStore &store, Args &args, std::ostream &out) {
  const std::string verb = args.next("rule command");
  if (verb == "list") {
    const std::optional<Scope> scope = scope_arg(args, true);
    args.done();
    for (const auto &rule : store.rules(scope)) {
      out << scope_text(rule.account) << '\t' << action_name(rule.action) << '\t'
          << kind_name(rule.kind) << '\t' << shown(rule.key) << '\n';
    }
    return 0;
  }
  if (verb == "add") {
    const Scope scope = *scope_arg(args, false);
    const Action action = action_arg(args.next("allow or forbid"));
    const RuleKind kind = kind_arg(args.next("rule kind"));
    const std::string key = pattern_arg(kind, args.next("pattern"));
    args.done();
    store.add_rule(scope, kind, key, action);
    out << action_name(action) << ' ' << kind_name(kind) << ' ' << shown(key) << '\n';
    return 0;
  }
  if (verb == "remove") {
    const Scope scope = *scope_arg(args, false);
    const RuleKind kind = kind_arg(args.next("rule kind"));
    const std::string key = pattern_arg(kind, args.next("pattern"));
    args.done();
    if (!store.remove_rule(scope, kind, key)) {
      out << "no such rule\n";
      return 1;
    }
    return 0;
  }
  throw UsageError("unknown rule command " + verb);
}

int list_command(AdminStore &store, Args &args, std::istream &in, std::ostream &out,
                 std::ostream &err) {
  const std::string verb = args.next("list command");
  if (verb == "all") {
    args.done();
    const auto attachments = store.attachments();
    for (const auto &list : store.lists()) {
      out << shown(list.name) << '\t' << list.entries << " entries";
      for (const auto &a : attachments) {
        if (a.list != list.name) continue;
        out << '\t' << action_name(a.action) << ':' << scope_text(a.account);
      }
      out << '\n';
    }
    return 0;
  }
  const std::string name = args.next("list name");
  if (verb == "create") {
    args.done();
    store.create_list(name);
    return 0;
  }
  if (verb == "remove") {
    args.done();
    store.remove_list(name);
    return 0;
  }
  if (verb == "add" || verb == "delete") {
    const RuleKind kind = kind_arg(args.next("rule kind"));
    const std::string key = pattern_arg(kind, args.next("pattern"));
    args.done();
    if (verb == "add") {
      const std::pair<RuleKind, std::string> entry(kind, key);
      store.add_list_entries(name, std::span(&entry, 1), false);
      return 0;
    }
    if (!store.remove_list_entry(name, kind, key)) {
      out << "no such entry\n";
      return 1;
    }
    return 0;
  }
  if (verb == "show") {
    const uint64_t limit = count_arg(args.value("--limit").value_or("100"), kMaxCount);
    args.done();
    for (const auto &[kind, key] : store.list_entries(name, limit)) {
      out << kind_name(kind) << '\t' << shown(key) << '\n';
    }
    return 0;
  }
  if (verb == "import") {
    const std::string path = args.next("file");
    const RuleKind kind = kind_arg(args.value("--kind").value_or("domain"));
    const bool replace = args.flag("--replace");
    args.done();
    ListFile file;
    if (path == "-") {
      file = read_list_file(in, kind);
    } else {
      std::ifstream stream(path, std::ios::binary);
      if (!stream) throw StoreError("cannot read " + path);
      file = read_list_file(stream, kind);
    }
    size_t reported = 0;
    for (const auto &problem : file.problems) {
      if (++reported > 10) break;
      err << shown(path) << ':' << problem.line << ": skipped: " << shown(problem.message)
          << '\n';
    }
    const uint64_t added = store.add_list_entries(name, file.entries, replace);
    out << "imported " << added << " new entries into " << shown(name) << " (" << file.lines
        << " lines, " << file.entries.size() - added << " already present, "
        << file.problems.size() << " skipped)\n";
    return 0;
  }
  if (verb == "attach") {
    const Scope scope = *scope_arg(args, false);
    const Action action = action_arg(args.next("allow or forbid"));
    args.done();
    store.attach(name, scope, action);
    return 0;
  }
  if (verb == "detach") {
    const Scope scope = *scope_arg(args, false);
    args.done();
    if (!store.detach(name, scope)) {
      out << "not attached\n";
      return 1;
    }
    return 0;
  }
  throw UsageError("unknown list command " + verb);
}

int log_command(AdminStore &store, Args &args, std::ostream &out) {
  const std::string verb = args.next("log command");
  if (verb == "show") {
    const uint64_t limit = count_arg(args.value("--limit").value_or("50"), kMaxCount);
    const std::optional<std::string> account = args.value("--account");
    args.done();
    for (const auto &record : store.query_log(limit, account)) {
      out << time_text(record.time_ms) << '\t' << shown(record.account)
          << (record.verified ? "" : " (stranger)") << '\t' << shown(record.verdict) << '\t'
          << shown(record.reason) << '\t' << shown(record.address) << '\n';
    }
    return 0;
  }
  if (verb == "keep") {
    const uint64_t keep = count_arg(args.next("record count"), kMaxLogKeep);
    args.done();
    store.set_log_keep(keep);
    return 0;
  }
  throw UsageError("unknown log command " + verb);
}

int check_command(Store &store, Args &args, std::ostream &out) {
  const std::string name = args.next("account name");
  const std::string address = args.next("address");
  args.done();
  IndexBuilder builder;
  const uint64_t generation = store.load(builder);
  const auto index = builder.finish(generation);
  const CheckAnswer answer = check_address(*index, name, address);
  if (!answer.known_account) {
    out << "(no account " << shown(name) << " with a password: the stranger profile answers)\n";
  }
  out << shown(answer.reply) << '\t' << shown(answer.reason) << '\n';
  return 0;
}

int admin_command(Store &store, AuditedAdminStore &audited, Args &args, std::istream &in,
                  std::ostream &out) {
  const std::string verb = args.next("admin command");
  if (verb == "list") {
    args.done();
    for (const auto &admin : store.administrators()) {
      out << shown(admin.name) << "\tsince " << time_text(admin.created_ms) << '\n';
    }
    return 0;
  }
  const std::string name = args.next("administrator name");
  const auto exists = [&] {
    for (const auto &admin : store.administrators()) {
      if (admin.name == name) return std::string("administrator");
    }
    return std::string("(none)");
  };
  if (verb == "add") {
    const std::string problem = check_administrator_name(name);
    if (!problem.empty()) throw UsageError(problem);
    const HashCost cost = cost_arg(args);
    args.done();
    // Never from the command line, where other users see it and shells keep it.
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.size() < 8) {
      throw UsageError("give a password of at least 8 bytes on standard input");
    }
    if (password.size() > 1024) throw UsageError("passwords are at most 1024 bytes");
    const std::string hash = hash_password(password, cost);
    audited.record("admin.add", name, exists, [&] { store.add_administrator(name, hash); },
                   exists);
    out << "administrator " << shown(name) << " added\n";
    return 0;
  }
  if (verb == "remove") {
    args.done();
    bool removed = false;
    audited.record("admin.remove", name, exists,
                   [&] { removed = store.remove_administrator(name); }, exists);
    if (!removed) {
      out << "no such administrator\n";
      return 1;
    }
    return 0;
  }
  throw UsageError("unknown admin command " + verb);
}

int audit_command(Store &store, Args &args, std::ostream &out) {
  const std::string verb = args.next("audit command");
  if (verb != "show") throw UsageError("unknown audit command " + verb);
  AuditFilter filter;
  filter.limit = count_arg(args.value("--limit").value_or("50"), kMaxCount);
  filter.actor = args.value("--actor").value_or("");
  args.done();
  for (const auto &record : store.audit(filter)) {
    // Names and patterns may hold anything the store took; the terminal gets them escaped.
    out << time_text(record.time_ms) << '\t' << printable(record.actor, 4096) << '\t'
        << printable(record.action, 4096) << '\t' << printable(record.target, 4096) << '\t'
        << printable(record.before, 4096) << " -> " << printable(record.after, 4096) << '\n';
  }
  return 0;
}

std::string refuse_characters(std::string_view what, std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return std::string(what) + " holds a control character";
    if (c == '&' || c == '#' || c == ' ') {
      return std::string(what) + " holds \"" + static_cast<char>(c) +
             "\", which cannot travel unescaped in the checking query";
    }
  }
  return {};
}

}  // namespace

std::string check_account_name(std::string_view name) {
  if (name.empty()) return "an account needs a name";
  if (name == kStrangerAccount) return "\"*\" is the stranger profile and exists already";
  if (name.size() > 128) return "account names are at most 128 bytes";
  return refuse_characters("the name", name);
}

std::string check_password(std::string_view password) {
  if (password.empty()) return "a password cannot be empty";
  if (password.size() > 1024) return "passwords are at most 1024 bytes";
  return refuse_characters("the password", password);
}

std::string check_relocation(std::string_view address) {
  if (address.size() > kMaxRelocationBytes) {
    return "the filter keeps at most " + std::to_string(kMaxRelocationBytes) +
           " bytes of a new checking address";
  }
  if (!address.starts_with("http://") && !address.starts_with("https://")) {
    return "the new checking address must start with http:// or https://";
  }
  for (unsigned char c : address) {
    if (c <= 0x20 || c == 0x7f) {
      return "the new checking address holds a blank or control character";
    }
  }
  if (parse_address(address).host.empty()) return "the new checking address names no host";
  return {};
}

std::string time_text(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string check_administrator_name(std::string_view name) {
  if (name.empty()) return "an administrator needs a name";
  if (name.size() > 64) return "administrator names are at most 64 bytes";
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7f) return "the name holds a blank or control character";
  }
  return {};
}

CheckAnswer check_address(const RuleIndex &index, std::string_view name,
                          std::string_view address) {
  CheckAnswer answer;
  const RuleIndex::Account *account = index.find_account(name);
  // As the service does: an account without a password can never be verified.
  if (account && account != &index.stranger() && !account->password_hash) account = nullptr;
  answer.known_account = account != nullptr;
  if (!account) account = &index.stranger();
  if (address.empty()) {
    answer.reply = "000";
    answer.reason = "empty address";
    return answer;
  }
  const RuleIndex::Decision decision = index.decide(*account, parse_address(address));
  switch (decision.verdict) {
    case Verdict::Allow: answer.reply = "000"; break;
    case Verdict::Forbid: answer.reply = "001"; break;
    case Verdict::Relocate: answer.reply = "004" + account->relocation; break;
  }
  answer.reason = index.describe(decision);
  return answer;
}

int run_admin(const std::vector<std::string> &all_args, std::istream &in, std::ostream &out,
              std::ostream &err) {
  try {
    Args args(all_args);
    if (args.flag("--help") || args.flag("-h")) {
      out << kUsage;
      return 0;
    }
    const std::optional<std::string> db = args.value("--db");
    if (!db) throw UsageError("give --db FILE");
    const std::string command = args.next("command");
    if (!init_crypto()) throw StoreError("cannot start libsodium");
    if (command == "init") {
      args.done();
      open_store(*db, OpenMode::Create);
      return 0;
    }
    if (command == "migrate") {
      args.done();
      const auto migrated = open_store(*db, OpenMode::Migrate);
      if (migrated->opened_version() == kSchemaVersion) {
        out << "schema version " << kSchemaVersion << " already\n";
      } else {
        out << "schema version " << migrated->opened_version() << " -> " << kSchemaVersion
            << '\n';
      }
      return 0;
    }
    if (command == "copy-to") {
      const std::string target = args.next("target database");
      args.done();
      if (is_postgres_address(*db) || !is_postgres_address(target)) {
        throw UsageError("copy-to copies a SQLite file (--db) into a postgresql:// database");
      }
      copy_sqlite_to_postgres(*db, target, out);
      return 0;
    }
    const auto opened = open_store(*db, OpenMode::Existing);
    Store &store = *opened;
    AuditedAdminStore audited(store, store, std::string(kCommandLineActor));
    if (command == "account") return account_command(audited, args, in, out, err);
    if (command == "rule") return rule_command(audited, args, out);
    if (command == "list") return list_command(audited, args, in, out, err);
    if (command == "log") return log_command(audited, args, out);
    if (command == "admin") return admin_command(store, audited, args, in, out);
    if (command == "audit") return audit_command(store, args, out);
    if (command == "check") return check_command(store, args, out);
    throw UsageError("unknown command " + command);
  } catch (const UsageError &e) {
    err << "pvcheckctl: " << shown(e.what()) << "\n(pvcheckctl --help lists the commands)\n";
    return 2;
  } catch (const std::exception &e) {
    err << "pvcheckctl: " << shown(e.what()) << '\n';
    return 1;
  }
}

}  // namespace pv::check
