#include "checkingservice/http/http_front.h"

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

#include "checkingservice/base/events.h"

namespace pv::check {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOutHighWater = 64 * 1024;
constexpr auto kLinger = std::chrono::milliseconds(2000);
constexpr auto kSweepEvery = std::chrono::milliseconds(100);
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// Header names are ASCII; the C library's tolower would consult the locale on every byte.
bool Iequals(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

void AppendNumber(std::string& out, size_t value) {
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
void AppendReply(std::string& out, int status, std::string_view body, bool withBody,
                 std::string_view keepAlive) {
    out += "HTTP/1.1 ";
    AppendNumber(out, static_cast<size_t>(status));
    out += ' ';
    out += ReasonPhrase(status);
    out += "\r\nCache-Control: no-store\r\n";
    if (keepAlive.empty()) out += "Connection: close\r\n";
    out += "Content-Length: ";
    AppendNumber(out, body.size());
    out += "\r\nContent-Type: text/plain\r\n";
    out += keepAlive;
    out += "Pragma: no-cache\r\n\r\n";
    if (withBody) out += body;
}

std::string CannedReply(int status, std::string_view body = "000") {
    std::string text;
    AppendReply(text, status, body, true, {});
    return text;
}

// The methods HTTP defines: any other is a malformed request, these are answered (GET and
// HEAD) or refused by the handler.
bool KnownMethod(std::string_view method) {
    static constexpr std::string_view kMethods[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                    "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    return std::find(std::begin(kMethods), std::end(kMethods), method) != std::end(kMethods);
}

// Whether a comma-separated header value holds the token, in any case.
bool HasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        if (Iequals(Trim(value.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

std::string PeerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    return text;
}

// One client, for the per-client connection cap: an IPv4 address, or the /64 network of an
// IPv6 address, since one IPv6 host may use any address of its network.
std::string ClientOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            in6_addr network{};
            std::memcpy(&network, &in6->sin6_addr, 8);
            char text[INET6_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET6, &network, text, sizeof text);
            return std::string(text) + "/64";
        }
        in_addr v4{};
        std::memcpy(&v4, reinterpret_cast<const unsigned char*>(&in6->sin6_addr) + 12, 4);
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &v4, text, sizeof text);
        return text;
    }
    return PeerText(address);
}

int PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}

} // namespace

Frame FrameRequest(std::string_view buffered, size_t maxHead, size_t maxBody, size_t& scanFrom) {
    Frame frame;
    // The head ends at the first empty line (CRLF CRLF; a bare LF is tolerated here and
    // refused below).
    size_t headEnd = std::string_view::npos;
    const size_t limit = std::min(buffered.size(), maxHead);
    for (size_t i = scanFrom > 2 ? scanFrom - 2 : 0; i < limit; ++i) {
        const void* lf = std::memchr(buffered.data() + i, '\n', limit - i);
        if (!lf) break;
        i = static_cast<size_t>(static_cast<const char*>(lf) - buffered.data());
        if (i + 1 < buffered.size() && buffered[i + 1] == '\n') {
            headEnd = i + 2;
            break;
        }
        if (i + 2 < buffered.size() && buffered[i + 1] == '\r' && buffered[i + 2] == '\n') {
            headEnd = i + 3;
            break;
        }
    }
    if (headEnd == std::string_view::npos || headEnd > maxHead) {
        scanFrom = limit;
        if (buffered.size() >= maxHead) {
            frame.kind = Frame::Kind::Reject;
            frame.status = 431;
            frame.reason = "request head too large";
        }
        return frame;
    }

    std::optional<uint64_t> contentLength;
    std::string_view head = buffered.substr(0, headEnd);
    {
        const size_t eol = head.find('\n');
        if (eol == 0 || head[eol - 1] != '\r') frame.malformed = true;
        head.remove_prefix(eol + 1); // the request line
    }
    while (!head.empty()) {
        const size_t eol = head.find('\n');
        std::string_view line = head.substr(0, eol);
        head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
        if (line.size() + 1 > kMaxHeaderLine) frame.malformed = true;
        const bool crlf = line.ends_with('\r');
        if (head.empty()) {
            if (!crlf) frame.malformed = true; // the head must close with CRLF
            break;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (Iequals(name, "transfer-encoding")) {
            frame.kind = Frame::Kind::Reject;
            frame.status = 501;
            frame.reason = "request body in transfer encoding";
            return frame;
        }
        if (Iequals(name, "content-length")) {
            uint64_t length = 0;
            const bool digits =
                !value.empty() && value.size() <= 18 &&
                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (digits) {
                for (char c : value) length = length * 10 + static_cast<uint64_t>(c - '0');
            }
            if (!digits || (contentLength && *contentLength != length)) {
                frame.kind = Frame::Kind::Reject;
                frame.status = 400;
                frame.reason = "invalid Content-Length";
                return frame;
            }
            contentLength = length;
        } else if (crlf && Iequals(name, "connection")) {
            frame.close = frame.close || HasToken(value, "close");
            frame.keepAlive = frame.keepAlive || HasToken(value, "keep-alive");
        }
    }
    const uint64_t body = contentLength.value_or(0);
    if (body > maxBody) {
        frame.kind = Frame::Kind::Reject;
        frame.status = 413;
        frame.reason = "request body too large";
        return frame;
    }
    if (buffered.size() < headEnd + body) return frame;
    frame.kind = Frame::Kind::Complete;
    frame.length = headEnd + static_cast<size_t>(body);
    return frame;
}

RequestLine SplitRequestLine(std::string_view request) {
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
    uint64_t serial = 0; // tells a reused descriptor from the connection it once was
    std::string peer;
    std::string client; // what the per-client cap counts
    std::string in;
    size_t scanFrom = 0;
    std::string out;
    size_t outOffset = 0;
    uint32_t interest = 0;
    unsigned requests = 0;
    bool closing = false;
    bool parked = false; // waiting for the gate's resume
    bool lingering = false;
    bool peerDone = false;
    Clock::time_point lastActivity;
    Clock::time_point requestStart;
    Clock::time_point lastProgress;
    Clock::time_point lingerUntil;
};

} // namespace

