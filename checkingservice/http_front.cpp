#include "checkingservice/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "checkingservice/events.h"

namespace pv::check {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOutHighWater = 64 * 1024;
constexpr auto kLinger = std::chrono::milliseconds(2000);
constexpr auto kSweepEvery = std::chrono::milliseconds(100);
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// Header names are ASCII; the C library's tolower would consult the locale on every byte.
bool iequals(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return fold(x) == fold(y);
         });
}

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

std::string canned_reply(int status, std::string_view body = "000") {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " ";
  text += reason_phrase(status);
  text +=
      "\r\nContent-Type: text/plain\r\nContent-Length: 3\r\nCache-Control: no-store\r\n"
      "Pragma: no-cache\r\nConnection: close\r\n\r\n";
  text += body;
  return text;
}

// On every reply the library writes, errors included; given once as default headers, they
// cost no per-reply validation.
const httplib::Headers &no_store_headers() {
  static const httplib::Headers headers = {{"Cache-Control", "no-store"},
                                           {"Pragma", "no-cache"}};
  return headers;
}

std::string peer_text(const sockaddr_storage &address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  return text;
}

// One client, for the per-client connection cap: an IPv4 address, or the /64 network of an
// IPv6 address, since one IPv6 host may use any address of its network.
std::string client_of(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
    if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      in6_addr network{};
      std::memcpy(&network, &in6->sin6_addr, 8);
      char text[INET6_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET6, &network, text, sizeof text);
      return std::string(text) + "/64";
    }
    in_addr v4{};
    std::memcpy(&v4, reinterpret_cast<const unsigned char *>(&in6->sin6_addr) + 12, 4);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &v4, text, sizeof text);
    return text;
  }
  return peer_text(address);
}

int port_of(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
  }
  return 0;
}

}  // namespace

Frame frame_request(std::string_view buffered, size_t max_head, size_t max_body,
                    size_t &scan_from) {
  Frame frame;
  // The head ends at the first empty line (CRLF CRLF; a bare LF is tolerated here and left to
  // the parser to refuse).
  size_t head_end = std::string_view::npos;
  const size_t limit = std::min(buffered.size(), max_head);
  for (size_t i = scan_from > 2 ? scan_from - 2 : 0; i < limit; ++i) {
    if (buffered[i] != '\n') continue;
    if (i + 1 < buffered.size() && buffered[i + 1] == '\n') {
      head_end = i + 2;
      break;
    }
    if (i + 2 < buffered.size() && buffered[i + 1] == '\r' && buffered[i + 2] == '\n') {
      head_end = i + 3;
      break;
    }
  }
  if (head_end == std::string_view::npos || head_end > max_head) {
    scan_from = limit;
    if (buffered.size() >= max_head) {
      frame.kind = Frame::Kind::Reject;
      frame.status = 431;
      frame.reason = "request head too large";
    }
    return frame;
  }

  std::optional<uint64_t> content_length;
  std::string_view head = buffered.substr(0, head_end);
  head.remove_prefix(std::min(head.size(), head.find('\n') + 1));  // request line
  while (!head.empty()) {
    const size_t eol = head.find('\n');
    std::string_view line = head.substr(0, eol);
    head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "transfer-encoding")) {
      frame.kind = Frame::Kind::Reject;
      frame.status = 501;
      frame.reason = "request body in transfer encoding";
      return frame;
    }
    if (iequals(name, "content-length")) {
      uint64_t length = 0;
      const bool digits = !value.empty() && value.size() <= 18 &&
                          std::all_of(value.begin(), value.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
      if (digits) {
        for (char c : value) length = length * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!digits || (content_length && *content_length != length)) {
        frame.kind = Frame::Kind::Reject;
        frame.status = 400;
        frame.reason = "invalid Content-Length";
        return frame;
      }
      content_length = length;
    }
  }
  const uint64_t body = content_length.value_or(0);
  if (body > max_body) {
    frame.kind = Frame::Kind::Reject;
    frame.status = 413;
    frame.reason = "request body too large";
    return frame;
  }
  if (buffered.size() < head_end + body) return frame;
  frame.kind = Frame::Kind::Complete;
  frame.length = head_end + static_cast<size_t>(body);
  return frame;
}

RequestLine split_request_line(std::string_view request) {
  RequestLine line;
  const size_t eol = request.find('\n');
  if (eol == std::string_view::npos) return line;
  std::string_view text = request.substr(0, eol);
  if (text.ends_with('\r')) text.remove_suffix(1);
  const size_t first = text.find(' ');
  const size_t last = text.rfind(' ');
  if (first == std::string_view::npos || last == first) return line;
  line.method = text.substr(0, first);
  line.target = text.substr(first + 1, last - first - 1);
  line.version = text.substr(last + 1);
  line.rest = request.substr(text.size());
  line.valid = !line.method.empty() && !line.target.empty();
  return line;
}

