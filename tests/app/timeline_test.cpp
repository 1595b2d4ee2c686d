// The order of events in a reflash-sim run, read from its --timeline: pauses, status texts and
// Result.log writes against the requests around them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Event {
  unsigned long long ms = 0;
  std::string what;
};
using Timeline = std::vector<Event>;

// Runs reflash-sim on the virtual clock in a scratch directory and reads its timeline, and the
// lines of its request trace into `trace` when given.
Timeline RunSim(const std::string& args, std::vector<std::string>* trace = nullptr) {
  static int runs = 0;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "reflash_timeline" /
                                    (std::string(test->name()) + std::to_string(++runs));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string command = "cd '" + dir.string() +
                              "' && '" REFLASH_SIM_EXE "' --instant --timeline timeline.txt " +
                              args + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  Timeline events;
  std::ifstream in(dir / "timeline.txt");
  for (Event event; in >> event.ms && in.get() == ' ' && std::getline(in, event.what);) {
    events.push_back(event);
  }
  std::ifstream traceFile(dir / "trace.txt");
  for (std::string line; trace != nullptr && std::getline(traceFile, line);) {
    trace->push_back(line);
  }
  std::filesystem::remove_all(dir);
  return events;
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

std::size_t Find(const Timeline& events, const std::string& what, std::size_t from = 0) {
  for (std::size_t i = from; i < events.size(); ++i) {
    if (events[i].what.rfind(what, 0) == 0) {
      return i;
    }
  }
  return kNone;
}

// Requests, sleeps and the camera's comings and goings mark where a step stands; the camera
// layer's 1 ms polls, the status line and the progress bar do not.
bool IsStep(const Event& event) {
  return event.what.rfind("request ", 0) == 0 || event.what.rfind("sleep ", 0) == 0 ||
         event.what.rfind("camera ", 0) == 0;
}

std::string StepBefore(const Timeline& events, std::size_t at) {
  for (std::size_t i = at; i-- > 0;) {
    if (IsStep(events[i])) {
      return events[i].what;
    }
  }
  return "<none>";
}

std::size_t StepAfter(const Timeline& events, std::size_t at) {
  for (std::size_t i = at + 1; i < events.size(); ++i) {
    if (IsStep(events[i])) {
      return i;
    }
  }
  return kNone;
}

std::size_t RequestsBefore(const Timeline& events, std::size_t at) {
  std::size_t requests = 0;
  for (std::size_t i = 0; i < at && i < events.size(); ++i) {
    requests += events[i].what.rfind("request ", 0) == 0 ? 1 : 0;
  }
  return requests;
}

TEST(TimelineTest, PausesAndStatusTextsStandBetweenTheRightSteps) {
  const Timeline events = RunSim("");
  struct Case {
    const char* anchor;
    const char* stepBefore;  // null: not checked
    const char* stepAfter;   // prefix
    unsigned long long pauseMs;
  };
  const Case cases[] = {
      // The identification read (internal memory, selector 4) comes 2 s after the open.
      {"sleep 2000", nullptr, "request SET 4 3 ", 2000},
      // Reset (register 0x1073 := 0) drops the camera off; the check enumerates 5 s later.
      {"sleep 5000", "camera gone", "camera back", 5000},
      // The erase begins by reading the flash type register 0x05F0, once the release has
      // switched the SPI port off again (register 0x1080 := 0).
      {"status blue \"Erase Flash ...\"", "request SET 1 3 80 10 00 00",
       "request SET 1 3 F0 05 00 FF", 0},
      {"status blue \"Reset Device...\"", nullptr, "request SET 1 3 73 10 00 00", 0},
      {"status blue \"Check Firmware...\"", nullptr, "camera back", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.anchor);
    const std::size_t at = Find(events, c.anchor);
    ASSERT_NE(at, kNone);
    EXPECT_EQ(Find(events, c.anchor, at + 1), kNone) << "shown twice in a passing run";
    if (c.stepBefore != nullptr) {
      EXPECT_EQ(StepBefore(events, at), c.stepBefore);
    }
    const std::size_t next = StepAfter(events, at);
    ASSERT_NE(next, kNone);
    EXPECT_EQ(events[next].what.rfind(c.stepAfter, 0), 0u) << events[next].what;
    EXPECT_GE(events[next].ms, events[at].ms + c.pauseMs);
  }
}

TEST(TimelineTest, FirstAttemptStartsWhenTheThreeSecondTimerFires) {
  const Timeline events = RunSim("--no-camera");
  const std::size_t armed = Find(events, "timer");
  const std::size_t fired = Find(events, "timer fired");
  const std::size_t attempt = Find(events, "status blue \"Check Hardware ...\"");
  ASSERT_NE(armed, kNone);
  ASSERT_NE(attempt, kNone);
  EXPECT_EQ(events[armed].what, "timer 3000");
  EXPECT_LT(Find(events, "status blue \"Detect Device!!!\""), armed);
  EXPECT_LT(fired, attempt);
  EXPECT_GE(events[attempt].ms, events[armed].ms + 3000);
}

TEST(TimelineTest, FailIsWrittenByTheAttemptThatFailsOnlyForAbsenceEraseAndWrite) {
  // The camera drops off just before the step: its first request and all after it fail.
  const Timeline clean = RunSim("");
  const std::size_t beforeErase =
      RequestsBefore(clean, Find(clean, "status blue \"Erase Flash ...\""));
  const std::size_t beforeWrite =
      RequestsBefore(clean, Find(clean, "status blue \"Update Firmware ...\""));
  // The open's first request is its node probe, the second set-support query of the run.
  const std::size_t beforeOpen =
      RequestsBefore(clean, Find(clean, "request SUPPORT 2", Find(clean, "request SUPPORT 3")));
  struct Case {
    const char* name;
    std::string args;
    const char* failedStatus;  // null: the attempt writes nothing; the verdict comes at exit
    const char* verdict;
  };
  const Case cases[] = {
      {"absent", "--no-camera", "status blue \"Check Hardware ...\"", "\"Fail\""},
      {"erase fails", "--disconnect-after " + std::to_string(beforeErase),
       "status red \"Erase failed!!!\"", "\"Pass\\r\\nR06.00.01\\r\\n\""},
      {"write fails", "--disconnect-after " + std::to_string(beforeWrite),
       "status red \"Write firmware Failed!!!\"", "\"Pass\\r\\nR06.00.01\\r\\n\""},
      {"open fails", "--disconnect-after " + std::to_string(beforeOpen), nullptr,
       "\"Pass\\r\\nR06.00.01\\r\\n\""},
      {"check fails", "--corrupt-readback 0", nullptr, "\"Fail\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Timeline events = RunSim(c.args);
    const std::size_t firstResult = Find(events, "result ");
    const std::size_t secondAttempt = Find(events, "status blue \"Check Hardware ...\"",
                                           Find(events, "status blue \"Check Hardware ...\"") + 1);
    ASSERT_NE(firstResult, kNone);
    ASSERT_NE(secondAttempt, kNone);
    if (c.failedStatus != nullptr) {
      EXPECT_EQ(events[firstResult].what, "result \"Fail\"");
      EXPECT_LT(Find(events, c.failedStatus), firstResult);
      EXPECT_LT(firstResult, secondAttempt);
    } else {
      EXPECT_GT(firstResult, secondAttempt) << "the failed attempt wrote Result.log";
    }
    EXPECT_EQ(events.back().what, "exit 0");
    EXPECT_EQ(events[events.size() - 2].what, std::string("result ") + c.verdict);
  }
}

TEST(TimelineTest, RequestLinesAreTheRequestTraceInOrder) {
  std::vector<std::string> trace;
  const Timeline events = RunSim("--trace trace.txt --fail-request 3", &trace);
  std::vector<std::string> requests;
  for (const Event& event : events) {
    if (event.what.rfind("request ", 0) == 0) {
      requests.push_back(event.what.substr(8));
    }
  }
  ASSERT_GT(trace.size(), 3u);
  EXPECT_EQ(trace[2].substr(trace[2].size() - 5), " FAIL");
  EXPECT_EQ(requests, trace);
}

}  // namespace
