// The station's bookkeeping: which camera is taken when, what a worker's lines mean, and what
// the station log holds.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "station/display.h"
#include "station/log_record.h"
#include "station/sha256.h"
#include "station/simulated_ports.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/station_report.h"
#include "station/unit_identity.h"
#include "station/station_options.h"
#include "station/worker_protocol.h"

namespace {

using station::Mode;
using station::PortState;
using station::Station;
using station::WorkerEnd;

const std::string kPass = "Pass\r\nR06.00.01\r\n";

// A worker's whole account of one attempt that passed on `port`, as it writes it on its pipe.
std::vector<std::string> PassingRun(const std::string& port) {
  return {
      "reflash-worker 1",
      "port \"" + port + "\"",
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
      "attempt 1 \"pass\"",
      "requests 21209 4",
      "result \"Pass\\r\\nR06.00.01\\r\\n\"",
      "end 0",
  };
}

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
  Feed(station, "1-1", PassingRun("1-1"));
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
  Feed(station, "1-1", PassingRun("1-1"));
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
  Feed(station, "1-1", PassingRun("1-1"));
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
  Feed(station, "a", PassingRun("a"));
  station.WorkerEnded("a", Exited("Pass\r\nR06.00.01\r"));  // one byte short
  // Its pipe ended before "end": it did not finish by itself.
  const auto cut = PassingRun("b");
  Feed(station, "b", std::vector<std::string>(cut.begin(), cut.end() - 1));
  station.WorkerEnded("b", Exited(kPass));
  Feed(station, "c", PassingRun("c"));
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
  Feed(station, "1-2", PassingRun("1-2"));
  station.WorkerEnded("1-2", Exited(kPass));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(
      lines[0].find("\"reason\": \"worker killed during Erase Flash ... (killed by signal 9)\""),
      std::string::npos)
      << lines[0];
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

TEST_F(StationLogFile, TheWorkersStatedOutcomeIsRecordedAndAnUnstatedOneIsReadFromTheScreen) {
  Station station(Config(Mode::once), &log_);
  station.Present({"p"});
  // The worker's word decides, even against what its screen lines seem to show; the attempt it
  // was killed in (camera found, erase begun) says nothing of the camera.
  Feed(station, "p",
       {"reflash-worker 1", "status blue \"Check Hardware ...\"", "progress 20", "progress 100",
        "attempt 1 \"check failed\"", "status blue \"Check Hardware ...\"", "progress 20",
        "status blue \"Erase Flash ...\"", "progress 40"});
  WorkerEnd killed;
  killed.reason = "killed by signal 9";
  station.WorkerEnded("p", killed);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"attempts\": [\"check failed\", \"interrupted\"]"), std::string::npos)
      << lines[0];
}

