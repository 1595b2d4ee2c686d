#pragma once
// The worker protocol: the plain lines a worker (the single-camera program, started by the
// station) writes on its pipe and into worker.log, how they are written, how they are read, and
// the one rule that names an attempt's outcome.
//
//   reflash-worker 1                 first line; 1 is the format's version
//   port "1-1.2"                     the port the worker was told to take
//   status blue "Erase Flash ..."    the status line's colour (blue, red or 0x<COLORREF>) and text
//   progress 40                      the progress bar's position
//   device "\\?\usb#vid_1f3a..."     the device path of the camera the layer read, when it changes
//   attempt 1 "erase failed"         an attempt's outcome (AttemptOutcome), once it has ended:
//                                    before the next attempt's first status line, or before
//                                    `requests` for the last one
//   requests 21209 4                 extension-unit requests sent and answered with a failure
//   result "Pass\r\nR06.00.01\r\n"   what Result.log holds when the front end ends ("" for none)
//   end 0                            the front end's exit status; the last line
//
// Texts are quoted with \\, \", \r and \n escaped. A reader skips lines of kinds it does not know
// (timer, sleep, and any kind added later), so the format grows without a new version: the
// `attempt` lines came after version 1, and an account without them is still read (the reader
// names such an attempt by the same rule, from what it showed). The worker also writes the same
// lines to worker.log in its port folder, where a station that died reads its account.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace station {

inline constexpr int kWorkerProtocolVersion = 1;

// Every attempt begins by showing this status text.
inline constexpr std::string_view kAttemptStartText = "Check Hardware ...";

// The longest line a worker writes is a device path or a status text; a line over this bound is
// no line of a worker, and it must not make the station grow without end.
inline constexpr std::size_t kMaxWorkerLine = 4096;

// `text` between double quotes, with \\ \" \r \n escaped.
std::string Quote(std::string_view text);
// The text between the quotes at the start of `quoted`, with \\ \" \r \n undone; nullopt when
// it is not one whole quoted text.
std::optional<std::string> Unquote(std::string_view quoted);

// The worker's side: each line without its line end.
std::string HeaderLine();
std::string PortLine(std::string_view port);
std::string DeviceLine(std::string_view devicePath);
std::string AttemptLine(int number, std::string_view outcome);
std::string RequestsLine(std::uint32_t sent, std::uint32_t failed);
std::string ResultLine(std::string_view resultLog);
std::string EndLine(int status);

// The reader's side.
struct WorkerLine {
  enum class Kind { header, port, status, progress, device, attempt, requests, result, end, other };
  Kind kind = Kind::other;
  std::string colour;  // status: "blue", "red" or "0x<COLORREF>"
  std::string text;    // status, port, device, result, attempt (its outcome): unquoted
  long first = 0;      // progress; requests: sent; end: status; header: version; attempt: number
  long second = 0;     // requests: failed
};

// A line without its line end; nullopt for a line of a known kind that does not parse.
std::optional<WorkerLine> ParseWorkerLine(std::string_view line);

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

// The outcome of an ended attempt from what it showed: the red text of its failed step (the
// first one), else how far its progress bar went: 100 is a pass, 20 (the camera found in the
// device tree) or more "open failed", below that "no camera".
std::string AttemptOutcome(int highestProgress, std::string_view redText);

// Follows the attempts through the status and progress lines of a run, for AttemptOutcome.
class AttemptWatch {
 public:
  // True when `line` begins an attempt; the one before it, if any, ended just before it.
  static bool Begins(const WorkerLine& line);
  void See(const WorkerLine& line);
  bool Running() const { return running_; }
  // The running attempt's number, or the last one's; 0 before the first.
  int Number() const { return number_; }
  // The outcome of the running attempt (or the last one) as it stands.
  std::string Outcome() const { return AttemptOutcome(highestProgress_, red_); }
  // Ends the running attempt; its outcome.
  std::string End();

 private:
  bool running_ = false;
  int number_ = 0;
  int highestProgress_ = 0;
  std::string red_;
};

}  // namespace station
