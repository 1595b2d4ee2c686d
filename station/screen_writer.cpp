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
    // Only a frame not yet followed by a line is replaced: what comes after a line stays after
    // it, so that the last line written (the exit status) is never drawn over.
    if (!pending_.empty() && pending_.back().frame) {
      pending_.back().text = std::move(text);
    } else {
      pending_.push_back({true, std::move(text)});
    }
  }
  changed_.notify_all();
}

void ScreenWriter::Line(std::string text) {
  {
    std::lock_guard lock(mutex_);
    if (pendingLines_ >= kMaxPending) {
      ++dropped_;
      return;
    }
    ++pendingLines_;
    pending_.push_back({false, std::move(text) + "\n"});
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
    return pending_.empty() && dropped_ == 0 && !writing_;
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
    changed_.wait(lock, [this] { return stopped_ || !pending_.empty() || dropped_; });
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
    for (Pending& item : pending_) {
      text += item.text;
    }
    pending_.clear();
    pendingLines_ = 0;
    writing_ = true;
    lock.unlock();
    const bool ok = write_(text);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
    if (!ok) {
      // The output or its reader is gone; the station goes on without a screen.
      pending_.clear();
      pendingLines_ = 0;
      dropped_ = 0;
    }
  }
}

}  // namespace station
