#include "platform/win32/screen_writer.h"

#include <algorithm>
#include <chrono>

namespace winplat {
namespace {

// Writes all of `text`; false when the output is gone.
bool WriteAll(HANDLE out, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD size = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
    if (WriteFile(out, text.data() + done, want, &size, nullptr) == FALSE || size == 0) {
      return false;
    }
    done += size;
  }
  return true;
}

}  // namespace

ScreenWriter::ScreenWriter(HANDLE out) : out_(out), thread_([this] { Run(); }) {}

ScreenWriter::~ScreenWriter() {
  Finish(0);
}

void ScreenWriter::Frame(std::string text) {
  {
    std::lock_guard lock(mutex_);
    frame_ = std::move(text);
  }
  changed_.notify_all();
}

void ScreenWriter::Line(std::string text) {
  {
    std::lock_guard lock(mutex_);
    if (lines_.size() >= kMaxPending) {
      ++dropped_;
      return;
    }
    lines_.push_back(std::move(text) + "\n");
  }
  changed_.notify_all();
}

void ScreenWriter::Finish(int ms) {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) {
    return;
  }
  finishing_ = true;
  changed_.notify_all();
  const bool drained = changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
    return frame_.empty() && lines_.empty() && dropped_ == 0 && !writing_;
  });
  lock.unlock();
  if (drained) {
    {
      std::lock_guard again(mutex_);
      finishing_ = true;
      out_ = nullptr;  // tells the thread to end
    }
    changed_.notify_all();
    thread_.join();
  } else {
    thread_.detach();  // blocked on a paused terminal: it ends with the process
  }
}

void ScreenWriter::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(
        lock, [this] { return out_ == nullptr || !frame_.empty() || !lines_.empty() || dropped_; });
    if (out_ == nullptr) {
      return;
    }
    std::string text;
    if (dropped_ > 0) {
      // Appended piece by piece: -O3's string concatenation trips a false -Wrestrict.
      text.append("(").append(std::to_string(dropped_));
      text.append(" lines not shown: the output did not keep up)\n");
      dropped_ = 0;
    }
    while (!lines_.empty()) {
      text += lines_.front();
      lines_.pop_front();
    }
    text += std::exchange(frame_, {});
    HANDLE out = out_;
    writing_ = true;
    lock.unlock();
    const bool ok = WriteAll(out, text);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
    if (!ok) {
      // The console or the reader is gone; the station goes on without a screen.
      frame_.clear();
      lines_.clear();
      dropped_ = 0;
    }
  }
}

}  // namespace winplat
