#pragma once
// The station's output to its terminal, console or pipe, written by a thread of its own, so
// that a paused terminal (Ctrl-S, a selection in a console) or a reader that stops reading never
// holds the station: redraws that cannot be written are replaced by newer ones, and plain lines
// past a bound are counted and dropped. The station log never goes this way.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace station {

class ScreenWriter {
 public:
  // Writes all of a text to the platform's output; false when the output is gone. It may block.
  using Write = std::function<bool(std::string_view text)>;

  explicit ScreenWriter(Write write);
  ~ScreenWriter();
  ScreenWriter(const ScreenWriter&) = delete;
  ScreenWriter& operator=(const ScreenWriter&) = delete;

  // The newest live block; one not yet written, and not followed by a line, is replaced.
  void Frame(std::string text);
  // One plain line (without its end), kept in order; past kMaxPending lines they are dropped.
  void Line(std::string text);
  // Waits up to `ms` for everything to be written, then lets the thread go.
  void Finish(int ms);

  static constexpr std::size_t kMaxPending = 10000;

 private:
  void Run();

  const Write write_;
  bool stopped_ = false;  // tells the thread to end
  std::mutex mutex_;
  std::condition_variable changed_;
  struct Pending {
    bool frame;
    std::string text;
  };
  std::deque<Pending> pending_;  // frames and lines in the order they came
  std::size_t pendingLines_ = 0;
  std::size_t dropped_ = 0;
  bool writing_ = false;
  bool finishing_ = false;
  std::thread thread_;
};

}  // namespace station
