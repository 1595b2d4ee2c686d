#include "station/outbox.h"

#include <filesystem>
#include <fstream>

#include "station/log_files.h"
#include "station/log_record.h"
#include "station/station_log.h"
#include "station/station_report.h"

namespace station {

template <typename Take>
void Outbox::Scan(std::uint64_t from, Take&& take) const {
  constexpr std::size_t kBlock = 1 << 16;
  const std::vector<std::string> files = StationLogFiles(logPath_);
  std::uint64_t base = 0;
  std::vector<char> block(kBlock);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(files[i], ec);
    if (ec || base + size <= from) {
      base += ec ? 0 : size;
      continue;
    }
    std::ifstream file(files[i], std::ios::binary);
    std::uint64_t at = from > base ? from - base : 0;  // within this file
    file.seekg(static_cast<std::streamoff>(at));
    std::uint64_t lineStart = base + at;
    std::string pending;
    bool cut = false;  // the pending line is over the bound; the rest of it is passed over
    // Only up to the size read above: a line appended since then is the next scan's.
    std::uint64_t left = size - at;
    while (file && left > 0) {
      file.read(block.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(kBlock, left)));
      std::string_view got(block.data(), static_cast<std::size_t>(file.gcount()));
      left -= got.size();
      while (!got.empty()) {
        const auto newline = got.find('\n');
        const std::string_view piece = got.substr(0, newline);
        if (!cut) {
          pending.append(
              piece.substr(0, kMaxOutboxLine - std::min(kMaxOutboxLine, pending.size())));
          cut = pending.size() >= kMaxOutboxLine && piece.size() > 0;
        }
        at += piece.size();
        if (newline == std::string_view::npos) {
          break;
        }
        ++at;
        if (!take(lineStart, std::string_view(pending), base + at)) {
          return;
        }
        lineStart = base + at;
        pending.clear();
        cut = false;
        got.remove_prefix(newline + 1);
      }
    }
    // A rotated file ends with a whole line; one cut short by a crash still ends there.
    if (!pending.empty() && i + 1 < files.size() && at == size) {
      if (!take(lineStart, std::string_view(pending), base + at)) {
        return;
      }
    }
    base += size;
  }
}

std::vector<OutboxLine> Outbox::Read(std::uint64_t from, std::size_t maxLines, std::uint64_t& next,
                                     std::uint64_t upTo) const {
  std::vector<OutboxLine> lines;
  next = from;
  if (maxLines == 0) {
    return lines;
  }
  Scan(from, [&](std::uint64_t position, std::string_view text, std::uint64_t after) {
    if (position >= upTo) {
      return false;
    }
    lines.push_back({position, std::string(text)});
    next = after;
    return lines.size() < maxLines;
  });
  return lines;
}

std::uint64_t Outbox::Count(std::uint64_t from, std::uint64_t& end) const {
  std::uint64_t count = 0;
  end = from;
  Scan(from, [&](std::uint64_t, std::string_view, std::uint64_t after) {
    ++count;
    end = after;
    return true;
  });
  return count;
}

std::string Outbox::Identity() const {
  std::string first;
  Scan(0, [&](std::uint64_t, std::string_view text, std::uint64_t) {
    first = text;
    return false;
  });
  return first;
}

std::optional<ShipPosition> ParseShipPosition(std::string_view text) {
  // "<offset>\n<identity line>\n"
  const auto newline = text.find('\n');
  if (newline == std::string_view::npos || newline == 0 || newline > 20 || text.back() != '\n') {
    return std::nullopt;
  }
  ShipPosition position;
  for (const char c : text.substr(0, newline)) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    position.offset = position.offset * 10 + static_cast<std::uint64_t>(c - '0');
  }
  position.identity = text.substr(newline + 1, text.size() - newline - 2);
  return position;
}

std::string ShipPositionText(const ShipPosition& position) {
  return std::to_string(position.offset) + "\n" + position.identity + "\n";
}

namespace {

// UTF-8 as PostgreSQL takes it: no NUL, no overlong form, no surrogate, nothing over U+10FFFF.
bool DatabaseUtf8(const std::string& text) {
  constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0) {
      return false;
    }
    if (c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t more = (c & 0xE0) == 0xC0   ? 1
                             : (c & 0xF0) == 0xE0 ? 2
                             : (c & 0xF8) == 0xF0 ? 3
                                                  : 0;
    if (more == 0 || i + more >= text.size()) {
      return false;
    }
    std::uint32_t code = c & (0x3Fu >> more);
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

}  // namespace

std::string DatabaseText(const std::string& text) {
  if (DatabaseUtf8(text)) {
    return text;
  }
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += c;
    } else {
      static const char* const kHex = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

std::optional<ShipRow> RowOfLine(std::string_view line) {
  const auto record = ParseLogRecord(line);
  if (!record) {
    return std::nullopt;
  }
  ShipRow row;
  row.end = record->end;
  row.station = DatabaseText(record->stationId.empty() ? record->host : record->stationId);
  row.port = DatabaseText(record->port);
  row.start = UtcTimestamp(record->start);
  if (record->unit.serial) {
    row.serial = DatabaseText(*record->unit.serial);
  }
  if (record->unit.bcdDevice) {
    row.bcdBefore = BcdText(*record->unit.bcdDevice);
  }
  row.imageSha256 = DatabaseText(record->imageSha256);
  row.host = DatabaseText(record->host);
  if (record->end) {
    row.endTime = UtcTimestamp(record->endTime);
    row.verdict = DatabaseText(record->verdict);
    row.cause = record->verdict == "pass" ? "" : DatabaseText(FailureCause(*record));
    if (record->afterBcd) {
      row.bcdAfter = BcdText(*record->afterBcd);
    }
  }
  row.record = line;
  return row;
}

}  // namespace station
