// pvconsole: the administrators' web console. A program of its own beside pvcheckd, sharing
// only the database: nothing it does - a slow page, an import, a crash - can reach the
// threads that answer the filter's queries.
//
// Everything but the login page, its static files and the login call itself needs a session
// (an HttpOnly, SameSite=Strict cookie whose token the database keeps only as a digest); every
// state-changing call also needs the session's CSRF token in the X-CSRF-Token header.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pv::check {

struct ConsoleOptions {
    std::string db;
    std::string address = "127.0.0.1";
    int port = 8890; // 0: any free port
    std::string staticDir;
    bool secureCookies = false; // served behind TLS: cookies only over it
    // Names (lower case) the console answers under besides address literals and localhost.
    std::vector<std::string> hosts;
    int64_t sessionIdleMs = 30 * 60 * 1000;
    int64_t sessionLifetimeMs = 12 * 60 * 60 * 1000;
    // Failed logins allowed per window, per client address and per name.
    unsigned clientFailures = 20;
    unsigned nameFailures = 5;
    int64_t failureWindowMs = 15 * 60 * 1000;
    size_t maxUpload = 128u << 20;
    unsigned threads = 8;
};

class Console {
public:
    explicit Console(ConsoleOptions options);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    int Bind(); // returns the port; throws std::runtime_error
    void Run(); // serves until stop()
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace pv::check
