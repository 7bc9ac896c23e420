#include "checkingservice/console/console.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "checkingservice/admin/admin.h"
#include "checkingservice/base/events.h"
#include "checkingservice/checking/password.h"
#include "checkingservice/index/rule_index.h"
#include "checkingservice/rules/list_file.h"
#include "checkingservice/storage/audit.h"
#include "checkingservice/storage/store_factory.h"

namespace pv::check {
namespace {

using Json = nlohmann::json;

constexpr const char* kCookie = "pvconsole";
constexpr int64_t kHour = 3600 * 1000;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kTextScanRows = 200000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string RandomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    hex.pop_back();
    return hex;
}

std::string DigestHex(std::string_view text) {
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                       nullptr, 0);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return hex;
}

bool SameSecret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A refused input: the message belongs next to one field of the form.
struct FieldError : std::runtime_error {
    FieldError(std::string field, const std::string& message)
        : std::runtime_error(message), field(std::move(field)) {}
    std::string field;
};

void CheckField(const std::string& field, const std::string& problem) {
    if (!problem.empty()) throw FieldError(field, problem);
}

std::string CheckListName(std::string_view name) {
    if (name.empty()) return "a list needs a name";
    if (name.size() > 128) return "list names are at most 128 bytes";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) return "the name holds a control character";
    }
    return {};
}

// Bytes in the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
size_t Utf8Length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) return 2;
    if ((c & 0xf0) == 0xe0) return 3;
    if (c >= 0xf0 && c <= 0xf4) return 4;
    return 0;
}

