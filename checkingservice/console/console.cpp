#include "checkingservice/console/console.h"

#include <httplib.h>
#include <arpa/inet.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <functional>
#include <thread>
#include <unordered_map>

#include "checkingservice/admin.h"
#include "checkingservice/audit.h"
#include "checkingservice/events.h"
#include "checkingservice/list_file.h"
#include "checkingservice/password.h"
#include "checkingservice/rule_index.h"
#include "checkingservice/store_factory.h"

namespace pv::check {
namespace {

using json = nlohmann::json;

constexpr const char *kCookie = "pvconsole";
constexpr int64_t kHour = 3600 * 1000;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kTextScanRows = 200000;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char *>(raw.data()),
                 raw.size());
  hex.pop_back();
  return hex;
}

std::string digest_hex(std::string_view text) {
  unsigned char out[32];
  crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char *>(text.data()),
                     text.size(), nullptr, 0);
  char hex[65];
  sodium_bin2hex(hex, sizeof hex, out, sizeof out);
  return hex;
}

bool same_secret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A refused input: the message belongs next to one field of the form.
struct FieldError : std::runtime_error {
  FieldError(std::string field, const std::string &message)
      : std::runtime_error(message), field(std::move(field)) {}
  std::string field;
};

void check_field(const std::string &field, const std::string &problem) {
  if (!problem.empty()) throw FieldError(field, problem);
}

std::string check_list_name(std::string_view name) {
  if (name.empty()) return "a list needs a name";
  if (name.size() > 128) return "list names are at most 128 bytes";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "the name holds a control character";
  }
  return {};
}

// Bytes in the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
size_t utf8_length(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) return 2;
  if ((c & 0xf0) == 0xe0) return 3;
  if (c >= 0xf0 && c <= 0xf4) return 4;
  return 0;
}

