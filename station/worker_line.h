#pragma once
// Reading the lines a worker writes on its pipe (the format is described in
// platform/console/station_worker.h).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace station {

struct WorkerLine {
  enum class Kind { header, port, status, progress, device, requests, result, end, other };
  Kind kind = Kind::other;
  std::string colour;  // status: "blue", "red" or "0x<COLORREF>"
  std::string text;    // status, port, device, result: unquoted
  long first = 0;      // progress; requests: sent; end: status; header: version
  long second = 0;     // requests: failed
};

// A line without its line end; nullopt for a line of a known kind that does not parse.
std::optional<WorkerLine> ParseWorkerLine(std::string_view line);

// The text between the quotes at the start of `quoted`, with \\ \" \r \n undone; nullopt when
// it is not one whole quoted text.
std::optional<std::string> Unquote(std::string_view quoted);

// The longest line a worker writes is a device path or a status text; a line over this bound is
// no line of a worker, and it must not make the station grow without end.
inline constexpr std::size_t kMaxWorkerLine = 4096;

// Cuts a worker's byte stream into lines (without "\n" or a "\r" before it). A line longer
// than kMaxWorkerLine makes the stream overlong: what follows is dropped, nothing is kept.
class WorkerLineSplitter {
 public:
  void Feed(const char* data, std::size_t size, std::vector<std::string>& lines);
  bool Overlong() const { return overlong_; }

 private:
  std::string pending_;
  bool overlong_ = false;
};

}  // namespace station
