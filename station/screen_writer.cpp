#include "station/screen_writer.h"

#include <chrono>

namespace station {

ScreenWriter::ScreenWriter(Write write) : write_(std::move(write)), thread_([this] { Run(); }) {}

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
      stopped_ = true;
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
    changed_.wait(lock,
                  [this] { return stopped_ || !frame_.empty() || !lines_.empty() || dropped_; });
    if (stopped_) {
      return;
    }
    std::string text;
    if (dropped_ > 0) {
      // Appended piece by piece: gcc 12 at -O3 warns falsely on "literal" + std::string&&.
      text.append("(").append(std::to_string(dropped_));
      text.append(" lines not shown: the output did not keep up)\n");
      dropped_ = 0;
    }
    while (!lines_.empty()) {
      text += lines_.front();
      lines_.pop_front();
    }
    text += std::exchange(frame_, {});
    writing_ = true;
    lock.unlock();
    const bool ok = write_(text);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
    if (!ok) {
      // The output or its reader is gone; the station goes on without a screen.
      frame_.clear();
      lines_.clear();
      dropped_ = 0;
    }
  }
}

}  // namespace station
