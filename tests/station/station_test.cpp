// The station's bookkeeping: which camera is taken when, what a worker's lines mean, and what
// the station log holds.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "station/display.h"
#include "station/sha256.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/station_options.h"
#include "station/worker_line.h"

namespace {

using station::Mode;
using station::PortState;
using station::Station;
using station::WorkerEnd;

const std::string kPass = "Pass\r\nR06.00.01\r\n";

// A worker's whole account of one attempt that passed, as it writes it on its pipe.
const std::vector<std::string> kPassingRun = {
    "reflash-worker 1",
    "port \"1-1\"",
    "status blue \"Detect Device!!!\"",
    "progress 0",
    "status blue \"Check Hardware ...\"",
    "progress 20",
    "device \"\\\\\\\\?\\\\usb#vid_1f3a&pid_5c72&mi_00#1-1#{x}\\\\global\"",
    "status blue \"Erase Flash ...\"",
    "progress 40",
    "status blue \"Update Firmware ...\"",
    "progress 60",
    "status blue \"Reset Device...\"",
    "progress 80",
    "status blue \"Check Firmware...\"",
    "progress 100",
    "requests 21209 4",
    "result \"Pass\\r\\nR06.00.01\\r\\n\"",
    "end 0",
};

WorkerEnd Exited(const std::string& resultLog) {
  WorkerEnd end;
  end.exited = true;
  end.resultLog = resultLog;
  return end;
}

void Feed(Station& station, const std::string& port, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    station.WorkerLine(port, line);
  }
}

class StationLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("station_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl");
    std::filesystem::remove(path_);
    ASSERT_TRUE(log_.Open(path_.string()));
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::vector<std::string> Lines() {
    std::ifstream file(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      lines.push_back(line);
    }
    return lines;
  }
  Station::Config Config(Mode mode) {
    Station::Config config;
    config.mode = mode;
    config.hostName = "bench-2";
    config.toolVersion = "7.0.0.7";
    config.imageSha256 = "ab";
    return config;
  }

  std::filesystem::path path_;
  station::StationLog log_;
};

// --- Which camera is taken when -------------------------------------------------------------

TEST_F(StationLogFile, WatchTakesEachCameraOncePerPlug) {
  Station station(Config(Mode::watch), &log_);
  EXPECT_EQ(station.Present({"1-1"}), std::vector<std::string>{"1-1"});
  // Its own reset takes it off the bus and back: the same update.
  EXPECT_TRUE(station.Present({}).empty());
  EXPECT_TRUE(station.Present({"1-1"}).empty());
  Feed(station, "1-1", kPassingRun);
  ASSERT_TRUE(station.WorkerEnded("1-1", Exited(kPass)));
  // Left attached after its verdict: not taken again.
  EXPECT_TRUE(station.Present({"1-1"}).empty());
  EXPECT_EQ(station.Rows().at("1-1").state, PortState::finished);
  // Unplugged and plugged in again: a new update.
  EXPECT_TRUE(station.Present({}).empty());
  EXPECT_EQ(station.Present({"1-1"}), std::vector<std::string>{"1-1"});
  EXPECT_EQ(station.Rows().at("1-1").updates, 2);
  EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(StationLogFile, OnceTakesOnlyTheCamerasAttachedAtTheStart) {
  Station station(Config(Mode::once), &log_);
  EXPECT_EQ(station.Present({"1-1", "1-2"}), (std::vector<std::string>{"1-1", "1-2"}));
  EXPECT_TRUE(station.Present({"1-1", "1-2", "1-3"}).empty());
  Feed(station, "1-1", kPassingRun);
  station.WorkerEnded("1-1", Exited(kPass));
  EXPECT_FALSE(station.Done());
  station.WorkerEnded("1-2", Exited("Fail"));
  EXPECT_TRUE(station.Done());
  EXPECT_EQ(station.ExitStatus(), 1);
}

TEST_F(StationLogFile, OnceWithoutACameraEndsWithStatusTwo) {
  Station station(Config(Mode::once), &log_);
  EXPECT_TRUE(station.Present({}).empty());
  EXPECT_TRUE(station.Done());
  EXPECT_EQ(station.ExitStatus(), 2);
}

TEST_F(StationLogFile, StoppingTakesNoNewCameraAndWaitsForTheRunningOnes) {
  Station station(Config(Mode::watch), &log_);
  station.Present({"1-1"});
  station.Stop();
  EXPECT_TRUE(station.Present({"1-1", "1-2"}).empty());
  EXPECT_FALSE(station.Done());
  Feed(station, "1-1", kPassingRun);
  station.WorkerEnded("1-1", Exited(kPass));
  EXPECT_TRUE(station.Done());
  EXPECT_EQ(station.ExitStatus(), 0);
  const station::Counters counters = station.Count();
  EXPECT_EQ(counters.passed, 1);
  EXPECT_EQ(counters.running, 0);
  EXPECT_EQ(counters.waiting, 2);  // both still attached, neither being updated
}

// --- The verdict ----------------------------------------------------------------------------

TEST_F(StationLogFile, PassNeedsTheExactPassTextAndTheWorkersLastLine) {
  Station station(Config(Mode::watch), &log_);
  station.Present({"a", "b", "c"});
  Feed(station, "a", kPassingRun);
  station.WorkerEnded("a", Exited("Pass\r\nR06.00.01\r"));  // one byte short
  // Its pipe ended before "end": it did not finish by itself.
  Feed(station, "b", std::vector<std::string>(kPassingRun.begin(), kPassingRun.end() - 1));
  station.WorkerEnded("b", Exited(kPass));
  Feed(station, "c", kPassingRun);
  station.WorkerEnded("c", Exited(kPass));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("\"verdict\": \"fail\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"verdict\": \"fail\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("before its last line"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"verdict\": \"pass\""), std::string::npos) << lines[2];
  EXPECT_EQ(station.ExitStatus(), 1);
}

