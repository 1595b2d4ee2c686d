#pragma once
// The timeline of a `reflash-sim` run: one ordered stream of what happened, one line per event,
// each prefixed with the simulated time in milliseconds.
//
//   <ms> timer 3000                        the front end started its one-shot timer
//   <ms> timer fired
//   <ms> status blue "Erase Flash ..."     the status line's colour (blue, red or 0x<COLORREF>)
//                                          and text, as painted
//   <ms> progress 40
//   <ms> sleep 2000                        the front end's Sleep; the time is when it began
//   <ms> camera-sleep 1                    the camera layer's Sleep
//   <ms> request SET 1 3 F3 05 06 00       one extension-unit request, as in the request trace
//   <ms> camera gone                       the camera dropped off the bus (reset, disconnect)
//   <ms> camera back                       an enumeration found it on the bus again
//   <ms> camera pulled                     SIGUSR1 pulled the camera from its port
//   <ms> camera plugged in                 SIGUSR2 plugged it in again
//   <ms> result "Fail"                     Result.log was written; the text as it holds it
//   <ms> exit 0                            the front end ended the process
//
// Quoted texts escape backslash, double quote, CR and LF as \\, \", \r and \n. A Result.log write
// is noticed at the next event; two writes of the same text with no event between them (the last
// attempt's "Fail" and the run controller's) may show as one line.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/console/result_log_watch.h"

namespace console {

class Timeline {
 public:
  using Listener = std::function<void(std::uint64_t ms, std::string_view event)>;

  // Creates the file and starts watching Result.log; `now` gives the simulated time in ms. With
  // an empty `path` the events go to the listener only.
  bool Open(const std::string& path, std::function<std::uint64_t()> now);
  bool IsOpen() const { return open_; }
  // Also hands every event line to `listener`, on the recording thread; set it before Open.
  void SetListener(Listener listener) { listener_ = std::move(listener); }
  // Writes one event, after any Result.log write made since the last one. Any thread.
  void Record(std::string_view event);
  // Records the last Result.log writes and closes the file.
  void Close();

  static std::string Quoted(std::string_view text);

 private:
  void WriteLine(std::uint64_t ms, std::string_view event);
  // Result.log writes seen since the last event, each as a line of its own. Needs the lock.
  void WriteResultLogWrites(std::uint64_t ms);

  std::mutex mutex_;
  bool open_ = false;
  std::FILE* file_ = nullptr;
  Listener listener_;
  std::function<std::uint64_t()> now_;
  ResultLogWatch resultLog_;
};

}  // namespace console
