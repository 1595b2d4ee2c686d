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
// A FIFO or a symbolic link in the log's place is refused: the log is a regular file of its own.
int OpenAppend(const std::string& path) {
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0664);
  struct stat info {};
  if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
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

}  // namespace
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
    day_ = LogLineDay(text_.substr(from == std::string::npos ? 0 : from + 1));
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
