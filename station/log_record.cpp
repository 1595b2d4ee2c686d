#include "station/log_record.h"

#include "station/station_log.h"

namespace station {
namespace {

// A strict reader of one JSON text that keeps only what the caller asks for; everything else is
// checked and passed over. Made for speed: a year of records is read in seconds.
class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool AtEnd() {
    Space();
    return i_ == s_.size();
  }
  bool Eat(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  // A string into `out` (null: passed over).
  bool String(std::string* out) {
    if (!Eat('"')) {
      return false;
    }
    while (i_ < s_.size()) {
      // The plain run up to the next quote or escape in one piece.
      std::size_t run = i_;
      while (run < s_.size() && s_[run] != '"' && s_[run] != '\\' &&
             static_cast<unsigned char>(s_[run]) >= 0x20) {
        ++run;
      }
      if (out != nullptr) {
        out->append(s_.substr(i_, run - i_));
      }
      i_ = run;
      if (i_ >= s_.size()) {
        return false;
      }
      const char c = s_[i_++];
      if (c == '"') {
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return false;
      }
      if (c != '\\') {
        if (out != nullptr) {
          out->push_back(c);
        }
        continue;
      }
      if (i_ >= s_.size()) {
        return false;
      }
      const char e = s_[i_++];
      char plain = 0;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          plain = e;
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'u':
          if (!Unicode(out)) {
            return false;
          }
          continue;
        default:
          return false;
      }
      if (out != nullptr) {
        out->push_back(plain);
      }
    }
    return false;
  }
  // A string or null; `isNull` says which.
  bool StringOrNull(std::string& out, bool& isNull) {
    Space();
    isNull = Literal("null");
    return isNull || String(&out);
  }
  // An array of strings into `out`.
  bool Strings(std::vector<std::string>& out) {
    if (!Eat('[')) {
      return false;
    }
    if (Eat(']')) {
      return true;
    }
    do {
      out.emplace_back();
      if (!String(&out.back())) {
        return false;
      }
    } while (Eat(','));
    return Eat(']');
  }
  // null, or an object whose "bcdDevice" goes into `out` (the rest passed over).
  bool BcdOfObject(std::optional<std::uint16_t>& out) {
    Space();
    if (Literal("null")) {
      return true;
    }
    if (!Eat('{')) {
      return false;
    }
    if (Eat('}')) {
      return true;
    }
    std::string key, bcd;
    bool isNull = false;
    do {
      key.clear();
      if (!String(&key) || !Eat(':')) {
        return false;
      }
      if (key == "bcdDevice" ? !StringOrNull(bcd, isNull) : !Skip(1)) {
        return false;
      }
    } while (Eat(','));
    out = ParseBcd(bcd);
    return Eat('}');
  }
  // Any value, passed over.
  bool Skip(int depth = 0) {
    Space();
    if (i_ >= s_.size() || depth > 16) {
      return false;
    }
    const char c = s_[i_];
    if (c == '"') {
      return String(nullptr);
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i_;
      if (Eat(close)) {
        return true;
      }
      do {
        if (c == '{' && !(String(nullptr) && Eat(':'))) {
          return false;
        }
        if (!Skip(depth + 1)) {
          return false;
        }
      } while (Eat(','));
      return Eat(close);
    }
    if (Literal("null") || Literal("true") || Literal("false")) {
      return true;
    }
    return Number();
  }

 private:
  void Space() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) {
      ++i_;
    }
  }
  bool Literal(std::string_view word) {
    if (s_.substr(i_, word.size()) == word) {
      i_ += word.size();
      return true;
    }
    return false;
  }
  bool Number() {
    const std::size_t from = i_;
    if (i_ < s_.size() && s_[i_] == '-') {
      ++i_;
    }
    const std::size_t digits = i_;
    while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.' || s_[i_] == 'e' ||
                              s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-')) {
      ++i_;
    }
    return i_ > digits && i_ > from;
  }
  // \uXXXX; the log writes each byte outside ASCII as one, so a code point up to 0xFF is
  // that byte again.
  bool Unicode(std::string* out) {
    if (i_ + 4 > s_.size()) {
      return false;
    }
    const auto code = ParseBcd(s_.substr(i_, 4));
    if (!code) {
      return false;
    }
    i_ += 4;
    if (out == nullptr) {
      return true;
    }
    if (*code <= 0xFF) {
      out->push_back(static_cast<char>(*code));
    } else if (*code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (*code >> 6)));
      out->push_back(static_cast<char>(0x80 | (*code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xE0 | (*code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((*code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (*code & 0x3F)));
    }
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<LogRecord> ParseLogRecord(std::string_view line) {
  Reader reader(line);
  if (!reader.Eat('{')) {
    return std::nullopt;
  }
  LogRecord record;
  std::string kind, start, end, bcd, key;
  bool serialNull = true, isNull = false;
  if (!reader.Eat('}')) {
    do {
      key.clear();
      if (!reader.String(&key) || !reader.Eat(':')) {
        return std::nullopt;
      }
      std::string* text = key == "record"        ? &kind
                          : key == "port"        ? &record.port
                          : key == "usbId"       ? &record.unit.usbId
                          : key == "bcdDevice"   ? &bcd
                          : key == "host"        ? &record.host
                          : key == "station"     ? &record.stationId
                          : key == "imageSha256" ? &record.imageSha256
                          : key == "start"       ? &start
                          : key == "end"         ? &end
                          : key == "verdict"     ? &record.verdict
                          : key == "reason"      ? &record.reason
                                                 : nullptr;
      bool ok = false;
      if (text != nullptr) {
        ok = reader.StringOrNull(*text, isNull);
      } else if (key == "serial") {
        std::string serial;
        ok = reader.StringOrNull(serial, serialNull);
        if (!serialNull) {
          record.unit.serial = std::move(serial);
        }
      } else if (key == "attempts") {
        ok = reader.Strings(record.attempts);
      } else if (key == "after") {
        ok = reader.BcdOfObject(record.afterBcd);
      } else {
        ok = reader.Skip();
      }
      if (!ok) {
        return std::nullopt;
      }
    } while (reader.Eat(','));
    if (!reader.Eat('}')) {
      return std::nullopt;
    }
  }
  if (!reader.AtEnd() || (kind != "start" && kind != "end") || record.port.empty()) {
    return std::nullopt;
  }
  record.end = kind == "end";
  const auto started = ParseUtcTimestamp(start);
  if (!started) {
    return std::nullopt;
  }
  record.start = *started;
  if (record.end) {
    const auto ended = ParseUtcTimestamp(end);
    if (!ended || record.verdict.empty()) {
      return std::nullopt;
    }
    record.endTime = *ended;
  }
  record.unit.bcdDevice = ParseBcd(bcd);
  return record;
}

}  // namespace station