TEST_F(StationLogFile, AKilledWorkerIsAFailWithItsReasonAndTheOthersGoOn) {
  Station station(Config(Mode::watch), &log_);
  station.Present({"1-1", "1-2"});
  station.WorkerLine("1-1", "status blue \"Erase Flash ...\"");
  WorkerEnd killed;
  killed.reason = "killed by signal 9";
  station.WorkerEnded("1-1", killed);
  EXPECT_EQ(station.Rows().at("1-2").state, PortState::running);
  Feed(station, "1-2", kPassingRun);
  station.WorkerEnded("1-2", Exited(kPass));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"reason\": \"killed by signal 9\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"requests\": {\"sent\": null"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"reason\": null"), std::string::npos) << lines[1];
}

TEST_F(StationLogFile, EachAttemptIsNamedByWhatItShowed) {
  Station station(Config(Mode::once), &log_);
  station.Present({"p"});
  for (int attempt = 0; attempt < 3; ++attempt) {
    Feed(station, "p",
         {"progress 0", "status blue \"Check Hardware ...\"", "progress 20",
          "status blue \"Erase Flash ...\"", "progress 100",
          "status red \"Check Firmware Failed!!!\""});
  }
  Feed(station, "p", {"requests 49000 12", "result \"Fail\"", "end 0"});
  station.WorkerEnded("p", Exited("Fail"));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"attempts\": [\"check failed\", \"check failed\", \"check failed\"]"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find("\"requests\": {\"sent\": 49000, \"failed\": 12}"), std::string::npos);
}

TEST_F(StationLogFile, AttemptsThatFindNoCameraAreEachCounted) {
  Station station(Config(Mode::once), &log_);
  station.Present({"p"});
  Feed(station, "p",
       {"status blue \"Detect Device!!!\"", "progress 0", "status blue \"Check Hardware ...\"",
        "progress 0", "status blue \"Check Hardware ...\"", "progress 20",
        "status blue \"Check Hardware ...\"", "requests 0 0", "result \"Fail\"", "end 0"});
  station.WorkerEnded("p", Exited("Fail"));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"attempts\": [\"no camera\", \"open failed\", \"no camera\"]"),
            std::string::npos)
      << lines[0];
}

