#pragma once
// The station log as the factory database's outbox: its lines from a position on, read from the
// log's files in order (rotation only renames them, so a position stays good), the position the
// shipper has reached, kept beside the log, and each record as the database's row.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace station {

// A line longer than this is no record of this log; it is shipped as a rejected line, cut here.
inline constexpr std::size_t kMaxOutboxLine = 1 << 16;

struct OutboxLine {
  std::uint64_t position = 0;  // of its first byte, in the log's files taken in order
  std::string text;            // without its line end
};

class Outbox {
 public:
  explicit Outbox(std::string logPath) : logPath_(std::move(logPath)) {}
  // Up to `maxLines` whole lines from `from` on, none starting at or after `upTo`; `next` is the
  // position after the last one given. A last line without its line end is still being written
  // and is left for later.
  std::vector<OutboxLine> Read(std::uint64_t from, std::size_t maxLines, std::uint64_t& next,
                               std::uint64_t upTo = UINT64_MAX) const;
  // How many whole lines follow `from`; `end` is the position after the last of them.
  std::uint64_t Count(std::uint64_t from, std::uint64_t& end) const;
  // What tells this log from another at the same path: the first line of its oldest file.
  // Empty while the log holds no whole line.
  std::string Identity() const;

 private:
  // Calls take(line, position) for each whole line from `from` on until it returns false.
  template <typename Take>
  void Scan(std::uint64_t from, Take&& take) const;

  std::string logPath_;
};

// How far the shipper got in one log, kept in a file beside it: read back on a restart so that
// it does not send again what the database has (what it sends again is taken once anyway).
struct ShipPosition {
  std::uint64_t offset = 0;
  std::string identity;  // Outbox::Identity() of the log it belongs to
};
std::optional<ShipPosition> ParseShipPosition(std::string_view text);
std::string ShipPositionText(const ShipPosition& position);

// One record as the database keeps it: the columns that are queried, and the record whole.
struct ShipRow {
  bool end = false;
  std::string station;  // the record's station id, else its host: with port and start, the key
  std::string port;
  std::string start, endTime;  // as the record writes them; endTime empty for a start record
  std::optional<std::string> serial;
  std::string verdict, cause;  // end records only; cause empty for a pass
  std::string imageSha256, host;
  std::optional<std::string> bcdBefore, bcdAfter;
  std::string record;  // the line itself
};
// The row of a line; nullopt when the line is no record of this log.
std::optional<ShipRow> RowOfLine(std::string_view line);
// Text the database can hold in a text column: `text` itself when it is UTF-8 without NUL,
// else with each byte outside printable ASCII written "\xNN".
std::string DatabaseText(const std::string& text);

// What the station shows of its shipping.
struct ShipperStatus {
  bool enabled = false;  // --db given
  bool up = false;       // connected, with the schema it needs
  long long lag = 0;     // records in the log that the database does not have yet
  long long shipped = 0;
  long long errors = 0;      // failed attempts to reach or write the database
  long long rejected = 0;    // records the database refused; kept in reflash_rejected
  std::string error;         // the last error; empty once shipping goes again
  std::string rejectedLine;  // why the last rejected record was refused, and where it is
  std::string where;         // the database as host:port/name, never with a password
  bool operator==(const ShipperStatus&) const = default;
};

// Another station's pass of a serial number the same UTC day, from the database.
struct PassElsewhere {
  std::string port;  // of the update that asked
  std::string start;
  std::string otherStation, otherPort, otherStart, otherEnd;
};

}  // namespace station
