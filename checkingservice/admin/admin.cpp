#include "checkingservice/admin/admin.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>

#include "checkingservice/base/events.h"
#include "checkingservice/checking/password.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/rules/list_file.h"
#include "checkingservice/storage/audit.h"
#include "checkingservice/storage/store_copy.h"
#include "checkingservice/storage/store_factory.h"

namespace pv::check {
namespace {

constexpr const char* kUsage = R"(usage: pvcheckctl --db FILE|postgresql://... COMMAND ...

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
    explicit Args(std::vector<std::string> args) : m_args(std::move(args)) {}

    bool Flag(std::string_view name) {
        for (auto it = m_args.begin(); it != m_args.end(); ++it) {
            if (*it == name) {
                m_args.erase(it);
                return true;
            }
        }
        return false;
    }
    std::optional<std::string> Value(std::string_view name) {
        for (auto it = m_args.begin(); it != m_args.end(); ++it) {
            if (*it == name) {
                if (it + 1 == m_args.end()) throw UsageError(std::string(name) + " needs a value");
                std::string v = *(it + 1);
                m_args.erase(it, it + 2);
                return v;
            }
        }
        return std::nullopt;
    }
    std::string Next(std::string_view what) {
        if (m_args.empty()) throw UsageError("missing " + std::string(what));
        std::string v = m_args.front();
        m_args.erase(m_args.begin());
        return v;
    }
    void Done() {
        if (!m_args.empty()) throw UsageError("unexpected argument \"" + m_args.front() + "\"");
    }

private:
    std::vector<std::string> m_args;
};

Action ActionArg(const std::string& text) {
    if (auto action = ParseAction(text)) return *action;
    throw UsageError("expected allow or forbid, not \"" + text + "\"");
}

RuleKind KindArg(const std::string& text) {
    if (auto kind = ParseKind(text)) return *kind;
    throw UsageError("expected exact, prefix, host or domain, not \"" + text + "\"");
}

std::string PatternArg(RuleKind kind, const std::string& text) {
    PatternResult result = NormalizePattern(kind, text);
    if (!result.error.empty()) throw UsageError("\"" + text + "\": " + result.error);
    return result.key;
}

// --global or --account NAME; required unless optional is set.
std::optional<Scope> ScopeArg(Args& args, bool optional) {
    const bool global = args.Flag("--global");
    std::optional<std::string> account = args.Value("--account");
    if (global && account) throw UsageError("give --global or --account, not both");
    if (global) return Scope::Global();
    if (account) return Scope::Of(*account);
    if (optional) return std::nullopt;
    throw UsageError("give --global or --account NAME");
}

HashCost CostArg(Args& args) {
    const std::string cost = args.Value("--cost").value_or("interactive");
    if (cost == "interactive") return HashCost::Interactive;
    if (cost == "moderate") return HashCost::Moderate;
    if (cost == "minimum") return HashCost::Minimum;
    throw UsageError("unknown --cost " + cost);
}

// A count typed by the administrator: digits only, at most max.
uint64_t CountArg(const std::string& text, uint64_t max) {
    uint64_t value = 0;
    const bool digits = !text.empty() && text.size() <= 19 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) value = std::stoull(text);
    if (!digits || value > max) {
        throw UsageError("expected a number from 0 to " + std::to_string(max) + ", not \"" + text + "\"");
    }
    return value;
}

// Everything printed from the database or the network passes through here: an address or a
// name from a query may hold terminal escapes, line ends or NUL bytes.
std::string Shown(std::string_view text) { return Printable(text, text.size()); }

std::optional<std::string> PasswordArg(Args& args, std::istream& in, std::ostream& err) {
    std::optional<std::string> password = args.Value("--password");
    if (password) {
        err << "pvcheckctl: warning: --password shows the password in the process list; "
               "--password-stdin does not\n";
    }
    if (args.Flag("--password-stdin")) {
        if (password) throw UsageError("give --password or --password-stdin, not both");
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        password = line;
    }
    if (password) {
        const std::string problem = CheckPassword(*password);
        if (!problem.empty()) throw UsageError(problem);
    }
    return password;
}