TEST_F(StationLogFile, TheRecordNamesTheCameraAndTheRun) {
  // The log's times are UTC whatever the station's time zone.
  ::setenv("TZ", "EST5EDT", 1);
  ::tzset();
  const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1796688000));
  int calls = 0;
  Station station(Config(Mode::once), &log_,
                  [&] { return start + std::chrono::milliseconds(11250) * calls++; });
  station.Present({"1-1.4"});
  Feed(station, "1-1.4", kPassingRun);
  station.WorkerEnded("1-1.4", Exited(kPass));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  // 1796688000 s after the epoch is 2026-12-08 00:00:00 UTC.
  EXPECT_EQ(lines[0],
            "{\"record\": \"end\", \"port\": \"1-1.4\", \"devicePath\": "
            "\"\\\\\\\\?\\\\usb#vid_1f3a&pid_5c72&mi_00#1-1#{x}\\\\global\", \"host\": "
            "\"bench-2\", \"toolVersion\": \"7.0.0.7\", \"imageSha256\": \"ab\", \"start\": "
            "\"2026-12-08T00:00:00.000Z\", \"end\": \"2026-12-08T00:00:11.250Z\", \"attempts\": "
            "[\"pass\"], \"verdict\": \"pass\", \"requests\": {\"sent\": 21209, \"failed\": 4}, "
            "\"reason\": null}");
}

