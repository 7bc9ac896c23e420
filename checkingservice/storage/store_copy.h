// Moving a deployment from its SQLite file to a shared PostgreSQL database.
#pragma once

#include <ostream>
#include <string>

namespace pv::check {

// Copies every table of the SQLite database at `source` (of the current schema) into the
// PostgreSQL database `target`, which must hold no accounts, rules, lists or log yet; ids,
// password hashes, counters, sessions, the audit trail and the ids of written query-log
// batches come along. Everything is written in one transaction, then read back and compared
// row for row with the source, and kept only if every row matches. Reports each table to
// out; throws StoreError on any failure or difference. The per-instance health rows are not
// copied: running instances write their own.
void CopySqliteToPostgres(const std::string& source, const std::string& target, std::ostream& out);

} // namespace pv::check
