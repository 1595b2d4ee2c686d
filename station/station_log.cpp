#include "station/station_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

std::string Identity(const UpdateRecord& update) {
  return "\"port\": " + JsonString(update.port) + ", \"devicePath\": " +
         (update.devicePath.empty() ? "null" : JsonString(update.devicePath)) +
         ", \"host\": " + JsonString(update.hostName) +
         ", \"toolVersion\": " + JsonString(update.toolVersion) +
         ", \"imageSha256\": " + JsonString(update.imageSha256) +
         ", \"start\": " + JsonString(UtcTimestamp(update.start));
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
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  int used = 0;
  if (text.size() != 24 ||
      std::sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u.%3uZ%n", &year, &month, &day, &hour,
                  &minute, &second, &millis, &used) != 7 ||
      used != 24 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
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
  return "{\"record\": \"start\", " + Identity(update) + "}";
}

std::string JsonLine(const UpdateRecord& update) {
  std::string attempts = "[";
  for (const std::string& attempt : update.attempts) {
    attempts += (attempts.size() > 1 ? ", " : "") + JsonString(attempt);
  }
  attempts += "]";
  return "{\"record\": \"end\", " + Identity(update) +
         ", \"end\": " + JsonString(UtcTimestamp(update.end)) + ", \"attempts\": " + attempts +
         ", \"verdict\": \"" + VerdictText(update.verdict) + "\"" +
         ", \"requests\": {\"sent\": " + NumberOrNull(update.requestsSent) +
         ", \"failed\": " + NumberOrNull(update.requestsFailed) +
         "}, \"reason\": " + (update.reason.empty() ? "null" : JsonString(update.reason)) + "}";
}

std::vector<UnendedUpdate> FindUnended(const std::string& logText) {
  std::vector<UnendedUpdate> open;
  std::size_t at = 0;
  while (at < logText.size()) {
    std::size_t end = logText.find('\n', at);
    if (end == std::string::npos) {
      end = logText.size();
    }
    const std::string line = logText.substr(at, end - at);
    at = end + 1;
    const auto record = StringField(line, "record");
    const auto port = StringField(line, "port");
    const auto startText = StringField(line, "start");
    const auto start = startText ? ParseUtcTimestamp(*startText) : std::nullopt;
    if (!record || !port || !start) {
      continue;
    }
    const auto same = [&](const UnendedUpdate& u) { return u.port == *port && u.start == *start; };
    if (*record == "start") {
      open.push_back({*port, *start});
    } else if (*record == "end") {
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
  return true;
}

bool StationLog::Append(const std::string& line) {
  if (fd_ < 0) {
    error_ = "not open";
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
    return true;
  }
  error_ = std::strerror(errno != 0 ? errno : EIO);
  if (before >= 0) {
    CutTo(fd_, before);
  }
  return false;
}

}  // namespace station