TEST_F(StationLogFile, AFailedWriteLeavesNoHalfLineAndARestartFindsTheUnendedUpdates) {
  Station station(Config(Mode::watch), &log_);
  station.Present({"1-1", "1-1.4"});
  ASSERT_TRUE(station.Begin("1-1"));
  ASSERT_TRUE(station.Begin("1-1.4"));
  Feed(station, "1-1", kPassingRun);
  ASSERT_TRUE(station.WorkerEnded("1-1", Exited(kPass)));
  {
    std::ofstream cut(path_, std::ios::app | std::ios::binary);
    cut << "{\"record\": \"end\", \"port\": \"1-1.4\", \"st";  // a station killed mid-write
  }
  station::StationLog again;
  ASSERT_TRUE(again.Open(path_.string()));
  EXPECT_EQ(again.Text().back(), '\n');
  EXPECT_EQ(Lines().size(), 3u);
  const auto unended = station::FindUnended(again.Text());
  ASSERT_EQ(unended.size(), 1u);
  EXPECT_EQ(unended[0].port, "1-1.4");  // not 1-1: a port is matched whole, never by prefix
  // Resumed from the account the worker left: the end record gets the start it had.
  Station restarted(Config(Mode::watch), &again);
  restarted.Resume(unended[0].port, unended[0].start);
  Feed(restarted, "1-1.4", kPassingRun);
  WorkerEnd orphan = Exited(kPass);
  orphan.orphan = true;
  ASSERT_TRUE(restarted.WorkerEnded("1-1.4", orphan));
  std::ifstream file(path_, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  EXPECT_TRUE(station::FindUnended(text).empty()) << text;
  EXPECT_NE(Lines().back().find("\"verdict\": \"pass\""), std::string::npos);
  // With nothing left by the worker, the update is interrupted: not the camera's failure.
  restarted.Resume("1-1.4", unended[0].start);
  orphan.resultLog.reset();
  restarted.WorkerEnded("1-1.4", orphan);
  EXPECT_NE(Lines().back().find("\"verdict\": \"interrupted\""), std::string::npos);
  EXPECT_EQ(restarted.ExitStatus(), 4);
}

TEST(Display, EachPortShowsItsStateInItsOrderAndTheBlockFitsTheTerminal) {
  Station::Config config;
  config.mode = Mode::watch;
  config.ports = {"B", "A"};  // the fixture's order
  const auto t0 = std::chrono::system_clock::time_point(std::chrono::hours(1000));
  auto now = t0;
  Station station(config, nullptr, [&] { return now; });
  station.Present({"A", "B", "1-1.10", "1-1.2", "1-1.1"});
  Feed(station, "A",
       {"reflash-worker 1", "status blue \"Check Hardware ...\"",
        "status blue \"Check Hardware ...\"", "progress 40",
        "status red \"Erase\\r\\nfailed\x1b[2J\""});
  Feed(station, "B", kPassingRun);
  station.WorkerEnded("B", Exited("Fail"));  // its Result.log says otherwise: a fail
  now = t0 + std::chrono::seconds(75);
  const std::string plain = station::RenderLive(station, false, {200, 50});
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = plain.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(plain.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 6u) << plain;
  EXPECT_EQ(lines[0].rfind("B ", 0), 0u);
  EXPECT_NE(lines[0].find("FAIL"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("A ", 0), 0u);
  EXPECT_NE(lines[1].find("2/3 1:15 Erase??failed?[2J"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2].rfind("1-1.1 ", 0), 0u);
  EXPECT_EQ(lines[3].rfind("1-1.2 ", 0), 0u);
  EXPECT_EQ(lines[4].rfind("1-1.10", 0), 0u);
  EXPECT_EQ(lines[5].rfind("passed 0  failed 1", 0), 0u) << lines[5];
  // A failed port in colour is red, never green.
  const std::string ansi = station::RenderLive(station, true, {200, 50});
  EXPECT_NE(ansi.find("\x1b[1;31mFAIL"), std::string::npos);
  EXPECT_EQ(ansi.find("\x1b[1;32m"), std::string::npos);
  // 30 columns and 4 rows: no line wraps, and what does not fit is summed up.
  const std::string small = station::RenderLive(station, true, {30, 4});
  std::size_t count = 0;
  for (std::size_t at = 0, end; (end = small.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = small.substr(at, end - at);
    for (std::size_t esc; (esc = line.find('\x1b')) != std::string::npos;) {
      line.erase(esc, line.find('m', esc) - esc + 1);
    }
    EXPECT_LE(line.size(), 29u) << line;
    ++count;
  }
  EXPECT_EQ(count, 4u) << small;
  EXPECT_NE(small.find("... 3 more"), std::string::npos) << small;
}

// --- The worker's lines and the log's strings -----------------------------------------------

TEST(WorkerLines, TheSplitterKeepsWholeLinesAndBoundsThem) {
  station::WorkerLineSplitter splitter;
  std::vector<std::string> lines;
  const std::string text = "end 0\r\nresult \"a\\\\\"\npart";
  splitter.Feed(text.data(), text.size(), lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"end 0", "result \"a\\\\\""}));
  const auto result = station::ParseWorkerLine(lines[1]);  // ends in an escaped backslash
  ASSERT_TRUE(result);
  EXPECT_EQ(result->text, "a\\");
  EXPECT_FALSE(station::ParseWorkerLine("result \"a\\\""));  // the closing quote is escaped
  const std::string rest = "ial\n" + std::string(station::kMaxWorkerLine + 2, 'x');
  splitter.Feed(rest.data(), rest.size(), lines);
  EXPECT_EQ(lines.back(), "partial");
  EXPECT_TRUE(splitter.Overlong());
  splitter.Feed("end 0\n", 6, lines);
  EXPECT_EQ(lines.size(), 3u);  // nothing after an overlong line is taken
}

TEST(WorkerLines, QuotedTextsAreUndone) {
  const auto status = station::ParseWorkerLine("status red \"Say \\\"hi\\\" \\\\ now\"");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->colour, "red");
  EXPECT_EQ(status->text, "Say \"hi\" \\ now");
  const auto result = station::ParseWorkerLine("result \"Pass\\r\\nR06.00.01\\r\\n\"");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->text, kPass);
  EXPECT_EQ(result->text.size(), 17u);
}

TEST(WorkerLines, BrokenLinesAreRefused) {
  EXPECT_FALSE(station::ParseWorkerLine("status blue Erase"));
  EXPECT_FALSE(station::ParseWorkerLine("status blue \"open"));
  EXPECT_FALSE(station::ParseWorkerLine("result \"a\"b\""));
  EXPECT_FALSE(station::ParseWorkerLine("progress 4x"));
  EXPECT_FALSE(station::ParseWorkerLine("requests 12"));
  EXPECT_FALSE(station::ParseWorkerLine("result \"bad \\q escape\""));
  // Events of other kinds are passed over, not refused.
  const auto other = station::ParseWorkerLine("sleep 2000");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->kind, station::WorkerLine::Kind::other);
}

