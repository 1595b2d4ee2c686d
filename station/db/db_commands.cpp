#include "station/db/db_commands.h"

#include <cstdio>
#include <vector>

#include "station/db/pg.h"
#include "station/db/schema.h"
#include "station/outbox.h"
#include "station/station_log.h"
#include "station/station_options.h"
#include "station/station_report.h"

namespace station::db {
namespace {

// The connection a command works on; nothing, with its exit status, when the URL cannot be used
// (64: a bad command line) or the database cannot be reached (1).
std::unique_ptr<Connection> Connect(const char* command, const std::string& url, int& status) {
  if (const auto problem = UrlProblem(url)) {
    std::fprintf(stderr, "reflash-station %s: %s\n", command, problem->c_str());
    status = ExitUsage;
    return nullptr;
  }
  DbError error;
  auto connection = Connection::Open(url, TakePasswordFromEnvironment(), error);
  if (!connection) {
    std::fprintf(stderr, "reflash-station %s: %s: %s\n", command, UrlWhere(url).c_str(),
                 error.text.c_str());
    status = 1;
  }
  return connection;
}

// COPY's text form escapes a backslash and the control characters; a record holds none of the
// latter raw, so undoing the escapes gives the record's line back.
std::string Unescaped(std::string_view row) {
  std::string line;
  line.reserve(row.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (row[i] != '\\' || i + 1 >= row.size()) {
      line += row[i];
      continue;
    }
    const char next = row[++i];
    line += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
  }
  return line;
}

// The rows of `sql` (COPY ... TO STDOUT), each a record, line by line to `take`.
template <typename Take>
bool EachRecord(Connection& connection, const std::string& sql, Take&& take, DbError& error) {
  std::string unescaped;
  return connection.CopyOut(
      sql,
      [&](std::string_view row) {
        if (!row.empty() && row.back() == '\n') {
          row.remove_suffix(1);
        }
        if (row == "\\N") {
          return;
        }
        if (row.find('\\') == std::string_view::npos) {
          take(row);
          return;
        }
        unescaped = Unescaped(row);
        take(std::string_view(unescaped));
      },
      error);
}

std::string Quoted(Connection& connection, const std::string& text, DbError& error, bool& ok) {
  std::vector<Row> rows;
  ok = connection.Exec("SELECT quote_literal($1)", {text}, &rows, error);
  return ok ? rows.at(0).at(0).value_or("''") : "";
}

}  // namespace

int RunMigrate(int argc, const char* const* argv) {
  std::string url, grant, error;
  if (argc < 1 || std::string(argv[0]) != "migrate") {
    error = "say 'db migrate --db URL [--grant ROLE]'";
  }
  for (int i = 1; i < argc && error.empty(); ++i) {
    const std::string word = argv[i];
    if ((word == "--db" || word == "--grant") && i + 1 < argc) {
      (word == "--db" ? url : grant) = argv[++i];
    } else {
      error = "unexpected '" + word + "'";
    }
  }
  if (error.empty() && url.empty()) {
    error = "option '--db' is needed";
  }
  if (!error.empty()) {
    std::fprintf(stderr, "reflash-station db: %s\n", error.c_str());
    return ExitUsage;
  }
  int status = 0;
  const auto connection = Connect("db migrate", url, status);
  if (!connection) {
    return status;
  }
  DbError dbError;
  const auto version = Migrate(*connection, grant, dbError);
  if (!version) {
    std::fprintf(stderr, "reflash-station db migrate: %s\n", dbError.text.c_str());
    return 1;
  }
  std::printf("schema at version %d%s\n", *version,
              grant.empty() ? "" : (", " + grant + " may read and add rows").c_str());
  return 0;
}

int RunDatabaseReport(int argc, const char* const* argv) {
  std::string url, station, error;
  std::vector<const char*> rest;
  ReportOptions options;
  options.fromDatabase = true;
  if (!TakeDatabaseOptions(argc, argv, url, station, rest, error) ||
      !ParseReportOptions(static_cast<int>(rest.size()), rest.data(), options, error)) {
    std::fprintf(stderr, "reflash-station report: %s\n", error.c_str());
    return ExitUsage;
  }
  int status = 0;
  const auto connection = Connect("report", url, status);
  if (!connection) {
    return status;
  }
  DbError dbError;
  bool ok = true;
  // The range as the report takes it (by the update's start), here so that the server reads only
  // those rows; the builder applies it again.
  std::string where = " WHERE true";
  if (!station.empty()) {
    where += " AND station = " + Quoted(*connection, station, dbError, ok);
  }
  if (options.since) {
    where += " AND start_time >= '" + UtcTimestamp(*options.since) + "'";
  }
  if (options.until) {
    where += " AND start_time < '" + UtcTimestamp(*options.until) + "'";
  }
  ReportBuilder builder(options);
  ok = ok && EachRecord(
                 *connection,
                 // In no order: the report's figures do not depend on it.
                 "COPY (SELECT record FROM reflash_end" + where + ") TO STDOUT",
                 [&](std::string_view line) { builder.AddRecord("database", line); }, dbError);
  if (!ok) {
    std::fprintf(stderr, "reflash-station report: %s\n", dbError.text.c_str());
    return 1;
  }
  Report report = builder.Finish();
  report.source = "the database" + (station.empty() ? "" : " (station " + station + ")");
  const std::string text = options.format == ReportOptions::Format::csv    ? ReportCsv(report)
                           : options.format == ReportOptions::Format::json ? ReportJson(report)
                                                                           : ReportText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int RunDatabaseHistory(const HistoryOptions& options) {
  int status = 0;
  const auto connection = Connect("history", options.dbUrl, status);
  if (!connection) {
    return status;
  }
  DbError error;
  bool ok = true;
  std::string where =
      " WHERE serial = " + Quoted(*connection, DatabaseText(options.serial), error, ok);
  if (ok && !options.station.empty()) {
    where += " AND station = " + Quoted(*connection, options.station, error, ok);
  }
  HistoryBuilder builder(options.serial, options.station);
  const auto take = [&](std::string_view line) { builder.AddLine(line); };
  ok = ok &&
       EachRecord(*connection, "COPY (SELECT record FROM reflash_start" + where + ") TO STDOUT",
                  take, error);
  ok = ok && EachRecord(*connection, "COPY (SELECT record FROM reflash_end" + where + ") TO STDOUT",
                        take, error);
  if (!ok) {
    std::fprintf(stderr, "reflash-station history: %s\n", error.text.c_str());
    return 1;
  }
  const std::string text = builder.Text();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return builder.Empty() ? 1 : 0;
}

}  // namespace station::db
