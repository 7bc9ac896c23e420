#include "checkingservice/base/handles.h"

#include <libpq-fe.h>
#include <sqlite3.h>

namespace pv::check {

void SqliteCloser::operator()(sqlite3* db) const { sqlite3_close(db); }
void SqliteFinalizer::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
void SqliteFreer::operator()(char* text) const { sqlite3_free(text); }
void PgFinisher::operator()(pg_conn* conn) const { PQfinish(conn); }
void PgClearer::operator()(pg_result* result) const { PQclear(result); }
void PgNotifyFreer::operator()(pgNotify* note) const { PQfreemem(note); }
void PgFreer::operator()(char* data) const { PQfreemem(data); }

} // namespace pv::check
