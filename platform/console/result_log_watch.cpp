#include "platform/console/result_log_watch.h"

#include <cstring>
#include <fstream>
#include <iterator>

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include "product/product.h"

namespace console {
namespace {

// The file's bytes; empty when it does not exist.
std::string ReadResultLog() {
  std::ifstream file(ResultLogName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

ResultLogWatch::~ResultLogWatch() {
#ifdef __linux__
  if (notifyFd_ >= 0) {
    close(notifyFd_);
  }
#endif
}

void ResultLogWatch::Start() {
  started_ = true;
  lastSeen_ = ReadResultLog();
#ifdef __linux__
  notifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notifyFd_ >= 0 && inotify_add_watch(notifyFd_, ".", IN_CLOSE_WRITE) < 0) {
    close(notifyFd_);
    notifyFd_ = -1;
  }
#endif
}

std::vector<std::string> ResultLogWatch::TakeWrites() {
  std::vector<std::string> writes;
  if (!started_) {
    return writes;
  }
#ifdef __linux__
  if (notifyFd_ >= 0) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t length = read(notifyFd_, buffer, sizeof buffer);
      if (length <= 0) {
        break;
      }
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        if (event->len > 0 && std::strcmp(event->name, ResultLogName) == 0) {
          lastSeen_ = ReadResultLog();
          writes.push_back(lastSeen_);
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return writes;
  }
#endif
  std::string now = ReadResultLog();
  if (now != lastSeen_) {
    lastSeen_ = now;
    writes.push_back(std::move(now));
  }
  return writes;
}

}  // namespace console
