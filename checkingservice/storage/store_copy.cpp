#include "checkingservice/storage/store_copy.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <optional>
#include <vector>

#include "checkingservice/base/handles.h"
#include "checkingservice/storage/pg_store.h"
#include "checkingservice/storage/sqlite_store.h"

namespace pv::check {
namespace {

struct Table {
    const char* name;
    const char* columns;
    const char* order;
};

// In an order that keeps references valid (lists before their entries, administrators before
// their sessions).
constexpr Table kTables[] = {
    {"meta", "key, value", "key"},
    {"accounts", "id, name, password_hash, policy, relocation", "id"},
    {"lists", "id, name", "id"},
    {"list_entries", "list_id, kind, key", "list_id, kind, key"},
    {"rules", "scope, kind, key, action", "scope, kind, key"},
    {"attachments", "scope, list_id, action", "scope, list_id"},
    {"query_log", "id, time_ms, account, verified, address, verdict, reason, instance", "id"},
    {"counters_hourly", "start_ms, queries, forbidden", "start_ms"},
    {"counters_daily", "start_ms, queries, forbidden", "start_ms"},
    {"top_hourly", "what, start_ms, key, count", "what, start_ms, key"},
    {"administrators", "name, password_hash, created_ms", "name"},
    {"sessions", "digest, administrator, csrf, created_ms, last_seen_ms", "digest"},
    {"audit", "id, time_ms, actor, action, target, before, after", "id"},
    {"log_batches", "writer, sequence, time_ms", "writer"},
};

using Row = std::vector<std::optional<std::string>>;

class SqliteRows {
public:
    SqliteRows(sqlite3* db, const Table& table) : m_db(db) {
        const std::string sql =
            std::string("SELECT ") + table.columns + " FROM " + table.name + " ORDER BY " + table.order;
        sqlite3_stmt* prepared = nullptr;
        const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &prepared, nullptr);
        m_stmt.reset(prepared);
        if (rc != SQLITE_OK) throw StoreError(std::string("source: ") + sqlite3_errmsg(db));
    }
    SqliteRows(const SqliteRows&) = delete;
    SqliteRows& operator=(const SqliteRows&) = delete;

    bool Next(Row& row) {
        const int rc = sqlite3_step(m_stmt.get());
        if (rc == SQLITE_DONE) return false;
        if (rc != SQLITE_ROW) throw StoreError(std::string("source: ") + sqlite3_errmsg(m_db));
        const int columns = sqlite3_column_count(m_stmt.get());
        row.assign(static_cast<size_t>(columns), std::nullopt);
        for (int i = 0; i < columns; ++i) {
            if (sqlite3_column_type(m_stmt.get(), i) == SQLITE_NULL) continue;
            const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt.get(), i));
            // Copied, and compared, as the PostgreSQL store keeps a NUL byte.
            row[static_cast<size_t>(i)] = WithoutNul(
                std::string_view(bytes, static_cast<size_t>(sqlite3_column_bytes(m_stmt.get(), i))));
        }
        return true;
    }

private:
    sqlite3* m_db;
    SqliteStmt m_stmt;
};

void Exec(PGconn* conn, const std::string& sql) {
    const PgResult r(PQexec(conn, sql.c_str()));
    const auto status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw StoreError("target: " + sql + ": " + PQerrorMessage(conn));
    }
}

// One row in COPY text format.
void CopyLine(const Row& row, std::string& line) {
    line.clear();
    for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) line += '\t';
        if (!row[i]) {
            line += "\\N";
            continue;
        }
        for (char c : *row[i]) {
            switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
            }
        }
    }
    line += '\n';
}

uint64_t CopyTable(sqlite3* source, PGconn* target, const Table& table) {
    Exec(target, std::string("DELETE FROM ") + table.name);
    {
        const std::string sql = std::string("COPY ") + table.name + "(" + table.columns + ") FROM STDIN";
        const PgResult r(PQexec(target, sql.c_str()));
        if (PQresultStatus(r.get()) != PGRES_COPY_IN) {
            throw StoreError("target: " + sql + ": " + PQerrorMessage(target));
        }
    }
    SqliteRows rows(source, table);
    Row row;
    std::string line, chunk;
    uint64_t count = 0;
    const auto send = [&] {
        if (PQputCopyData(target, chunk.data(), static_cast<int>(chunk.size())) != 1) {
            throw StoreError(std::string("target: ") + PQerrorMessage(target));
        }
        chunk.clear();
    };
    while (rows.Next(row)) {
        CopyLine(row, line);
        chunk += line;
        ++count;
        if (chunk.size() > (1 << 20)) send();
    }
    if (!chunk.empty()) send();
    if (PQputCopyEnd(target, nullptr) != 1) {
        throw StoreError(std::string("target: ") + PQerrorMessage(target));
    }
    while (PGresult* raw = PQgetResult(target)) {
        const PgResult r(raw);
        if (PQresultStatus(raw) != PGRES_COMMAND_OK) {
            throw StoreError(std::string("target: copying ") + table.name + ": " + PQresultErrorMessage(raw));
        }
    }
    return count;
}

