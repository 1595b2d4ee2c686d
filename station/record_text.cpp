#include "station/station_log.h"
// The text of the log's records and their times; the file itself is station_log.cpp's.

#include <cstdio>
#include <ctime>

namespace station {
namespace {

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

std::string NumberOrNull(const std::optional<long>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string OrNull(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : "null";
}

std::string BcdOrNull(const std::optional<std::uint16_t>& bcd) {
  return bcd ? JsonString(BcdText(*bcd)) : "null";
}

std::string TextOrNull(const std::string& text) {
  return text.empty() ? "null" : JsonString(text);
}

// The fields that both records of an update carry: the port, the unit, the station, the image.
std::string Identity(const UpdateRecord& update) {
  return "\"port\": " + JsonString(update.port) +
         ", \"devicePath\": " + TextOrNull(update.devicePath) +
         ", \"serial\": " + OrNull(update.unit.serial) +
         ", \"usbId\": " + TextOrNull(update.unit.usbId) +
         ", \"bcdDevice\": " + BcdOrNull(update.unit.bcdDevice) +
         ", \"host\": " + JsonString(update.hostName) +
         ", \"station\": " + TextOrNull(update.stationId) +
         ", \"operator\": " + TextOrNull(update.operatorName) +
         ", \"toolVersion\": " + JsonString(update.toolVersion) +
         ", \"imageSha256\": " + JsonString(update.imageSha256) +
         ", \"start\": " + JsonString(UtcTimestamp(update.start));
}

// Last in a record, so that the record's own "port" and "start" come first.
std::string Duplicate(const UpdateRecord& update) {
  std::string text;
  if (update.duplicateOf) {
    const PriorPass& prior = *update.duplicateOf;
    text += ", \"duplicateOf\": {" +
            (prior.station.empty() ? "" : "\"station\": " + JsonString(prior.station) + ", ") +
            "\"port\": " + JsonString(prior.port) +
            ", \"start\": " + JsonString(UtcTimestamp(prior.start)) +
            ", \"end\": " + JsonString(UtcTimestamp(prior.end)) + "}";
  }
  if (update.sameSerialOn) {
    text += ", \"sameSerialOn\": {\"port\": " + JsonString(update.sameSerialOn->port) +
            ", \"start\": " + JsonString(UtcTimestamp(update.sameSerialOn->start)) + "}";
  }
  return text;
}

std::string StringList(const std::vector<std::string>& texts) {
  std::string list = "[";
  for (const std::string& text : texts) {
    list += (list.size() > 1 ? ", " : "") + JsonString(text);
  }
  return list + "]";
}

}  // namespace

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::pass:
      return "pass";
    case Verdict::fail:
      return "fail";
    case Verdict::interrupted:
      return "interrupted";
  }
  return "fail";
}

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::time_t time = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &time);
#else
  gmtime_r(&time, &utc);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::optional<std::chrono::system_clock::time_point> ParseUtcTimestamp(const std::string& text) {
  // By hand, not sscanf: the report reads millions of these.
  if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.' || text[23] != 'Z') {
    return std::nullopt;
  }
  bool digits = true;
  const auto number = [&](std::size_t at, std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      digits = digits && text[i] >= '0' && text[i] <= '9';
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2),
                 hour = number(11, 2), minute = number(14, 2), second = number(17, 2),
                 millis = number(20, 3);
  if (!digits || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  const long long seconds =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(seconds) + std::chrono::milliseconds(millis)));
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\r') {
      json += "\\r";
    } else if (c == '\t') {
      json += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      // Bytes outside ASCII are not known to be UTF-8; each stands for one code point.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string StartLine(const UpdateRecord& update) {
  return "{\"record\": \"start\", " + Identity(update) + Duplicate(update) + "}";
}

std::string JsonLine(const UpdateRecord& update) {
  std::string times = "[";
  for (const AttemptTimes& attempt : update.attemptTimes) {
    times += (times.size() > 1 ? ", " : "") + std::string("{\"start\": ") +
             JsonString(UtcTimestamp(attempt.start)) +
             ", \"end\": " + JsonString(UtcTimestamp(attempt.end)) + "}";
  }
  times += "]";
  const std::string after = update.after
                                ? "{\"serial\": " + OrNull(update.after->serial) +
                                      ", \"usbId\": " + TextOrNull(update.after->usbId) +
                                      ", \"bcdDevice\": " + BcdOrNull(update.after->bcdDevice) + "}"
                                : std::string("null");
  return "{\"record\": \"end\", " + Identity(update) +
         ", \"end\": " + JsonString(UtcTimestamp(update.end)) + ", \"after\": " + after +
         ", \"attempts\": " + StringList(update.attempts) + ", \"attemptTimes\": " + times +
         ", \"verdict\": \"" + VerdictText(update.verdict) + "\"" +
         ", \"requests\": {\"sent\": " + NumberOrNull(update.requestsSent) +
         ", \"failed\": " + NumberOrNull(update.requestsFailed) +
         "}, \"reason\": " + TextOrNull(update.reason) +
         ", \"notes\": " + StringList(update.notes) + Duplicate(update) + "}";
}

long long UtcDay(std::chrono::system_clock::time_point when) {
  return std::chrono::floor<std::chrono::days>(when.time_since_epoch()).count();
}

std::string DayText(long long day) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::days(day))).substr(0, 10);
}

}  // namespace station