std::string ScopeText(const std::optional<std::string>& account) {
    return account ? "account " + Shown(*account) : std::string("global");
}

int AccountCommand(AdminStore& store, Args& args, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::string verb = args.Next("account command");
    if (verb == "list") {
        args.Done();
        for (const auto& account : store.Accounts()) {
            out << Shown(account.name) << "\tpolicy=" << ActionName(account.policy)
                << (account.passwordHash ? "\tpassword" : "\tno-password");
            if (!account.relocation.empty()) out << "\tmoved-to=" << Shown(account.relocation);
            out << '\n';
        }
        return 0;
    }
    const std::string name = args.Next("account name");
    if (verb == "add") {
        const std::string problem = CheckAccountName(name);
        if (!problem.empty()) throw UsageError(problem);
        const Action policy = ActionArg(args.Value("--policy").value_or("allow"));
        const HashCost cost = CostArg(args);
        const std::optional<std::string> password = PasswordArg(args, in, err);
        args.Done();
        std::optional<std::string> hash;
        if (password) hash = HashPassword(*password, cost);
        store.AddAccount(name, hash, policy);
        out << "account " << name << " added" << (hash ? "" : " without a password") << '\n';
        return 0;
    }
    if (verb == "password") {
        const HashCost cost = CostArg(args);
        const std::optional<std::string> password = PasswordArg(args, in, err);
        args.Done();
        if (!password) throw UsageError("give --password or --password-stdin");
        store.SetPassword(name, HashPassword(*password, cost));
        out << "password of " << name << " changed\n";
        return 0;
    }
    if (verb == "policy") {
        const Action policy = ActionArg(args.Next("allow or forbid"));
        args.Done();
        store.SetPolicy(name, policy);
        return 0;
    }
    if (verb == "move") {
        const std::string address = args.Next("new checking address");
        args.Done();
        const std::string problem = CheckRelocation(address);
        if (!problem.empty()) throw UsageError(problem);
        store.SetRelocation(name, address);
        return 0;
    }
    if (verb == "stay") {
        args.Done();
        store.SetRelocation(name, "");
        return 0;
    }
    if (verb == "remove") {
        args.Done();
        store.RemoveAccount(name);
        return 0;
    }
    throw UsageError("unknown account command " + verb);
}

int RuleCommand(AdminStore& store, Args& args, std::ostream& out) {
    const std::string verb = args.Next("rule command");
    if (verb == "list") {
        const std::optional<Scope> scope = ScopeArg(args, true);
        args.Done();
        for (const auto& rule : store.Rules(scope)) {
            out << ScopeText(rule.account) << '\t' << ActionName(rule.action) << '\t' << KindName(rule.kind)
                << '\t' << Shown(rule.key) << '\n';
        }
        return 0;
    }
    if (verb == "add") {
        const Scope scope = *ScopeArg(args, false);
        const Action action = ActionArg(args.Next("allow or forbid"));
        const RuleKind kind = KindArg(args.Next("rule kind"));
        const std::string key = PatternArg(kind, args.Next("pattern"));
        args.Done();
        store.AddRule(scope, kind, key, action);
        out << ActionName(action) << ' ' << KindName(kind) << ' ' << Shown(key) << '\n';
        return 0;
    }
    if (verb == "remove") {
        const Scope scope = *ScopeArg(args, false);
        const RuleKind kind = KindArg(args.Next("rule kind"));
        const std::string key = PatternArg(kind, args.Next("pattern"));
        args.Done();
        if (!store.RemoveRule(scope, kind, key)) {
            out << "no such rule\n";
            return 1;
        }
        return 0;
    }
    throw UsageError("unknown rule command " + verb);
}

