#pragma once
// The station log's records into the database's tables: a batch of lines as one transaction, and
// the lines the database refuses set aside in reflash_rejected with why.

#include <cstdint>
#include <string>
#include <vector>

#include "station/db/pg.h"
#include "station/outbox.h"

namespace station::db {

struct RejectedLine {
  std::string station;
  std::uint64_t position = 0;  // in the log
  std::string line;
  std::string why;
};

// Sends `lines` in one transaction. A line that is no record, one whose key comes earlier in the
// batch with another text, and one whose key the database holds with another record are set
// aside in the same transaction and named in `rejected`; a record the database already holds as
// it is is taken as sent (a batch sent again after a crash). False with `error`, and nothing
// written, when a statement fails; `error.RecordLevel()` then says the data was refused.
bool ShipRows(Connection& connection, const std::vector<OutboxLine>& lines,
              const std::string& stationKey, std::vector<RejectedLine>& rejected, DbError& error);
// Keeps `lines` in reflash_rejected, each once.
bool SetAside(Connection& connection, const std::vector<RejectedLine>& lines, DbError& error);

}  // namespace station::db
