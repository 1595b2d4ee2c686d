#include "station/orphan_account.h"

#include <vector>

#include "station/worker_protocol.h"

namespace station {

WorkerEnd ReplayOrphanAccount(Station& station, const std::string& port, const std::string& account,
                              bool killed) {
  WorkerLineSplitter splitter;
  std::vector<std::string> lines;
  splitter.Feed(account.data(), account.size(), lines);
  for (const std::string& line : lines) {
    station.WorkerLine(port, line);
  }
  if (splitter.Overlong()) {
    station.WorkerInvalid(port, "the worker's account holds an overlong line");
  }
  WorkerEnd end;
  end.orphan = true;
  end.exited = true;
  end.hung = killed;
  return end;
}

}  // namespace station
