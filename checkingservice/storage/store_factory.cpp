#include "checkingservice/storage/store_factory.h"

#include "checkingservice/storage/pg_store.h"
#include "checkingservice/storage/sqlite_store.h"

namespace pv::check {

bool IsPostgresAddress(std::string_view db) {
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::unique_ptr<Store> OpenStore(const std::string& db, OpenMode mode) {
    if (IsPostgresAddress(db)) return std::make_unique<PgStore>(db, mode);
    return std::make_unique<SqliteStore>(db, mode);
}

} // namespace pv::check