TEST_F(StationLogFile, TheRecordNamesTheCameraAndTheRun) {
  // The log's times are UTC whatever the station's time zone.
  ::setenv("TZ", "EST5EDT", 1);
  ::tzset();
  const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1796688000));
  int calls = 0;
  Station::Config config = Config(Mode::once);
  config.stationId = "line-3";
  config.operatorName = "Ana";
  Station station(config, &log_,
                  [&] { return start + std::chrono::milliseconds(11250) * calls++; });
  station.Present({"1-1.4"});
  ASSERT_TRUE(station.Begin("1-1.4", {"SN\"7", 0x0500, "1f3a:5c72"}));
  Feed(station, "1-1.4", PassingRun("1-1.4"));
  WorkerEnd end = Exited(kPass);
  end.after = station::UnitIdentity{"SN\"7", 0x0601, "1f3a:5c72"};
  station.WorkerEnded("1-1.4", end);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  // 1796688000 s after the epoch is 2026-12-08 00:00:00 UTC; each reading of the clock is
  // 11.25 s later: start, start record, the attempt's start and end, the update's end.
  const std::string identity =
      "\"port\": \"1-1.4\", \"devicePath\": %s, \"serial\": \"SN\\\"7\", \"usbId\": "
      "\"1f3a:5c72\", \"bcdDevice\": \"0500\", \"host\": \"bench-2\", \"station\": \"line-3\", "
      "\"operator\": \"Ana\", \"toolVersion\": \"7.0.0.7\", \"imageSha256\": \"ab\", \"start\": "
      "\"2026-12-08T00:00:00.000Z\"";
  const auto with = [&](const std::string& path) {
    std::string text = identity;
    return text.replace(text.find("%s"), 2, path);
  };
  EXPECT_EQ(lines[0], "{\"record\": \"start\", " + with("null") + "}");
  EXPECT_EQ(lines[1],
            "{\"record\": \"end\", " +
                with("\"\\\\\\\\?\\\\usb#vid_1f3a&pid_5c72&mi_00#1-1#{x}\\\\global\"") +
                ", \"end\": \"2026-12-08T00:00:33.750Z\", \"after\": {\"serial\": \"SN\\\"7\", "
                "\"usbId\": \"1f3a:5c72\", \"bcdDevice\": \"0601\"}, \"attempts\": [\"pass\"], "
                "\"attemptTimes\": [{\"start\": \"2026-12-08T00:00:22.500Z\", \"end\": "
                "\"2026-12-08T00:00:33.750Z\"}], \"verdict\": \"pass\", \"requests\": {\"sent\": "
                "21209, \"failed\": 4}, \"reason\": null, \"notes\": []}");
  // What the report and a restarted station read back is what was written.
  const auto record = station::ParseLogRecord(lines[1]);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->unit.serial, "SN\"7");
  EXPECT_EQ(record->unit.bcdDevice, 0x0500);
  EXPECT_EQ(record->attempts, std::vector<std::string>{"pass"});
}

