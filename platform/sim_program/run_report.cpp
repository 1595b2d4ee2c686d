#include "platform/sim_program/run_report.h"

#include <cstdio>

#include "station/worker_protocol.h"

namespace console {
void RunReport::NoteEvent(std::uint64_t ms, std::string_view event) {
  std::lock_guard lock(mutex_);
  if (event.substr(0, 5) == "exit ") {
    EndAttempt(ms);
    return;
  }
  const auto line = station::ParseWorkerLine(event);
  if (!line) {
    return;
  }
  if (station::AttemptWatch::Begins(*line)) {
    EndAttempt(ms);
    attempts_.push_back(Attempt{ms, std::nullopt, {}});
  }
  watch_.See(*line);
}

void RunReport::NoteRequest(bool setSupportProbe, std::uint32_t selector, bool failed) {
  std::lock_guard lock(mutex_);
  Count* counts[2] = {&total_, nullptr};
  if (setSupportProbe) {
    counts[1] = &probes_;
  } else if (selector >= 1 && selector <= selectors_.size()) {
    counts[1] = &selectors_[selector - 1];
  }
  for (Count* count : counts) {
    if (count != nullptr) {
      ++count->sent;
      count->failed += failed ? 1 : 0;
    }
  }
}

void RunReport::EndAttempt(std::uint64_t ms) {
  if (!attempts_.empty() && !attempts_.back().endMs) {
    attempts_.back().endMs = ms;
    attempts_.back().outcome = watch_.End();
  }
}

std::string RunReport::Outcome(const Attempt& attempt) const {
  return attempt.endMs ? attempt.outcome : watch_.Outcome();
}

std::vector<std::string> RunReport::Outcomes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> outcomes;
  for (const Attempt& attempt : attempts_) {
    outcomes.push_back(Outcome(attempt));
  }
  return outcomes;
}

std::string RunReport::JsonString(std::string_view text) {
  std::string json = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string RunReport::Json(const End& end) const {
  std::lock_guard lock(mutex_);
  const auto count = [](const Count& c, std::uint32_t shortAnswers) {
    return "{\"sent\": " + std::to_string(c.sent) +
           ", \"failed\": " + std::to_string(c.failed + shortAnswers) + "}";
  };
  std::uint32_t allShortAnswers = 0;
  for (const std::uint32_t n : end.shortAnswers) {
    allShortAnswers += n;
  }
  std::string json = "{\n  \"simulatedMs\": " + std::to_string(end.ms) + ",\n";
  json += "  \"requests\": {\n    \"sent\": " + std::to_string(total_.sent) +
          ",\n    \"failed\": " + std::to_string(total_.failed + allShortAnswers) +
          ",\n    \"bySelector\": {\n";
  for (std::size_t i = 0; i < selectors_.size(); ++i) {
    json += "      \"" + std::to_string(i + 1) +
            "\": " + count(selectors_[i], end.shortAnswers[i]) + ",\n";
  }
  json += "      \"setSupport\": " + count(probes_, 0) + "\n    }\n  },\n";
  json += "  \"attempts\": [";
  for (std::size_t i = 0; i < attempts_.size(); ++i) {
    const Attempt& attempt = attempts_[i];
    json += i == 0 ? "\n" : ",\n";
    json += "    {\"outcome\": " + JsonString(Outcome(attempt)) +
            ", \"startMs\": " + std::to_string(attempt.startMs) +
            ", \"endMs\": " + std::to_string(attempt.endMs.value_or(end.ms)) + "}";
  }
  json += attempts_.empty() ? "],\n" : "\n  ],\n";
  json += "  \"verdict\": " + JsonString(end.passed ? "pass" : "fail") + ",\n";
  json +=
      std::string("  \"flashEqualsImage\": ") + (end.flashEqualsImage ? "true" : "false") + ",\n";
  json += "  \"protection\": {\"statusRegister\": " +
          (end.flashStatus ? std::to_string(*end.flashStatus) : std::string("null")) +
          ", \"writeProtectPin\": " +
          (end.writeProtectHigh ? JsonString(*end.writeProtectHigh ? "high" : "low")
                                : std::string("null")) +
          "}\n}\n";
  return json;
}

}  // namespace console
