// The store suites run once per back end. Each test gets a fresh database: a temporary SQLite
// file, or a new database on the PostgreSQL server that with_postgres.sh started (PV_TEST_PG;
// without it the PostgreSQL cases are skipped, and CTest runs them only under that script).
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "checkingservice/base/handles.h"
#include "checkingservice/storage/store_factory.h"

namespace pv::check::testing {

enum class Backend { Sqlite, Postgres };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// Runs SQL on the test server's maintenance database.
inline void PostgresAdmin(const std::string& sql) {
    const std::string address =
        std::string("postgresql:///postgres?user=postgres&host=") + std::getenv("PV_TEST_PG");
    const PgConn conn(PQconnectdb(address.c_str()));
    const PgResult result(PQexec(conn.get(), sql.c_str()));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    }
}

class TestDatabase {
public:
    explicit TestDatabase(Backend backend) : m_backend(backend) {
        const std::string name = "pvtest_" + std::to_string(::getpid()) + "_" + std::to_string(s_counter++);
        if (backend == Backend::Sqlite) {
            m_address = (std::filesystem::temp_directory_path() / (name + ".db")).string();
        } else {
            PostgresAdmin("CREATE DATABASE " + name +
                          " ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
            m_name = name;
            m_address = "postgresql:///" + name + "?user=postgres&host=" + std::getenv("PV_TEST_PG");
        }
    }
    ~TestDatabase() {
        std::error_code ec;
        if (m_backend == Backend::Sqlite) {
            for (const char* suffix : {"", "-wal", "-shm"}) {
                std::filesystem::remove(m_address + suffix, ec);
            }
        } else {
            try {
                PostgresAdmin("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
            } catch (const std::exception&) {}
        }
    }
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& Address() const { return m_address; }

    // Runs SQL directly on the database, past the store (to fake an older schema, say).
    void Execute(const std::string& sql) const { Query(sql); }
    // The values of the result, row after row, separated by '|'.
    std::string Query(const std::string& sql) const {
        std::string out;
        if (m_backend == Backend::Sqlite) {
            sqlite3* opened = nullptr;
            sqlite3_open(m_address.c_str(), &opened);
            const SqliteDb db(opened);
            char* rawError = nullptr;
            std::pair<std::string*, bool> sink{&out, true}; // output, nothing written yet
            const int rc = sqlite3_exec(
                db.get(), sql.c_str(),
                [](void* state, int columns, char** values, char**) {
                    auto& [o, first] = *static_cast<std::pair<std::string*, bool>*>(state);
                    for (int i = 0; i < columns; ++i) {
                        if (!first) *o += '|';
                        first = false;
                        *o += values[i] ? values[i] : "";
                    }
                    return 0;
                },
                &sink, &rawError);
            const SqliteText error(rawError);
            if (rc != SQLITE_OK) throw std::runtime_error(sql + ": " + (error ? error.get() : ""));
            return out;
        }
        const PgConn conn(PQconnectdb(m_address.c_str()));
        const PgResult result(PQexec(conn.get(), sql.c_str()));
        const auto status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
        }
        for (int row = 0; row < PQntuples(result.get()); ++row) {
            for (int column = 0; column < PQnfields(result.get()); ++column) {
                if (row > 0 || column > 0) out += '|';
                out += PQgetvalue(result.get(), row, column);
            }
        }
        return out;
    }
    std::unique_ptr<Store> Open(OpenMode mode = OpenMode::Create) const { return OpenStore(m_address, mode); }

private:
    static inline int s_counter = 0;
    Backend m_backend;
    std::string m_address, m_name;
};

class BackendTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::Postgres && !std::getenv("PV_TEST_PG")) {
            GTEST_SKIP() << "no PostgreSQL (run under with_postgres.sh)";
        }
        m_db.emplace(GetParam());
    }
    std::unique_ptr<Store> Open(OpenMode mode = OpenMode::Create) { return m_db->Open(mode); }
    const TestDatabase& Db() const { return *m_db; }

private:
    std::optional<TestDatabase> m_db;
};

#define PV_INSTANTIATE_BACKENDS(Suite)                                                                       \
    INSTANTIATE_TEST_SUITE_P(                                                                                \
        Backends, Suite,                                                                                     \
        ::testing::Values(::pv::check::testing::Backend::Sqlite, ::pv::check::testing::Backend::Postgres),   \
        ::pv::check::testing::BackendName)

} // namespace pv::check::testing