// Where resumes from other threads are left for a reactor. Shared with every resume handed
// out, so that a late resume after the reactor is gone finds it closed instead of freed; it
// owns the reactor's wake-up descriptor for the same reason.
struct HttpFront::Mailbox {
    std::mutex mutex;
    bool closed = false;
    UniqueFd wakeFd;
    std::vector<std::pair<int, uint64_t>> resumed; // descriptor, serial

    void Wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd.Get(), &one, sizeof one);
    }
    void Post(int fd, uint64_t serial) {
        std::lock_guard lock(mutex);
        if (closed) return;
        resumed.emplace_back(fd, serial);
        Wake();
    }
};

class HttpFront::Reactor {
public:
    Reactor(HttpFront& front, unsigned index)
        : m_front(front), m_index(index), m_mailbox(std::make_shared<Mailbox>()) {
        m_epoll.Reset(epoll_create1(EPOLL_CLOEXEC));
        m_mailbox->wakeFd.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!m_epoll || !m_mailbox->wakeFd) throw std::runtime_error("cannot create event loop");
        m_wake = m_mailbox->wakeFd.Get();
        Add(m_wake, EPOLLIN);
        Add(m_front.m_listener.Get(), EPOLLIN | EPOLLEXCLUSIVE);
        // The Keep-Alive header every kept-alive reply carries, made once.
        m_keepAliveHeader = "Keep-Alive: timeout=";
        AppendNumber(
            m_keepAliveHeader,
            static_cast<size_t>(std::max<int64_t>(
                1, std::chrono::duration_cast<std::chrono::seconds>(m_front.m_options.idleTimeout).count())));
        m_keepAliveHeader += ", max=";
        AppendNumber(m_keepAliveHeader, m_front.m_options.maxRequestsPerConnection);
        m_keepAliveHeader += "\r\n";
    }
    ~Reactor() {
        {
            std::lock_guard lock(m_mailbox->mutex);
            m_mailbox->closed = true;
        }
        for (auto& [fd, connection] : m_connections) {
            m_front.Release(connection->client);
            m_front.m_connections.fetch_sub(1);
        }
    }
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    void Wake() { m_mailbox->Wake(); }

    void Run() {
        while (!m_front.m_stopping.load(std::memory_order_relaxed)) {
            try {
                Loop();
                return;
            } catch (const std::exception& e) {
                // Out of memory or a failing system call: log, breathe, and keep serving.
                LogError(std::string("event loop: ") + e.what());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

private:
    void Loop() {
        epoll_event events[128];
        Clock::time_point nextSweep = Clock::now() + kSweepEvery;
        const int listener = m_front.m_listener.Get();
        while (!m_front.m_stopping.load(std::memory_order_relaxed)) {
            const int n = epoll_wait(m_epoll.Get(), events, 128, static_cast<int>(kSweepEvery.count()));
            if (n < 0 && errno != EINTR) {
                throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
            }
            m_now = Clock::now();
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_wake) {
                    uint64_t value;
                    [[maybe_unused]] const ssize_t r = ::read(m_wake, &value, sizeof value);
                    TakeMail();
                } else if (fd == listener) {
                    AcceptReady();
                } else if (auto it = m_connections.find(fd); it != m_connections.end()) {
                    OnEvent(*it->second, events[i].events);
                }
            }
            if (m_now >= nextSweep) {
                Sweep();
                nextSweep = m_now + kSweepEvery;
            }
        }
    }

    void Add(int fd, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
            throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
        }
    }

    void SetInterest(Connection& c, uint32_t events) {
        if (c.interest == events) return;
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = c.fd.Get();
        epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, c.fd.Get(), &ev);
        c.interest = events;
    }

    void TakeMail() {
        std::vector<std::pair<int, uint64_t>> resumed;
        {
            std::lock_guard lock(m_mailbox->mutex);
            resumed.swap(m_mailbox->resumed);
        }
        for (const auto& [fd, serial] : resumed) {
            const auto it = m_connections.find(fd);
            if (it == m_connections.end() || it->second->serial != serial || !it->second->parked) {
                continue;
            }
            Connection& c = *it->second;
            c.parked = false;
            SetInterest(c, EPOLLIN);
            Serve(c);
        }
    }

    void AcceptReady() {
        if (m_acceptPaused) return;
        const int listener = m_front.m_listener.Get();
        for (int i = 0; i < 64; ++i) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            UniqueFd fd(accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors: stop accepting for a moment instead of spinning on a
                    // listener that stays readable.
                    LogEvent(std::string("cannot accept: ") + std::strerror(errno));
                    epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, listener, nullptr);
                    m_acceptPaused = true;
                    m_acceptResume = m_now + kAcceptPause;
                }
                return;
            }
            std::string client = ClientOf(address);
            const bool overTotal = m_front.m_connections.fetch_add(1) >= m_front.m_options.maxConnections;
            if (overTotal || !m_front.Admit(client)) {
                m_front.m_connections.fetch_sub(1);
                LogEvent((overTotal ? "too many connections; refusing " : "too many connections from ") +
                         Printable(client, 64));
                // A client over its own share is refused with a forbidding reply: holding connections
                // must not switch off the filtering of the machine that holds them.
                const std::string reply = CannedReply(503, overTotal ? "000" : "001");
                [[maybe_unused]] const ssize_t sent =
                    ::send(fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                continue;
            }
            const int on = 1;
            setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            auto connection = std::make_unique<Connection>();
            const int descriptor = fd.Get();
            connection->fd = std::move(fd);
            connection->serial = ++m_serials;
            connection->peer = PeerText(address);
            connection->client = std::move(client);
            connection->lastActivity = m_now;
            connection->interest = EPOLLIN;
            try {
                Add(descriptor, EPOLLIN);
                m_connections.emplace(descriptor, std::move(connection));
            } catch (const std::exception&) {
                if (connection) m_front.Release(connection->client);
                m_front.m_connections.fetch_sub(1);
            }
        }
    }

    void OnEvent(Connection& c, uint32_t events) {
        if (c.parked) {
            // Nothing is read meanwhile; only a client that went away matters.
            if (events & (EPOLLHUP | EPOLLERR)) Close(c);
            return;
        }
        if (c.lingering) {
            DrainLingering(c);
            return;
        }
        if (events & EPOLLOUT) {
            if (!Flush(c) || c.lingering) return;
        }
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            if (!ReadReady(c)) return;
        }
        Serve(c);
    }

    // False when the connection was closed.
    bool ReadReady(Connection& c) {
        const size_t cap = m_front.m_options.maxHead + m_front.m_options.maxBody + 4096;
        if (c.in.size() >= cap) return true;
        const size_t want = std::min(sizeof m_buffer, cap - c.in.size());
        const ssize_t n = ::recv(c.fd.Get(), m_buffer, want, 0);
        if (n > 0) {
            if (c.in.empty()) c.requestStart = m_now;
            c.in.append(m_buffer, static_cast<size_t>(n));
            c.lastActivity = m_now;
            return true;
        }
        if (n == 0) {
            c.peerDone = true;
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        Close(c);
        return false;
    }

    void Serve(Connection& c) {
        for (;;) {
            // Requests are taken from the front of the buffer; what they used is dropped once,
            // after the loop, rather than moving the rest forward after each one.
            size_t used = 0;
            while (!c.closing && !c.parked && c.out.size() - c.outOffset < kOutHighWater) {
                while (used < c.in.size() && (c.in[used] == '\r' || c.in[used] == '\n')) ++used;
                if (used == c.in.size()) break;
                const std::string_view rest = std::string_view(c.in).substr(used);
                size_t scanFrom = used == 0 ? c.scanFrom : 0;
                const Frame frame =
                    FrameRequest(rest, m_front.m_options.maxHead, m_front.m_options.maxBody, scanFrom);
                if (frame.kind == Frame::Kind::Incomplete) {
                    c.scanFrom = scanFrom;
                    break;
                }
                c.scanFrom = 0;
                if (frame.kind == Frame::Kind::Reject) {
                    Refuse(c, frame.status, frame.reason);
                    break;
                }
                const std::string_view request = rest.substr(0, frame.length);
                const RequestLine line = SplitRequestLine(request);
                if (m_front.m_gate && line.valid && !frame.malformed && !Gate(c, line.target)) {
                    c.parked = true;
                    SetInterest(c, 0);
                    break;
                }
                const bool last = ++c.requests >= m_front.m_options.maxRequestsPerConnection ||
                                  m_front.m_stopping.load(std::memory_order_relaxed);
                if (!Answer(c, line, frame, last)) c.closing = true;
                used += frame.length;
                c.requestStart = m_now;
            }
            if (used > 0) c.in.erase(0, used);
            if (c.parked) return;
            if (c.peerDone && !c.closing) c.closing = true;
            const size_t pendingBefore = c.out.size() - c.outOffset;
            if (!Flush(c)) return;
            if (c.lingering || c.outOffset < c.out.size()) return;
            // Everything went out; go on only if requests were held back by the high-water mark.
            if (pendingBefore < kOutHighWater || c.in.empty()) return;
        }
    }

    // Appends the reply to one complete request; false when the connection closes after it.
    bool Answer(Connection& c, const RequestLine& line, const Frame& frame, bool last) {
        const bool http11 = line.version == "HTTP/1.1";
        if (!line.valid || frame.malformed || !(http11 || line.version == "HTTP/1.0") ||
            !KnownMethod(line.method)) {
            LogEvent("malformed request from " + Printable(c.peer, 64) + ": HTTP status 400");
            AppendReply(c.out, 400, "000", true, {});
            return false;
        }
        Reply reply;
        try {
            reply = m_front.m_handler(line.method, line.target, c.peer, m_index);
        } catch (const std::exception&) {
            LogEvent("internal error answering " + Printable(c.peer, 64));
            reply = Reply{500, "000"};
        }
        const bool keep = !last && !frame.close && (http11 || frame.keepAlive);
        AppendReply(c.out, reply.status, reply.body, line.method != "HEAD",
                    keep ? std::string_view(m_keepAliveHeader) : std::string_view());
        return keep;
    }

    bool Gate(Connection& c, std::string_view target) {
        const MakeResume makeResume = [this, &c] {
            std::weak_ptr<Mailbox> mailbox = m_mailbox;
            return std::function<void()>([mailbox, fd = c.fd.Get(), serial = c.serial] {
                if (auto box = mailbox.lock()) box->Post(fd, serial);
            });
        };
        try {
            return m_front.m_gate(target, c.client, m_index, makeResume);
        } catch (const std::exception&) {
            return true;
        }
    }

    void Refuse(Connection& c, int status, std::string_view reason) {
        LogEvent("refused request from " + Printable(c.peer, 64) + ": " + std::string(reason));
        c.out += CannedReply(status);
        c.closing = true;
    }

    // False when the connection was closed.
    bool Flush(Connection& c) {
        while (c.outOffset < c.out.size()) {
            const ssize_t n = ::send(c.fd.Get(), c.out.data() + c.outOffset, c.out.size() - c.outOffset,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                c.outOffset += static_cast<size_t>(n);
                c.lastProgress = m_now;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (c.interest != EPOLLOUT) c.lastProgress = m_now;
                SetInterest(c, EPOLLOUT);
                return true;
            }
            Close(c);
            return false;
        }
        c.out.clear();
        c.outOffset = 0;
        if (c.closing) {
            // Half-close and read what is still coming, so the reply is not lost to a reset.
            ::shutdown(c.fd.Get(), SHUT_WR);
            c.lingering = true;
            c.lingerUntil = m_now + kLinger;
            c.in.clear();
        }
        SetInterest(c, EPOLLIN);
        return true;
    }

    void DrainLingering(Connection& c) {
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = ::recv(c.fd.Get(), m_buffer, sizeof m_buffer, 0);
            if (n > 0) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            break;
        }
        Close(c);
    }

    void Sweep() {
        if (m_acceptPaused && m_now >= m_acceptResume) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLEXCLUSIVE;
            ev.data.fd = m_front.m_listener.Get();
            if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_front.m_listener.Get(), &ev) == 0) {
                m_acceptPaused = false;
            } else {
                m_acceptResume = m_now + kAcceptPause;
            }
        }
        const auto& options = m_front.m_options;
        std::vector<Connection*> expired;
        std::vector<Connection*> late;
        for (auto& [fd, connection] : m_connections) {
            Connection& c = *connection;
            if (c.parked) continue; // its request is complete; the gate answers for the wait
            const bool writing = c.outOffset < c.out.size();
            if ((c.lingering && m_now >= c.lingerUntil) ||
                (writing && m_now - c.lastProgress >= options.requestTimeout) ||
                (!writing && c.in.empty() && !c.lingering &&
                 m_now - c.lastActivity >=
                     (c.requests == 0 ? options.firstByteTimeout : options.idleTimeout))) {
                expired.push_back(&c);
            } else if (!writing && !c.lingering && !c.in.empty() &&
                       m_now - c.requestStart >= options.requestTimeout) {
                late.push_back(&c);
            }
        }
        for (Connection* c : expired) Close(*c);
        for (Connection* c : late) {
            Refuse(*c, 408, "request not complete in time");
            Flush(*c);
        }
    }

    // The descriptor closes with its owner, the connection.
    void Close(Connection& c) {
        m_front.Release(c.client);
        m_front.m_connections.fetch_sub(1);
        m_connections.erase(c.fd.Get());
    }

    HttpFront& m_front;
    unsigned m_index;
    std::shared_ptr<Mailbox> m_mailbox;
    uint64_t m_serials = 0;
    UniqueFd m_epoll;
    int m_wake = -1; // m_mailbox's descriptor, which lives as long as it
    bool m_acceptPaused = false;
    Clock::time_point m_acceptResume;
    Clock::time_point m_now = Clock::now();
    std::unordered_map<int, std::unique_ptr<Connection>> m_connections;
    std::string m_keepAliveHeader;
    char m_buffer[16 * 1024];
};