// UTF-8 without NUL bytes; anything else is not a list file.
bool is_text(std::string_view data) {
  for (size_t i = 0; i < data.size();) {
    const size_t length = utf8_length(static_cast<unsigned char>(data[i]));
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
std::vector<std::string> candidate_keys(RuleKind kind, const AddressParts &address) {
  std::vector<std::string> keys;
  switch (kind) {
    case RuleKind::Exact:
      keys.push_back(address.canonical);
      break;
    case RuleKind::Prefix:
      for (size_t n = address.path.size(); n > 0; --n) {
        keys.push_back(address.host + address.path.substr(0, n));
      }
      keys.push_back(address.host);  // a prefix stored without a path means "/"
      break;
    case RuleKind::Host:
      keys.push_back(address.host);
      break;
    case RuleKind::Domain:
      for (std::string_view domain = address.host;;) {
        keys.emplace_back(domain);
        const size_t dot = domain.find('.');
        if (address.host_is_ip || dot == std::string_view::npos) break;
        domain.remove_prefix(dot + 1);
      }
      break;
  }
  return keys;
}

std::string precedence_text(const RuleRecord &rule) {
  std::string layer = rule.account
                          ? "account " + *rule.account +
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

json rule_json(const RuleRecord &rule) {
  return {{"scope", rule.account ? "account" : "global"},
          {"account", rule.account.value_or("")},
          {"action", action_name(rule.action)},
          {"kind", kind_name(rule.kind)},
          {"key", rule.key},
          {"precedence", precedence_text(rule)}};
}

json log_json(const QueryLogRow &row) {
  return {{"id", row.id},
          {"time", row.record.time_ms},
          {"account", row.record.account},
          {"verified", row.record.verified},
          {"address", row.record.address},
          {"verdict", row.record.verdict},
          {"reason", row.record.reason}};
}

std::string csv_field(const std::string &text) {
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
  FailureLimiter(unsigned limit, int64_t window_ms) : limit_(limit), window_ms_(window_ms) {}

  // Milliseconds until another attempt is allowed; 0: allowed now.
  int64_t wait_ms(const std::string &key, int64_t now) {
    std::lock_guard lock(mutex_);
    auto it = failures_.find(key);
    if (it == failures_.end()) return 0;
    prune(it->second, now);
    if (it->second.size() < limit_) return 0;
    return it->second.front() + window_ms_ - now;
  }
  void failed(const std::string &key, int64_t now) {
    std::lock_guard lock(mutex_);
    if (failures_.size() > 100000) {  // a flood of names cannot grow the map without bound
      for (auto it = failures_.begin(); it != failures_.end();) {
        prune(it->second, now);
        it = it->second.empty() ? failures_.erase(it) : std::next(it);
      }
    }
    auto &times = failures_[key];
    prune(times, now);
    times.push_back(now);
    while (times.size() > limit_) times.pop_front();
  }
  void clear(const std::string &key) {
    std::lock_guard lock(mutex_);
    failures_.erase(key);
  }

 private:
  void prune(std::deque<int64_t> &times, int64_t now) const {
    while (!times.empty() && times.front() <= now - window_ms_) times.pop_front();
  }
  std::mutex mutex_;
  unsigned limit_;
  int64_t window_ms_;
  std::unordered_map<std::string, std::deque<int64_t>> failures_;
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
    int64_t scope;  // account id, 0 for global
    RuleKind kind;
    Action action;
    uint32_t offset, length;
  };

  void account(int64_t id, const std::string &name) { names_[id] = name; }
  void rule(std::optional<int64_t> account, RuleKind kind, std::string_view key, Action action) {
    pending_.push_back({account.value_or(0), kind, action, static_cast<uint32_t>(keys_.size()),
                        static_cast<uint32_t>(key.size())});
    keys_.append(key);
  }
  void finish() {
    std::sort(pending_.begin(), pending_.end(), [this](const Entry &a, const Entry &b) {
      if (a.scope != b.scope) return a.scope < b.scope;
      if (a.kind != b.kind) return kind_name(a.kind) < kind_name(b.kind);
      return std::string_view(keys_).substr(a.offset, a.length) <
             std::string_view(keys_).substr(b.offset, b.length);
    });
    std::string keys;
    keys.reserve(keys_.size() + pending_.size());
    for (auto &entry : pending_) {
      const std::string_view key = std::string_view(keys_).substr(entry.offset, entry.length);
      entry.offset = static_cast<uint32_t>(keys.size());
      keys.append(key);
      keys.push_back('\n');
    }
    keys_ = std::move(keys);
    lowered_ = keys_;
    for (char &c : lowered_) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    entries_ = std::move(pending_);
    pending_ = {};
  }

  // Like ConsoleStore::rule_page with a search text: the rules holding it, in the same order.
  RulePage search(std::optional<int64_t> scope, std::string_view text, uint64_t offset,
                  uint64_t limit) const {
    RulePage page;
    std::string needle(text);
    for (char &c : needle) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (needle.find('\n') != std::string::npos) return page;  // no key holds one
    const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
    auto from = lowered_.begin();
    size_t next = 0;  // entries before this one are counted already
    for (;;) {
      const auto found = std::search(from, lowered_.end(), searcher);
      if (found == lowered_.end()) break;
      const auto at = static_cast<uint32_t>(found - lowered_.begin());
      next = static_cast<size_t>(
                 std::upper_bound(entries_.begin() + static_cast<std::ptrdiff_t>(next),
                                  entries_.end(), at,
                                  [](uint32_t value, const Entry &e) { return value < e.offset; }) -
                 entries_.begin());
      const Entry &entry = entries_[next - 1];
      from = lowered_.begin() + entry.offset + entry.length + 1;
      if (scope && entry.scope != *scope) continue;
      if (page.total >= offset && page.total - offset < limit) {
        std::optional<std::string> account;
        if (entry.scope != 0) {
          const auto name = names_.find(entry.scope);
          account = name != names_.end() ? name->second : "#" + std::to_string(entry.scope);
        }
        page.rules.push_back({std::move(account), entry.kind,
                              keys_.substr(entry.offset, entry.length), entry.action});
      }
      ++page.total;
    }
    return page;
  }
  std::optional<int64_t> account_id(const std::string &name) const {
    for (const auto &[id, account] : names_) {
      if (account == name) return id;
    }
    return std::nullopt;
  }

 private:
  std::unordered_map<int64_t, std::string> names_;
  std::vector<Entry> pending_, entries_;
  std::string keys_, lowered_;
};

// Hands one snapshot to the index builder and to the rule texts.
class SnapshotTee final : public SnapshotSink {
 public:
  SnapshotTee(IndexBuilder &builder, RuleTexts &texts) : builder_(builder), texts_(texts) {}
  void setting(std::string_view key, std::string_view value) override {
    builder_.setting(key, value);
  }
  void account(const AccountRecord &account) override {
    builder_.account(account);
    texts_.account(account.id, account.name);
  }
  void list(int64_t id, std::string_view name) override { builder_.list(id, name); }
  void rule(std::optional<int64_t> account_id, RuleKind kind, std::string_view key,
            Action action) override {
    builder_.rule(account_id, kind, key, action);
    texts_.rule(account_id, kind, key, action);
  }
  void list_entry(int64_t list_id, RuleKind kind, std::string_view key) override {
    builder_.list_entry(list_id, kind, key);
  }
  void attachment(std::optional<int64_t> account_id, int64_t list_id, Action action) override {
    builder_.attachment(account_id, list_id, action);
  }

 private:
  IndexBuilder &builder_;
  RuleTexts &texts_;
};

struct ImportJob {
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::string state = "parsing";  // parsing, writing, done, failed, cancelled
  uint64_t done = 0, total = 0, added = 0, lines = 0;
  std::vector<ListFileProblem> problems;
  size_t problem_count = 0;
  std::string error;
  std::thread thread;
};

struct Session {
  std::string digest;
  SessionRecord record;
};

thread_local const Session *t_session = nullptr;

}  // namespace

class Console::Impl {
 public:
  explicit Impl(ConsoleOptions options)
      : options_(std::move(options)),
        by_client_(options_.client_failures, options_.failure_window_ms),
        by_name_(options_.name_failures, options_.failure_window_ms) {
    // The console never makes a database of its own: that is pvcheckctl init's job.
    if (!is_postgres_address(options_.db) && !std::filesystem::exists(options_.db)) {
      throw std::runtime_error("no database " + options_.db +
                               " (pvcheckctl --db FILE init makes one)");
    }
    const auto opened = open_store(options_.db, OpenMode::Existing);  // refused: not started
    Store &probe = *opened;
    // Unknown names are checked against a hash of the same cost as real ones: the answer
    // and its timing must not tell them apart.
    const auto admins = probe.administrators();
    stand_in_hash_ = admins.empty() ? hash_password(random_hex(16)) : admins.front().password_hash;
    setup();
  }

  ~Impl() {
    stop();
    std::lock_guard lock(jobs_mutex_);
    for (auto &[id, job] : jobs_) {
      job->cancel = true;
      if (job->thread.joinable()) job->thread.join();
    }
  }

  int bind() {
    const int port =
        options_.port == 0
            ? server_.bind_to_any_port(options_.address)
            : (server_.bind_to_port(options_.address, options_.port) ? options_.port : -1);
    if (port < 0) {
      throw std::runtime_error("cannot listen on " + options_.address + ":" +
                               std::to_string(options_.port));
    }
    return port;
  }
  void run() { server_.listen_after_bind(); }
  void stop() { server_.stop(); }

 private:
  // One connection per serving thread: SQLite handles are not shared between threads.
  Store &store() {
    thread_local std::unique_ptr<Store> store;
    thread_local std::string path;
    if (!store || path != options_.db) {
      store = open_store(options_.db, OpenMode::Existing);
      path = options_.db;
    }
    store->reconnect();  // a database server restarted since: this request fails, not all
    return *store;
  }

  static void send_json(httplib::Response &res, const json &body, int status = 200) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                    "application/json; charset=utf-8");
  }
  static void send_error(httplib::Response &res, int status, const std::string &message,
                         const std::string &field = {}) {
    json body = {{"error", message}};
    if (!field.empty()) body["fields"] = {{field, message}};
    send_json(res, body, status);
  }

  static json body_of(const httplib::Request &req) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object()) throw FieldError("", "the request body must be a JSON object");
    return body;
  }
  static std::string text(const json &body, const char *field) {
    const auto it = body.find(field);
    if (it == body.end() || it->is_null()) return {};
    if (!it->is_string()) throw FieldError(field, std::string(field) + " must be text");
    return it->get<std::string>();
  }
  static uint64_t param_number(const httplib::Request &req, const char *name, uint64_t fallback,
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

  Action action_field(const json &body, const char *field = "action") {
    const auto action = parse_action(text(body, field));
    if (!action) throw FieldError(field, "choose allow or forbid");
    return *action;
  }
  RuleKind kind_field(const json &body) {
    const auto kind = parse_kind(text(body, "kind"));
    if (!kind) throw FieldError("kind", "choose exact, prefix, host or domain");
    return *kind;
  }
  std::string pattern_field(const json &body, RuleKind kind) {
    const std::string pattern = text(body, "pattern");
    if (trim(pattern).empty()) throw FieldError("pattern", "give a pattern");
    const PatternResult result = normalize_pattern(kind, pattern);
    check_field("pattern", result.error);
    return result.key;
  }
  Scope scope_field(const json &body) {
    const std::string scope = text(body, "scope");
    if (scope == "global") return Scope::global();
    if (scope != "account") throw FieldError("scope", "choose global or an account");
    const std::string account = text(body, "account");
    if (account.empty()) throw FieldError("account", "choose an account");
    for (const auto &a : store().accounts()) {
      if (a.name == account) return Scope::of(account);
    }
    throw FieldError("account", "no account named \"" + account + "\"");
  }
  std::string existing_account(const json &body) {
    const std::string name = text(body, "name");
    for (const auto &a : store().accounts()) {
      if (a.name == name) return name;
    }
    throw FieldError("name",
                     name.empty() ? "choose an account" : "no account named \"" + name + "\"");
  }
  std::string existing_list(const std::string &name, const char *field = "name") {
    for (const auto &l : store().lists()) {
      if (l.name == name) return name;
    }
    throw FieldError(field, name.empty() ? "choose a list" : "no list named \"" + name + "\"");
  }

  AuditedAdminStore audited() {
    return AuditedAdminStore(store(), store(), t_session ? t_session->record.administrator : "?");
  }

  // Registers a handler; errors become JSON answers, field errors 400 with the field named.
  template <typename Fn>
  static auto wrap(Fn fn) {
    return [fn](const httplib::Request &req, httplib::Response &res) {
      try {
        fn(req, res);
      } catch (const FieldError &e) {
        send_error(res, 400, e.what(), e.field);
      } catch (const StoreError &e) {
        send_error(res, 400, e.what());
      } catch (const std::exception &e) {
        log_error(std::string("console: ") + e.what());
        send_error(res, 500, "internal error; see the console's log");
      }
    };
  }
  template <typename Fn>
  void get(const std::string &path, Fn fn) {
    server_.Get(path, wrap(fn));
  }
  template <typename Fn>
  void post(const std::string &path, Fn fn) {
    server_.Post(path, wrap(fn));
  }

  static bool is_public(const std::string &path) {
    return path == "/login" || path == "/api/login" || path.starts_with("/static/") ||
           path == "/favicon.ico";
  }

  // Every request passes here first: sessions, CSRF and the security headers.
  // An address literal or localhost, with any port, or a name given with --host. Rebinding
  // needs a name of the attacker's, so literals are safe whatever the console listens on.
  bool host_allowed(std::string_view host) const {
    if (host.starts_with('[')) return host.find(']') != std::string_view::npos;  // IPv6
    if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
      host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    in_addr v4{};
    if (name == "localhost" || inet_pton(AF_INET, name.c_str(), &v4) == 1) return true;
    return std::find(options_.hosts.begin(), options_.hosts.end(), name) != options_.hosts.end();
  }

  httplib::Server::HandlerResponse gate(const httplib::Request &req, httplib::Response &res) {
    t_session = nullptr;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; object-src 'none'; "
                   "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    res.set_header("Cache-Control", "no-store");
    if (!host_allowed(req.get_header_value("Host"))) {
      // A web page whose name was rebound to this address must not reach the console, not even
      // its login: a name is served only when the administrator gave it.
      send_error(res, 421, "this console is not served under that name; see pvconsole --host");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
      res.set_header("Allow", "GET, HEAD, POST");
      send_error(res, 405, "the console takes GET and POST only");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (is_public(req.path)) {
      // This runs before a body is read: anyone may log in, but not with megabytes.
      const bool bounded = req.get_header_value<uint64_t>("Content-Length") <= 4096 &&
                           !req.has_header("Transfer-Encoding");
      if (bounded) return httplib::Server::HandlerResponse::Unhandled;
      send_error(res, 413, "too large");
      return httplib::Server::HandlerResponse::Handled;
    }

    thread_local Session session;
    const std::string token = cookie(req);
    std::optional<SessionRecord> record;
    if (!token.empty()) {
      session.digest = digest_hex(token);
      try {
        record = store().touch_session(session.digest, now_ms(), options_.session_idle_ms,
                                       options_.session_lifetime_ms);
      } catch (const std::exception &e) {
        log_error(std::string("console: sessions: ") + e.what());
        send_error(res, 503, "the database cannot be read; try again");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    if (!record) {
      if (req.path.starts_with("/api/")) {
        send_error(res, 401, "log in first");
      } else {
        res.status = 303;
        res.set_header("Location", "/login");
      }
      return httplib::Server::HandlerResponse::Handled;
    }
    session.record = *record;
    if (req.method != "GET" && req.method != "HEAD" &&
        !same_secret(req.get_header_value("X-CSRF-Token"), session.record.csrf)) {
      send_error(res, 403, "this change lacks the page's CSRF token; reload the page");
      return httplib::Server::HandlerResponse::Handled;
    }
    t_session = &session;
    return httplib::Server::HandlerResponse::Unhandled;
  }

  static std::string cookie(const httplib::Request &req) {
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

  std::string cookie_attributes() const {
    return std::string("; Path=/; HttpOnly; SameSite=Strict") +
           (options_.secure_cookies ? "; Secure" : "");
  }

  void serve_file(httplib::Response &res, const std::string &name, const char *type) {
    std::ifstream in(options_.static_dir + "/" + name, std::ios::binary);
    if (!in) {
      send_error(res, 500, "the console's pages are missing: " + options_.static_dir);
      return;
    }
    std::ostringstream content;
    content << in.rdbuf();
    res.set_content(content.str(), type);
  }

  void login(const httplib::Request &req, httplib::Response &res) {
    // A form on another site can post text/plain but not JSON without asking first: no
    // logging a browser into someone else's session.
    if (!req.get_header_value("Content-Type").starts_with("application/json")) {
      send_error(res, 415, "send the login as application/json");
      return;
    }
    const json body = body_of(req);
    const std::string name = text(body, "name");
    const std::string password = text(body, "password");
    const int64_t now = now_ms();
    const std::string client_key = "client " + req.remote_addr;
    const std::string name_key = "name " + name;
    const int64_t wait =
        std::max(by_client_.wait_ms(client_key, now), by_name_.wait_ms(name_key, now));
    if (wait > 0) {
      res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
      send_error(res, 429,
                 "too many failed logins for this name or from this address; try again in " +
                     std::to_string((wait + 59999) / 60000) + " minute(s)");
      return;
    }
    std::optional<std::string> hash;
    for (const auto &admin : store().administrators()) {
      if (admin.name == name) hash = admin.password_hash;
    }
    bool ok = false;
    {
      // One slow hash at a time: each takes tens of megabytes.
      std::lock_guard lock(verify_mutex_);
      const bool matches = verify_password(hash ? *hash : stand_in_hash_, password);
      ok = hash && matches;
    }
    if (!ok) {
      by_client_.failed(client_key, now);
      by_name_.failed(name_key, now);
      log_event("console: failed login for \"" + printable(name, 64) + "\" from " +
                printable(req.remote_addr, 64));
      send_error(res, 401, "wrong name or password");
      return;
    }
    by_name_.clear(name_key);
    const std::string token = random_hex(32);
    SessionRecord session{name, random_hex(32), now, now};
    store().create_session(digest_hex(token), session);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + cookie_attributes());
    send_json(res, {{"name", name}, {"csrf", session.csrf}});
  }

  void logout(httplib::Response &res) {
    store().end_session(t_session->digest);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + cookie_attributes() + "; Max-Age=0");
    send_json(res, {{"ok", true}});
  }

  // The rule behind a verdict of the index, found again in the store: the index keeps no
  // patterns, only which layer, kind and list decided, so the store is asked for the keys of
  // that kind the address could match, most specific first, as the index ranks them. Null
  // when the policy or a move decided (or the store changed since the index was built).
  json deciding_rule(const RuleIndex &current, const std::string &name,
                     const std::string &address, const CheckAnswer &answer) {
    const RuleIndex::Account *account = current.find_account(name);
    if (account && account != &current.stranger() && !account->password_hash) account = nullptr;
    if (!account) account = &current.stranger();
    const AddressParts parts = parse_address(address);
    const RuleIndex::Decision decision = current.decide(*account, parts);
    const std::vector<std::string> keys = candidate_keys(decision.kind, parts);
    const std::string_view kind = kind_name(decision.kind);
    const std::string_view action = decision.verdict == Verdict::Forbid ? "forbid" : "allow";
    switch (decision.layer) {
      case RuleIndex::Layer::Account:
      case RuleIndex::Layer::Global: {
        const bool own = decision.layer == RuleIndex::Layer::Account;
        std::optional<RuleRecord> rule;
        try {
          rule = store().first_rule(own ? Scope::of(account->name) : Scope::global(),
                                    decision.kind, keys);
        } catch (const StoreError &) {  // removed since the index was built
        }
        if (!rule) return nullptr;
        return {{"scope", own ? "account" : "global"},
                {"account", own ? json(account->name) : json(nullptr)},
                {"list", nullptr},
                {"action", rule->action == Action::Forbid ? "forbid" : "allow"},
                {"kind", kind},
                {"pattern", rule->key},
                {"precedence", precedence_text(*rule)}};
      }
      case RuleIndex::Layer::List: {
        // describe() names the list as "list NAME KIND"; the name may hold blanks.
        std::string_view list = answer.reason;
        if (!list.starts_with("list ") || list.size() < 6 + kind.size()) return nullptr;
        list = list.substr(5, list.size() - 5 - kind.size() - 1);
        std::optional<std::string> key;
        try {
          key = store().first_list_entry(std::string(list), decision.kind, keys);
        } catch (const StoreError &) {  // renamed or removed since the index was built
        }
        if (!key) return nullptr;
        return {{"scope", "list"}, {"account", nullptr}, {"list", list}, {"action", action},
                {"kind", kind},    {"pattern", *key}};
      }
      case RuleIndex::Layer::Relocation:
      case RuleIndex::Layer::Default: break;
    }
    return nullptr;
  }

  std::shared_ptr<const RuleIndex> index() { return snapshot().first; }

  std::pair<std::shared_ptr<const RuleIndex>, std::shared_ptr<const RuleTexts>> snapshot() {
    std::lock_guard lock(index_mutex_);
    const uint64_t generation = store().generation();
    if (!index_ || index_->generation() != generation) {
      IndexBuilder builder;
      auto texts = std::make_shared<RuleTexts>();
      SnapshotTee tee(builder, *texts);
      index_ = builder.finish(store().load(tee));
      texts->finish();
      rule_texts_ = std::move(texts);
    }
    return {index_, rule_texts_};
  }

  json dashboard() {
    const int64_t now = now_ms();
    {
      std::lock_guard lock(dashboard_mutex_);
      if (now - dashboard_time_ < 2000 && !dashboard_.is_null()) return dashboard_;
    }
    Store &s = store();
    json out;
    const int64_t this_hour = now - now % kHour;
    std::map<int64_t, CounterRow> hours;
    for (const auto &row : s.hourly_counters(this_hour - 23 * kHour)) hours[row.start_ms] = row;
    json hourly = json::array();
    for (int64_t h = this_hour - 23 * kHour; h <= this_hour; h += kHour) {
      const auto it = hours.find(h);
      hourly.push_back({{"start", h},
                        {"queries", it == hours.end() ? 0 : it->second.queries},
                        {"forbidden", it == hours.end() ? 0 : it->second.forbidden}});
    }
    const int64_t today = now - now % kDay;
    std::map<int64_t, CounterRow> days;
    for (const auto &row : s.daily_counters(today - 29 * kDay)) days[row.start_ms] = row;
    json daily = json::array();
    for (int64_t d = today - 29 * kDay; d <= today; d += kDay) {
      const auto it = days.find(d);
      daily.push_back({{"start", d},
                       {"queries", it == days.end() ? 0 : it->second.queries},
                       {"forbidden", it == days.end() ? 0 : it->second.forbidden}});
    }
    out["hourly"] = hourly;
    out["daily"] = daily;

    json top = json::object();
    for (const auto &[field, kind] : {std::pair{"forbidden_addresses", TopKind::ForbiddenAddress},
                                      {"forbidden_hosts", TopKind::ForbiddenHost},
                                      {"accounts", TopKind::Account},
                                      {"rules", TopKind::Rule}}) {
      const TopCounts counts = s.top_counts(kind, this_hour - 23 * kHour, 10);
      json rows = json::array();
      for (const auto &row : counts.rows) rows.push_back({{"key", row.key}, {"count", row.count}});
      top[field] = rows;
      top[std::string(field) + "_others"] = counts.others;
    }
    out["top"] = top;
    json instances = json::array();
    for (const auto &h : s.health()) {
      // An instance reports every 5 s; one that has not for three times that has lost its
      // database connection (it cannot write its row then), or ended without stopping.
      const bool reporting = h.stopped_ms == 0 && now - h.time_ms < 15000;
      json outage = nullptr;
      if (h.outage_since_ms > 0) {
        outage = {{"since", h.outage_since_ms},
                  {"seconds", h.outage_ms / 1000},
                  {"buffered", h.outage_buffered},
                  {"dropped", h.outage_dropped}};
      }
      instances.push_back({{"instance", h.instance},
                           {"reported", h.time_ms},
                           {"reporting", reporting},
                           {"state", h.stopped_ms ? "stopped" : reporting ? "answering"
                                                                          : "not reporting"},
                           {"stopped", h.stopped_ms},
                           {"last_outage", outage},
                           {"started", h.started_ms},
                           {"generation", h.generation},
                           {"loaded", h.loaded_ms},
                           {"index_age_s", h.loaded_ms > 0 ? (now - h.loaded_ms) / 1000 : 0},
                           {"rules", h.rules},
                           {"queries_per_second", h.queries_per_second},
                           {"dropped_log_records", h.dropped_log_records},
                           {"slow_checks_per_second", h.slow_checks_per_second},
                           {"slow_check_budget", h.slow_check_budget},
                           {"slow_checks_refused", h.slow_checks_refused}});
    }
    out["health"] = {
        {"generation", s.generation()}, {"instances", instances}, {"log_rows", s.log_rows()}};
    out["now"] = now;
    std::lock_guard lock(dashboard_mutex_);
    dashboard_ = out;
    dashboard_time_ = now;
    return out;
  }

  LogFilter log_filter(const httplib::Request &req, uint64_t default_limit, uint64_t max_limit) {
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
    filter.from_ms = static_cast<int64_t>(param_number(req, "from", 0, INT64_MAX));
    filter.to_ms = static_cast<int64_t>(param_number(req, "to", 0, INT64_MAX));
    if (filter.from_ms && filter.to_ms && filter.to_ms <= filter.from_ms) {
      throw FieldError("to", "the end of the time range must come after its start");
    }
    filter.before_id = static_cast<int64_t>(param_number(req, "before", 0, INT64_MAX));
    filter.limit = param_number(req, "limit", default_limit, max_limit);
    return filter;
  }

  void start_import(const httplib::Request &req, httplib::Response &res) {
    const std::string list =
        existing_list(req.has_param("name") ? req.get_param_value("name") : "");
    const std::string kind_text = req.has_param("kind") ? req.get_param_value("kind") : "domain";
    const auto kind = parse_kind(kind_text);
    if (!kind) throw FieldError("kind", "choose exact, prefix, host or domain");
    const bool replace = req.has_param("replace") && req.get_param_value("replace") == "1";
    if (req.body.empty()) throw FieldError("file", "the file is empty");
    if (!is_text(req.body)) {
      throw FieldError("file", "this is not a text file: a list file holds one entry a line");
    }
    auto job = std::make_shared<ImportJob>();
    const std::string id = random_hex(12);
    const std::string actor = t_session->record.administrator;
    {
      std::lock_guard lock(jobs_mutex_);
      // Finished jobs are kept only until the next import starts.
      std::erase_if(jobs_, [](auto &entry) {
        bool finished = false;
        {
          std::lock_guard job_lock(entry.second->mutex);
          finished = entry.second->state != "parsing" && entry.second->state != "writing";
        }
        if (finished && entry.second->thread.joinable()) entry.second->thread.join();
        return finished;
      });
      jobs_[id] = job;
    }
    job->thread =
        std::thread([this, job, list, kind = *kind, replace, actor, data = req.body]() mutable {
          run_import(*job, list, kind, replace, actor, std::move(data));
        });
    send_json(res, {{"job", id}});
  }

  void run_import(ImportJob &job, const std::string &list, RuleKind kind, bool replace,
                  const std::string &actor, std::string data) {
    try {
      std::istringstream in(std::move(data));
      ListFile file = read_list_file(in, kind);
      // Sorted, the rows go into the table's B-tree in order: the write lock is held shorter.
      std::sort(file.entries.begin(), file.entries.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? kind_name(a.first) < kind_name(b.first) : a.second < b.second;
      });
      {
        std::lock_guard lock(job.mutex);
        job.state = "writing";
        job.total = file.entries.size();
        job.lines = file.lines;
        job.problem_count = file.problems.size();
        job.problems.assign(file.problems.begin(),
                            file.problems.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(
                                                        100, file.problems.size())));
      }
      const auto owned = open_store(options_.db, OpenMode::Existing);
      Store &own = *owned;
      AuditedAdminStore trail(own, own, actor);
      uint64_t added = 0;
      trail.record(
          replace ? "list.import (replace)" : "list.import", list,
          [&] { return trail.list_state(list); },
          [&] {
            added = own.import_list_entries(list, file.entries, replace, [&](uint64_t done) {
              std::lock_guard lock(job.mutex);
              job.done = done;
              return !job.cancel.load();
            });
          },
          [&] { return trail.list_state(list); });
      std::lock_guard lock(job.mutex);
      job.added = added;
      job.state = "done";
    } catch (const std::exception &e) {
      std::lock_guard lock(job.mutex);
      job.state = job.cancel ? "cancelled" : "failed";
      job.error = e.what();
    }
  }

  json job_json(ImportJob &job) {
    std::lock_guard lock(job.mutex);
    json problems = json::array();
    for (const auto &p : job.problems)
      problems.push_back({{"line", p.line}, {"message", p.message}});
    return {{"state", job.state},
            {"done", job.done},
            {"total", job.total},
            {"added", job.added},
            {"lines", job.lines},
            {"problems", problems},
            {"problem_count", job.problem_count},
            {"error", job.error}};
  }

  std::shared_ptr<ImportJob> find_job(const std::string &id) {
    std::lock_guard lock(jobs_mutex_);
    const auto it = jobs_.find(id);
    if (it == jobs_.end()) throw FieldError("job", "no such import");
    return it->second;
  }

  void setup();

  ConsoleOptions options_;
  httplib::Server server_;
  FailureLimiter by_client_;
  FailureLimiter by_name_;
  std::string stand_in_hash_;
  std::mutex verify_mutex_;
  std::mutex index_mutex_;
  std::shared_ptr<const RuleIndex> index_;
  std::shared_ptr<const RuleTexts> rule_texts_;
  std::mutex dashboard_mutex_;
  json dashboard_;
  int64_t dashboard_time_ = 0;
  std::mutex jobs_mutex_;
  std::map<std::string, std::shared_ptr<ImportJob>> jobs_;
};