// The library's request parser and response writer, fed one completely buffered request at a
// time. Every request goes to the pre-routing handler: the checking query needs the raw
// target, and no other routes exist.
class HttpFront::Parser final : public httplib::Server {
 public:
  Parser(const HttpOptions &options, const HttpFront::Handler &handler, unsigned thread)
      : handler_(handler), thread_(thread) {
    set_keep_alive_max_count(options.max_requests_per_connection);
    set_keep_alive_timeout(std::max<time_t>(
        1, std::chrono::duration_cast<std::chrono::seconds>(options.idle_timeout).count()));
    set_payload_max_length(options.max_body);
    set_default_headers(no_store_headers());
    set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
      const Reply reply = handler_(req.method, target_, *peer_, thread_);
      res.status = reply.status;
      res.set_content(reply.body, "text/plain");
      return HandlerResponse::Handled;
    });
    // Requests the library itself refuses (bad request line, overlong target...).
    set_error_handler(HandlerWithResponse([this](const httplib::Request &,
                                                 httplib::Response &res) {
      if (res.body.empty()) {
        log_event("malformed request from " + printable(*peer_, 64) + ": HTTP status " +
                  std::to_string(res.status));
        res.set_content("000", "text/plain");
      }
      return HandlerResponse::Handled;
    }));
    set_exception_handler([this](const httplib::Request &, httplib::Response &res,
                                 std::exception_ptr) {
      log_event("internal error answering " + printable(*peer_, 64));
      res.status = 500;
      res.set_content("000", "text/plain");
    });
  }

  // target: the raw request target, which the library never sees (see RequestLine).
  bool run(httplib::Stream &stream, const std::string &peer, std::string_view target,
           bool close, bool &closed) {
    peer_ = &peer;
    target_ = target;
    return process_request(stream, close, closed, setup_);
  }

 private:
  const HttpFront::Handler &handler_;
  unsigned thread_;
  const std::string *peer_ = nullptr;
  std::string_view target_;
  const std::function<void(httplib::Request &)> setup_ = [](httplib::Request &) {};
};

namespace {

struct Connection {
  int fd = -1;
  uint64_t serial = 0;  // tells a reused descriptor from the connection it once was
  std::string peer;
  std::string client;  // what the per-client cap counts
  int peer_port = 0;
  std::string in;
  size_t scan_from = 0;
  std::string out;
  size_t out_offset = 0;
  uint32_t interest = 0;
  unsigned requests = 0;
  bool closing = false;
  bool parked = false;  // waiting for the gate's resume
  bool lingering = false;
  bool peer_done = false;
  Clock::time_point last_activity;
  Clock::time_point request_start;
  Clock::time_point last_progress;
  Clock::time_point linger_until;
};

// One buffered request as the library's stream: reads end where the request ends, writes
// collect the response so it leaves in one send. The request line may be replaced (see
// RequestLine); the rest is served as buffered.
class BufferedStream final : public httplib::Stream {
 public:
  BufferedStream(std::string_view first, std::string_view rest, Connection &connection)
      : first_(first), rest_(rest), connection_(connection) {}

  bool is_readable() const override { return position_ < first_.size() + rest_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char *ptr, size_t size) override {
    size_t n = 0;
    if (position_ < first_.size()) {
      n = std::min(size, first_.size() - position_);
      std::memcpy(ptr, first_.data() + position_, n);
    } else {
      const size_t at = position_ - first_.size();
      n = std::min(size, rest_.size() - at);
      std::memcpy(ptr, rest_.data() + at, n);
    }
    position_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char *ptr, size_t size) override {
    connection_.out.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    ip = connection_.peer;
    port = connection_.peer_port;
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    ip.clear();
    port = 0;
  }
  socket_t socket() const override { return connection_.fd; }

 private:
  std::string_view first_;
  std::string_view rest_;
  size_t position_ = 0;
  Connection &connection_;
};

}  // namespace

// Where resumes from other threads are left for a reactor. Shared with every resume handed
// out, so that a late resume after the reactor is gone finds it closed instead of freed.
struct HttpFront::Mailbox {
  std::mutex mutex;
  bool closed = false;
  int wake_fd = -1;
  std::vector<std::pair<int, uint64_t>> resumed;  // descriptor, serial

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd, &one, sizeof one);
  }
  void post(int fd, uint64_t serial) {
    std::lock_guard lock(mutex);
    if (closed) return;
    resumed.emplace_back(fd, serial);
    wake();
  }
};

