// Which back end a database argument names: a postgresql:// or postgres:// address is a shared
// PostgreSQL database, anything else a SQLite file.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "checkingservice/storage/store.h"

namespace pv::check {

bool IsPostgresAddress(std::string_view db);

// Throws StoreError, naming the database and the cause.
std::unique_ptr<Store> OpenStore(const std::string& db, OpenMode mode);

} // namespace pv::check