int ListCommand(AdminStore& store, Args& args, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::string verb = args.Next("list command");
    if (verb == "all") {
        args.Done();
        const auto attachments = store.Attachments();
        for (const auto& list : store.Lists()) {
            out << Shown(list.name) << '\t' << list.entries << " entries";
            for (const auto& a : attachments) {
                if (a.list != list.name) continue;
                out << '\t' << ActionName(a.action) << ':' << ScopeText(a.account);
            }
            out << '\n';
        }
        return 0;
    }
    const std::string name = args.Next("list name");
    if (verb == "create") {
        args.Done();
        store.CreateList(name);
        return 0;
    }
    if (verb == "remove") {
        args.Done();
        store.RemoveList(name);
        return 0;
    }
    if (verb == "add" || verb == "delete") {
        const RuleKind kind = KindArg(args.Next("rule kind"));
        const std::string key = PatternArg(kind, args.Next("pattern"));
        args.Done();
        if (verb == "add") {
            const std::pair<RuleKind, std::string> entry(kind, key);
            store.AddListEntries(name, std::span(&entry, 1), false);
            return 0;
        }
        if (!store.RemoveListEntry(name, kind, key)) {
            out << "no such entry\n";
            return 1;
        }
        return 0;
    }
    if (verb == "show") {
        const uint64_t limit = CountArg(args.Value("--limit").value_or("100"), kMaxCount);
        args.Done();
        for (const auto& [kind, key] : store.ListEntries(name, limit)) {
            out << KindName(kind) << '\t' << Shown(key) << '\n';
        }
        return 0;
    }
    if (verb == "import") {
        const std::string path = args.Next("file");
        const RuleKind kind = KindArg(args.Value("--kind").value_or("domain"));
        const bool replace = args.Flag("--replace");
        args.Done();
        ListFile file;
        if (path == "-") {
            file = ReadListFile(in, kind);
        } else {
            std::ifstream stream(path, std::ios::binary);
            if (!stream) throw StoreError("cannot read " + path);
            file = ReadListFile(stream, kind);
        }
        size_t reported = 0;
        for (const auto& problem : file.problems) {
            if (++reported > 10) break;
            err << Shown(path) << ':' << problem.line << ": skipped: " << Shown(problem.message) << '\n';
        }
        const uint64_t added = store.AddListEntries(name, file.entries, replace);
        out << "imported " << added << " new entries into " << Shown(name) << " (" << file.lines << " lines, "
            << file.entries.size() - added << " already present, " << file.problems.size() << " skipped)\n";
        return 0;
    }
    if (verb == "attach") {
        const Scope scope = *ScopeArg(args, false);
        const Action action = ActionArg(args.Next("allow or forbid"));
        args.Done();
        store.Attach(name, scope, action);
        return 0;
    }
    if (verb == "detach") {
        const Scope scope = *ScopeArg(args, false);
        args.Done();
        if (!store.Detach(name, scope)) {
            out << "not attached\n";
            return 1;
        }
        return 0;
    }
    throw UsageError("unknown list command " + verb);
}

int LogCommand(AdminStore& store, Args& args, std::ostream& out) {
    const std::string verb = args.Next("log command");
    if (verb == "show") {
        const uint64_t limit = CountArg(args.Value("--limit").value_or("50"), kMaxCount);
        const std::optional<std::string> account = args.Value("--account");
        args.Done();
        for (const auto& record : store.QueryLog(limit, account)) {
            out << TimeText(record.timeMs) << '\t' << Shown(record.account)
                << (record.verified ? "" : " (stranger)") << '\t' << Shown(record.verdict) << '\t'
                << Shown(record.reason) << '\t' << Shown(record.address) << '\n';
        }
        return 0;
    }
    if (verb == "keep") {
        const uint64_t keep = CountArg(args.Next("record count"), kMaxLogKeep);
        args.Done();
        store.SetLogKeep(keep);
        return 0;
    }
    throw UsageError("unknown log command " + verb);
}

