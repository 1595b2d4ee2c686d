#include "station/db/schema.h"

#include <libpq-fe.h>

#include <array>

namespace station::db {
namespace {

// Each record of the log is one row, written once and never changed: a station needs only to
// insert and to read. An update's start and end are apart, so that an end never rewrites its
// start; reflash_update puts them together. The key is the station, the port and the start.
constexpr std::array<const char*, kSchemaVersion> kMigrations = {
    R"sql(
CREATE TABLE reflash_start (
  station text NOT NULL,
  port text NOT NULL,
  start_time timestamptz NOT NULL,
  serial text,
  bcd_before text,
  image_sha256 text NOT NULL,
  host text NOT NULL,
  record json NOT NULL,
  shipped_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (station, port, start_time)
);
CREATE INDEX reflash_start_serial ON reflash_start (serial, start_time);
CREATE INDEX reflash_start_time ON reflash_start (start_time);
CREATE TABLE reflash_end (
  station text NOT NULL,
  port text NOT NULL,
  start_time timestamptz NOT NULL,
  end_time timestamptz NOT NULL,
  serial text,
  verdict text NOT NULL CHECK (verdict IN ('pass', 'fail', 'interrupted')),
  cause text,
  image_sha256 text NOT NULL,
  bcd_before text,
  bcd_after text,
  host text NOT NULL,
  record json NOT NULL,
  shipped_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (station, port, start_time)
);
CREATE INDEX reflash_end_serial ON reflash_end (serial, end_time);
CREATE INDEX reflash_end_time ON reflash_end (end_time);
CREATE INDEX reflash_end_station_time ON reflash_end (station, end_time);
CREATE TABLE reflash_rejected (
  station text NOT NULL,
  position bigint NOT NULL,
  line bytea NOT NULL,
  error text NOT NULL,
  at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (station, position)
);
CREATE VIEW reflash_update AS
  SELECT station, port, start_time, e.end_time, coalesce(e.serial, s.serial) AS serial,
         e.verdict, e.cause, coalesce(e.image_sha256, s.image_sha256) AS image_sha256,
         coalesce(e.bcd_before, s.bcd_before) AS bcd_before, e.bcd_after,
         coalesce(e.host, s.host) AS host, s.record AS start_record, e.record AS end_record
  FROM reflash_start s FULL JOIN reflash_end e USING (station, port, start_time);
)sql",
    // The report's range is by the update's start.
    "CREATE INDEX reflash_end_start ON reflash_end (start_time)",
};

constexpr const char* kTables[] = {"reflash_schema", "reflash_start", "reflash_end",
                                   "reflash_rejected", "reflash_update"};

std::optional<int> VersionIn(Connection& connection, DbError& error) {
  std::vector<Row> rows;
  if (!connection.Exec("SELECT to_regclass('reflash_schema') IS NOT NULL", {}, &rows, error)) {
    return std::nullopt;
  }
  if (rows.empty() || rows[0][0] != "t") {
    return 0;
  }
  if (!connection.Exec("SELECT coalesce(max(version), 0) FROM reflash_schema", {}, &rows, error)) {
    return std::nullopt;
  }
  return std::stoi(rows.at(0).at(0).value_or("0"));
}

}  // namespace

std::optional<int> SchemaVersion(Connection& connection, DbError& error) {
  return VersionIn(connection, error);
}

std::optional<int> Migrate(Connection& connection, const std::string& grantTo, DbError& error) {
  if (!connection.Exec("BEGIN", {}, nullptr, error)) {
    return std::nullopt;
  }
  const auto fail = [&]() -> std::optional<int> {
    DbError ignored;
    connection.Exec("ROLLBACK", {}, nullptr, ignored);
    return std::nullopt;
  };
  // Two stations that start at once: the second waits, then finds the work done.
  if (!connection.Exec("SELECT pg_advisory_xact_lock(hashtext('reflash_schema'))", {}, nullptr,
                       error) ||
      !connection.Exec("CREATE TABLE IF NOT EXISTS reflash_schema (version integer PRIMARY KEY, "
                       "applied_at timestamptz NOT NULL DEFAULT now())",
                       {}, nullptr, error)) {
    return fail();
  }
  const auto version = VersionIn(connection, error);
  if (!version) {
    return fail();
  }
  for (int next = *version + 1; next <= kSchemaVersion; ++next) {
    if (!connection.Exec(kMigrations[static_cast<std::size_t>(next - 1)], {}, nullptr, error) ||
        !connection.Exec("INSERT INTO reflash_schema (version) VALUES ($1)", {std::to_string(next)},
                         nullptr, error)) {
      error.text = "migration " + std::to_string(next) + ": " + error.text;
      return fail();
    }
  }
  if (!grantTo.empty()) {
    std::vector<Row> rows;
    if (!connection.Exec("SELECT quote_ident($1)", {grantTo}, &rows, error)) {
      return fail();
    }
    const std::string role = rows.at(0).at(0).value_or("");
    for (const char* table : kTables) {
      // The station reads the version and the view, and adds rows; nothing else.
      const std::string name = table;
      const bool readOnly = name == "reflash_update" || name == "reflash_schema";
      if (!connection.Exec(std::string("GRANT ") + (readOnly ? "SELECT" : "SELECT, INSERT") +
                               " ON " + table + " TO " + role,
                           {}, nullptr, error)) {
        return fail();
      }
    }
  }
  if (!connection.Exec("COMMIT", {}, nullptr, error)) {
    return fail();
  }
  return std::max(*version, kSchemaVersion);
}

}  // namespace station::db
