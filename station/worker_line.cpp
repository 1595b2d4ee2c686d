#include "station/worker_line.h"

#include <charconv>

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

}  // namespace station
