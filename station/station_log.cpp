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

std::vector<std::string> StationLogFiles(const std::string& path) {
  namespace fs = std::filesystem;
  const auto [folder, stem] = FolderAndStem(path);
  std::vector<std::tuple<std::string, int, std::string>> rotated;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (const auto key = RotatedName(name, stem)) {
      rotated.emplace_back(key->first, key->second, std::string(folder).append("/").append(name));
    }
  }
  std::sort(rotated.begin(), rotated.end());
  std::vector<std::string> files;
  files.reserve(rotated.size() + 1);
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
