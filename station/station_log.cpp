#include "station/station_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "station/log_record.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace station {
namespace {

#ifdef _WIN32
int OpenAppend(const std::string& path) {
  return ::_open(path.c_str(), _O_RDWR | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}
long long FileSize(int fd) {
  struct _stati64 info {};
  return ::_fstati64(fd, &info) == 0 ? info.st_size : -1;
}
bool CutTo(int fd, long long size) {
  return ::_chsize_s(fd, size) == 0;
}
bool Sync(int fd) {
  return ::_commit(fd) == 0;
}
int WriteSome(int fd, const char* data, std::size_t size) {
  return ::_write(fd, data, static_cast<unsigned>(size));
}
int ReadSome(int fd, char* data, std::size_t size) {
  return ::_read(fd, data, static_cast<unsigned>(size));
}
int Close(int fd) {
  return ::_close(fd);
}
#else
int OpenAppend(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
}
long long FileSize(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? info.st_size : -1;
}
bool CutTo(int fd, long long size) {
  return ::ftruncate(fd, size) == 0;
}
bool Sync(int fd) {
  return ::fsync(fd) == 0;
}
ssize_t WriteSome(int fd, const char* data, std::size_t size) {
  return ::write(fd, data, size);
}
ssize_t ReadSome(int fd, char* data, std::size_t size) {
  return ::read(fd, data, size);
}
int Close(int fd) {
  return ::close(fd);
}
#endif

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The value of the string field `key` in one of this log's own lines; nullopt when absent.
std::optional<std::string> StringField(const std::string& line, const std::string& key) {
  const std::string opening = "\"" + key + "\": \"";
  const auto at = line.find(opening);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  std::string value;
  for (std::size_t i = at + opening.size(); i < line.size(); ++i) {
    if (line[i] == '"') {
      return value;
    }
    if (line[i] == '\\' && i + 1 < line.size()) {
      ++i;  // port names and times hold no escapes worth undoing beyond the quote
    }
    value.push_back(line[i]);
  }
  return std::nullopt;
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
  if (!update.duplicateOf) {
    return "";
  }
  const PriorPass& prior = *update.duplicateOf;
  return ", \"duplicateOf\": {\"port\": " + JsonString(prior.port) +
         ", \"start\": " + JsonString(UtcTimestamp(prior.start)) +
         ", \"end\": " + JsonString(UtcTimestamp(prior.end)) + "}";
}

std::string StringList(const std::vector<std::string>& texts) {
  std::string list = "[";
  for (const std::string& text : texts) {
    list += (list.size() > 1 ? ", " : "") + JsonString(text);
  }
  return list + "]";
}

// "2026-12-07" and its repeat number from a rotated file's name; nullopt for another name.
std::optional<std::pair<std::string, int>> RotatedName(const std::string& name,
                                                       const std::string& stem) {
  const std::string head = stem + "-";
  const std::string tail = ".jsonl";
  if (name.size() < head.size() + 10 + tail.size() || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
    return std::nullopt;
  }
  const std::string date = name.substr(head.size(), 10);
  if (!ParseUtcTimestamp(date + "T00:00:00.000Z")) {
    return std::nullopt;
  }
  const std::string rest =
      name.substr(head.size() + 10, name.size() - head.size() - 10 - tail.size());
  if (rest.empty()) {
    return std::pair{date, 1};
  }
  if (rest.size() < 2 || rest.size() > 7 || rest[0] != '.' ||
      rest.find_first_not_of("0123456789", 1) != std::string::npos) {
    return std::nullopt;
  }
  return std::pair{date, std::stoi(rest.substr(1))};
}

std::pair<std::string, std::string> FolderAndStem(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  return {folder, dot == std::string::npos ? name : name.substr(0, dot)};
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The time a line of this log was written: an end record's end, a start record's start.
std::optional<long long> LineDay(const std::string& line) {
  const auto record = StringField(line, "record");
  const auto time = record ? StringField(line, *record == "end" ? "end" : "start") : std::nullopt;
  const auto when = time ? ParseUtcTimestamp(*time) : std::nullopt;
  return when ? std::optional<long long>(UtcDay(*when)) : std::nullopt;
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

std::vector<std::string> StationLogFiles(const std::string& path) {
  namespace fs = std::filesystem;
  const auto [folder, stem] = FolderAndStem(path);
  std::vector<std::tuple<std::string, int, std::string>> rotated;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (const auto key = RotatedName(name, stem)) {
      rotated.emplace_back(key->first, key->second, folder + "/" + name);
    }
  }
  std::sort(rotated.begin(), rotated.end());
  std::vector<std::string> files;
  for (const auto& entry : rotated) {
    files.push_back(std::get<2>(entry));
  }
  if (fs::exists(path, ec)) {
    files.push_back(path);
  }
  return files;
}

std::string RecentLogText(const std::string& path) {
  const auto files = StationLogFiles(path);
  const auto [folder, stem] = FolderAndStem(path);
  // The day before the newest rotated file's, as a name compares: "2026-12-06".
  std::string from;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const std::string name = it->substr(it->find_last_of("/\\") + 1);
    if (const auto key = RotatedName(name, stem)) {
      const auto day = ParseUtcTimestamp(key->first + "T00:00:00.000Z");
      from = DayText(UtcDay(*day) - 1);
      break;
    }
  }
  std::string text;
  for (const std::string& file : files) {
    const std::string name = file.substr(file.find_last_of("/\\") + 1);
    const auto key = RotatedName(name, stem);
    if (!key || key->first >= from) {
      text += ReadWhole(file);
      if (!text.empty() && text.back() != '\n') {
        text += '\n';  // a line cut short must not run into the next file's first
      }
    }
  }
  return text;
}

std::vector<UnendedUpdate> FindUnended(const std::string& logText) {
  std::vector<UnendedUpdate> open;
  std::size_t at = 0;
  while (at < logText.size()) {
    std::size_t end = logText.find('\n', at);
    if (end == std::string::npos) {
      end = logText.size();
    }
    const auto record = ParseLogRecord(std::string_view(logText).substr(at, end - at));
    at = end + 1;
    if (!record) {
      continue;
    }
    const auto same = [&](const UnendedUpdate& u) {
      return u.port == record->port && u.start == record->start;
    };
    if (!record->end) {
      open.push_back({record->port, record->start, record->unit});
    } else {
      std::erase_if(open, same);
    }
  }
  return open;
}

StationLog::~StationLog() {
  if (fd_ >= 0) {
    Close(fd_);
  }
}

bool StationLog::Open(const std::string& path) {
  path_ = path;
  fd_ = OpenAppend(path);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  text_.clear();
  char buffer[65536];
  for (auto size = ReadSome(fd_, buffer, sizeof buffer); size > 0;
       size = ReadSome(fd_, buffer, sizeof buffer)) {
    text_.append(buffer, static_cast<std::size_t>(size));
  }
  // A station killed inside a write, before this log cut its lines back, leaves part of one.
  const auto whole = text_.rfind('\n');
  const std::size_t keep = whole == std::string::npos ? 0 : whole + 1;
  if (keep != text_.size()) {
    if (!CutTo(fd_, static_cast<long long>(keep))) {
      error_ = std::strerror(errno);
      return false;
    }
    text_.resize(keep);
  }
  day_.reset();
  if (!text_.empty()) {
    const auto from = text_.rfind('\n', text_.size() - 2);
    day_ = LineDay(text_.substr(from == std::string::npos ? 0 : from + 1));
  }
  return true;
}

bool StationLog::Rotate(long long day) {
  const auto [folder, stem] = FolderAndStem(path_);
  const std::string base = folder + "/" + stem + "-" + DayText(day);
  std::error_code ec;
  std::string target = base + ".jsonl";
  for (int n = 2; std::filesystem::exists(target, ec); ++n) {
    target = base + "." + std::to_string(n) + ".jsonl";
  }
  // Windows renames no open file: close, move aside, open anew; on any failure go on with
  // the old file, which loses nothing.
  Close(fd_);
  fd_ = -1;
  std::filesystem::rename(path_, target, ec);
  fd_ = OpenAppend(path_);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  if (!ec) {
    day_.reset();
  }
  return true;
}

bool StationLog::Append(const std::string& line, std::chrono::system_clock::time_point when) {
  if (fd_ < 0) {
    error_ = "not open";
    return false;
  }
  const long long size = FileSize(fd_);
  const bool newDay = day_ && *day_ != UtcDay(when);
  const bool full =
      maxBytes_ > 0 && size > 0 && size + static_cast<long long>(line.size()) + 1 > maxBytes_;
  if (rotate_ && size > 0 && (newDay || full) && !Rotate(day_ ? *day_ : UtcDay(when))) {
    return false;
  }
  const long long before = FileSize(fd_);
  const std::string text = line + "\n";
  std::size_t written = 0;
  errno = 0;
  while (written < text.size()) {
    const auto size = WriteSome(fd_, text.data() + written, text.size() - written);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size <= 0) {
      break;
    }
    written += static_cast<std::size_t>(size);
  }
  if (written == text.size() && Sync(fd_)) {
    day_ = UtcDay(when);
    if (observer_) {
      observer_(line);
    }
    return true;
  }
  error_ = std::strerror(errno != 0 ? errno : EIO);
  if (before >= 0) {
    CutTo(fd_, before);
  }
  return false;
}

}  // namespace station
