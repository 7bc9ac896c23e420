// The owners of every operating-system and library handle the service holds: descriptors,
// SQLite connections and statements, libpq connections, results and notifications, resolver
// lists and library-allocated text. Each is released by its owner and by nothing else, so an
// exception anywhere between acquiring and handing on cannot leak one.
#pragma once

#include <netdb.h>
#include <unistd.h>

#include <memory>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;
struct pg_conn;
struct pg_result;
struct pgNotify;

namespace pv::check {

// A file descriptor; -1 holds nothing.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        const int old = std::exchange(m_fd, fd);
        if (old >= 0) ::close(old);
    }

private:
    int m_fd = -1;
};

// The library handles close through functions of the libraries themselves; the deleters are
// defined where those headers are included (handles.cpp), so this header stays free of them.
struct SqliteCloser {
    void operator()(sqlite3* db) const;
};
struct SqliteFinalizer {
    void operator()(sqlite3_stmt* stmt) const;
};
struct SqliteFreer {
    void operator()(char* text) const;
}; // sqlite3_free
struct PgFinisher {
    void operator()(pg_conn* conn) const;
};
struct PgClearer {
    void operator()(pg_result* result) const;
};
struct PgNotifyFreer {
    void operator()(pgNotify* note) const;
}; // PQfreemem
struct PgFreer {
    void operator()(char* data) const;
}; // PQfreemem: COPY data
struct AddrInfoFreer {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStmt = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;
using SqliteText = std::unique_ptr<char, SqliteFreer>;
using PgConn = std::unique_ptr<pg_conn, PgFinisher>;
using PgResult = std::unique_ptr<pg_result, PgClearer>;
using PgNotify = std::unique_ptr<pgNotify, PgNotifyFreer>;
using PgMemory = std::unique_ptr<char, PgFreer>;
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFreer>;

} // namespace pv::check
