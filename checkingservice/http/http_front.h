// The HTTP side of the service. Connections are multiplexed on a few event-loop threads; a
// request is read only once it is completely buffered, so no thread ever waits on a slow
// client. Heads and bodies are size limited, partial requests time out, and every reply this
// layer makes up itself (timeouts, oversized or malformed requests, too many connections) is
// the allowing "000" with caching forbidden, like all others - except the refusal of a client
// over its share of connections, which forbids ("001").
//
// The service has one resource and two methods, so requests are read here by hand rather
// than by a general HTTP library: what a reply depends on is the request line and the
// Connection header, and a general parser's header maps, range and compression handling cost
// several times what answering the query does. Replies are never compressed or cut to a
// range: the filter reads the first bytes of the body as they are.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "checkingservice/base/handles.h"
#include "checkingservice/checking/check_service.h"

namespace pv::check {

struct HttpOptions {
    std::string address = "127.0.0.1";
    int port = 8880; // 0: any free port
    unsigned threads = 2;
    std::chrono::milliseconds requestTimeout{5000};   // first byte to complete request
    std::chrono::milliseconds idleTimeout{15000};     // between requests on one connection
    std::chrono::milliseconds firstByteTimeout{2000}; // a new connection that sends nothing
    size_t maxHead = 16 * 1024;                       // request line and headers
    size_t maxBody = 8 * 1024;                        // queries carry none; tolerated, ignored
    size_t maxConnections = 4096;
    size_t maxConnectionsPerClient = 64; // by IPv4 address or IPv6 /64
    unsigned maxRequestsPerConnection = 1000000;
};

// Where a buffered request ends, if it is complete, and what its header lines say about the
// connection. Exposed for tests.
struct Frame {
    enum class Kind { Incomplete, Complete, Reject } kind = Kind::Incomplete;
    size_t length = 0;       // Complete: bytes of head and body
    int status = 0;          // Reject
    std::string_view reason; // Reject
    // Complete: the request line or the empty line closing the head does not end in CRLF, or
    // a header line is longer than kMaxHeaderLine; answered 400. Other header lines without
    // CR are ignored.
    bool malformed = false;
    bool close = false;     // "Connection: close"
    bool keepAlive = false; // "Connection: keep-alive" (HTTP/1.0)
};
inline constexpr size_t kMaxHeaderLine = 8192;
// scan_from remembers how far a previous call searched for the end of the head; start at 0.
Frame FrameRequest(std::string_view buffered, size_t maxHead, size_t maxBody, size_t& scanFrom);

// The request line split by hand: the target runs from the first blank to the last one, so
// that an unescaped address, with its own "?", or even blanks, arrives whole; the handler
// gets this raw target. Exposed for tests.
struct RequestLine {
    bool valid = false;
    std::string_view method;
    std::string_view target;
    std::string_view version;
    std::string_view rest; // from the line end of the request line on
};
RequestLine SplitRequestLine(std::string_view request);

class HttpFront {
public:
    using Handler = std::function<Reply(std::string_view method, std::string_view target,
                                        std::string_view peer, unsigned thread)>;

    // Asked about each complete request before it is answered. False: the request cannot be
    // answered without waiting; the connection is parked until the function that
    // make_resume() returned is called (from any thread, at most once, harmless after the
    // connection or the front end are gone). make_resume is called only by a gate that parks,
    // so that requests answered at once cost no allocation for it.
    // client: the connection's client as the per-client connection cap counts it.
    using MakeResume = std::function<std::function<void()>()>;
    using Gate = std::function<bool(std::string_view target, std::string_view client, unsigned thread,
                                    const MakeResume& makeResume)>;

    HttpFront(HttpOptions options, Handler handler, Gate gate = {});
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Opens the listening socket; returns the port (the chosen one when the port is 0).
    // Throws std::runtime_error.
    int Bind();
    void Start();
    void Stop(); // idempotent; waits for the serving threads

private:
    class Reactor;
    struct Mailbox;

    // False: the client has its share of connections already.
    bool Admit(const std::string& client);
    void Release(const std::string& client);

    HttpOptions m_options;
    Handler m_handler;
    Gate m_gate;
    UniqueFd m_listener;
    std::atomic<bool> m_stopping{false};
    std::atomic<size_t> m_connections{0};
    std::mutex m_clientsMutex;
    std::unordered_map<std::string, size_t> m_clients; // open connections by client
    std::vector<std::unique_ptr<Reactor>> m_reactors;
    std::vector<std::thread> m_threads;
};

} // namespace pv::check
