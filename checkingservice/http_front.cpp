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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
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
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

void append_number(std::string &out, size_t value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) out += digits[--n];
}

// Every reply: the no-cache headers on each one (the filter's platform would otherwise keep
// verdicts, and the query with its password, in its URL cache), the body as it is.
void append_reply(std::string &out, int status, std::string_view body, bool with_body,
                  std::string_view keep_alive) {
  out += "HTTP/1.1 ";
  append_number(out, static_cast<size_t>(status));
  out += ' ';
  out += reason_phrase(status);
  out += "\r\nCache-Control: no-store\r\n";
  if (keep_alive.empty()) out += "Connection: close\r\n";
  out += "Content-Length: ";
  append_number(out, body.size());
  out += "\r\nContent-Type: text/plain\r\n";
  out += keep_alive;
  out += "Pragma: no-cache\r\n\r\n";
  if (with_body) out += body;
}

std::string canned_reply(int status, std::string_view body = "000") {
  std::string text;
  append_reply(text, status, body, true, {});
  return text;
}

// The methods HTTP defines: any other is a malformed request, these are answered (GET and
// HEAD) or refused by the handler.
bool known_method(std::string_view method) {
  static constexpr std::string_view kMethods[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                  "CONNECT", "OPTIONS", "TRACE", "PATCH"};
  return std::find(std::begin(kMethods), std::end(kMethods), method) != std::end(kMethods);
}