int CheckCommand(Store& store, Args& args, std::ostream& out) {
    const std::string name = args.Next("account name");
    const std::string address = args.Next("address");
    args.Done();
    IndexBuilder builder;
    const uint64_t generation = store.Load(builder);
    const auto index = builder.Finish(generation);
    const CheckAnswer answer = CheckAddress(*index, name, address);
    if (!answer.knownAccount) {
        out << "(no account " << Shown(name) << " with a password: the stranger profile answers)\n";
    }
    out << Shown(answer.reply) << '\t' << Shown(answer.reason) << '\n';
    return 0;
}

int AdminCommand(Store& store, AuditedAdminStore& audited, Args& args, std::istream& in, std::ostream& out) {
    const std::string verb = args.Next("admin command");
    if (verb == "list") {
        args.Done();
        for (const auto& admin : store.Administrators()) {
            out << Shown(admin.name) << "\tsince " << TimeText(admin.createdMs) << '\n';
        }
        return 0;
    }
    const std::string name = args.Next("administrator name");
    const auto exists = [&] {
        for (const auto& admin : store.Administrators()) {
            if (admin.name == name) return std::string("administrator");
        }
        return std::string("(none)");
    };
    if (verb == "add") {
        const std::string problem = CheckAdministratorName(name);
        if (!problem.empty()) throw UsageError(problem);
        const HashCost cost = CostArg(args);
        args.Done();
        // Never from the command line, where other users see it and shells keep it.
        std::string password;
        std::getline(in, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (password.size() < 8) {
            throw UsageError("give a password of at least 8 bytes on standard input");
        }
        if (password.size() > 1024) throw UsageError("passwords are at most 1024 bytes");
        const std::string hash = HashPassword(password, cost);
        audited.Record(
            "admin.add", name, exists, [&] { store.AddAdministrator(name, hash); }, exists);
        out << "administrator " << Shown(name) << " added\n";
        return 0;
    }
    if (verb == "remove") {
        args.Done();
        bool removed = false;
        audited.Record(
            "admin.remove", name, exists, [&] { removed = store.RemoveAdministrator(name); }, exists);
        if (!removed) {
            out << "no such administrator\n";
            return 1;
        }
        return 0;
    }
    throw UsageError("unknown admin command " + verb);
}

int AuditCommand(Store& store, Args& args, std::ostream& out) {
    const std::string verb = args.Next("audit command");
    if (verb != "show") throw UsageError("unknown audit command " + verb);
    AuditFilter filter;
    filter.limit = CountArg(args.Value("--limit").value_or("50"), kMaxCount);
    filter.actor = args.Value("--actor").value_or("");
    args.Done();
    for (const auto& record : store.Audit(filter)) {
        // Names and patterns may hold anything the store took; the terminal gets them escaped.
        out << TimeText(record.timeMs) << '\t' << Printable(record.actor, 4096) << '\t'
            << Printable(record.action, 4096) << '\t' << Printable(record.target, 4096) << '\t'
            << Printable(record.before, 4096) << " -> " << Printable(record.after, 4096) << '\n';
    }
    return 0;
}

std::string RefuseCharacters(std::string_view what, std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return std::string(what) + " holds a control character";
        if (c == '&' || c == '#' || c == ' ') {
            return std::string(what) + " holds \"" + static_cast<char>(c) +
                   "\", which cannot travel unescaped in the checking query";
        }
    }
    return {};
}

} // namespace

std::string CheckAccountName(std::string_view name) {
    if (name.empty()) return "an account needs a name";
    if (name == kStrangerAccount) return "\"*\" is the stranger profile and exists already";
    if (name.size() > 128) return "account names are at most 128 bytes";
    return RefuseCharacters("the name", name);
}

