#include "station/worker_protocol.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace station {
namespace {

std::optional<long> Number(std::string_view text) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '\\':
        quoted += "\\\\";
        break;
      case '"':
        quoted += "\\\"";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\n':
        quoted += "\\n";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

std::string HeaderLine() {
  return "reflash-worker " + std::to_string(kWorkerProtocolVersion);
}

std::string PortLine(std::string_view port) {
  std::string line = "port ";
  return line.append(Quote(port));
}

std::string DeviceLine(std::string_view devicePath) {
  std::string line = "device ";
  return line.append(Quote(devicePath));
}

std::string AttemptLine(int number, std::string_view outcome) {
  std::string line = "attempt " + std::to_string(number);
  return line.append(" ").append(Quote(outcome));
}

std::string RequestsLine(std::uint32_t sent, std::uint32_t failed) {
  return "requests " + std::to_string(sent) + " " + std::to_string(failed);
}

std::string ResultLine(std::string_view resultLog) {
  std::string line = "result ";
  return line.append(Quote(resultLog));
}

std::string EndLine(int status) {
  return "end " + std::to_string(status);
}

std::optional<std::string> Unquote(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    return std::nullopt;
  }
  std::string text;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    char c = quoted[i];
    if (c == '"') {
      return std::nullopt;
    }
    if (c == '\\') {
      if (i + 2 >= quoted.size()) {
        return std::nullopt;
      }
      switch (quoted[++i]) {
        case '\\':
          c = '\\';
          break;
        case '"':
          c = '"';
          break;
        case 'r':
          c = '\r';
          break;
        case 'n':
          c = '\n';
          break;
        default:
          return std::nullopt;
      }
    }
    text.push_back(c);
  }
  return text;
}

std::optional<WorkerLine> ParseWorkerLine(std::string_view line) {
  const auto space = line.find(' ');
  const std::string_view word = line.substr(0, space);
  const std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
  WorkerLine parsed;
  if (word == "status") {
    const auto gap = rest.find(' ');
    if (gap == std::string_view::npos) {
      return std::nullopt;
    }
    auto text = Unquote(rest.substr(gap + 1));
    if (!text) {
      return std::nullopt;
    }
    parsed.kind = WorkerLine::Kind::status;
    parsed.colour = std::string(rest.substr(0, gap));
    parsed.text = std::move(*text);
    return parsed;
  }
  if (word == "port" || word == "device" || word == "result") {
    auto text = Unquote(rest);
    if (!text) {
      return std::nullopt;
    }
    parsed.kind = word == "port"     ? WorkerLine::Kind::port
                  : word == "device" ? WorkerLine::Kind::device
                                     : WorkerLine::Kind::result;
    parsed.text = std::move(*text);
    return parsed;
  }
  if (word == "progress" || word == "end" || word == "reflash-worker") {
    const auto number = Number(rest);
    if (!number) {
      return std::nullopt;
    }
    parsed.kind = word == "progress" ? WorkerLine::Kind::progress
                  : word == "end"    ? WorkerLine::Kind::end
                                     : WorkerLine::Kind::header;
    parsed.first = *number;
    return parsed;
  }
  if (word == "attempt") {
    const auto gap = rest.find(' ');
    const auto number = Number(rest.substr(0, gap));
    auto outcome = gap == std::string_view::npos ? std::nullopt : Unquote(rest.substr(gap + 1));
    if (!number || !outcome) {
      return std::nullopt;
    }
    parsed.kind = WorkerLine::Kind::attempt;
    parsed.first = *number;
    parsed.text = std::move(*outcome);
    return parsed;
  }
  if (word == "requests") {
    const auto gap = rest.find(' ');
    const auto sent = Number(rest.substr(0, gap));
    const auto failed = gap == std::string_view::npos ? std::nullopt : Number(rest.substr(gap + 1));
    if (!sent || !failed) {
      return std::nullopt;
    }
    parsed.kind = WorkerLine::Kind::requests;
    parsed.first = *sent;
    parsed.second = *failed;
    return parsed;
  }
  return parsed;  // another kind of event: skipped by the reader
}

void WorkerLineSplitter::Feed(const char* data, std::size_t size, std::vector<std::string>& lines) {
  if (overlong_) {
    return;
  }
  pending_.append(data, size);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::size_t length = end - start;
    if (length > 0 && pending_[end - 1] == '\r') {
      --length;
    }
    if (length > kMaxWorkerLine) {
      overlong_ = true;
      break;
    }
    lines.push_back(pending_.substr(start, length));
  }
  pending_.erase(0, start);
  if (overlong_ || pending_.size() > kMaxWorkerLine + 1) {
    overlong_ = true;
    pending_.clear();
    pending_.shrink_to_fit();
  }
}

std::string AttemptOutcome(int highestProgress, std::string_view redText) {
  struct RedText {
    std::string_view text;
    std::string_view outcome;
  };
  static constexpr RedText kRedTexts[] = {
      {"Erase failed!!!", "erase failed"},
      {"Write firmware Failed!!!", "write failed"},
      {"Check Firmware Failed!!!", "check failed"},
  };
  for (const RedText& red : kRedTexts) {
    if (redText == red.text) {
      return std::string(red.outcome);
    }
  }
  if (!redText.empty()) {
    std::string outcome = "failed: ";
    return outcome.append(redText);
  }
  if (highestProgress >= 100) {
    return "pass";
  }
  // Without a red text the tool ends an attempt only at 0 (nothing in the device tree) or at 20
  // (found, not opened); more is an account cut short after the camera was found.
  return highestProgress >= 20 ? "open failed" : "no camera";
}

bool AttemptWatch::Begins(const WorkerLine& line) {
  return line.kind == WorkerLine::Kind::status && line.text == kAttemptStartText;
}

void AttemptWatch::See(const WorkerLine& line) {
  if (Begins(line)) {
    running_ = true;
    ++number_;
    highestProgress_ = 0;
    red_.clear();
    return;
  }
  if (!running_) {
    return;  // a red text before the first attempt belongs to none
  }
  if (line.kind == WorkerLine::Kind::status && line.colour == "red" && red_.empty()) {
    red_ = line.text;
  } else if (line.kind == WorkerLine::Kind::progress) {
    highestProgress_ =
        std::max(highestProgress_, static_cast<int>(std::clamp(line.first, 0L, 100L)));
  }
}

std::string AttemptWatch::End() {
  running_ = false;
  return Outcome();
}

}  // namespace station