// Reads the table back from the target in the source's order and compares every value.
void CheckTable(sqlite3* source, PGconn* target, const Table& table, uint64_t copied) {
    const std::string sql =
        std::string("SELECT ") + table.columns + " FROM " + table.name + " ORDER BY " + table.order;
    if (!PQsendQuery(target, sql.c_str()) || !PQsetSingleRowMode(target)) {
        throw StoreError(std::string("target: ") + PQerrorMessage(target));
    }
    SqliteRows rows(source, table);
    Row expected;
    uint64_t checked = 0;
    std::string problem;
    while (PGresult* raw = PQgetResult(target)) {
        const PgResult r(raw);
        const auto status = PQresultStatus(raw);
        if (status == PGRES_TUPLES_OK) continue;
        if (status != PGRES_SINGLE_TUPLE) {
            if (problem.empty()) problem = PQresultErrorMessage(raw);
            continue;
        }
        if (!problem.empty()) continue;
        if (!rows.Next(expected)) {
            problem = "more rows than the source";
            continue;
        }
        for (int i = 0; i < PQnfields(raw); ++i) {
            const auto& want = expected[static_cast<size_t>(i)];
            const bool null = PQgetisnull(raw, 0, i) != 0;
            const std::string_view got(PQgetvalue(raw, 0, i), static_cast<size_t>(PQgetlength(raw, 0, i)));
            if (null != !want || (want && got != *want)) {
                problem = "row " + std::to_string(checked + 1) + " differs in " + PQfname(raw, i);
                break;
            }
        }
        ++checked;
    }
    if (problem.empty() && rows.Next(expected)) problem = "fewer rows than the source";
    if (problem.empty() && checked != copied) problem = "row count changed while copying";
    if (!problem.empty()) {
        throw StoreError(std::string("the copy of ") + table.name + " does not match: " + problem);
    }
}

} // namespace

void CopySqliteToPostgres(const std::string& source, const std::string& target, std::ostream& out) {
    // Both are checked for their schema (and the target made) by the stores themselves.
    { SqliteStore checked(source, OpenMode::Existing); }
    {
        PgStore made(target, OpenMode::Create);
        if (made.Accounts().size() > 1 || !made.Lists().empty() || !made.Rules(std::nullopt).empty() ||
            made.LogRows() > 0 || !made.Administrators().empty()) {
            throw StoreError("the target database holds data already; copy only into a new one");
        }
    }
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(source.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    const SqliteDb db(opened);
    if (rc != SQLITE_OK) throw StoreError("cannot open " + source);
    sqlite3* const raw = db.get();
    sqlite3_busy_timeout(raw, 5000);
    const PgConn pgOwner(PQconnectdb(target.c_str()));
    PGconn* const pg = pgOwner.get();
    if (PQstatus(pg) != CONNECTION_OK) {
        throw StoreError(std::string("cannot connect to the target: ") + PQerrorMessage(pg));
    }
    // One snapshot of the source, one transaction on the target: a service still writing its
    // log into the source cannot make the two differ, and a failed copy leaves nothing.
    if (sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw StoreError(std::string("source: ") + sqlite3_errmsg(raw));
    }
    Exec(pg, "BEGIN");
    std::vector<std::pair<const char*, uint64_t>> copied;
    for (const auto& table : kTables) copied.emplace_back(table.name, CopyTable(raw, pg, table));
    for (const char* table : {"accounts", "lists", "audit"}) {
        Exec(pg, std::string("SELECT setval(pg_get_serial_sequence('") + table +
                     "', 'id'), COALESCE((SELECT MAX(id) FROM " + table + "), 0) + 1, false)");
    }
    for (size_t i = 0; i < std::size(kTables); ++i) {
        CheckTable(raw, pg, kTables[i], copied[i].second);
    }
    Exec(pg, std::string("NOTIFY ") + kChangeChannel);
    Exec(pg, "COMMIT");
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    for (const auto& [table, rows] : copied) {
        out << table << '\t' << rows << " rows copied and checked\n";
    }
}

} // namespace pv::check