// UTF-8 without NUL bytes; anything else is not a list file.
bool IsText(std::string_view data) {
    for (size_t i = 0; i < data.size();) {
        const size_t length = Utf8Length(static_cast<unsigned char>(data[i]));
        if (length == 0 || data[i] == '\0' || data.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(data[i + k]) & 0xc0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// The keys a rule of this kind could have to match the address, most specific first, as the
// index matches them: the canonical address; the host with ever shorter path prefixes; the
// host; the host and its parent domains (none for a numeric host).
std::vector<std::string> CandidateKeys(RuleKind kind, const AddressParts& address) {
    std::vector<std::string> keys;
    switch (kind) {
    case RuleKind::Exact:
        keys.push_back(address.canonical);
        break;
    case RuleKind::Prefix:
        for (size_t n = address.path.size(); n > 0; --n) {
            keys.push_back(address.host + address.path.substr(0, n));
        }
        keys.push_back(address.host); // a prefix stored without a path means "/"
        break;
    case RuleKind::Host:
        keys.push_back(address.host);
        break;
    case RuleKind::Domain:
        for (std::string_view domain = address.host;;) {
            keys.emplace_back(domain);
            const size_t dot = domain.find('.');
            if (address.hostIsIp || dot == std::string_view::npos) break;
            domain.remove_prefix(dot + 1);
        }
        break;
    }
    return keys;
}

std::string PrecedenceText(const RuleRecord& rule) {
    std::string layer = rule.account ? "account " + *rule.account +
                                           "'s own rule: decides before global rules, lists and the policy"
                                     : "global rule: after the account's own rules, before lists and the "
                                       "policy";
    std::string within;
    switch (rule.kind) {
    case RuleKind::Exact:
        within = "an exact address beats every other kind here";
        break;
    case RuleKind::Prefix:
        within = "beats host and domain rules here; longer prefixes first";
        break;
    case RuleKind::Host:
        within = "beats domain rules here, loses to exact and prefix";
        break;
    case RuleKind::Domain:
        within = "least specific: longer domains first";
        break;
    }
    return layer + "; " + within + (rule.action == Action::Forbid ? "; forbid wins a tie" : "");
}

Json RuleJson(const RuleRecord& rule) {
    return {{"scope", rule.account ? "account" : "global"},
            {"account", rule.account.value_or("")},
            {"action", ActionName(rule.action)},
            {"kind", KindName(rule.kind)},
            {"key", rule.key},
            {"precedence", PrecedenceText(rule)}};
}

Json LogJson(const QueryLogRow& row) {
    return {{"id", row.id},
            {"time", row.record.timeMs},
            {"account", row.record.account},
            {"verified", row.record.verified},
            {"address", row.record.address},
            {"verdict", row.record.verdict},
            {"reason", row.record.reason}};
}

std::string CsvField(const std::string& text) {
    // A leading = + - @ would make a spreadsheet evaluate the cell.
    std::string out = "\"";
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
        out += '\'';
    }
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

// Counts failures per key within a sliding window.
class FailureLimiter {
public:
    FailureLimiter(unsigned limit, int64_t windowMs) : m_limit(limit), m_windowMs(windowMs) {}

    // Milliseconds until another attempt is allowed; 0: allowed now.
    int64_t WaitMs(const std::string& key, int64_t now) {
        std::lock_guard lock(m_mutex);
        auto it = m_failures.find(key);
        if (it == m_failures.end()) return 0;
        Prune(it->second, now);
        if (it->second.size() < m_limit) return 0;
        return it->second.front() + m_windowMs - now;
    }
    void Failed(const std::string& key, int64_t now) {
        std::lock_guard lock(m_mutex);
        if (m_failures.size() > 100000) { // a flood of names cannot grow the map without bound
            for (auto it = m_failures.begin(); it != m_failures.end();) {
                Prune(it->second, now);
                it = it->second.empty() ? m_failures.erase(it) : std::next(it);
            }
        }
        auto& times = m_failures[key];
        Prune(times, now);
        times.push_back(now);
        while (times.size() > m_limit) times.pop_front();
    }
    void clear(const std::string& key) {
        std::lock_guard lock(m_mutex);
        m_failures.erase(key);
    }

private:
    void Prune(std::deque<int64_t>& times, int64_t now) const {
        while (!times.empty() && times.front() <= now - m_windowMs) times.pop_front();
    }
    std::mutex m_mutex;
    unsigned m_limit;
    int64_t m_windowMs;
    std::unordered_map<std::string, std::deque<int64_t>> m_failures;
};

// Every rule's key in memory, for the rules page's text search: no index of the database
// finds a substring, and reading a million rules there for each search takes longer than a
// page may. Built from the same snapshot as the check tool's index (the rules are read once
// for both) and replaced with it when the store's generation changes. Keys are kept in the
// store's order (scope, kind, key), each followed by a line end, once as stored and once
// lowercased (ASCII, as LIKE compares) for the search.
class RuleTexts {
public:
    struct Entry {
        int64_t scope; // account id, 0 for global
        RuleKind kind;
        Action action;
        uint32_t offset, length;
    };

    void Account(int64_t id, const std::string& name) { m_names[id] = name; }
    void Rule(std::optional<int64_t> account, RuleKind kind, std::string_view key, Action action) {
        m_pending.push_back({account.value_or(0), kind, action, static_cast<uint32_t>(m_keys.size()),
                             static_cast<uint32_t>(key.size())});
        m_keys.append(key);
    }
    void Finish() {
        std::sort(m_pending.begin(), m_pending.end(), [this](const Entry& a, const Entry& b) {
            if (a.scope != b.scope) return a.scope < b.scope;
            if (a.kind != b.kind) return KindName(a.kind) < KindName(b.kind);
            return std::string_view(m_keys).substr(a.offset, a.length) <
                   std::string_view(m_keys).substr(b.offset, b.length);
        });
        std::string keys;
        keys.reserve(m_keys.size() + m_pending.size());
        for (auto& entry : m_pending) {
            const std::string_view key = std::string_view(m_keys).substr(entry.offset, entry.length);
            entry.offset = static_cast<uint32_t>(keys.size());
            keys.append(key);
            keys.push_back('\n');
        }
        m_keys = std::move(keys);
        m_lowered = m_keys;
        for (char& c : m_lowered) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        m_entries = std::move(m_pending);
        m_pending = {};
    }

    // Like ConsoleStore::rule_page with a search text: the rules holding it, in the same order.
    RulePage Search(std::optional<int64_t> scope, std::string_view text, uint64_t offset,
                    uint64_t limit) const {
        RulePage page;
        std::string needle(text);
        for (char& c : needle) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (needle.find('\n') != std::string::npos) return page; // no key holds one
        const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
        auto from = m_lowered.begin();
        size_t next = 0; // entries before this one are counted already
        for (;;) {
            const auto found = std::search(from, m_lowered.end(), searcher);
            if (found == m_lowered.end()) break;
            const auto at = static_cast<uint32_t>(found - m_lowered.begin());
            next = static_cast<size_t>(
                std::upper_bound(m_entries.begin() + static_cast<std::ptrdiff_t>(next), m_entries.end(), at,
                                 [](uint32_t value, const Entry& e) { return value < e.offset; }) -
                m_entries.begin());
            const Entry& entry = m_entries[next - 1];
            from = m_lowered.begin() + entry.offset + entry.length + 1;
            if (scope && entry.scope != *scope) continue;
            if (page.total >= offset && page.total - offset < limit) {
                std::optional<std::string> account;
                if (entry.scope != 0) {
                    const auto name = m_names.find(entry.scope);
                    account = name != m_names.end() ? name->second : "#" + std::to_string(entry.scope);
                }
                page.rules.push_back({std::move(account), entry.kind,
                                      m_keys.substr(entry.offset, entry.length), entry.action});
            }
            ++page.total;
        }
        return page;
    }
    std::optional<int64_t> AccountId(const std::string& name) const {
        for (const auto& [id, account] : m_names) {
            if (account == name) return id;
        }
        return std::nullopt;
    }

private:
    std::unordered_map<int64_t, std::string> m_names;
    std::vector<Entry> m_pending, m_entries;
    std::string m_keys, m_lowered;
};

// Hands one snapshot to the index builder and to the rule texts.
class SnapshotTee final : public SnapshotSink {
public:
    SnapshotTee(IndexBuilder& builder, RuleTexts& texts) : m_builder(builder), m_texts(texts) {}
    void Setting(std::string_view key, std::string_view value) override { m_builder.Setting(key, value); }
    void Account(const AccountRecord& account) override {
        m_builder.Account(account);
        m_texts.Account(account.id, account.name);
    }
    void List(int64_t id, std::string_view name) override { m_builder.List(id, name); }
    void Rule(std::optional<int64_t> accountId, RuleKind kind, std::string_view key, Action action) override {
        m_builder.Rule(accountId, kind, key, action);
        m_texts.Rule(accountId, kind, key, action);
    }
    void ListEntry(int64_t listId, RuleKind kind, std::string_view key) override {
        m_builder.ListEntry(listId, kind, key);
    }
    void Attachment(std::optional<int64_t> accountId, int64_t listId, Action action) override {
        m_builder.Attachment(accountId, listId, action);
    }

private:
    IndexBuilder& m_builder;
    RuleTexts& m_texts;
};

struct ImportJob {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::string state = "parsing"; // parsing, writing, done, failed, cancelled
    uint64_t done = 0, total = 0, added = 0, lines = 0;
    std::vector<ListFileProblem> problems;
    size_t problemCount = 0;
    std::string error;
    std::thread thread;
};

struct Session {
    std::string digest;
    SessionRecord record;
};

thread_local const Session* g_tSession = nullptr;

} // namespace

class Console::Impl {
public:
    explicit Impl(ConsoleOptions options)
        : m_options(std::move(options)), m_byClient(m_options.clientFailures, m_options.failureWindowMs),
          m_byName(m_options.nameFailures, m_options.failureWindowMs) {
        // The console never makes a database of its own: that is pvcheckctl init's job.
        if (!IsPostgresAddress(m_options.db) && !std::filesystem::exists(m_options.db)) {
            throw std::runtime_error("no database " + m_options.db +
                                     " (pvcheckctl --db FILE init makes one)");
        }
        const auto opened = OpenStore(m_options.db, OpenMode::Existing); // refused: not started
        Store& probe = *opened;
        // Unknown names are checked against a hash of the same cost as real ones: the answer
        // and its timing must not tell them apart.
        const auto admins = probe.Administrators();
        m_standInHash = admins.empty() ? HashPassword(RandomHex(16)) : admins.front().passwordHash;
        Setup();
    }

    ~Impl() {
        Stop();
        std::lock_guard lock(m_jobsMutex);
        for (auto& [id, job] : m_jobs) {
            job->cancel = true;
            if (job->thread.joinable()) job->thread.join();
        }
    }

    int Bind() {
        const int port =
            m_options.port == 0
                ? m_server.bind_to_any_port(m_options.address)
                : (m_server.bind_to_port(m_options.address, m_options.port) ? m_options.port : -1);
        if (port < 0) {
            throw std::runtime_error("cannot listen on " + m_options.address + ":" +
                                     std::to_string(m_options.port));
        }
        return port;
    }
    void Run() { m_server.listen_after_bind(); }
    void Stop() { m_server.stop(); }

private:
    // One connection per serving thread: SQLite handles are not shared between threads.
    Store& GetStore() {
        thread_local std::unique_ptr<Store> store;
        thread_local std::string path;
        if (!store || path != m_options.db) {
            store = OpenStore(m_options.db, OpenMode::Existing);
            path = m_options.db;
        }
        store->Reconnect(); // a database server restarted since: this request fails, not all
        return *store;
    }

    static void SendJson(httplib::Response& res, const Json& body, int status = 200) {
        res.status = status;
        res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                        "application/json; charset=utf-8");
    }
    static void SendError(httplib::Response& res, int status, const std::string& message,
                          const std::string& field = {}) {
        Json body = {{"error", message}};
        if (!field.empty()) body["fields"] = {{field, message}};
        SendJson(res, body, status);
    }

    static Json BodyOf(const httplib::Request& req) {
        Json body = Json::parse(req.body, nullptr, false);
        if (!body.is_object()) throw FieldError("", "the request body must be a JSON object");
        return body;
    }
    static std::string Text(const Json& body, const char* field) {
        const auto it = body.find(field);
        if (it == body.end() || it->is_null()) return {};
        if (!it->is_string()) throw FieldError(field, std::string(field) + " must be text");
        return it->get<std::string>();
    }
    static uint64_t ParamNumber(const httplib::Request& req, const char* name, uint64_t fallback,
                                uint64_t max) {
        if (!req.has_param(name) || req.get_param_value(name).empty()) return fallback;
        const std::string value = req.get_param_value(name);
        uint64_t out = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
        if (ec != std::errc() || end != value.data() + value.size()) {
            throw FieldError(name, std::string(name) + " must be a number");
        }
        return std::min(out, max);
    }

    Action ActionField(const Json& body, const char* field = "action") {
        const auto action = ParseAction(Text(body, field));
        if (!action) throw FieldError(field, "choose allow or forbid");
        return *action;
    }
    RuleKind KindField(const Json& body) {
        const auto kind = ParseKind(Text(body, "kind"));
        if (!kind) throw FieldError("kind", "choose exact, prefix, host or domain");
        return *kind;
    }
    std::string PatternField(const Json& body, RuleKind kind) {
        const std::string pattern = Text(body, "pattern");
        if (Trim(pattern).empty()) throw FieldError("pattern", "give a pattern");
        const PatternResult result = NormalizePattern(kind, pattern);
        CheckField("pattern", result.error);
        return result.key;
    }
    Scope ScopeField(const Json& body) {
        const std::string scope = Text(body, "scope");
        if (scope == "global") return Scope::Global();
        if (scope != "account") throw FieldError("scope", "choose global or an account");
        const std::string account = Text(body, "account");
        if (account.empty()) throw FieldError("account", "choose an account");
        for (const auto& a : GetStore().Accounts()) {
            if (a.name == account) return Scope::Of(account);
        }
        throw FieldError("account", "no account named \"" + account + "\"");
    }
    std::string ExistingAccount(const Json& body) {
        const std::string name = Text(body, "name");
        for (const auto& a : GetStore().Accounts()) {
            if (a.name == name) return name;
        }
        throw FieldError("name", name.empty() ? "choose an account" : "no account named \"" + name + "\"");
    }
    std::string ExistingList(const std::string& name, const char* field = "name") {
        for (const auto& l : GetStore().Lists()) {
            if (l.name == name) return name;
        }
        throw FieldError(field, name.empty() ? "choose a list" : "no list named \"" + name + "\"");
    }

    AuditedAdminStore Audited() {
        return AuditedAdminStore(GetStore(), GetStore(), g_tSession ? g_tSession->record.administrator : "?");
    }

    // Registers a handler; errors become JSON answers, field errors 400 with the field named.
    template <typename Fn>
    static auto Wrap(Fn fn) {
        return [fn](const httplib::Request& req, httplib::Response& res) {
            try {
                fn(req, res);
            } catch (const FieldError& e) {
                SendError(res, 400, e.what(), e.field);
            } catch (const StoreError& e) {
                SendError(res, 400, e.what());
            } catch (const std::exception& e) {
                LogError(std::string("console: ") + e.what());
                SendError(res, 500, "internal error; see the console's log");
            }
        };
    }
    template <typename Fn>
    void Get(const std::string& path, Fn fn) {
        m_server.Get(path, Wrap(fn));
    }
    template <typename Fn>
    void Post(const std::string& path, Fn fn) {
        m_server.Post(path, Wrap(fn));
    }

    static bool IsPublic(const std::string& path) {
        return path == "/login" || path == "/api/login" || path.starts_with("/static/") ||
               path == "/favicon.ico";
    }

    // Every request passes here first: sessions, CSRF and the security headers.
    // An address literal or localhost, with any port, or a name given with --host. Rebinding
    // needs a name of the attacker's, so literals are safe whatever the console listens on.
    bool HostAllowed(std::string_view host) const {
        if (host.starts_with('[')) return host.find(']') != std::string_view::npos; // IPv6
        if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
            host = host.substr(0, colon);
        }
        if (host.empty()) return false;
        std::string name(host);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        in_addr v4{};
        if (name == "localhost" || inet_pton(AF_INET, name.c_str(), &v4) == 1) return true;
        return std::find(m_options.hosts.begin(), m_options.hosts.end(), name) != m_options.hosts.end();
    }

    httplib::Server::HandlerResponse Gate(const httplib::Request& req, httplib::Response& res) {
        g_tSession = nullptr;
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; object-src 'none'; "
                       "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
        res.set_header("Cache-Control", "no-store");
        if (!HostAllowed(req.get_header_value("Host"))) {
            // A web page whose name was rebound to this address must not reach the console, not even
            // its login: a name is served only when the administrator gave it.
            SendError(res, 421, "this console is not served under that name; see pvconsole --host");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
            res.set_header("Allow", "GET, HEAD, POST");
            SendError(res, 405, "the console takes GET and POST only");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (IsPublic(req.path)) {
            // This runs before a body is read: anyone may log in, but not with megabytes.
            const bool bounded = req.get_header_value<uint64_t>("Content-Length") <= 4096 &&
                                 !req.has_header("Transfer-Encoding");
            if (bounded) return httplib::Server::HandlerResponse::Unhandled;
            SendError(res, 413, "too large");
            return httplib::Server::HandlerResponse::Handled;
        }

        thread_local Session session;
        const std::string token = Cookie(req);
        std::optional<SessionRecord> record;
        if (!token.empty()) {
            session.digest = DigestHex(token);
            try {
                record = GetStore().TouchSession(session.digest, NowMs(), m_options.sessionIdleMs,
                                                 m_options.sessionLifetimeMs);
            } catch (const std::exception& e) {
                LogError(std::string("console: sessions: ") + e.what());
                SendError(res, 503, "the database cannot be read; try again");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (!record) {
            if (req.path.starts_with("/api/")) {
                SendError(res, 401, "log in first");
            } else {
                res.status = 303;
                res.set_header("Location", "/login");
            }
            return httplib::Server::HandlerResponse::Handled;
        }
        session.record = *record;
        if (req.method != "GET" && req.method != "HEAD" &&
            !SameSecret(req.get_header_value("X-CSRF-Token"), session.record.csrf)) {
            SendError(res, 403, "this change lacks the page's CSRF token; reload the page");
            return httplib::Server::HandlerResponse::Handled;
        }
        g_tSession = &session;
        return httplib::Server::HandlerResponse::Unhandled;
    }

    static std::string Cookie(const httplib::Request& req) {
        const std::string header = req.get_header_value("Cookie");
        const std::string prefix = std::string(kCookie) + "=";
        size_t pos = 0;
        while (pos < header.size()) {
            while (pos < header.size() && (header[pos] == ' ' || header[pos] == ';')) ++pos;
            const size_t end = std::min(header.find(';', pos), header.size());
            if (header.compare(pos, prefix.size(), prefix) == 0) {
                return header.substr(pos + prefix.size(), end - pos - prefix.size());
            }
            pos = end;
        }
        return {};
    }

    std::string CookieAttributes() const {
        return std::string("; Path=/; HttpOnly; SameSite=Strict") +
               (m_options.secureCookies ? "; Secure" : "");
    }

    void ServeFile(httplib::Response& res, const std::string& name, const char* type) {
        std::ifstream in(m_options.staticDir + "/" + name, std::ios::binary);
        if (!in) {
            SendError(res, 500, "the console's pages are missing: " + m_options.staticDir);
            return;
        }
        std::ostringstream content;
        content << in.rdbuf();
        res.set_content(content.str(), type);
    }

    void Login(const httplib::Request& req, httplib::Response& res) {
        // A form on another site can post text/plain but not JSON without asking first: no
        // logging a browser into someone else's session.
        if (!req.get_header_value("Content-Type").starts_with("application/json")) {
            SendError(res, 415, "send the login as application/json");
            return;
        }
        const Json body = BodyOf(req);
        const std::string name = Text(body, "name");
        const std::string password = Text(body, "password");
        const int64_t now = NowMs();
        const std::string clientKey = "client " + req.remote_addr;
        const std::string nameKey = "name " + name;
        const int64_t wait = std::max(m_byClient.WaitMs(clientKey, now), m_byName.WaitMs(nameKey, now));
        if (wait > 0) {
            res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
            SendError(res, 429,
                      "too many failed logins for this name or from this address; try again in " +
                          std::to_string((wait + 59999) / 60000) + " minute(s)");
            return;
        }
        std::optional<std::string> hash;
        for (const auto& admin : GetStore().Administrators()) {
            if (admin.name == name) hash = admin.passwordHash;
        }
        bool ok = false;
        {
            // One slow hash at a time: each takes tens of megabytes.
            std::lock_guard lock(m_verifyMutex);
            const bool matches = VerifyPassword(hash ? *hash : m_standInHash, password);
            ok = hash && matches;
        }
        if (!ok) {
            m_byClient.Failed(clientKey, now);
            m_byName.Failed(nameKey, now);
            LogEvent("console: failed login for \"" + Printable(name, 64) + "\" from " +
                     Printable(req.remote_addr, 64));
            SendError(res, 401, "wrong name or password");
            return;
        }
        m_byName.clear(nameKey);
        const std::string token = RandomHex(32);
        SessionRecord session{name, RandomHex(32), now, now};
        GetStore().CreateSession(DigestHex(token), session);
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + CookieAttributes());
        SendJson(res, {{"name", name}, {"csrf", session.csrf}});
    }

    void Logout(httplib::Response& res) {
        GetStore().EndSession(g_tSession->digest);
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + CookieAttributes() + "; Max-Age=0");
        SendJson(res, {{"ok", true}});
    }

    // The rule behind a verdict of the index, found again in the store: the index keeps no
    // patterns, only which layer, kind and list decided, so the store is asked for the keys of
    // that kind the address could match, most specific first, as the index ranks them. Null
    // when the policy or a move decided (or the store changed since the index was built).
    Json DecidingRule(const RuleIndex& current, const std::string& name, const std::string& address,
                      const CheckAnswer& answer) {
        const RuleIndex::Account* account = current.FindAccount(name);
        if (account && account != &current.Stranger() && !account->passwordHash) account = nullptr;
        if (!account) account = &current.Stranger();
        const AddressParts parts = ParseAddress(address);
        const RuleIndex::Decision decision = current.Decide(*account, parts);
        const std::vector<std::string> keys = CandidateKeys(decision.kind, parts);
        const std::string_view kind = KindName(decision.kind);
        const std::string_view action = decision.verdict == Verdict::Forbid ? "forbid" : "allow";
        switch (decision.layer) {
        case RuleIndex::Layer::Account:
        case RuleIndex::Layer::Global: {
            const bool own = decision.layer == RuleIndex::Layer::Account;
            std::optional<RuleRecord> rule;
            try {
                rule = GetStore().FirstRule(own ? Scope::Of(account->name) : Scope::Global(), decision.kind,
                                            keys);
            } catch (const StoreError&) { // removed since the index was built
            }
            if (!rule) return nullptr;
            return {{"scope", own ? "account" : "global"},
                    {"account", own ? Json(account->name) : Json(nullptr)},
                    {"list", nullptr},
                    {"action", rule->action == Action::Forbid ? "forbid" : "allow"},
                    {"kind", kind},
                    {"pattern", rule->key},
                    {"precedence", PrecedenceText(*rule)}};
        }
        case RuleIndex::Layer::List: {
            // describe() names the list as "list NAME KIND"; the name may hold blanks.
            std::string_view list = answer.reason;
            if (!list.starts_with("list ") || list.size() < 6 + kind.size()) return nullptr;
            list = list.substr(5, list.size() - 5 - kind.size() - 1);
            std::optional<std::string> key;
            try {
                key = GetStore().FirstListEntry(std::string(list), decision.kind, keys);
            } catch (const StoreError&) { // renamed or removed since the index was built
            }
            if (!key) return nullptr;
            return {{"scope", "list"},  {"account", nullptr}, {"list", list},
                    {"action", action}, {"kind", kind},       {"pattern", *key}};
        }
        case RuleIndex::Layer::Relocation:
        case RuleIndex::Layer::Default:
            break;
        }
        return nullptr;
    }

    std::shared_ptr<const RuleIndex> Index() { return Snapshot().first; }

    std::pair<std::shared_ptr<const RuleIndex>, std::shared_ptr<const RuleTexts>> Snapshot() {
        std::lock_guard lock(m_indexMutex);
        const uint64_t generation = GetStore().Generation();
        if (!m_index || m_index->Generation() != generation) {
            IndexBuilder builder;
            auto texts = std::make_shared<RuleTexts>();
            SnapshotTee tee(builder, *texts);
            m_index = builder.Finish(GetStore().Load(tee));
            texts->Finish();
            m_ruleTexts = std::move(texts);
        }
        return {m_index, m_ruleTexts};
    }

    Json Dashboard() {
        const int64_t now = NowMs();
        {
            std::lock_guard lock(m_dashboardMutex);
            if (now - m_dashboardTime < 2000 && !m_dashboard.is_null()) return m_dashboard;
        }
        Store& s = GetStore();
        Json out;
        const int64_t thisHour = now - now % kHour;
        std::map<int64_t, CounterRow> hours;
        for (const auto& row : s.HourlyCounters(thisHour - 23 * kHour)) hours[row.startMs] = row;
        Json hourly = Json::array();
        for (int64_t h = thisHour - 23 * kHour; h <= thisHour; h += kHour) {
            const auto it = hours.find(h);
            hourly.push_back({{"start", h},
                              {"queries", it == hours.end() ? 0 : it->second.queries},
                              {"forbidden", it == hours.end() ? 0 : it->second.forbidden}});
        }
        const int64_t today = now - now % kDay;
        std::map<int64_t, CounterRow> days;
        for (const auto& row : s.DailyCounters(today - 29 * kDay)) days[row.startMs] = row;
        Json daily = Json::array();
        for (int64_t d = today - 29 * kDay; d <= today; d += kDay) {
            const auto it = days.find(d);
            daily.push_back({{"start", d},
                             {"queries", it == days.end() ? 0 : it->second.queries},
                             {"forbidden", it == days.end() ? 0 : it->second.forbidden}});
        }
        out["hourly"] = hourly;
        out["daily"] = daily;

        Json top = Json::object();
        for (const auto& [field, kind] : {std::pair{"forbidden_addresses", TopKind::ForbiddenAddress},
                                          {"forbidden_hosts", TopKind::ForbiddenHost},
                                          {"accounts", TopKind::Account},
                                          {"rules", TopKind::Rule}}) {
            const TopCounts counts = s.GetTopCounts(kind, thisHour - 23 * kHour, 10);
            Json rows = Json::array();
            for (const auto& row : counts.rows) rows.push_back({{"key", row.key}, {"count", row.count}});
            top[field] = rows;
            top[std::string(field) + "_others"] = counts.others;
        }
        out["top"] = top;
        Json instances = Json::array();
        for (const auto& h : s.Health()) {
            // An instance reports every 5 s; one that has not for three times that has lost its
            // database connection (it cannot write its row then), or ended without stopping.
            const bool reporting = h.stoppedMs == 0 && now - h.timeMs < 15000;
            Json outage = nullptr;
            if (h.outageSinceMs > 0) {
                outage = {{"since", h.outageSinceMs},
                          {"seconds", h.outageMs / 1000},
                          {"buffered", h.outageBuffered},
                          {"dropped", h.outageDropped}};
            }
            instances.push_back({{"instance", h.instance},
                                 {"reported", h.timeMs},
                                 {"reporting", reporting},
                                 {"state", h.stoppedMs ? "stopped"
                                           : reporting ? "answering"
                                                       : "not reporting"},
                                 {"stopped", h.stoppedMs},
                                 {"last_outage", outage},
                                 {"started", h.startedMs},
                                 {"generation", h.generation},
                                 {"loaded", h.loadedMs},
                                 {"index_age_s", h.loadedMs > 0 ? (now - h.loadedMs) / 1000 : 0},
                                 {"rules", h.rules},
                                 {"queries_per_second", h.queriesPerSecond},
                                 {"dropped_log_records", h.droppedLogRecords},
                                 {"slow_checks_per_second", h.slowChecksPerSecond},
                                 {"slow_check_budget", h.slowCheckBudget},
                                 {"slow_checks_refused", h.slowChecksRefused}});
        }
        out["health"] = {{"generation", s.Generation()}, {"instances", instances}, {"log_rows", s.LogRows()}};
        out["now"] = now;
        std::lock_guard lock(m_dashboardMutex);
        m_dashboard = out;
        m_dashboardTime = now;
        return out;
    }

    LogFilter ParseLogFilter(const httplib::Request& req, uint64_t defaultLimit, uint64_t maxLimit) {
        LogFilter filter;
        if (req.has_param("account") && !req.get_param_value("account").empty()) {
            filter.account = req.get_param_value("account");
        }
        filter.verdict = req.has_param("verdict") ? req.get_param_value("verdict") : "";
        if (!filter.verdict.empty() && filter.verdict != "000" && filter.verdict != "001" &&
            filter.verdict != "004") {
            throw FieldError("verdict", "choose 000, 001 or 004");
        }
        filter.text = req.has_param("q") ? req.get_param_value("q") : "";
        filter.fromMs = static_cast<int64_t>(ParamNumber(req, "from", 0, INT64_MAX));
        filter.toMs = static_cast<int64_t>(ParamNumber(req, "to", 0, INT64_MAX));
        if (filter.fromMs && filter.toMs && filter.toMs <= filter.fromMs) {
            throw FieldError("to", "the end of the time range must come after its start");
        }
        filter.beforeId = static_cast<int64_t>(ParamNumber(req, "before", 0, INT64_MAX));
        filter.limit = ParamNumber(req, "limit", defaultLimit, maxLimit);
        return filter;
    }

    void StartImport(const httplib::Request& req, httplib::Response& res) {
        const std::string list = ExistingList(req.has_param("name") ? req.get_param_value("name") : "");
        const std::string kindText = req.has_param("kind") ? req.get_param_value("kind") : "domain";
        const auto kind = ParseKind(kindText);
        if (!kind) throw FieldError("kind", "choose exact, prefix, host or domain");
        const bool replace = req.has_param("replace") && req.get_param_value("replace") == "1";
        if (req.body.empty()) throw FieldError("file", "the file is empty");
        if (!IsText(req.body)) {
            throw FieldError("file", "this is not a text file: a list file holds one entry a line");
        }
        auto job = std::make_shared<ImportJob>();
        const std::string id = RandomHex(12);
        const std::string actor = g_tSession->record.administrator;
        {
            std::lock_guard lock(m_jobsMutex);
            // Finished jobs are kept only until the next import starts.
            std::erase_if(m_jobs, [](auto& entry) {
                bool finished = false;
                {
                    std::lock_guard jobLock(entry.second->mutex);
                    finished = entry.second->state != "parsing" && entry.second->state != "writing";
                }
                if (finished && entry.second->thread.joinable()) entry.second->thread.join();
                return finished;
            });
            m_jobs[id] = job;
        }
        job->thread = std::thread([this, job, list, kind = *kind, replace, actor, data = req.body]() mutable {
            RunImport(*job, list, kind, replace, actor, std::move(data));
        });
        SendJson(res, {{"job", id}});
    }

    void RunImport(ImportJob& job, const std::string& list, RuleKind kind, bool replace,
                   const std::string& actor, std::string data) {
        try {
            std::istringstream in(std::move(data));
            ListFile file = ReadListFile(in, kind);
            // Sorted, the rows go into the table's B-tree in order: the write lock is held shorter.
            std::sort(file.entries.begin(), file.entries.end(), [](const auto& a, const auto& b) {
                return a.first != b.first ? KindName(a.first) < KindName(b.first) : a.second < b.second;
            });
            {
                std::lock_guard lock(job.mutex);
                job.state = "writing";
                job.total = file.entries.size();
                job.lines = file.lines;
                job.problemCount = file.problems.size();
                job.problems.assign(file.problems.begin(),
                                    file.problems.begin() + static_cast<std::ptrdiff_t>(
                                                                std::min<size_t>(100, file.problems.size())));
            }
            const auto owned = OpenStore(m_options.db, OpenMode::Existing);
            Store& own = *owned;
            AuditedAdminStore trail(own, own, actor);
            uint64_t added = 0;
            trail.Record(
                replace ? "list.import (replace)" : "list.import", list,
                [&] { return trail.ListState(list); },
                [&] {
                    added = own.ImportListEntries(list, file.entries, replace, [&](uint64_t done) {
                        std::lock_guard lock(job.mutex);
                        job.done = done;
                        return !job.cancel.load();
                    });
                },
                [&] { return trail.ListState(list); });
            std::lock_guard lock(job.mutex);
            job.added = added;
            job.state = "done";
        } catch (const std::exception& e) {
            std::lock_guard lock(job.mutex);
            job.state = job.cancel ? "cancelled" : "failed";
            job.error = e.what();
        }
    }

    Json JobJson(ImportJob& job) {
        std::lock_guard lock(job.mutex);
        Json problems = Json::array();
        for (const auto& p : job.problems) problems.push_back({{"line", p.line}, {"message", p.message}});
        return {{"state", job.state},
                {"done", job.done},
                {"total", job.total},
                {"added", job.added},
                {"lines", job.lines},
                {"problems", problems},
                {"problem_count", job.problemCount},
                {"error", job.error}};
    }

    std::shared_ptr<ImportJob> FindJob(const std::string& id) {
        std::lock_guard lock(m_jobsMutex);
        const auto it = m_jobs.find(id);
        if (it == m_jobs.end()) throw FieldError("job", "no such import");
        return it->second;
    }

    void Setup();

    ConsoleOptions m_options;
    httplib::Server m_server;
    FailureLimiter m_byClient;
    FailureLimiter m_byName;
    std::string m_standInHash;
    std::mutex m_verifyMutex;
    std::mutex m_indexMutex;
    std::shared_ptr<const RuleIndex> m_index;
    std::shared_ptr<const RuleTexts> m_ruleTexts;
    std::mutex m_dashboardMutex;
    Json m_dashboard;
    int64_t m_dashboardTime = 0;
    std::mutex m_jobsMutex;
    std::map<std::string, std::shared_ptr<ImportJob>> m_jobs;
};

void Console::Impl::Setup() {
    const unsigned threads = std::max(2u, m_options.threads);
    m_server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    m_server.set_payload_max_length(m_options.maxUpload);
    m_server.set_read_timeout(30, 0);
    m_server.set_keep_alive_timeout(15);
    // Heads and bodies go out in separate writes; without this each answer waits for the
    // client's delayed acknowledgement.
    m_server.set_tcp_nodelay(true);
    m_server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return Gate(req, res); });
    if (!m_server.set_mount_point("/static", m_options.staticDir)) {
        throw std::runtime_error("no console pages in " + m_options.staticDir);
    }

    m_server.Get("/login", [this](const httplib::Request&, httplib::Response& res) {
        ServeFile(res, "login.html", "text/html; charset=utf-8");
    });
    m_server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        ServeFile(res, "index.html", "text/html; charset=utf-8");
    });

    Post("/api/login", [this](const auto& req, auto& res) { Login(req, res); });
    Post("/api/logout", [this](const auto&, auto& res) { Logout(res); });
    Get("/api/session", [](const auto&, auto& res) {
        SendJson(res, {{"name", g_tSession->record.administrator}, {"csrf", g_tSession->record.csrf}});
    });
    Get("/api/dashboard", [this](const auto&, auto& res) { SendJson(res, Dashboard()); });

    // Accounts.
    Get("/api/accounts", [this](const auto&, auto& res) {
        Json out = Json::array();
        for (const auto& a : GetStore().Accounts()) {
            out.push_back({{"name", a.name},
                           {"policy", ActionName(a.policy)},
                           {"password", a.passwordHash.has_value()},
                           {"relocation", a.relocation},
                           {"stranger", a.name == kStrangerAccount}});
        }
        SendJson(res, out);
    });
    Post("/api/accounts/add", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string name = Text(body, "name");
        CheckField("name", CheckAccountName(name));
        // No password is allowed: such an account is answered with the stranger profile.
        const std::string password = Text(body, "password");
        if (!password.empty()) CheckField("password", CheckPassword(password));
        const Action policy = ActionField(body, "policy");
        for (const auto& a : GetStore().Accounts()) {
            if (a.name == name) throw FieldError("name", "account \"" + name + "\" exists already");
        }
        std::optional<std::string> hash;
        if (!password.empty()) hash = HashPassword(password);
        Audited().AddAccount(name, hash, policy);
        SendJson(res, {{"ok", true}});
    });
    Post("/api/accounts/remove", [this](const auto& req, auto& res) {
        const std::string name = ExistingAccount(BodyOf(req));
        if (name == kStrangerAccount) throw FieldError("name", "the stranger profile cannot be removed");
        Audited().RemoveAccount(name);
        SendJson(res, {{"ok", true}});
    });
    Post("/api/accounts/password", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string name = ExistingAccount(body);
        if (name == kStrangerAccount) throw FieldError("name", "the stranger profile takes no password");
        const std::string password = Text(body, "password");
        if (password.empty()) throw FieldError("password", "give the new password");
        CheckField("password", CheckPassword(password));
        Audited().SetPassword(name, HashPassword(password));
        SendJson(res, {{"ok", true}});
    });
    Post("/api/accounts/policy", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string name = ExistingAccount(body);
        Audited().SetPolicy(name, ActionField(body, "policy"));
        SendJson(res, {{"ok", true}});
    });
    Post("/api/accounts/move", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string name = ExistingAccount(body);
        const std::string address = Text(body, "address");
        CheckField("address", CheckRelocation(address));
        Audited().SetRelocation(name, address);
        SendJson(res, {{"ok", true}});
    });
    Post("/api/accounts/stay", [this](const auto& req, auto& res) {
        Audited().SetRelocation(ExistingAccount(BodyOf(req)), "");
        SendJson(res, {{"ok", true}});
    });

    // Rules.
    Get("/api/rules", [this](const auto& req, auto& res) {
        std::optional<Scope> scope;
        const std::string which = req.has_param("scope") ? req.get_param_value("scope") : "";
        if (which == "global")
            scope = Scope::Global();
        else if (which == "account")
            scope = ScopeField({{"scope", "account"}, {"account", req.get_param_value("account")}});
        else if (!which.empty())
            throw FieldError("scope", "choose all, global or an account");
        const std::string text = req.has_param("q") ? req.get_param_value("q") : "";
        const uint64_t offset = ParamNumber(req, "offset", 0, UINT32_MAX);
        const uint64_t limit = ParamNumber(req, "limit", 50, 1000);
        RulePage page;
        if (text.empty()) {
            page = GetStore().GetRulePage(scope, text, offset, limit);
        } else {
            const auto texts = Snapshot().second;
            std::optional<int64_t> id;
            if (scope && scope->account) {
                id = texts->AccountId(*scope->account);
                if (!id) throw FieldError("account", "no account named \"" + *scope->account + "\"");
            } else if (scope) {
                id = 0;
            }
            page = texts->Search(id, text, offset, limit);
        }
        Json rules = Json::array();
        for (const auto& r : page.rules) rules.push_back(RuleJson(r));
        SendJson(res, {{"total", page.total}, {"rules", rules}});
    });
    Post("/api/rules/add", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const Scope scope = ScopeField(body);
        const Action action = ActionField(body);
        const RuleKind kind = KindField(body);
        const std::string key = PatternField(body, kind);
        Audited().AddRule(scope, kind, key, action);
        SendJson(res, {{"ok", true}, {"key", key}});
    });
    Post("/api/rules/remove", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const Scope scope = ScopeField(body);
        const RuleKind kind = KindField(body);
        const std::string key = PatternField(body, kind);
        if (!Audited().RemoveRule(scope, kind, key)) throw FieldError("pattern", "no such rule");
        SendJson(res, {{"ok", true}});
    });

    // Lists.
    Get("/api/lists", [this](const auto&, auto& res) {
        const auto attachments = GetStore().Attachments();
        Json out = Json::array();
        for (const auto& l : GetStore().Lists()) {
            Json attached = Json::array();
            for (const auto& a : attachments) {
                if (a.list != l.name) continue;
                attached.push_back({{"scope", a.account ? "account" : "global"},
                                    {"account", a.account.value_or("")},
                                    {"action", ActionName(a.action)}});
            }
            out.push_back({{"name", l.name}, {"entries", l.entries}, {"attachments", attached}});
        }
        SendJson(res, out);
    });
    Post("/api/lists/create", [this](const auto& req, auto& res) {
        const std::string name = Text(BodyOf(req), "name");
        CheckField("name", CheckListName(name));
        for (const auto& l : GetStore().Lists()) {
            if (l.name == name) throw FieldError("name", "list \"" + name + "\" exists already");
        }
        Audited().CreateList(name);
        SendJson(res, {{"ok", true}});
    });
    Post("/api/lists/remove", [this](const auto& req, auto& res) {
        Audited().RemoveList(ExistingList(Text(BodyOf(req), "name")));
        SendJson(res, {{"ok", true}});
    });
    Post("/api/lists/rename", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string from = ExistingList(Text(body, "name"));
        const std::string to = Text(body, "new_name");
        CheckField("new_name", CheckListName(to));
        for (const auto& l : GetStore().Lists()) {
            if (l.name == to) throw FieldError("new_name", "list \"" + to + "\" exists already");
        }
        auto trail = Audited();
        trail.Record(
            "list.rename", from, [&] { return "named " + from; }, [&] { GetStore().RenameList(from, to); },
            [&] { return "named " + to; });
        SendJson(res, {{"ok", true}});
    });
    Get("/api/lists/entries", [this](const auto& req, auto& res) {
        const std::string list = ExistingList(req.has_param("name") ? req.get_param_value("name") : "");
        const EntryPage page = GetStore().ListPage(list, req.has_param("q") ? req.get_param_value("q") : "",
                                                   ParamNumber(req, "offset", 0, UINT32_MAX),
                                                   ParamNumber(req, "limit", 50, 1000));
        Json entries = Json::array();
        for (const auto& [kind, key] : page.entries)
            entries.push_back({{"kind", KindName(kind)}, {"key", key}});
        SendJson(res, {{"total", page.total}, {"entries", entries}});
    });
    Post("/api/lists/entries/add", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string list = ExistingList(Text(body, "name"));
        const RuleKind kind = KindField(body);
        const std::pair<RuleKind, std::string> entry(kind, PatternField(body, kind));
        Audited().AddListEntries(list, std::span(&entry, 1), false);
        SendJson(res, {{"ok", true}, {"key", entry.second}});
    });
    Post("/api/lists/entries/delete", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string list = ExistingList(Text(body, "name"));
        const RuleKind kind = KindField(body);
        if (!Audited().RemoveListEntry(list, kind, PatternField(body, kind))) {
            throw FieldError("pattern", "no such entry");
        }
        SendJson(res, {{"ok", true}});
    });
    Post("/api/lists/attach", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string list = ExistingList(Text(body, "name"));
        const Scope scope = ScopeField(body);
        Audited().Attach(list, scope, ActionField(body));
        SendJson(res, {{"ok", true}});
    });
    Post("/api/lists/detach", [this](const auto& req, auto& res) {
        const Json body = BodyOf(req);
        const std::string list = ExistingList(Text(body, "name"));
        if (!Audited().Detach(list, ScopeField(body))) throw FieldError("scope", "not attached there");
        SendJson(res, {{"ok", true}});
    });
    Post("/api/lists/import", [this](const auto& req, auto& res) { StartImport(req, res); });
    Get("/api/lists/import/status", [this](const auto& req, auto& res) {
        SendJson(res, JobJson(*FindJob(req.has_param("job") ? req.get_param_value("job") : "")));
    });
    Post("/api/lists/import/cancel", [this](const auto& req, auto& res) {
        FindJob(Text(BodyOf(req), "job"))->cancel = true;
        SendJson(res, {{"ok", true}});
    });

    // The check tool answers from an index built by the service's own code.
    Get("/api/check", [this](const auto& req, auto& res) {
        const std::string account = req.has_param("account") ? req.get_param_value("account") : "";
        const std::string address = req.has_param("address") ? req.get_param_value("address") : "";
        if (Trim(address).empty()) throw FieldError("address", "give an address");
        const auto current = Index();
        const CheckAnswer answer = CheckAddress(*current, account, address);
        const std::string code = answer.reply.substr(0, 3);
        SendJson(res, {{"reply", answer.reply},
                       {"verdict", code == "001"   ? "forbidden"
                                   : code == "004" ? "moved"
                                                   : "allowed"},
                       {"reason", answer.reason},
                       {"account_known", answer.knownAccount},
                       {"rule", DecidingRule(*current, account, address, answer)}});
    });

    // Query log and audit trail.
    Get("/api/log", [this](const auto& req, auto& res) {
        LogFilter filter = ParseLogFilter(req, 50, 1000);
        // No index finds a substring, so a text search reads at most kTextScanRows records per
        // page, newest first: a page may come back short ("partial") with the id to go on below,
        // and the page stays fast however large the log is kept.
        int64_t continueBelow = 0;
        if (!filter.text.empty()) {
            const auto [first, last] = GetStore().LogWindow(0, UINT64_MAX);
            const int64_t high = filter.beforeId > 0 ? std::min(filter.beforeId, last + 1) : last + 1;
            filter.beforeId = high;
            filter.afterId = std::max<int64_t>(high - 1 - kTextScanRows, first - 1);
            if (filter.afterId >= first) continueBelow = filter.afterId + 1;
        }
        const auto rows = GetStore().SearchLog(filter);
        Json out = Json::array();
        for (const auto& row : rows) out.push_back(LogJson(row));
        const bool full = !rows.empty() && rows.size() == filter.limit; // limit=0 asks for none
        SendJson(res, {{"rows", out},
                       {"next_before", full ? rows.back().id : continueBelow},
                       {"partial", !full && continueBelow != 0}});
    });
    Get("/api/log.csv", [this](const auto& req, auto& res) {
        const auto rows = GetStore().SearchLog(ParseLogFilter(req, 100000, 100000));
        std::string csv = "time,account,verified,address,verdict,reason\r\n";
        for (const auto& row : rows) {
            csv += TimeText(row.record.timeMs) + ',' + CsvField(row.record.account) + ',' +
                   (row.record.verified ? "yes" : "no") + ',' + CsvField(row.record.address) + ',' +
                   row.record.verdict + ',' + CsvField(row.record.reason) + "\r\n";
        }
        res.set_header("Content-Disposition", "attachment; filename=\"query-log.csv\"");
        res.set_content(csv, "text/csv; charset=utf-8");
    });
    Get("/api/audit", [this](const auto& req, auto& res) {
        AuditFilter filter;
        filter.actor = req.has_param("actor") ? req.get_param_value("actor") : "";
        filter.text = req.has_param("q") ? req.get_param_value("q") : "";
        filter.fromMs = static_cast<int64_t>(ParamNumber(req, "from", 0, INT64_MAX));
        filter.toMs = static_cast<int64_t>(ParamNumber(req, "to", 0, INT64_MAX));
        filter.beforeId = static_cast<int64_t>(ParamNumber(req, "before", 0, INT64_MAX));
        filter.limit = ParamNumber(req, "limit", 50, 1000);
        Json out = Json::array();
        const auto records = GetStore().Audit(filter);
        for (const auto& r : records) {
            out.push_back({{"id", r.id},
                           {"time", r.timeMs},
                           {"actor", r.actor},
                           {"action", r.action},
                           {"target", r.target},
                           {"before", r.before},
                           {"after", r.after}});
        }
        SendJson(res, {{"rows", out},
                       {"next_before",
                        !records.empty() && records.size() == filter.limit ? records.back().id : 0}});
    });
}

Console::Console(ConsoleOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}
Console::~Console() = default;
int Console::Bind() { return m_impl->Bind(); }
void Console::Run() { m_impl->Run(); }
void Console::Stop() { m_impl->Stop(); }

} // namespace pv::check