TEST(JsonStrings, ControlAndHighBytesAreEscaped) {
  EXPECT_EQ(station::JsonString("a\"b\\c\r\n\t\x01\xe9"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\\u00e9\"");
}

TEST(Sha256, KnownDigests) {
  const std::string abc = "abc";
  EXPECT_EQ(station::Sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(station::Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // 56 bytes: the length no longer fits the first padding block.
  const std::string two =
      "abcd"
      "bcde"
      "cdef"
      "defg"
      "efgh"
      "fghi"
      "ghij"
      "hijk"
      "ijkl"
      "jklm"
      "klmn"
      "lmno"
      "mnop"
      "nopq";
  EXPECT_EQ(station::Sha256Hex(reinterpret_cast<const std::uint8_t*>(two.data()), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::vector<std::uint8_t> million(1000000, 'a');
  EXPECT_EQ(station::Sha256Hex(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// --- The simulated ports and the command line -----------------------------------------------

TEST(SimulatedPorts, PlugsAndUnplugsAtTheirTimes) {
  std::vector<station::SimulatedPlug> plugs;
  std::string error;
  ASSERT_TRUE(
      station::ParseSimulatedPorts("# fixture\n"
                                   "A1 0 300 --chip 3\n"
                                   "A1 500 -\n"
                                   "B2 200 - --stay-busy   # a bad one\n",
                                   plugs, error))
      << error;
  const station::SimulatedPorts ports(plugs);
  EXPECT_EQ(ports.PresentAt(0), std::vector<std::string>{"A1"});
  EXPECT_EQ(ports.PresentAt(300), std::vector<std::string>{"B2"});
  EXPECT_EQ(ports.PresentAt(500), (std::vector<std::string>{"A1", "B2"}));
  EXPECT_EQ(ports.NextChangeAfter(0), 200);
  EXPECT_EQ(ports.NextChangeAfter(300), 500);
  EXPECT_FALSE(ports.NextChangeAfter(500));
  EXPECT_EQ(ports.OptionsAt("A1", 100), (std::vector<std::string>{"--chip", "3"}));
  EXPECT_TRUE(ports.OptionsAt("A1", 600).empty());
  EXPECT_EQ(ports.OptionsAt("B2", 900), std::vector<std::string>{"--stay-busy"});
}

TEST(SimulatedPorts, BadDescriptionsNameTheirLine) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"A1 0 -\nA1 100 200\n", "line 2"},  // plugged in twice at once
      {"A1 500 400\n", "line 1"},          // out before in
      {"\n\nA/1 0 -\n", "line 3"},         // a port that is no folder name
      {"A1 zero -\n", "line 1"},          {"A1 0\n", "line 1"},
  };
  for (const auto& [text, where] : bad) {
    std::vector<station::SimulatedPlug> plugs;
    std::string error;
    EXPECT_FALSE(station::ParseSimulatedPorts(text, plugs, error)) << text;
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
  }
}

TEST(StationCommandLine, OneModeIsRequired) {
  const auto parse = [](std::vector<const char*> args, std::string* error = nullptr) {
    args.insert(args.begin(), "reflash-station");
    station::StationOptions options;
    std::string message;
    const bool ok =
        station::ParseStationOptions(static_cast<int>(args.size()), args.data(), options, message);
    if (error != nullptr) {
      *error = message;
    }
    return ok;
  };
  EXPECT_TRUE(parse({"--once"}));
  EXPECT_TRUE(parse({"--watch", "--output", "/tmp/x", "--sim", "f", "--instant"}));
  EXPECT_TRUE(parse({"--help"}));
  EXPECT_FALSE(parse({"--once", "--watchdog", "5"}));  // only for a simulated station
  EXPECT_FALSE(parse({"--once", "--ports", "1-1,1-1"}));
  EXPECT_FALSE(parse({"--once", "--ports", "../x"}));
  EXPECT_FALSE(parse({}));
  EXPECT_FALSE(parse({"--once", "--watch"}));
  EXPECT_FALSE(parse({"--once", "--output"}));
  EXPECT_FALSE(parse({"--once", "--instant"}));
  std::string error;
  EXPECT_FALSE(parse({"--once", "--fast"}, &error));
  EXPECT_NE(error.find("--fast"), std::string::npos);
}

}  // namespace
