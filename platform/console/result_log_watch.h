#pragma once
// Notices each write of Result.log in the current directory, which the front end makes without
// any platform call.

#include <string>
#include <vector>

namespace console {

class ResultLogWatch {
 public:
  ResultLogWatch() = default;
  ResultLogWatch(const ResultLogWatch&) = delete;
  ResultLogWatch& operator=(const ResultLogWatch&) = delete;
  ~ResultLogWatch();

  // Starts watching; the file as it is now counts as seen.
  void Start();
  // The texts written since the last call, oldest first. Where the operating system reports
  // every closed write, each write is one entry (holding the file as it is now); elsewhere only
  // a change of contents is noticed.
  std::vector<std::string> TakeWrites();

 private:
  int notifyFd_ = -1;
  bool started_ = false;
  std::string lastSeen_;
};

}  // namespace console