class HttpFront::Reactor {
 public:
  Reactor(HttpFront &front, unsigned index)
      : front_(front), index_(index), parser_(front.options_, front.handler_, index),
        mailbox_(std::make_shared<Mailbox>()) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0) {
      if (epoll_ >= 0) ::close(epoll_);
      if (wake_ >= 0) ::close(wake_);
      throw std::runtime_error("cannot create event loop");
    }
    mailbox_->wake_fd = wake_;
    add(wake_, EPOLLIN);
    add(front_.listen_fd_, EPOLLIN | EPOLLEXCLUSIVE);
  }
  ~Reactor() {
    {
      std::lock_guard lock(mailbox_->mutex);
      mailbox_->closed = true;
    }
    for (auto &[fd, connection] : connections_) {
      ::close(fd);
      front_.release(connection->client);
      front_.connections_.fetch_sub(1);
    }
    ::close(wake_);
    ::close(epoll_);
  }
  Reactor(const Reactor &) = delete;
  Reactor &operator=(const Reactor &) = delete;

  void wake() { mailbox_->wake(); }

  void run() {
    while (!front_.stopping_.load(std::memory_order_relaxed)) {
      try {
        loop();
        return;
      } catch (const std::exception &e) {
        // Out of memory or a failing system call: log, breathe, and keep serving.
        log_error(std::string("event loop: ") + e.what());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }

 private:
  void loop() {
    epoll_event events[128];
    Clock::time_point next_sweep = Clock::now() + kSweepEvery;
    while (!front_.stopping_.load(std::memory_order_relaxed)) {
      const int n = epoll_wait(epoll_, events, 128, static_cast<int>(kSweepEvery.count()));
      if (n < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
      }
      now_ = Clock::now();
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_) {
          uint64_t value;
          [[maybe_unused]] const ssize_t r = ::read(wake_, &value, sizeof value);
          take_mail();
        } else if (fd == front_.listen_fd_) {
          accept_ready();
        } else if (auto it = connections_.find(fd); it != connections_.end()) {
          on_event(*it->second, events[i].events);
        }
      }
      if (now_ >= next_sweep) {
        sweep();
        next_sweep = now_ + kSweepEvery;
      }
    }
  }

  void add(int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
    }
  }

  void set_interest(Connection &c, uint32_t events) {
    if (c.interest == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.interest = events;
  }

  void take_mail() {
    std::vector<std::pair<int, uint64_t>> resumed;
    {
      std::lock_guard lock(mailbox_->mutex);
      resumed.swap(mailbox_->resumed);
    }
    for (const auto &[fd, serial] : resumed) {
      const auto it = connections_.find(fd);
      if (it == connections_.end() || it->second->serial != serial || !it->second->parked) {
        continue;
      }
      Connection &c = *it->second;
      c.parked = false;
      set_interest(c, EPOLLIN);
      serve(c);
    }
  }

  void accept_ready() {
    if (accept_paused_) return;
    for (int i = 0; i < 64; ++i) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      const int fd = accept4(front_.listen_fd_, reinterpret_cast<sockaddr *>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: stop accepting for a moment instead of spinning on a
          // listener that stays readable.
          log_event(std::string("cannot accept: ") + std::strerror(errno));
          epoll_ctl(epoll_, EPOLL_CTL_DEL, front_.listen_fd_, nullptr);
          accept_paused_ = true;
          accept_resume_ = now_ + kAcceptPause;
        }
        return;
      }
      std::string client = client_of(address);
      const bool over_total = front_.connections_.fetch_add(1) >= front_.options_.max_connections;
      if (over_total || !front_.admit(client)) {
        front_.connections_.fetch_sub(1);
        log_event((over_total ? "too many connections; refusing " : "too many connections from ") +
                  printable(client, 64));
        // A client over its own share is refused with a forbidding reply: holding connections
        // must not switch off the filtering of the machine that holds them.
        const std::string reply = canned_reply(503, over_total ? "000" : "001");
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
        continue;
      }
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      connection->serial = ++serials_;
      connection->peer = peer_text(address);
      connection->client = std::move(client);
      connection->peer_port = port_of(address);
      connection->last_activity = now_;
      connection->interest = EPOLLIN;
      try {
        add(fd, EPOLLIN);
      } catch (const std::exception &) {
        ::close(fd);
        front_.release(connection->client);
        front_.connections_.fetch_sub(1);
        continue;
      }
      connections_.emplace(fd, std::move(connection));
    }
  }

  void on_event(Connection &c, uint32_t events) {
    if (c.parked) {
      // Nothing is read meanwhile; only a client that went away matters.
      if (events & (EPOLLHUP | EPOLLERR)) close(c);
      return;
    }
    if (c.lingering) {
      drain_lingering(c);
      return;
    }
    if (events & EPOLLOUT) {
      if (!flush(c) || c.lingering) return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
      if (!read_ready(c)) return;
    }
    serve(c);
  }

  // False when the connection was closed.
  bool read_ready(Connection &c) {
    const size_t cap = front_.options_.max_head + front_.options_.max_body + 4096;
    if (c.in.size() >= cap) return true;
    const size_t want = std::min(sizeof buffer_, cap - c.in.size());
    const ssize_t n = ::recv(c.fd, buffer_, want, 0);
    if (n > 0) {
      if (c.in.empty()) c.request_start = now_;
      c.in.append(buffer_, static_cast<size_t>(n));
      c.last_activity = now_;
      return true;
    }
    if (n == 0) {
      c.peer_done = true;
      return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    close(c);
    return false;
  }

  void serve(Connection &c) {
    for (;;) {
      while (!c.closing && !c.parked && c.out.size() - c.out_offset < kOutHighWater) {
        size_t blank = 0;
        while (blank < c.in.size() && (c.in[blank] == '\r' || c.in[blank] == '\n')) ++blank;
        if (blank > 0) {
          c.in.erase(0, blank);
          c.scan_from = 0;
        }
        if (c.in.empty()) break;
        const Frame frame = frame_request(c.in, front_.options_.max_head,
                                          front_.options_.max_body, c.scan_from);
        if (frame.kind == Frame::Kind::Incomplete) break;
        if (frame.kind == Frame::Kind::Reject) {
          refuse(c, frame.status, frame.reason);
          break;
        }
        if (front_.gate_) {
          const RequestLine peek =
              split_request_line(std::string_view(c.in).substr(0, frame.length));
          if (peek.valid && !gate(c, peek.target)) {
            c.parked = true;
            set_interest(c, 0);
            break;
          }
        }
        const bool last = ++c.requests >= front_.options_.max_requests_per_connection ||
                          front_.stopping_.load(std::memory_order_relaxed);
        bool closed = false;
        bool written = false;
        {
          const std::string_view request = std::string_view(c.in).substr(0, frame.length);
          const RequestLine line = split_request_line(request);
          try {
            if (line.valid) {
              std::string &first = request_line_;
              first.assign(line.method);
              first += " / ";
              first += line.version;
              BufferedStream stream(first, line.rest, c);
              written = parser_.run(stream, c.peer, line.target, last, closed);
            } else {
              BufferedStream stream({}, request, c);
              written = parser_.run(stream, c.peer, {}, last, closed);
            }
          } catch (const std::exception &) {
            written = false;
          }
        }
        c.in.erase(0, frame.length);
        c.scan_from = 0;
        c.request_start = now_;
        if (!written || closed || last) c.closing = true;
      }
      if (c.parked) return;
      if (c.peer_done && !c.closing) c.closing = true;
      const size_t pending_before = c.out.size() - c.out_offset;
      if (!flush(c)) return;
      if (c.lingering || c.out_offset < c.out.size()) return;
      // Everything went out; go on only if requests were held back by the high-water mark.
      if (pending_before < kOutHighWater || c.in.empty()) return;
    }
  }

  bool gate(Connection &c, std::string_view target) {
    std::weak_ptr<Mailbox> mailbox = mailbox_;
    auto resume = [mailbox, fd = c.fd, serial = c.serial] {
      if (auto box = mailbox.lock()) box->post(fd, serial);
    };
    try {
      return front_.gate_(target, c.client, index_, std::move(resume));
    } catch (const std::exception &) {
      return true;
    }
  }

  void refuse(Connection &c, int status, std::string_view reason) {
    log_event("refused request from " + printable(c.peer, 64) + ": " + std::string(reason));
    c.out += canned_reply(status);
    c.closing = true;
  }

  // False when the connection was closed.
  bool flush(Connection &c) {
    while (c.out_offset < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.out_offset, c.out.size() - c.out_offset,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        c.out_offset += static_cast<size_t>(n);
        c.last_progress = now_;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (c.interest != EPOLLOUT) c.last_progress = now_;
        set_interest(c, EPOLLOUT);
        return true;
      }
      close(c);
      return false;
    }
    c.out.clear();
    c.out_offset = 0;
    if (c.closing) {
      // Half-close and read what is still coming, so the reply is not lost to a reset.
      ::shutdown(c.fd, SHUT_WR);
      c.lingering = true;
      c.linger_until = now_ + kLinger;
      c.in.clear();
    }
    set_interest(c, EPOLLIN);
    return true;
  }

  void drain_lingering(Connection &c) {
    for (int i = 0; i < 16; ++i) {
      const ssize_t n = ::recv(c.fd, buffer_, sizeof buffer_, 0);
      if (n > 0) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      break;
    }
    close(c);
  }

  void sweep() {
    if (accept_paused_ && now_ >= accept_resume_) {
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLEXCLUSIVE;
      ev.data.fd = front_.listen_fd_;
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, front_.listen_fd_, &ev) == 0) {
        accept_paused_ = false;
      } else {
        accept_resume_ = now_ + kAcceptPause;
      }
    }
    const auto &options = front_.options_;
    std::vector<Connection *> expired;
    std::vector<Connection *> late;
    for (auto &[fd, connection] : connections_) {
      Connection &c = *connection;
      if (c.parked) continue;  // its request is complete; the gate answers for the wait
      const bool writing = c.out_offset < c.out.size();
      if ((c.lingering && now_ >= c.linger_until) ||
          (writing && now_ - c.last_progress >= options.request_timeout) ||
          (!writing && c.in.empty() && !c.lingering &&
           now_ - c.last_activity >=
               (c.requests == 0 ? options.first_byte_timeout : options.idle_timeout))) {
        expired.push_back(&c);
      } else if (!writing && !c.lingering && !c.in.empty() &&
                 now_ - c.request_start >= options.request_timeout) {
        late.push_back(&c);
      }
    }
    for (Connection *c : expired) close(*c);
    for (Connection *c : late) {
      refuse(*c, 408, "request not complete in time");
      flush(*c);
    }
  }

  void close(Connection &c) {
    const int fd = c.fd;
    ::close(fd);
    front_.release(c.client);
    connections_.erase(fd);
    front_.connections_.fetch_sub(1);
  }

  HttpFront &front_;
  unsigned index_;
  Parser parser_;
  std::shared_ptr<Mailbox> mailbox_;
  uint64_t serials_ = 0;
  int epoll_ = -1;
  int wake_ = -1;
  bool accept_paused_ = false;
  Clock::time_point accept_resume_;
  Clock::time_point now_ = Clock::now();
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::string request_line_;
  char buffer_[16 * 1024];
};

