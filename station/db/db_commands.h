#pragma once
// The commands that read or set up the factory database: `db migrate`, `report --db` and
// `history --db`.

#include <string>

#include "station/history.h"

namespace station::db {

// `reflash-station db migrate --db URL [--grant ROLE]`; the exit status.
int RunMigrate(int argc, const char* const* argv);
// `reflash-station report --db URL [--station ID] ...`, the words after "report".
int RunDatabaseReport(int argc, const char* const* argv);
int RunDatabaseHistory(const HistoryOptions& options);

}  // namespace station::db
