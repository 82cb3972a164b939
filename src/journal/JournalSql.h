#pragma once
// What the journal's files share: SQLite's words for a failure, and a query of one value.
#include <sqlite3.h>

#include <string>

namespace journal::detail {

// What went wrong, for the operator: the step, SQLite's words and the system's reason (an errno
// value, or on Windows the GetLastError() code).
std::string Reason(sqlite3* db, const char* step);
// The first column of the first row of `sql`, as text; empty when there is none.
int QueryText(sqlite3* db, const char* sql, std::string& out);

}  // namespace journal::detail