HttpFront::HttpFront(HttpOptions options, Handler handler, Gate gate)
    : options_(std::move(options)), handler_(std::move(handler)), gate_(std::move(gate)) {
  options_.threads = std::max(1u, options_.threads);
}

bool HttpFront::admit(const std::string &client) {
  std::lock_guard lock(clients_mutex_);
  size_t &open = clients_[client];
  if (open >= options_.max_connections_per_client) {
    if (open == 0) clients_.erase(client);
    return false;
  }
  ++open;
  return true;
}

void HttpFront::release(const std::string &client) {
  std::lock_guard lock(clients_mutex_);
  const auto it = clients_.find(client);
  if (it != clients_.end() && --it->second == 0) clients_.erase(it);
}

HttpFront::~HttpFront() {
  stop();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

int HttpFront::bind() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(options_.port);
  const int rc = getaddrinfo(options_.address.empty() ? nullptr : options_.address.c_str(),
                             port.c_str(), &hints, &found);
  if (rc != 0) {
    throw std::runtime_error("cannot resolve " + options_.address + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  std::string error = "no address";
  for (addrinfo *ai = found; ai; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            ai->ai_protocol);
    if (fd < 0) {
      error = std::strerror(errno);
      continue;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
      error = std::strerror(errno);
      ::close(fd);
      continue;
    }
    listen_fd_ = fd;
    break;
  }
  if (listen_fd_ < 0) {
    throw std::runtime_error("cannot listen on " + options_.address + " port " + port + ": " +
                             error);
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&bound), &length);
  return port_of(bound);
}

void HttpFront::start() {
  if (listen_fd_ < 0) bind();
  for (unsigned i = 0; i < options_.threads; ++i) {
    reactors_.push_back(std::make_unique<Reactor>(*this, i));
  }
  for (auto &reactor : reactors_) {
    threads_.emplace_back([r = reactor.get()] { r->run(); });
  }
}

void HttpFront::stop() {
  if (stopping_.exchange(true)) return;
  for (auto &reactor : reactors_) reactor->wake();
  for (auto &thread : threads_) thread.join();
  threads_.clear();
  reactors_.clear();
}

}  // namespace pv::check