std::string CheckPassword(std::string_view password) {
    if (password.empty()) return "a password cannot be empty";
    if (password.size() > 1024) return "passwords are at most 1024 bytes";
    return RefuseCharacters("the password", password);
}

std::string CheckRelocation(std::string_view address) {
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
    if (ParseAddress(address).host.empty()) return "the new checking address names no host";
    return {};
}

std::string TimeText(int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string CheckAdministratorName(std::string_view name) {
    if (name.empty()) return "an administrator needs a name";
    if (name.size() > 64) return "administrator names are at most 64 bytes";
    for (unsigned char c : name) {
        if (c <= 0x20 || c == 0x7f) return "the name holds a blank or control character";
    }
    return {};
}

CheckAnswer CheckAddress(const RuleIndex& index, std::string_view name, std::string_view address) {
    CheckAnswer answer;
    const RuleIndex::Account* account = index.FindAccount(name);
    // As the service does: an account without a password can never be verified.
    if (account && account != &index.Stranger() && !account->passwordHash) account = nullptr;
    answer.knownAccount = account != nullptr;
    if (!account) account = &index.Stranger();
    if (address.empty()) {
        answer.reply = "000";
        answer.reason = "empty address";
        return answer;
    }
    const RuleIndex::Decision decision = index.Decide(*account, ParseAddress(address));
    switch (decision.verdict) {
    case Verdict::Allow:
        answer.reply = "000";
        break;
    case Verdict::Forbid:
        answer.reply = "001";
        break;
    case Verdict::Relocate:
        answer.reply = "004" + account->relocation;
        break;
    }
    answer.reason = index.Describe(decision);
    return answer;
}

int RunAdmin(const std::vector<std::string>& allArgs, std::istream& in, std::ostream& out,
             std::ostream& err) {
    try {
        Args args(allArgs);
        if (args.Flag("--help") || args.Flag("-h")) {
            out << kUsage;
            return 0;
        }
        const std::optional<std::string> db = args.Value("--db");
        if (!db) throw UsageError("give --db FILE");
        const std::string command = args.Next("command");
        if (!InitCrypto()) throw StoreError("cannot start libsodium");
        if (command == "init") {
            args.Done();
            OpenStore(*db, OpenMode::Create);
            return 0;
        }
        if (command == "migrate") {
            args.Done();
            const auto migrated = OpenStore(*db, OpenMode::Migrate);
            if (migrated->OpenedVersion() == kSchemaVersion) {
                out << "schema version " << kSchemaVersion << " already\n";
            } else {
                out << "schema version " << migrated->OpenedVersion() << " -> " << kSchemaVersion << '\n';
            }
            return 0;
        }
        if (command == "copy-to") {
            const std::string target = args.Next("target database");
            args.Done();
            if (IsPostgresAddress(*db) || !IsPostgresAddress(target)) {
                throw UsageError("copy-to copies a SQLite file (--db) into a postgresql:// database");
            }
            CopySqliteToPostgres(*db, target, out);
            return 0;
        }
        const auto opened = OpenStore(*db, OpenMode::Existing);
        Store& store = *opened;
        AuditedAdminStore audited(store, store, std::string(kCommandLineActor));
        if (command == "account") return AccountCommand(audited, args, in, out, err);
        if (command == "rule") return RuleCommand(audited, args, out);
        if (command == "list") return ListCommand(audited, args, in, out, err);
        if (command == "log") return LogCommand(audited, args, out);
        if (command == "admin") return AdminCommand(store, audited, args, in, out);
        if (command == "audit") return AuditCommand(store, args, out);
        if (command == "check") return CheckCommand(store, args, out);
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        err << "pvcheckctl: " << Shown(e.what()) << "\n(pvcheckctl --help lists the commands)\n";
        return 2;
    } catch (const std::exception& e) {
        err << "pvcheckctl: " << Shown(e.what()) << '\n';
        return 1;
    }
}

} // namespace pv::check
