// The station's loop on a fake port host with a fake clock: every verdict, exit status, orphan,
// watchdog, duplicate and port-name rule, in process and in milliseconds.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "station/log_record.h"
#include "station/simulated_ports.h"
#include "station/port_host.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/station_loop.h"
#include "station/station_options.h"

namespace {

using station::ProcessEnd;
using std::chrono::milliseconds;

const std::string kPassText = "Pass\r\nR06.00.01\r\n";
// The tool's longest update, from its limits: 3 s before the first attempt, then three attempts
// of a 2 s wait after opening, a 5 s wait after the reset, and 15 flash waits of 10,000 status
// reads each, a read being 4 requests of 1 ms after a 1 ms pause.
constexpr long kWorstUpdateMs = 3000 + 3 * (2000 + 5000 + 15 * 10000 * 5);

ProcessEnd Exit(int status) {
  ProcessEnd end;
  end.exited = true;
  end.status = status;
  return end;
}

ProcessEnd Killed() {
  ProcessEnd end;
  end.how = "killed by signal 9 (Killed)";
  return end;
}

// A worker's exact account of one attempt that passed on `port`, a line each.
std::vector<std::string> PassAccount(const std::string& port) {
  return {"reflash-worker 1",
          "port \"" + port + "\"",
          "status blue \"Check Hardware ...\"",
          "progress 20",
          "status blue \"Check Firmware...\"",
          "progress 80",
          "progress 100",
          "attempt 1 \"pass\"",
          "requests 21000 0",
          "result \"Pass\\r\\nR06.00.01\\r\\n\"",
          "end 0"};
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

// A worker as the fake host runs it: what it writes, when (ms after its start), the files it
// leaves in its folder as it ends, and how it ends.
struct Script {
  std::vector<std::pair<long, std::string>> writes;
  std::optional<long> endsAt;  // nullopt: runs until it is ended
  ProcessEnd end = Exit(0);
  std::map<std::string, std::string> files;
  long learnedLateBy = 0;  // the end comes to the station this much later (a stopped station)
};

Script Passing(const std::string& port, long endsAt = 3000) {
  Script script;
  script.writes = {{endsAt / 2, Joined(PassAccount(port))}};
  script.endsAt = endsAt;
  script.files = {{"Result.log", kPassText}, {"worker.log", Joined(PassAccount(port))}};
  return script;
}

Script Failing(const std::string& port) {
  Script script;
  script.writes = {{1000, Joined({"reflash-worker 1", "port \"" + port + "\"",
                                  "status blue \"Check Hardware ...\"", "progress 20",
                                  "status red \"Erase failed!!!\"", "attempt 1 \"erase failed\"",
                                  "result \"Fail\"", "end 0"})}};
  script.endsAt = 2000;
  script.files = {{"Result.log", "Fail"}};
  return script;
}

class FakeHost : public station::PortHost {
 public:
  static constexpr long kNever = 1L << 40;

  station::SteadyTime Now() override { return station::SteadyTime(milliseconds(now)); }
  station::WallTime WallNow() override { return Wall(now); }
  static station::WallTime Wall(long ms) {
    return station::WallTime(std::chrono::seconds(1796724000)) + milliseconds(ms);  // 2026-12-08
  }

  std::vector<std::string> CameraPorts() override {
    std::vector<std::string> ports;
    for (const auto& [port, spans] : plugs) {
      for (const auto& [in, out] : spans) {
        if (in <= now && now < out) {
          ports.push_back(port);
        }
      }
    }
    return ports;
  }
  bool NotifiesPorts() const override { return true; }
  std::optional<station::UnitIdentity> Identity(const std::string& port) override {
    station::UnitIdentity unit;
    unit.serial = serials.count(port) != 0 ? std::optional(serials.at(port)) : std::nullopt;
    return unit;
  }

  station::PortLock LockPort(const std::string& port) override {
    station::PortLock lock;
    const auto holder = holders.find(port);
    if (holder != holders.end() && holder->second.second > now) {
      lock.state = station::PortLock::State::busy;
      lock.holder = holder->second.first;
      return lock;
    }
    lock.state = station::PortLock::State::taken;
    calls.push_back("lock " + port);
    return lock;
  }
  void ReleasePort(const std::string& port) override { calls.push_back("release " + port); }
  bool PreparePort(const std::string& port, const std::vector<std::string>& stale,
                   std::string& error) override {
    if (unpreparable.count(port) != 0) {
      error = "cannot create out/" + port;
      return false;
    }
    for (const std::string& name : stale) {
      files[port].erase(name);
    }
    return true;
  }

  std::optional<long> StartWorker(const std::string& port, const std::vector<std::string>&,
                                  std::string&) override {
    calls.push_back("start " + port + " after " + std::to_string(LogLines()) + " records");
    Running& worker = running[port];
    worker = {scripts.count(port) != 0 ? scripts.at(port) : Passing(port), now};
    return 1000 + static_cast<long>(running.size());
  }
  void EndWorker(const std::string& port) override {
    calls.push_back("end group " + port + " at " + std::to_string(now));
    running.at(port).script.endsAt = now - running.at(port).started;
    running.at(port).script.end = Killed();
    running.at(port).script.files.clear();
  }
  bool EndProcess(long pid) override {
    calls.push_back("end process " + std::to_string(pid));
    for (auto& [port, holder] : holders) {
      if (holder.first == pid) {
        holder.second = now;
      }
    }
    return true;
  }
  void TellPlug(const std::string& port, bool present) override {
    calls.push_back(port + (present ? " plugged" : " pulled"));
  }

  station::HostEvents Wait(station::SteadyTime until) override {
    const long limit = std::chrono::duration_cast<milliseconds>(until.time_since_epoch()).count();
    const long next = std::min(NextEvent(), std::max(limit, now));
    now = next;
    station::HostEvents events;
    events.stop = stopAt == now;
    for (const auto& [port, spans] : plugs) {
      for (const auto& [in, out] : spans) {
        if (in == now || out == now) {
          events.readings.push_back(CameraPorts());
        }
      }
    }
    for (auto it = running.begin(); it != running.end();) {
      Running& worker = it->second;
      for (const auto& [at, bytes] : worker.script.writes) {
        if (worker.started + at == now) {
          events.output.emplace_back(it->first, bytes);
        }
      }
      if (worker.script.endsAt && worker.started + *worker.script.endsAt == now) {
        for (const auto& [name, text] : worker.script.files) {
          files[it->first][name] = text;
          fileTimes[it->first + "/" + name] = Wall(now);
        }
        worker.script.endsAt.reset();
        worker.reportAt = now + worker.script.learnedLateBy;
      }
      if (worker.reportAt == now) {
        events.ended.emplace_back(it->first, worker.script.end);
        it = running.erase(it);
      } else {
        ++it;
      }
    }
    return events;
  }

  std::optional<std::string> ReadPortFile(const std::string& port, const std::string& name,
                                          std::size_t maxBytes) override {
    const auto found = files[port].find(name);
    if (found == files[port].end()) {
      return std::nullopt;
    }
    return found->second.substr(0, maxBytes + 1);
  }
  bool ReplacePortFile(const std::string& port, const std::string& name, const std::string& text,
                       std::string&) override {
    calls.push_back("replace " + port + " " + name + " after " + std::to_string(LogLines()) +
                    " records");
    files[port][name] = text;
    return true;
  }
  std::optional<station::WallTime> PortFileTime(const std::string& port,
                                                const std::string& name) override {
    const auto found = fileTimes.find(port + "/" + name);
    return found == fileTimes.end() ? std::nullopt : std::optional(found->second);
  }

  long NextEvent() const {
    long next = kNever;
    const auto later = [&](long at) {
      if (at > now) {
        next = std::min(next, at);
      }
    };
    for (const auto& [port, spans] : plugs) {
      for (const auto& [in, out] : spans) {
        later(in);
        later(out);
      }
    }
    for (const auto& [port, worker] : running) {
      for (const auto& [at, bytes] : worker.script.writes) {
        later(worker.started + at);
      }
      if (worker.script.endsAt) {
        next = std::min(next, std::max(now, worker.started + *worker.script.endsAt));
      }
      if (worker.reportAt >= now) {
        next = std::min(next, worker.reportAt);
      }
    }
    if (stopAt) {
      later(*stopAt);
    }
    return next;
  }

  std::size_t LogLines() const {
    std::ifstream file(logPath);
    const std::string text(std::istreambuf_iterator<char>(file), {});
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  struct Running {
    Script script;
    long started = 0;
    long reportAt = -1;
  };
  long now = 0;
  std::map<std::string, std::vector<std::pair<long, long>>> plugs;  // [in, out) in ms
  std::map<std::string, std::string> serials;
  std::map<std::string, Script> scripts;
  std::map<std::string, std::pair<long, long>> holders;  // another process: its pid, until when
  std::set<std::string> unpreparable;
  std::optional<long> stopAt;
  std::map<std::string, std::map<std::string, std::string>> files;
  std::map<std::string, station::WallTime> fileTimes;
  std::map<std::string, Running> running;
  std::vector<std::string> calls;
  std::string logPath;
};

// One run of the station's loop on a fake host: its exit status, records and rows.
class LoopRun : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("station_loop_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    host.logPath = (folder_ / "station.jsonl").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Every port in `ports` has a camera from 0 on, unless `host.plugs` says otherwise.
  int Run(station::Mode mode, const std::vector<std::string>& ports,
          const std::string& earlierLog = "",
          std::optional<station::SimulatedPorts> simulated = std::nullopt) {
    for (const std::string& port : ports) {
      host.plugs.try_emplace(port, std::vector<std::pair<long, long>>{{0, FakeHost::kNever}});
    }
    if (!earlierLog.empty()) {
      std::ofstream(host.logPath) << earlierLog;
    }
    options.mode = mode;
    station::StationLog log;
    EXPECT_TRUE(log.Open(host.logPath));
    station::Station::Config config;
    config.mode = mode;
    config.ports = options.ports;
    station::Station station(config, &log, [this] { return host.WallNow(); });
    station.KnownPasses(log.Text());
    station::StationLoop loop(station, host, options, "worker", std::move(simulated));
    loop.Reconcile(log.Text());
    const int status = loop.Run([](bool) {});
    exitReason = station.ExitReason();
    rows = station.Rows();
    return status;
  }

  // The end records, by port (the last one of each).
  std::map<std::string, station::LogRecord> Ends() {
    std::map<std::string, station::LogRecord> ends;
    std::ifstream file(host.logPath);
    for (std::string line; std::getline(file, line);) {
      if (const auto record = station::ParseLogRecord(line); record && record->end) {
        ends[record->port] = *record;
        endLines[record->port] = line;
      }
    }
    return ends;
  }
  bool Called(const std::string& call) const {
    return std::find(host.calls.begin(), host.calls.end(), call) != host.calls.end();
  }

  FakeHost host;
  station::StationOptions options;
  std::string exitReason;
  std::map<std::string, station::PortRow, station::PortOrder> rows;
  std::map<std::string, std::string> endLines;
  std::filesystem::path folder_;
};

std::vector<std::string> With(std::vector<std::string> lines, std::size_t at,
                              const std::string& line) {
  lines.insert(lines.begin() + static_cast<long>(at), line);
  return lines;
}
std::vector<std::string> Without(std::vector<std::string> lines, std::size_t at) {
  lines.erase(lines.begin() + static_cast<long>(at));
  return lines;
}

// --- The verdict: a pass is the worker's exact account -----------------------------------------

TEST_F(LoopRun, OnlyAnExactAccountPassesAndResultLogAlwaysSaysTheVerdict) {
  const auto pass = PassAccount("A");
  const auto withEnd = [&](const std::vector<std::string>& lines, ProcessEnd end,
                           std::map<std::string, std::string> files = {{"Result.log", kPassText}}) {
    Script script;
    script.writes = {{1000, Joined(lines)}};
    script.endsAt = 2000;
    script.end = std::move(end);
    script.files = std::move(files);
    return script;
  };
  // A row a case reads best.
  // clang-format off
  const std::vector<std::string> ownFail = {
      "reflash-worker 1", "port \"A\"", "status blue \"Check Hardware ...\"", "progress 20",
      "status red \"Check Firmware Failed!!!\"", "attempt 1 \"check failed\"", "requests 21000 0",
      "result \"Fail\"", "end 0"};
  const auto cut = std::vector<std::string>(pass.begin(), pass.begin() + 6);  // at 80 %
  struct Case {
    const char* what;
    Script script;
    const char* verdict;
    std::string reason;  // a part of it; empty: none at all
    std::vector<std::string> attempts;  // empty: not looked at
  };
  const std::vector<Case> cases = {
      {"exact", withEnd(pass, Exit(0)), "pass", "", {"pass"}},
      {"a line after end", withEnd(With(pass, 11, "status red \"Erase failed!!!\""), Exit(0)), "fail", "1 lines after its last line", {"pass"}},
      {"two ends", withEnd(With(pass, 11, "end 0"), Exit(0)), "fail", "2 end lines", {"pass"}},
      {"another port", withEnd(With(Without(pass, 1), 1, "port \"B\""), Exit(0)), "fail", "names port B, not A", {"pass"}},
      {"no port line", withEnd(Without(pass, 1), Exit(0)), "fail", "names no port", {"pass"}},
      {"no attempt line", withEnd(Without(pass, 7), Exit(0)), "fail", "states no attempt's outcome", {"pass"}},
      {"attempt failed", withEnd(With(Without(pass, 7), 7, "attempt 1 \"check failed\""), Exit(0)), "fail", "no passing attempt", {"check failed"}},
      {"exit status 3", withEnd(pass, Exit(3)), "fail", "ended with status 3", {"pass"}},
      {"end 1", withEnd(With(Without(pass, 10), 10, "end 1"), Exit(0)), "fail", "ended with status 1", {"pass"}},
      {"no header", withEnd(Without(pass, 0), Exit(0)), "fail", "no header", {"pass"}},
      {"result differs", withEnd(pass, Exit(0), {{"Result.log", "Fail"}}), "fail", "differs", {"pass"}},
      {"no Result.log", withEnd(pass, Exit(0), {}), "fail", "left no Result.log", {"pass"}},
      {"overlong line", withEnd(With(pass, 2, std::string(5000, 'x')), Exit(0)), "fail", "longer than 4096", {}},
      {"killed after its pass text", withEnd(pass, Killed()), "fail", "worker killed during Check Firmware... (killed by signal 9", {"pass"}},
      {"killed at 80 %", withEnd(cut, Killed()), "fail", "worker killed during Check Firmware...", {"interrupted"}},
      {"the camera's own fail", withEnd(ownFail, Exit(0), {{"Result.log", "Fail"}}), "fail", "", {"check failed"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host = FakeHost{};
    SetUp();
    host.scripts["A"] = c.script;
    const int status = Run(station::Mode::once, {"A"});
    const auto ends = Ends();
    ASSERT_EQ(ends.count("A"), 1u);
    EXPECT_EQ(ends.at("A").verdict, c.verdict);
    EXPECT_EQ(status, std::string(c.verdict) == "pass" ? 0 : 1);
    if (c.reason.empty()) {
      EXPECT_EQ(ends.at("A").reason, "");
    } else {
      EXPECT_NE(ends.at("A").reason.find(c.reason), std::string::npos) << ends.at("A").reason;
    }
    if (!c.attempts.empty()) {
      EXPECT_EQ(ends.at("A").attempts, c.attempts);
    }
    // A line script reading Result.log never passes a camera the station failed; the file says
    // so before the end record is written.
    EXPECT_EQ(host.files["A"].count("Result.log") ? host.files["A"]["Result.log"] : "missing",
              std::string(c.verdict) == "pass" ? kPassText : "Fail");
    EXPECT_EQ(Called("replace A Result.log after 1 records"), std::string(c.verdict) != "pass");
    EXPECT_TRUE(Called("start A after 1 records"));  // the start record is on disk first
  }
}

// --- Exit statuses, alone and together: the first of 5, 4, 1, 3 -------------------------------

// Keeps the files this process writes under `bytes` while it lives: a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(LoopRun, ExitStatusesTakeTheFirstOfLogFaultFailNotFlashed) {
  // Each letter a port: P passes, F fails, X cannot be prepared, L comes after the start.
  struct Case {
    std::string ports;
    bool logFails;
    int status;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"", false, 2, "no camera found"},
      {"P", false, 0, "every camera passed (1)"},
      {"PL", false, 3, "seen and not flashed (L)"},
      {"PFL", false, 1, "1 camera failed, 1 passed"},
      {"FXL", false, 4, "1 station fault"},
      {"PFXL", true, 5, "could not be written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ports);
    host = FakeHost{};
    SetUp();
    for (const char kind : c.ports) {
      const std::string port(1, kind);
      host.plugs[port] = {{kind == 'L' ? 500 : 0, FakeHost::kNever}};
      host.scripts[port] = kind == 'F' ? Failing(port) : Passing(port);
      if (kind == 'X') {
        host.unpreparable.insert(port);
      }
    }
    std::optional<FileSizeLimit> full;
    if (c.logFails) {
      full.emplace(600);  // the start records fit; the end records do not
    }
    EXPECT_EQ(Run(station::Mode::once, {}), c.status);
    full.reset();
    EXPECT_NE(exitReason.find(c.reason), std::string::npos) << exitReason;
  }
}

// --- --once: every camera it saw and did not flash ---------------------------------------------

TEST_F(LoopRun, OnceNamesEveryCameraItSawAndDidNotFlashEvenOneThatLeft) {
  options.ports = {"A", "B", "C", "E"};
  host.plugs["B"] = {{500, 900}, {1200, 1300}};  // came, went and came back: named once
  host.plugs["C"] = {{700, 800}};                // came and went
  host.plugs["Z"] = {{0, FakeHost::kNever}};     // not a fixture port: left alone
  // E is a fixture port that never had a camera: not "seen".
  EXPECT_EQ(Run(station::Mode::once, {"A"}), 3);
  EXPECT_NE(exitReason.find("2 cameras seen and not flashed (B, C)"), std::string::npos)
      << exitReason;
  EXPECT_EQ(Ends().size(), 1u);
  EXPECT_FALSE(Called("lock Z"));
}

TEST_F(LoopRun, WatchTakesACameraOncePerPlugAndACameraAwayDuringItsUpdateIsTheSameUpdate) {
  std::vector<station::SimulatedPlug> plugs;
  std::string error;
  ASSERT_TRUE(station::ParseSimulatedPorts("A1 0 6000\nA1 8000 -\nB1 600 -\nR1 0 7000\nR1 7400 -\n",
                                           plugs, error));
  host.scripts["R1"] = Passing("R1", 9000);
  host.stopAt = 12000;
  EXPECT_EQ(Run(station::Mode::watch, {}, "", station::SimulatedPorts(plugs)), 0);
  std::ifstream file(host.logPath);
  std::map<std::string, int> updates;
  for (std::string line; std::getline(file, line);) {
    if (const auto record = station::ParseLogRecord(line); record && record->end) {
      ++updates[record->port];
    }
  }
  EXPECT_EQ(updates, (std::map<std::string, int>{{"A1", 2}, {"B1", 1}, {"R1", 1}}));
  EXPECT_TRUE(Called("R1 pulled"));
  EXPECT_TRUE(Called("R1 plugged"));
  EXPECT_FALSE(Called("A1 pulled"));  // its worker had ended
}

// --- The watchdog -------------------------------------------------------------------------------

TEST_F(LoopRun, TheWatchdogSparesTheToolsLongestUpdateAndEndsAHungWorkersGroup) {
  host.scripts["S"] = Passing("S", kWorstUpdateMs);
  Script hung;
  hung.writes = {
      {1000, Joined({"reflash-worker 1", "port \"H\"", "status blue \"Check Hardware ...\"",
                     "progress 20", "status blue \"Check Firmware...\"", "progress 80"})}};
  host.scripts["H"] = hung;
  EXPECT_EQ(Run(station::Mode::once, {"S", "H"}), 1);
  const auto ends = Ends();
  EXPECT_EQ(ends.at("S").verdict, "pass");
  EXPECT_EQ(ends.at("H").verdict, "fail");
  EXPECT_EQ(ends.at("H").reason.rfind("worker hung during Check Firmware...: no verdict", 0), 0u)
      << ends.at("H").reason;
  EXPECT_EQ(ends.at("H").attempts, std::vector<std::string>{"interrupted"});
  const auto ended = std::find_if(host.calls.begin(), host.calls.end(), [](const auto& call) {
    return call.rfind("end group H at ", 0) == 0;
  });
  ASSERT_NE(ended, host.calls.end());
  const long at = std::stol(ended->substr(15));
  EXPECT_GT(at, kWorstUpdateMs);
  EXPECT_LE(at, kWorstUpdateMs + 300000);  // and not much later: a line waits for it
  // --watchdog shortens it.
  host = FakeHost{};
  SetUp();
  host.scripts["H"] = hung;
  options.watchdogSeconds = 2;
  Run(station::Mode::once, {"H"});
  EXPECT_TRUE(Called("end group H at 2000"));
}

// --- An earlier station's updates ---------------------------------------------------------------

TEST_F(LoopRun, AnOrphansAccountCutAtAnyLineIsNoPassAndItsEndIsWhenItEnded) {
  const std::string start = station::UtcTimestamp(FakeHost::Wall(-60000));
  const std::string earlier =
      "{\"record\": \"start\", \"port\": \"A\", \"serial\": null, "
      "\"start\": \"" +
      start + "\"}\n";
  const auto pass = PassAccount("A");
  for (std::size_t cut = 0; cut <= pass.size(); ++cut) {
    SCOPED_TRACE("account cut before line " + std::to_string(cut));
    host = FakeHost{};
    SetUp();
    const std::vector<std::string> kept(pass.begin(), pass.begin() + static_cast<long>(cut));
    host.files["A"] = {{"worker.log", Joined(kept)}, {"Result.log", kPassText}};
    host.fileTimes["A/worker.log"] = FakeHost::Wall(-20000);
    host.stopAt = 5000;
    const int status = Run(station::Mode::watch, {}, earlier);
    const auto ends = Ends();
    ASSERT_EQ(ends.count("A"), 1u);
    const bool whole = cut == pass.size();
    // Without the worker's whole account nothing is known of the camera: flash it again.
    EXPECT_EQ(ends.at("A").verdict, whole ? "pass" : "interrupted");
    EXPECT_EQ(ends.at("A").reason, whole      ? "ended while the station was stopped"
                                   : cut == 0 ? "the station stopped; the worker left no account"
                                              : "the station stopped; the worker's account ends "
                                                "early");
    EXPECT_EQ(status, whole ? 0 : 4);
    EXPECT_EQ(host.files["A"]["Result.log"], whole ? kPassText : "Fail");
    EXPECT_EQ(station::UtcTimestamp(ends.at("A").endTime),
              station::UtcTimestamp(FakeHost::Wall(-20000)));
  }
}

TEST_F(LoopRun, AnOrphanThatRunsPastTheBoundHasItsProcessEndedThenIsJudged) {
  const std::string earlier =
      "{\"record\": \"start\", \"port\": \"A\", \"serial\": null, "
      "\"start\": \"" +
      station::UtcTimestamp(FakeHost::Wall(-1000)) + "\"}\n";
  options.watchdogSeconds = 5;
  host.holders["A"] = {77, FakeHost::kNever};
  host.stopAt = 1000;
  host.files["A"] = {{"worker.log", Joined({"reflash-worker 1", "port \"A\"",
                                            "status blue \"Erase Flash ...\""})}};
  Run(station::Mode::watch, {}, earlier);
  EXPECT_TRUE(Called("end process 77"));
  EXPECT_NE(Ends().at("A").reason.find("worker hung during Erase Flash ..."), std::string::npos);
}

// --- Duplicates, times, the log, port names -----------------------------------------------------

TEST_F(LoopRun, OneSerialOnTwoPortsAtOnceIsFlaggedOnBothAndAPassEarlierTodayToo) {
  host.serials = {{"A", "U-1"}, {"B", "U-1"}, {"C", "U-2"}, {"D", "U-3"}};
  host.scripts["C"] = Passing("C", 9000);
  const std::string earlier =
      "{\"record\": \"end\", \"port\": \"Q\", \"serial\": \"U-2\", \"start\": \"" +
      station::UtcTimestamp(FakeHost::Wall(-9000)) + "\", \"end\": \"" +
      station::UtcTimestamp(FakeHost::Wall(-5000)) +
      "\", \"verdict\": \"pass\", \"attempts\": [\"pass\"]}\n"
      "{\"record\": \"end\", \"port\": \"Q\", \"serial\": \"U-3\", \"start\": \"" +
      station::UtcTimestamp(FakeHost::Wall(-4000)) + "\", \"end\": \"" +
      station::UtcTimestamp(FakeHost::Wall(-3000)) +
      "\", \"verdict\": \"fail\", \"attempts\": [\"check failed\"]}\n";
  EXPECT_EQ(Run(station::Mode::once, {"A", "B", "C", "D"}, earlier), 0);
  Ends();
  EXPECT_NE(endLines["A"].find("\"sameSerialOn\": {\"port\": \"B\""), std::string::npos);
  EXPECT_NE(endLines["B"].find("\"sameSerialOn\": {\"port\": \"A\""), std::string::npos);
  EXPECT_EQ(rows.at("A").duplicate, "serial U-1 is on B too");
  EXPECT_EQ(rows.at("B").duplicate, "serial U-1 is on A too");
  EXPECT_NE(endLines["C"].find("\"duplicateOf\": {\"port\": \"Q\""), std::string::npos);
  // A camera that failed before and is flashed again is no duplicate.
  EXPECT_EQ(endLines["D"].find("duplicateOf"), std::string::npos) << endLines["D"];
  EXPECT_EQ(rows.at("D").duplicate, "");
}

TEST_F(LoopRun, AnEndRecordHasTheTimeTheWorkerEndedNotWhenAStoppedStationLearnedOfIt) {
  Script late = Passing("A", 3000);
  late.learnedLateBy = 40000;
  host.scripts["A"] = late;
  Run(station::Mode::once, {"A"});
  EXPECT_EQ(station::UtcTimestamp(Ends().at("A").endTime),
            station::UtcTimestamp(FakeHost::Wall(3000)));
}

TEST_F(LoopRun, AFailedWriteOfAStartRecordIsAFaultAndStartsNoWorker) {
  {
    const FileSizeLimit full(0);
    EXPECT_EQ(Run(station::Mode::once, {"A"}), 5);
  }
  EXPECT_FALSE(Called("start A after 0 records"));
  EXPECT_TRUE(Called("release A"));
  EXPECT_EQ(rows.at("A").state, station::PortState::fault);
}

TEST_F(LoopRun, APortNameThatCouldBeAPathOrTheStationsOwnFileIsAFaultNeverAFolder) {
  const std::vector<std::string> bad = {
      "station-2026-12-07.jsonl", "station.lock", "a/b", "a\\b", "..", "x\x1b[2J", ""};
  EXPECT_EQ(Run(station::Mode::once,
                [&] {
                  auto ports = bad;
                  ports.push_back("1-1.2");
                  return ports;
                }()),
            4);
  for (const std::string& port : bad) {
    EXPECT_EQ(rows.at(port).state, station::PortState::fault) << port;
    EXPECT_FALSE(Called("lock " + port)) << port;
  }
  EXPECT_EQ(Ends().at("1-1.2").verdict, "pass");
  EXPECT_EQ(rows.at("..").note, "the port name \"..\" names no folder of its own");
}

}  // namespace
