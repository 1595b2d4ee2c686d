#include "station/db/ship_rows.h"

#include <map>
#include <tuple>

namespace station::db {
namespace {

// An update's start and its end go to different tables; a row the database holds already is
// taken again only when it is the same record (the shipper sent it before its position was
// saved); a different record under the same key is refused.
constexpr const char* kShipStarts = R"sql(
WITH input AS (
  SELECT * FROM unnest($1::text[], $2::text[], $3::timestamptz[], $4::text[], $5::text[],
                       $6::text[], $7::text[], $8::text[], $9::bigint[])
    AS t(station, port, start_time, serial, bcd_before, image_sha256, host, record, position)),
added AS (
  INSERT INTO reflash_start (station, port, start_time, serial, bcd_before, image_sha256, host,
                             record)
  SELECT station, port, start_time, serial, bcd_before, image_sha256, host, record::json
  FROM input ON CONFLICT DO NOTHING RETURNING 1)
SELECT i.position FROM input i JOIN reflash_start r USING (station, port, start_time)
WHERE r.record::text <> i.record)sql";

constexpr const char* kShipEnds = R"sql(
WITH input AS (
  SELECT * FROM unnest($1::text[], $2::text[], $3::timestamptz[], $4::text[], $5::text[],
                       $6::text[], $7::text[], $8::text[], $9::bigint[], $10::timestamptz[],
                       $11::text[], $12::text[], $13::text[])
    AS t(station, port, start_time, serial, bcd_before, image_sha256, host, record, position,
         end_time, verdict, cause, bcd_after)),
added AS (
  INSERT INTO reflash_end (station, port, start_time, end_time, serial, verdict, cause,
                           image_sha256, bcd_before, bcd_after, host, record)
  SELECT station, port, start_time, end_time, serial, verdict, cause, image_sha256, bcd_before,
         bcd_after, host, record::json
  FROM input ON CONFLICT DO NOTHING RETURNING 1)
SELECT i.position FROM input i JOIN reflash_end r USING (station, port, start_time)
WHERE r.record::text <> i.record)sql";

constexpr const char* kReject = R"sql(
INSERT INTO reflash_rejected (station, position, line, error)
SELECT * FROM unnest($1::text[], $2::bigint[], $3::bytea[], $4::text[])
ON CONFLICT DO NOTHING)sql";

std::string Hex(std::string_view bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string text = "\\x";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
  }
  return text;
}

}  // namespace

bool ShipRows(Connection& connection, const std::vector<OutboxLine>& lines,
              const std::string& stationKey, std::vector<RejectedLine>& rejected, DbError& error) {
  rejected.clear();
  std::vector<Param> s[9], e[13];
  std::map<std::tuple<bool, std::string, std::string, std::string>, const std::string*> keys;
  std::map<std::string, std::pair<std::string, std::string>> byPosition;  // station, line
  for (const OutboxLine& line : lines) {
    const auto row = RowOfLine(line.text);
    if (!row) {
      rejected.push_back({stationKey, line.position, line.text,
                          line.text.size() >= kMaxOutboxLine
                              ? "a line over the bound of a record of the station log"
                              : "not a record of the station log"});
      continue;
    }
    const auto [it, added] =
        keys.try_emplace({row->end, row->station, row->port, row->start}, &line.text);
    if (!added) {
      if (*it->second != line.text) {
        rejected.push_back({row->station, line.position, line.text,
                            "another record with this station, port and start comes earlier in "
                            "the log"});
      }
      continue;
    }
    const std::string position = std::to_string(line.position);
    byPosition[position] = {row->station, line.text};
    std::vector<Param>* columns = row->end ? e : s;
    for (auto [index, value] : std::initializer_list<std::pair<int, Param>>{{0, row->station},
                                                                            {1, row->port},
                                                                            {2, row->start},
                                                                            {3, row->serial},
                                                                            {4, row->bcdBefore},
                                                                            {5, row->imageSha256},
                                                                            {6, row->host},
                                                                            {7, row->record},
                                                                            {8, position}}) {
      columns[index].push_back(std::move(value));
    }
    if (row->end) {
      e[9].push_back(row->endTime);
      e[10].push_back(row->verdict);
      e[11].push_back(row->cause.empty() ? Param() : Param(row->cause));
      e[12].push_back(row->bcdAfter);
    }
  }
  const auto rollback = [&] {
    DbError ignored;
    connection.Exec("ROLLBACK", {}, nullptr, ignored);
    return false;
  };
  if (!connection.Exec("BEGIN", {}, nullptr, error)) {
    return false;
  }
  for (const auto& [sql, columns, count] :
       {std::tuple{kShipStarts, &s[0], 9}, std::tuple{kShipEnds, &e[0], 13}}) {
    if (columns[0].empty()) {
      continue;
    }
    std::vector<Param> params;
    params.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      params.emplace_back(ArrayLiteral(columns[i]));
    }
    std::vector<Row> conflicts;
    if (!connection.Exec(sql, params, &conflicts, error)) {
      return rollback();
    }
    for (const Row& conflict : conflicts) {
      const auto& [station, text] = byPosition[conflict.at(0).value_or("")];
      rejected.push_back({station, std::stoull(conflict.at(0).value_or("0")), text,
                          "the database holds another record with this station, port and "
                          "start"});
    }
  }
  if (!SetAside(connection, rejected, error)) {
    return rollback();
  }
  if (!connection.Exec("COMMIT", {}, nullptr, error)) {
    return rollback();
  }
  return true;
}

bool SetAside(Connection& connection, const std::vector<RejectedLine>& lines, DbError& error) {
  if (lines.empty()) {
    return true;
  }
  std::vector<Param> stations, positions, texts, whys;
  for (const RejectedLine& one : lines) {
    stations.emplace_back(one.station);
    positions.emplace_back(std::to_string(one.position));
    texts.emplace_back(Hex(one.line));
    whys.emplace_back(one.why);
  }
  return connection.Exec(
      kReject,
      {ArrayLiteral(stations), ArrayLiteral(positions), ArrayLiteral(texts), ArrayLiteral(whys)},
      nullptr, error);
}

}  // namespace station::db
