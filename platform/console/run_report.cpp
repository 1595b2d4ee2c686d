#include "platform/console/run_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/console/timeline.h"

namespace console {
namespace {

// Every attempt begins by showing this text.
constexpr std::string_view kAttemptStart = "Check Hardware ...";

struct RedText {
  std::string_view text;
  const char* outcome;
};
constexpr RedText kRedTexts[] = {
    {"Erase failed!!!", "erase failed"},
    {"Write firmware Failed!!!", "write failed"},
    {"Check Firmware Failed!!!", "check failed"},
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

void RunReport::NoteEvent(std::uint64_t ms, std::string_view event) {
  std::lock_guard lock(mutex_);
  Attempt* current = attempts_.empty() || attempts_.back().endMs ? nullptr : &attempts_.back();
  if (StartsWith(event, "status ")) {
    const std::string_view rest = event.substr(7);
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) {
      return;
    }
    const std::string_view colour = rest.substr(0, space);
    const std::string_view text = rest.substr(space + 1);
    if (text == Timeline::Quoted(kAttemptStart)) {
      EndAttempt(ms);
      attempts_.push_back(Attempt{ms, std::nullopt, 0, {}, false});
      return;
    }
    if (current == nullptr || colour != "red") {
      return;
    }
    current->red = true;
    for (const RedText& red : kRedTexts) {
      if (text == Timeline::Quoted(red.text) && current->failure.empty()) {
        current->failure = red.outcome;
      }
    }
  } else if (StartsWith(event, "progress ") && current != nullptr) {
    const int progress = std::atoi(std::string(event.substr(9)).c_str());
    current->highestProgress = std::max(current->highestProgress, progress);
  } else if (StartsWith(event, "exit ")) {
    EndAttempt(ms);
  }
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
  }
}

std::string RunReport::Outcome(const Attempt& attempt) {
  if (!attempt.failure.empty()) {
    return attempt.failure;
  }
  if (attempt.highestProgress == 100 && !attempt.red) {
    return "pass";
  }
  return attempt.highestProgress == 20 ? "open failed" : "no camera";
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
