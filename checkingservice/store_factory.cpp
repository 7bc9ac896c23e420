#include "checkingservice/store_factory.h"

#include "checkingservice/pg_store.h"
#include "checkingservice/sqlite_store.h"

namespace pv::check {

bool is_postgres_address(std::string_view db) {
  return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::unique_ptr<Store> open_store(const std::string &db, OpenMode mode) {
  if (is_postgres_address(db)) return std::make_unique<PgStore>(db, mode);
  return std::make_unique<SqliteStore>(db, mode);
}

}  // namespace pv::check