// Whether a comma-separated header value holds the token, in any case.
bool has_token(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (iequals(trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
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
  // The head ends at the first empty line (CRLF CRLF; a bare LF is tolerated here and
  // refused below).
  size_t head_end = std::string_view::npos;
  const size_t limit = std::min(buffered.size(), max_head);
  for (size_t i = scan_from > 2 ? scan_from - 2 : 0; i < limit; ++i) {
    const void *lf = std::memchr(buffered.data() + i, '\n', limit - i);
    if (!lf) break;
    i = static_cast<size_t>(static_cast<const char *>(lf) - buffered.data());
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
  {
    const size_t eol = head.find('\n');
    if (eol == 0 || head[eol - 1] != '\r') frame.malformed = true;
    head.remove_prefix(eol + 1);  // the request line
  }
  while (!head.empty()) {
    const size_t eol = head.find('\n');
    std::string_view line = head.substr(0, eol);
    head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
    if (line.size() + 1 > kMaxHeaderLine) frame.malformed = true;
    const bool crlf = line.ends_with('\r');
    if (head.empty()) {
      if (!crlf) frame.malformed = true;  // the head must close with CRLF
      break;
    }
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
    } else if (crlf && iequals(name, "connection")) {
      frame.close = frame.close || has_token(value, "close");
      frame.keep_alive = frame.keep_alive || has_token(value, "keep-alive");
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

namespace {

struct Connection {
  UniqueFd fd;
  uint64_t serial = 0;  // tells a reused descriptor from the connection it once was
  std::string peer;
  std::string client;  // what the per-client cap counts
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

}  // namespace

// Where resumes from other threads are left for a reactor. Shared with every resume handed
// out, so that a late resume after the reactor is gone finds it closed instead of freed; it
// owns the reactor's wake-up descriptor for the same reason.
struct HttpFront::Mailbox {
  std::mutex mutex;
  bool closed = false;
  UniqueFd wake_fd;
  std::vector<std::pair<int, uint64_t>> resumed;  // descriptor, serial

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd.get(), &one, sizeof one);
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
      : front_(front), index_(index), mailbox_(std::make_shared<Mailbox>()) {
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    mailbox_->wake_fd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll_ || !mailbox_->wake_fd) throw std::runtime_error("cannot create event loop");
    wake_ = mailbox_->wake_fd.get();
    add(wake_, EPOLLIN);
    add(front_.listener_.get(), EPOLLIN | EPOLLEXCLUSIVE);
    // The Keep-Alive header every kept-alive reply carries, made once.
    keep_alive_header_ = "Keep-Alive: timeout=";
    append_number(keep_alive_header_,
                  static_cast<size_t>(std::max<int64_t>(
                      1, std::chrono::duration_cast<std::chrono::seconds>(
                             front_.options_.idle_timeout)
                             .count())));
    keep_alive_header_ += ", max=";
    append_number(keep_alive_header_, front_.options_.max_requests_per_connection);
    keep_alive_header_ += "\r\n";
  }
  ~Reactor() {
    {
      std::lock_guard lock(mailbox_->mutex);
      mailbox_->closed = true;
    }
    for (auto &[fd, connection] : connections_) {
      front_.release(connection->client);
      front_.connections_.fetch_sub(1);
    }
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
    const int listener = front_.listener_.get();
    while (!front_.stopping_.load(std::memory_order_relaxed)) {
      const int n = epoll_wait(epoll_.get(), events, 128, static_cast<int>(kSweepEvery.count()));
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
        } else if (fd == listener) {
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
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
      throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
    }
  }

  void set_interest(Connection &c, uint32_t events) {
    if (c.interest == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = c.fd.get();
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
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
    const int listener = front_.listener_.get();
    for (int i = 0; i < 64; ++i) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      UniqueFd fd(accept4(listener, reinterpret_cast<sockaddr *>(&address), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: stop accepting for a moment instead of spinning on a
          // listener that stays readable.
          log_event(std::string("cannot accept: ") + std::strerror(errno));
          epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener, nullptr);
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
            ::send(fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        continue;
      }
      const int on = 1;
      setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto connection = std::make_unique<Connection>();
      const int descriptor = fd.get();
      connection->fd = std::move(fd);
      connection->serial = ++serials_;
      connection->peer = peer_text(address);
      connection->client = std::move(client);
      connection->last_activity = now_;
      connection->interest = EPOLLIN;
      try {
        add(descriptor, EPOLLIN);
        connections_.emplace(descriptor, std::move(connection));
      } catch (const std::exception &) {
        if (connection) front_.release(connection->client);
        front_.connections_.fetch_sub(1);
      }
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
    const ssize_t n = ::recv(c.fd.get(), buffer_, want, 0);
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
      // Requests are taken from the front of the buffer; what they used is dropped once,
      // after the loop, rather than moving the rest forward after each one.
      size_t used = 0;
      while (!c.closing && !c.parked && c.out.size() - c.out_offset < kOutHighWater) {
        while (used < c.in.size() && (c.in[used] == '\r' || c.in[used] == '\n')) ++used;
        if (used == c.in.size()) break;
        const std::string_view rest = std::string_view(c.in).substr(used);
        size_t scan_from = used == 0 ? c.scan_from : 0;
        const Frame frame = frame_request(rest, front_.options_.max_head,
                                          front_.options_.max_body, scan_from);
        if (frame.kind == Frame::Kind::Incomplete) {
          c.scan_from = scan_from;
          break;
        }
        c.scan_from = 0;
        if (frame.kind == Frame::Kind::Reject) {
          refuse(c, frame.status, frame.reason);
          break;
        }
        const std::string_view request = rest.substr(0, frame.length);
        const RequestLine line = split_request_line(request);
        if (front_.gate_ && line.valid && !frame.malformed && !gate(c, line.target)) {
          c.parked = true;
          set_interest(c, 0);
          break;
        }
        const bool last = ++c.requests >= front_.options_.max_requests_per_connection ||
                          front_.stopping_.load(std::memory_order_relaxed);
        if (!answer(c, line, frame, last)) c.closing = true;
        used += frame.length;
        c.request_start = now_;
      }
      if (used > 0) c.in.erase(0, used);
      if (c.parked) return;
      if (c.peer_done && !c.closing) c.closing = true;
      const size_t pending_before = c.out.size() - c.out_offset;
      if (!flush(c)) return;
      if (c.lingering || c.out_offset < c.out.size()) return;
      // Everything went out; go on only if requests were held back by the high-water mark.
      if (pending_before < kOutHighWater || c.in.empty()) return;
    }
  }

  // Appends the reply to one complete request; false when the connection closes after it.
  bool answer(Connection &c, const RequestLine &line, const Frame &frame, bool last) {
    const bool http11 = line.version == "HTTP/1.1";
    if (!line.valid || frame.malformed || !(http11 || line.version == "HTTP/1.0") ||
        !known_method(line.method)) {
      log_event("malformed request from " + printable(c.peer, 64) + ": HTTP status 400");
      append_reply(c.out, 400, "000", true, {});
      return false;
    }
    Reply reply;
    try {
      reply = front_.handler_(line.method, line.target, c.peer, index_);
    } catch (const std::exception &) {
      log_event("internal error answering " + printable(c.peer, 64));
      reply = Reply{500, "000"};
    }
    const bool keep = !last && !frame.close && (http11 || frame.keep_alive);
    append_reply(c.out, reply.status, reply.body, line.method != "HEAD",
                 keep ? std::string_view(keep_alive_header_) : std::string_view());
    return keep;
  }

  bool gate(Connection &c, std::string_view target) {
    const MakeResume make_resume = [this, &c] {
      std::weak_ptr<Mailbox> mailbox = mailbox_;
      return std::function<void()>([mailbox, fd = c.fd.get(), serial = c.serial] {
        if (auto box = mailbox.lock()) box->post(fd, serial);
      });
    };
    try {
      return front_.gate_(target, c.client, index_, make_resume);
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
      const ssize_t n = ::send(c.fd.get(), c.out.data() + c.out_offset,
                               c.out.size() - c.out_offset, MSG_NOSIGNAL | MSG_DONTWAIT);
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
      ::shutdown(c.fd.get(), SHUT_WR);
      c.lingering = true;
      c.linger_until = now_ + kLinger;
      c.in.clear();
    }
    set_interest(c, EPOLLIN);
    return true;
  }

  void drain_lingering(Connection &c) {
    for (int i = 0; i < 16; ++i) {
      const ssize_t n = ::recv(c.fd.get(), buffer_, sizeof buffer_, 0);
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
      ev.data.fd = front_.listener_.get();
      if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, front_.listener_.get(), &ev) == 0) {
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

  // The descriptor closes with its owner, the connection.
  void close(Connection &c) {
    front_.release(c.client);
    front_.connections_.fetch_sub(1);
    connections_.erase(c.fd.get());
  }

  HttpFront &front_;
  unsigned index_;
  std::shared_ptr<Mailbox> mailbox_;
  uint64_t serials_ = 0;
  UniqueFd epoll_;
  int wake_ = -1;  // mailbox_'s descriptor, which lives as long as it
  bool accept_paused_ = false;
  Clock::time_point accept_resume_;
  Clock::time_point now_ = Clock::now();
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::string keep_alive_header_;
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

HttpFront::~HttpFront() { stop(); }

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
  const AddrInfoList list(found);
  std::string error = "no address";
  for (const addrinfo *ai = list.get(); ai; ai = ai->ai_next) {
    UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         ai->ai_protocol));
    if (!fd) {
      error = std::strerror(errno);
      continue;
    }
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 1024) != 0) {
      error = std::strerror(errno);
      continue;
    }
    listener_ = std::move(fd);
    break;
  }
  if (!listener_) {
    throw std::runtime_error("cannot listen on " + options_.address + " port " + port + ": " +
                             error);
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&bound), &length);
  return port_of(bound);
}

void HttpFront::start() {
  if (!listener_) bind();
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
