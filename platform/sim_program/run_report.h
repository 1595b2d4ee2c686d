#pragma once
// The summary of a `reflash-sim` run written by --report: one JSON object with the run's time, the
// requests sent, each attempt and how it ended, the verdict and the state the camera was left in.

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/worker_protocol.h"

namespace console {

class RunReport {
 public:
  // What the run left behind, looked at when the process ends.
  struct End {
    std::uint64_t ms = 0;
    bool passed = false;  // Result.log holds the pass text
    bool flashEqualsImage = false;
    // Absent on a work station without the camera.
    std::optional<std::uint8_t> flashStatus;
    std::optional<bool> writeProtectHigh;
    // GETs of selectors 1-5 that answered 0 but too few bytes for what the tool reads from them;
    // the tool treats them as failed, and so does the report.
    std::array<std::uint32_t, 5> shortAnswers{};
  };

  // One timeline event (format of platform/console/timeline.h, without the time).
  void NoteEvent(std::uint64_t ms, std::string_view event);
  // One extension-unit request as the host sent it; `failed` when it answered anything but 0.
  void NoteRequest(bool setSupportProbe, std::uint32_t selector, bool failed);

  // The attempts' outcomes as the run showed them, in order.
  std::vector<std::string> Outcomes() const;
  std::string Json(const End& end) const;

  // `text` as a JSON string literal, quotes included.
  static std::string JsonString(std::string_view text);

 private:
  struct Attempt {
    std::uint64_t startMs = 0;
    std::optional<std::uint64_t> endMs;
    std::string outcome;  // once it has ended
  };
  struct Count {
    std::uint32_t sent = 0;
    std::uint32_t failed = 0;
  };

  std::string Outcome(const Attempt& attempt) const;
  void EndAttempt(std::uint64_t ms);

  mutable std::mutex mutex_;
  std::vector<Attempt> attempts_;
  station::AttemptWatch watch_;  // the same rule as the worker's attempt lines
  Count total_;
  std::array<Count, 5> selectors_{};  // selectors 1-5
  Count probes_;
};

}  // namespace console