TEST_F(StationLogFile, SwapsUnchangedRevisionsAndTodaysDuplicatesAreNotedAndStillFlashed) {
  const auto day = std::chrono::system_clock::time_point(std::chrono::seconds(1796688000));
  auto now = day + std::chrono::hours(9);
  Station station(Config(Mode::watch), &log_, [&] { return now; });
  // A pass written by an earlier run today, and one of yesterday's that no longer counts.
  station.KnownPasses(
      "{\"record\": \"end\", \"port\": \"B2\", \"serial\": \"S-OLD\", \"start\": "
      "\"2026-12-07T10:00:00.000Z\", \"end\": \"2026-12-07T10:00:20.000Z\", \"verdict\": "
      "\"pass\"}\n"
      "{\"record\": \"end\", \"port\": \"B1\", \"serial\": \"S-1\", \"start\": "
      "\"2026-12-08T08:00:00.000Z\", \"end\": \"2026-12-08T08:00:20.000Z\", \"verdict\": "
      "\"pass\"}\n");
  struct Case {
    const char* what;
    std::optional<std::string> serial;
    std::optional<station::UnitIdentity> after;
    const char* note;            // expected in the end record's notes; "" for none
    const char* duplicate;       // expected duplicateOf's port; "" for none
    const char* elsewhere = "";  // the factory database tells of a pass on this station today
  } cases[] = {
      {"a duplicate of today's pass", "S-1", station::UnitIdentity{"S-1", 0x0601, "1f3a:5c72"}, "",
       "B1"},
      {"yesterday's pass is no duplicate", "S-OLD",
       station::UnitIdentity{"S-OLD", 0x0601, "1f3a:5c72"}, "", ""},
      {"another camera after the reset", "S-2", station::UnitIdentity{"S-3", 0x0601, "1f3a:5c72"},
       "serial S-2 at the start, serial S-3 at the end", ""},
      {"a revision the update left as it was", std::nullopt,
       station::UnitIdentity{std::nullopt, 0x0500, "1f3a:5c72"}, "bcdDevice 0500 did not change",
       ""},
      {"no camera after the reset", "S-4", std::nullopt, "bcdDevice after the reset not read", ""},
      {"this station's own pass of S-4 a moment ago", "S-4",
       station::UnitIdentity{"S-4", 0x0601, "1f3a:5c72"}, "", "A1"},
      {"another station's pass, told while the update runs", "S-5",
       station::UnitIdentity{"S-5", 0x0601, "1f3a:5c72"}, "", "C3", "L2"},
      {"this station's own pass comes first", "S-1",
       station::UnitIdentity{"S-1", 0x0601, "1f3a:5c72"}, "", "B1", "L2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    station.Present({});
    station.Present({"A1"});
    ASSERT_TRUE(station.Begin("A1", {c.serial, 0x0500, "1f3a:5c72"}));
    // The database's answer comes after the start record: only the end record has it.
    const bool told = std::string(c.duplicate) == "C3";
    const bool local = *c.duplicate != 0 && !told;
    EXPECT_EQ(station.Rows().at("A1").duplicate.empty(), !local);
    if (*c.elsewhere != 0) {
      const station::PriorPass pass{c.elsewhere, "C3", now - std::chrono::hours(1),
                                    now - std::chrono::minutes(59)};
      // An answer about an update that is no longer on the port changes nothing.
      station.PassedElsewhere("A1", now - std::chrono::minutes(1),
                              {"L9", "C9", pass.start, pass.end});
      station.PassedElsewhere("A1", now, pass);
      EXPECT_EQ(station.Rows().at("A1").duplicate.find("station L2") != std::string::npos,
                std::string(c.duplicate) == "C3");
    }
    Feed(station, "A1", PassingRun("A1"));
    WorkerEnd end = Exited(kPass);
    end.after = c.after;
    ASSERT_TRUE(station.WorkerEnded("A1", end));
    const std::string start = Lines()[Lines().size() - 2], record = Lines().back();
    EXPECT_NE(record.find("\"verdict\": \"pass\""), std::string::npos) << record;
    EXPECT_EQ(record.find(c.note) != std::string::npos, true) << record;
    EXPECT_EQ(record.find("\"notes\": []") != std::string::npos, *c.note == 0) << record;
    for (const std::string& line : {start, record}) {
      const std::string expected =
          told ? (line == record ? "\"duplicateOf\": {\"station\": \"L2\", \"port\": \"C3\"" : "")
          : *c.duplicate ? "\"duplicateOf\": {\"port\": \"" + std::string(c.duplicate) + "\""
                         : "";
      EXPECT_EQ(line.find(expected.empty() ? "duplicateOf" : expected) != std::string::npos,
                !expected.empty())
          << line;
    }
    now += std::chrono::minutes(1);
  }
}

TEST_F(StationLogFile, TheLogRotatesPerDayAndAtItsSizeAndARestartFindsAcrossTheFiles) {
  const auto day = std::chrono::system_clock::time_point(std::chrono::seconds(1796688000));
  auto now = day - std::chrono::minutes(1);  // 2026-12-07 23:59 UTC
  log_.EnableRotation(0);
  Station station(Config(Mode::watch), &log_, [&] { return now; });
  station.Present({"A1", "A2"});
  ASSERT_TRUE(station.Begin("A1"));
  ASSERT_TRUE(station.Begin("A2"));
  now = day + std::chrono::minutes(1);
  Feed(station, "A1", PassingRun("A1"));
  ASSERT_TRUE(station.WorkerEnded("A1", Exited(kPass)));  // A2's worker still runs at the crash
  const std::string folder = path_.parent_path().string();
  const std::string stem = path_.stem().string();
  const std::string yesterday = folder + "/" + stem + "-2026-12-07.jsonl";
  EXPECT_EQ(station::StationLogFiles(path_.string()),
            (std::vector<std::string>{yesterday, path_.string()}));
  EXPECT_EQ(Lines().size(), 1u);  // A1's end, today
  // Restarted: A2's start is in yesterday's file, A1's start there is ended here.
  const auto unended = station::FindUnended(station::RecentLogText(path_.string()));
  ASSERT_EQ(unended.size(), 1u);
  EXPECT_EQ(unended[0].port, "A2");
  // At a size: no record is split, the next file of the day takes the next number.
  station::StationLog sized;
  ASSERT_TRUE(sized.Open(path_.string()));
  sized.EnableRotation(static_cast<long long>(Lines()[0].size()) + 10);
  ASSERT_TRUE(sized.Append(Lines()[0], now));
  ASSERT_TRUE(sized.Append("{\"record\": \"x\"}", now));
  const std::string second = folder + "/" + stem + "-2026-12-08.jsonl";
  const std::string third = folder + "/" + stem + "-2026-12-08.2.jsonl";
  EXPECT_EQ(station::StationLogFiles(path_.string()),
            (std::vector<std::string>{yesterday, second, third, path_.string()}));
  EXPECT_EQ(Lines(), std::vector<std::string>{"{\"record\": \"x\"}"});
  // A folder or a FIFO of a rotated file's name (a port's folder, say) is no log, and a restart
  // still finds A2's start across the day's and the size's rotations.
  const std::string folderNamed = folder + "/" + stem + "-2026-12-06.jsonl";
  const std::string fifoNamed = folder + "/" + stem + "-2026-12-08.3.jsonl";
  std::filesystem::create_directory(folderNamed);
  ASSERT_EQ(::mkfifo(fifoNamed.c_str(), 0600), 0);
  EXPECT_EQ(station::StationLogFiles(path_.string()),
            (std::vector<std::string>{yesterday, second, third, path_.string()}));
  const auto stillUnended = station::FindUnended(station::RecentLogText(path_.string()));
  ASSERT_EQ(stillUnended.size(), 1u);
  EXPECT_EQ(stillUnended[0].port, "A2");
  for (const auto& file : {yesterday, second, third, folderNamed, fifoNamed}) {
    std::filesystem::remove(file);
  }
}

TEST_F(StationLogFile, AFailedWriteLeavesNoHalfLineAndARestartFindsTheUnendedUpdates) {
  Station station(Config(Mode::watch), &log_);
  station.Present({"1-1", "1-1.4"});
  ASSERT_TRUE(station.Begin("1-1"));
  ASSERT_TRUE(station.Begin("1-1.4"));
  Feed(station, "1-1", PassingRun("1-1"));
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
  Feed(restarted, "1-1.4", PassingRun("1-1.4"));
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

// --- The report ---------------------------------------------------------------------------

// An end record with what the report reads; `seconds` after 2026-12-07 or -08 10:00 UTC.
std::string End(const std::string& port, const std::string& serial, int day, int seconds,
                const std::string& verdict, const std::string& attempt,
                const std::string& reason = "null") {
  const std::string date = day == 7 ? "2026-12-07" : "2026-12-08";
  char end[32];  // room for any int: the compiler checks it
  std::snprintf(end, sizeof end, "10:%02d:%02d", seconds / 60, seconds % 60);
  return "{\"record\": \"end\", \"port\": \"" + port + "\", \"serial\": " + serial +
         ", \"imageSha256\": \"ab\", \"start\": \"" + date + "T10:00:00.000Z\", \"end\": \"" +
         date + "T" + end + ".000Z\", \"attempts\": [\"" + attempt + "\"], \"verdict\": \"" +
         verdict + "\", \"reason\": " + reason + "}\n";
}

TEST(Report, TheFiguresOfASmallLogAreTheOnesCountedByHand) {
  const std::string log =
      End("P1", "\"S1\"", 7, 10, "pass", "pass") + End("P1", "\"S2\"", 7, 20, "pass", "pass") +
      End("P2", "\"S3\"", 7, 30, "fail", "check failed") +
      "{\"record\": \"start\", \"port\": \"P2\", \"serial\": \"S3\", \"start\": "
      "\"2026-12-07T10:00:00.000Z\"}\n" +
      End("P2", "\"S3\"", 7, 40, "pass", "pass") + End("P3", "null", 7, 100, "pass", "pass") +
      End("P3", "null", 7, 60, "fail", "no camera", "\"killed by signal 9 (Killed)\"") +
      "{\"record\": \"end\", \"port\": \"P1\", \"st\n" +
      End("P1", "\"S4\"", 8, 70, "interrupted", "pass", "\"the station stopped\"") +
      End("P2", "\"S5\"", 8, 80, "pass", "pass") +
      End("P3", "\"S6\"", 8, 90, "fail", "erase failed") +
      End("P1", "\"S1\"", 8, 50, "pass", "pass");
  station::ReportBuilder all({});
  all.AddText("day.jsonl", log);
  const station::Report report = all.Finish();
  EXPECT_EQ(report.total.updates, 10);
  EXPECT_EQ(report.total.passes, 6);
  EXPECT_EQ(report.total.fails, 3);
  EXPECT_EQ(report.cameras, 8);  // S1-S6 and two without a serial number
  EXPECT_EQ(report.firstPassCameras, 4);
  EXPECT_EQ(report.causes, (std::map<std::string, long>{{"check failed", 1},
                                                        {"erase failed", 1},
                                                        {"interrupted: the station stopped", 1},
                                                        {"killed by signal 9", 1}}));
  struct Row {
    std::string name;
    long updates, passes, fails;
  };
  for (const Row& row : {Row{"P1", 4, 3, 0}, Row{"P2", 3, 2, 1}, Row{"P3", 3, 1, 2},
                         Row{"2026-12-07", 6, 4, 2}, Row{"2026-12-08", 4, 2, 1}}) {
    SCOPED_TRACE(row.name);
    const bool port = row.name[0] == 'P';
    ASSERT_EQ(port ? report.ports.count(row.name) : report.days.count(row.name), 1u);
    const station::Tally& tally = port ? report.ports.at(row.name) : report.days.at(row.name);
    EXPECT_EQ(tally.updates, row.updates);
    EXPECT_EQ(tally.passes, row.passes);
    EXPECT_EQ(tally.fails, row.fails);
  }
  // Nearest rank over the sorted durations (the log gives them out of order): the 5th of 10.
  EXPECT_EQ(report.medianSeconds, 50.0);
  EXPECT_EQ(report.p95Seconds, 100.0);
  EXPECT_EQ(report.maxSeconds, 100.0);
  ASSERT_EQ(report.repeated.size(), 2u);
  EXPECT_EQ(report.repeated[0].serial, "S1");
  EXPECT_EQ(report.repeated[0].updates, 2);
  EXPECT_EQ(report.repeated[1].ports, std::vector<std::string>{"P2"});
  EXPECT_EQ(report.brokenCount, 1);
  ASSERT_EQ(report.broken.size(), 1u);
  EXPECT_EQ(report.broken[0].file + ":" + std::to_string(report.broken[0].line), "day.jsonl:8");
  const std::string text = station::ReportText(report);
  EXPECT_NE(text.find("first-pass yield   50.0% (4 of 8"), std::string::npos) << text;
  EXPECT_NE(station::ReportCsv(report).find("\nport,P3,3,1,2,0.3333,0.6667,\n"), std::string::npos);
  // A range: the updates started on the 8th only.
  station::ReportOptions options;
  const char* since[] = {"--since", "2026-12-08", "--until", "2026-12-08", "log"};
  std::string error;
  ASSERT_TRUE(station::ParseReportOptions(5, since, options, error)) << error;
  station::ReportBuilder eighth(options);
  eighth.AddText("day.jsonl", log);
  EXPECT_EQ(eighth.Finish().total.updates, 4);
}

TEST(Report, PortsInNaturalOrderEachFileOnceAndATamperedLogsControlsEscaped) {
  const auto folder = std::filesystem::temp_directory_path() / "report_test_order";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "station.jsonl")
      << End("1-1.10", "null", 7, 10, "pass", "pass") +
             End("1-1.2", "null", 7, 20, "pass", "pass") +
             End("X\\u001b[2J", "\"S\\u0007\"", 7, 30, "fail", "check failed");
  const std::string dir = folder.string();
  const auto files = station::ReportFiles({dir, dir, dir + "/station.jsonl"});
  EXPECT_EQ(files.size(), 1u);
  station::ReportBuilder builder({});
  for (const auto& file : files) {
    ASSERT_TRUE(builder.AddFile(file));
  }
  const station::Report report = builder.Finish();
  EXPECT_EQ(report.total.updates, 3);
  const std::string text = station::ReportText(report);
  EXPECT_LT(text.find("  1-1.2 "), text.find("  1-1.10 ")) << text;
  for (const std::string& shown : {text, station::ReportCsv(report)}) {
    EXPECT_EQ(shown.find_first_of("\x1b\x07"), std::string::npos) << shown;
    EXPECT_NE(shown.find("X\\u001b[2J"), std::string::npos) << shown;
  }
  std::filesystem::remove_all(folder);
}

TEST(Report, APortStandsOutOnlyWhenItsFailuresAreBeyondChance) {
  struct Case {
    int q4Fails;
    std::vector<std::string> outliers;
  } cases[] = {{10, {"Q4"}}, {3, {}}, {1, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.q4Fails);
    std::string log;
    for (const char* port : {"Q1", "Q2", "Q3", "Q4"}) {
      const int fails = port[1] == '4' ? c.q4Fails : 1;
      for (int i = 0; i < 25; ++i) {
        const bool fail = i < fails;
        log += End(port, "null", 7, 10, fail ? "fail" : "pass", fail ? "check failed" : "pass");
      }
    }
    station::ReportBuilder builder({});
    builder.AddText("q", log);
    EXPECT_EQ(builder.Finish().outliers, c.outliers);
  }
}

TEST(UnitIdentity, WindowsIdsGiveTheSerialOnlyWhenTheDeviceHasOne) {
  struct Case {
    const char* instance;
    const char* hardware;
    std::optional<std::string> serial;
    std::optional<std::uint16_t> bcd;
    const char* usbId;
  } cases[] = {
      {"USB\\VID_1F3A&PID_5C72\\RF2612A0041", "USB\\VID_1F3A&PID_5C72&REV_0601", "RF2612A0041",
       0x0601, "1f3a:5c72"},
      {"USB\\VID_1F3A&PID_5C72\\5&2A1B3C4D&0&2", "USB\\VID_1F3A&PID_5C72&REV_0500", std::nullopt,
       0x0500, "1f3a:5c72"},
      {"USB\\VID_1F3A&PID_5C72\\", "USB\\VID_1F3A&PID_5C72", std::nullopt, std::nullopt,
       "1f3a:5c72"},
      {"", "garbage", std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.instance);
    const auto unit = station::IdentityFromWindowsIds(c.instance, c.hardware);
    EXPECT_EQ(unit.serial, c.serial);
    EXPECT_EQ(unit.bcdDevice, c.bcd);
    EXPECT_EQ(unit.usbId, c.usbId);
  }
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
  Feed(station, "B", PassingRun("B"));
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
  // 30 columns and 4 rows: no line wraps, the block leaves the last row to the cursor (or every
  // redraw would scroll), and what does not fit is summed up.
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
  EXPECT_EQ(count, 3u) << small;
  EXPECT_NE(small.find("... 4 more"), std::string::npos) << small;
  // 30 ports at 80x24, 25 of them failed: 23 lines, the failed first in their order, and the
  // summary names the failed ports it hides.
  Station::Config anyPort = config;
  anyPort.ports.clear();
  Station many(anyPort, nullptr, [&] { return now; });
  std::vector<std::string> ports;
  for (int i = 1; i <= 30; ++i) {
    ports.push_back((i < 10 ? "P0" : "P") + std::to_string(i));
  }
  many.Present(ports);
  for (int i = 6; i <= 30; ++i) {
    many.WorkerEnded(ports[i - 1], Exited("Fail"));
  }
  const std::string full = station::RenderLive(many, false, {80, 24});
  EXPECT_EQ(std::count(full.begin(), full.end(), '\n'), 23) << full;
  EXPECT_EQ(full.rfind("P06 ", 0), 0u) << full;
  EXPECT_NE(full.find("... 9 more ports: 5 running, 0 passed, 4 failed or faulted: P27, P28, P29, "
                      "P30\n"),
            std::string::npos)
      << full;
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