void Console::Impl::setup() {
  const unsigned threads = std::max(2u, options_.threads);
  server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_.set_payload_max_length(options_.max_upload);
  server_.set_read_timeout(30, 0);
  server_.set_keep_alive_timeout(15);
  // Heads and bodies go out in separate writes; without this each answer waits for the
  // client's delayed acknowledgement.
  server_.set_tcp_nodelay(true);
  server_.set_pre_routing_handler(
      [this](const httplib::Request &req, httplib::Response &res) { return gate(req, res); });
  if (!server_.set_mount_point("/static", options_.static_dir)) {
    throw std::runtime_error("no console pages in " + options_.static_dir);
  }

  server_.Get("/login", [this](const httplib::Request &, httplib::Response &res) {
    serve_file(res, "login.html", "text/html; charset=utf-8");
  });
  server_.Get("/", [this](const httplib::Request &, httplib::Response &res) {
    serve_file(res, "index.html", "text/html; charset=utf-8");
  });

  post("/api/login", [this](const auto &req, auto &res) { login(req, res); });
  post("/api/logout", [this](const auto &, auto &res) { logout(res); });
  get("/api/session", [](const auto &, auto &res) {
    send_json(res, {{"name", t_session->record.administrator}, {"csrf", t_session->record.csrf}});
  });
  get("/api/dashboard", [this](const auto &, auto &res) { send_json(res, dashboard()); });

  // Accounts.
  get("/api/accounts", [this](const auto &, auto &res) {
    json out = json::array();
    for (const auto &a : store().accounts()) {
      out.push_back({{"name", a.name},
                     {"policy", action_name(a.policy)},
                     {"password", a.password_hash.has_value()},
                     {"relocation", a.relocation},
                     {"stranger", a.name == kStrangerAccount}});
    }
    send_json(res, out);
  });
  post("/api/accounts/add", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string name = text(body, "name");
    check_field("name", check_account_name(name));
    // No password is allowed: such an account is answered with the stranger profile.
    const std::string password = text(body, "password");
    if (!password.empty()) check_field("password", check_password(password));
    const Action policy = action_field(body, "policy");
    for (const auto &a : store().accounts()) {
      if (a.name == name) throw FieldError("name", "account \"" + name + "\" exists already");
    }
    std::optional<std::string> hash;
    if (!password.empty()) hash = hash_password(password);
    audited().add_account(name, hash, policy);
    send_json(res, {{"ok", true}});
  });
  post("/api/accounts/remove", [this](const auto &req, auto &res) {
    const std::string name = existing_account(body_of(req));
    if (name == kStrangerAccount)
      throw FieldError("name", "the stranger profile cannot be removed");
    audited().remove_account(name);
    send_json(res, {{"ok", true}});
  });
  post("/api/accounts/password", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string name = existing_account(body);
    if (name == kStrangerAccount)
      throw FieldError("name", "the stranger profile takes no password");
    const std::string password = text(body, "password");
    if (password.empty()) throw FieldError("password", "give the new password");
    check_field("password", check_password(password));
    audited().set_password(name, hash_password(password));
    send_json(res, {{"ok", true}});
  });
  post("/api/accounts/policy", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string name = existing_account(body);
    audited().set_policy(name, action_field(body, "policy"));
    send_json(res, {{"ok", true}});
  });
  post("/api/accounts/move", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string name = existing_account(body);
    const std::string address = text(body, "address");
    check_field("address", check_relocation(address));
    audited().set_relocation(name, address);
    send_json(res, {{"ok", true}});
  });
  post("/api/accounts/stay", [this](const auto &req, auto &res) {
    audited().set_relocation(existing_account(body_of(req)), "");
    send_json(res, {{"ok", true}});
  });

  // Rules.
  get("/api/rules", [this](const auto &req, auto &res) {
    std::optional<Scope> scope;
    const std::string which = req.has_param("scope") ? req.get_param_value("scope") : "";
    if (which == "global")
      scope = Scope::global();
    else if (which == "account")
      scope = scope_field({{"scope", "account"}, {"account", req.get_param_value("account")}});
    else if (!which.empty())
      throw FieldError("scope", "choose all, global or an account");
    const std::string text = req.has_param("q") ? req.get_param_value("q") : "";
    const uint64_t offset = param_number(req, "offset", 0, UINT32_MAX);
    const uint64_t limit = param_number(req, "limit", 50, 1000);
    RulePage page;
    if (text.empty()) {
      page = store().rule_page(scope, text, offset, limit);
    } else {
      const auto texts = snapshot().second;
      std::optional<int64_t> id;
      if (scope && scope->account) {
        id = texts->account_id(*scope->account);
        if (!id) throw FieldError("account", "no account named \"" + *scope->account + "\"");
      } else if (scope) {
        id = 0;
      }
      page = texts->search(id, text, offset, limit);
    }
    json rules = json::array();
    for (const auto &r : page.rules) rules.push_back(rule_json(r));
    send_json(res, {{"total", page.total}, {"rules", rules}});
  });
  post("/api/rules/add", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const Scope scope = scope_field(body);
    const Action action = action_field(body);
    const RuleKind kind = kind_field(body);
    const std::string key = pattern_field(body, kind);
    audited().add_rule(scope, kind, key, action);
    send_json(res, {{"ok", true}, {"key", key}});
  });
  post("/api/rules/remove", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const Scope scope = scope_field(body);
    const RuleKind kind = kind_field(body);
    const std::string key = pattern_field(body, kind);
    if (!audited().remove_rule(scope, kind, key)) throw FieldError("pattern", "no such rule");
    send_json(res, {{"ok", true}});
  });

  // Lists.
  get("/api/lists", [this](const auto &, auto &res) {
    const auto attachments = store().attachments();
    json out = json::array();
    for (const auto &l : store().lists()) {
      json attached = json::array();
      for (const auto &a : attachments) {
        if (a.list != l.name) continue;
        attached.push_back({{"scope", a.account ? "account" : "global"},
                            {"account", a.account.value_or("")},
                            {"action", action_name(a.action)}});
      }
      out.push_back({{"name", l.name}, {"entries", l.entries}, {"attachments", attached}});
    }
    send_json(res, out);
  });
  post("/api/lists/create", [this](const auto &req, auto &res) {
    const std::string name = text(body_of(req), "name");
    check_field("name", check_list_name(name));
    for (const auto &l : store().lists()) {
      if (l.name == name) throw FieldError("name", "list \"" + name + "\" exists already");
    }
    audited().create_list(name);
    send_json(res, {{"ok", true}});
  });
  post("/api/lists/remove", [this](const auto &req, auto &res) {
    audited().remove_list(existing_list(text(body_of(req), "name")));
    send_json(res, {{"ok", true}});
  });
  post("/api/lists/rename", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string from = existing_list(text(body, "name"));
    const std::string to = text(body, "new_name");
    check_field("new_name", check_list_name(to));
    for (const auto &l : store().lists()) {
      if (l.name == to) throw FieldError("new_name", "list \"" + to + "\" exists already");
    }
    auto trail = audited();
    trail.record(
        "list.rename", from, [&] { return "named " + from; },
        [&] { store().rename_list(from, to); }, [&] { return "named " + to; });
    send_json(res, {{"ok", true}});
  });
  get("/api/lists/entries", [this](const auto &req, auto &res) {
    const std::string list =
        existing_list(req.has_param("name") ? req.get_param_value("name") : "");
    const EntryPage page = store().list_page(
        list, req.has_param("q") ? req.get_param_value("q") : "",
        param_number(req, "offset", 0, UINT32_MAX), param_number(req, "limit", 50, 1000));
    json entries = json::array();
    for (const auto &[kind, key] : page.entries)
      entries.push_back({{"kind", kind_name(kind)}, {"key", key}});
    send_json(res, {{"total", page.total}, {"entries", entries}});
  });
  post("/api/lists/entries/add", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string list = existing_list(text(body, "name"));
    const RuleKind kind = kind_field(body);
    const std::pair<RuleKind, std::string> entry(kind, pattern_field(body, kind));
    audited().add_list_entries(list, std::span(&entry, 1), false);
    send_json(res, {{"ok", true}, {"key", entry.second}});
  });
  post("/api/lists/entries/delete", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string list = existing_list(text(body, "name"));
    const RuleKind kind = kind_field(body);
    if (!audited().remove_list_entry(list, kind, pattern_field(body, kind))) {
      throw FieldError("pattern", "no such entry");
    }
    send_json(res, {{"ok", true}});
  });
  post("/api/lists/attach", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string list = existing_list(text(body, "name"));
    const Scope scope = scope_field(body);
    audited().attach(list, scope, action_field(body));
    send_json(res, {{"ok", true}});
  });
  post("/api/lists/detach", [this](const auto &req, auto &res) {
    const json body = body_of(req);
    const std::string list = existing_list(text(body, "name"));
    if (!audited().detach(list, scope_field(body))) throw FieldError("scope", "not attached there");
    send_json(res, {{"ok", true}});
  });
  post("/api/lists/import", [this](const auto &req, auto &res) { start_import(req, res); });
  get("/api/lists/import/status", [this](const auto &req, auto &res) {
    send_json(res, job_json(*find_job(req.has_param("job") ? req.get_param_value("job") : "")));
  });
  post("/api/lists/import/cancel", [this](const auto &req, auto &res) {
    find_job(text(body_of(req), "job"))->cancel = true;
    send_json(res, {{"ok", true}});
  });

  // The check tool answers from an index built by the service's own code.
  get("/api/check", [this](const auto &req, auto &res) {
    const std::string account = req.has_param("account") ? req.get_param_value("account") : "";
    const std::string address = req.has_param("address") ? req.get_param_value("address") : "";
    if (trim(address).empty()) throw FieldError("address", "give an address");
    const auto current = index();
    const CheckAnswer answer = check_address(*current, account, address);
    const std::string code = answer.reply.substr(0, 3);
    send_json(res, {{"reply", answer.reply},
                    {"verdict", code == "001"   ? "forbidden"
                                : code == "004" ? "moved"
                                                : "allowed"},
                    {"reason", answer.reason},
                    {"account_known", answer.known_account},
                    {"rule", deciding_rule(*current, account, address, answer)}});
  });

  // Query log and audit trail.
  get("/api/log", [this](const auto &req, auto &res) {
    LogFilter filter = log_filter(req, 50, 1000);
    // No index finds a substring, so a text search reads at most kTextScanRows records per
    // page, newest first: a page may come back short ("partial") with the id to go on below,
    // and the page stays fast however large the log is kept.
    int64_t continue_below = 0;
    if (!filter.text.empty()) {
      const auto [first, last] = store().log_window(0, UINT64_MAX);
      const int64_t high = filter.before_id > 0 ? std::min(filter.before_id, last + 1) : last + 1;
      filter.before_id = high;
      filter.after_id = std::max<int64_t>(high - 1 - kTextScanRows, first - 1);
      if (filter.after_id >= first) continue_below = filter.after_id + 1;
    }
    const auto rows = store().search_log(filter);
    json out = json::array();
    for (const auto &row : rows) out.push_back(log_json(row));
    const bool full = !rows.empty() && rows.size() == filter.limit;  // limit=0 asks for none
    send_json(res, {{"rows", out},
                    {"next_before", full ? rows.back().id : continue_below},
                    {"partial", !full && continue_below != 0}});
  });
  get("/api/log.csv", [this](const auto &req, auto &res) {
    const auto rows = store().search_log(log_filter(req, 100000, 100000));
    std::string csv = "time,account,verified,address,verdict,reason\r\n";
    for (const auto &row : rows) {
      csv += time_text(row.record.time_ms) + ',' + csv_field(row.record.account) + ',' +
             (row.record.verified ? "yes" : "no") + ',' + csv_field(row.record.address) + ',' +
             row.record.verdict + ',' + csv_field(row.record.reason) + "\r\n";
    }
    res.set_header("Content-Disposition", "attachment; filename=\"query-log.csv\"");
    res.set_content(csv, "text/csv; charset=utf-8");
  });
  get("/api/audit", [this](const auto &req, auto &res) {
    AuditFilter filter;
    filter.actor = req.has_param("actor") ? req.get_param_value("actor") : "";
    filter.text = req.has_param("q") ? req.get_param_value("q") : "";
    filter.from_ms = static_cast<int64_t>(param_number(req, "from", 0, INT64_MAX));
    filter.to_ms = static_cast<int64_t>(param_number(req, "to", 0, INT64_MAX));
    filter.before_id = static_cast<int64_t>(param_number(req, "before", 0, INT64_MAX));
    filter.limit = param_number(req, "limit", 50, 1000);
    json out = json::array();
    const auto records = store().audit(filter);
    for (const auto &r : records) {
      out.push_back({{"id", r.id},
                     {"time", r.time_ms},
                     {"actor", r.actor},
                     {"action", r.action},
                     {"target", r.target},
                     {"before", r.before},
                     {"after", r.after}});
    }
    send_json(res, {{"rows", out},
                    {"next_before",
                     !records.empty() && records.size() == filter.limit ? records.back().id : 0}});
  });
}

Console::Console(ConsoleOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Console::~Console() = default;
int Console::bind() { return impl_->bind(); }
void Console::run() { impl_->run(); }
void Console::stop() { impl_->stop(); }

}  // namespace pv::check
