#include "platform/console/timeline.h"

#include "station/worker_protocol.h"

namespace console {

bool Timeline::Open(const std::string& path, std::function<std::uint64_t()> now) {
  std::lock_guard lock(mutex_);
  if (!path.empty() && (file_ = std::fopen(path.c_str(), "wb")) == nullptr) {
    return false;
  }
  open_ = true;
  now_ = std::move(now);
  resultLog_.Start();
  return true;
}

void Timeline::Record(std::string_view event) {
  std::lock_guard lock(mutex_);
  if (!open_) {
    return;
  }
  const std::uint64_t ms = now_();
  WriteResultLogWrites(ms);
  WriteLine(ms, event);
}

void Timeline::WriteResultLogWrites(std::uint64_t ms) {
  for (const std::string& text : resultLog_.TakeWrites()) {
    WriteLine(ms, "result " + Quoted(text));
  }
}

void Timeline::Close() {
  std::lock_guard lock(mutex_);
  if (!open_) {
    return;
  }
  WriteResultLogWrites(now_());
  open_ = false;
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

std::string Timeline::Quoted(std::string_view text) {
  // The station reads status lines as they are recorded here: one quoting for both.
  return station::Quote(text);
}

void Timeline::WriteLine(std::uint64_t ms, std::string_view event) {
  if (listener_) {
    listener_(ms, event);
  }
  if (file_ == nullptr) {
    return;
  }
  std::string line = std::to_string(ms);
  line += ' ';
  line += event;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
  // Each line reaches the file at once, whichever way the process later ends.
  std::fflush(file_);
}

}  // namespace console