HttpFront::HttpFront(HttpOptions options, Handler handler, Gate gate)
    : m_options(std::move(options)), m_handler(std::move(handler)), m_gate(std::move(gate)) {
    m_options.threads = std::max(1u, m_options.threads);
}

bool HttpFront::Admit(const std::string& client) {
    std::lock_guard lock(m_clientsMutex);
    size_t& open = m_clients[client];
    if (open >= m_options.maxConnectionsPerClient) {
        if (open == 0) m_clients.erase(client);
        return false;
    }
    ++open;
    return true;
}

void HttpFront::Release(const std::string& client) {
    std::lock_guard lock(m_clientsMutex);
    const auto it = m_clients.find(client);
    if (it != m_clients.end() && --it->second == 0) m_clients.erase(it);
}

HttpFront::~HttpFront() { Stop(); }

int HttpFront::Bind() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(m_options.port);
    const int rc = getaddrinfo(m_options.address.empty() ? nullptr : m_options.address.c_str(), port.c_str(),
                               &hints, &found);
    if (rc != 0) {
        throw std::runtime_error("cannot resolve " + m_options.address + ": " + gai_strerror(rc));
    }
    const AddrInfoList list(found);
    std::string error = "no address";
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd) {
            error = std::strerror(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.Get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.Get(), 1024) != 0) {
            error = std::strerror(errno);
            continue;
        }
        m_listener = std::move(fd);
        break;
    }
    if (!m_listener) {
        throw std::runtime_error("cannot listen on " + m_options.address + " port " + port + ": " + error);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    return PortOf(bound);
}

void HttpFront::Start() {
    if (!m_listener) Bind();
    for (unsigned i = 0; i < m_options.threads; ++i) {
        m_reactors.push_back(std::make_unique<Reactor>(*this, i));
    }
    for (auto& reactor : m_reactors) {
        m_threads.emplace_back([r = reactor.get()] { r->Run(); });
    }
}

void HttpFront::Stop() {
    if (m_stopping.exchange(true)) return;
    for (auto& reactor : m_reactors) reactor->Wake();
    for (auto& thread : m_threads) thread.join();
    m_threads.clear();
    m_reactors.clear();
}

} // namespace pv::check
