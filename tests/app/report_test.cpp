// How --report reads a run: each attempt's outcome from what the dialog showed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim_program/run_report.h"

namespace {

TEST(RunReportTest, EachAttemptEndsAsItsStatusLineAndProgressShowed) {
  const std::vector<std::pair<std::vector<const char*>, const char*>> attempts = {
      {{"progress 20", "status blue \"Erase Flash ...\"", "progress 100",
        "status red \"Erase failed!!!\""},
       "erase failed"},
      {{"progress 20", "progress 40", "progress 60", "progress 100",
        "status red \"Write firmware Failed!!!\""},
       "write failed"},
      {{"progress 20", "progress 40", "progress 60", "progress 80", "progress 100",
        "status red \"Check Firmware Failed!!!\""},
       "check failed"},
      {{"progress 20", "progress 40", "progress 60", "progress 80", "progress 100"}, "pass"},
      {{"progress 20"}, "open failed"},
      {{}, "no camera"},
  };
  console::RunReport report;
  // A red text before the first attempt belongs to none.
  report.NoteEvent(0, "status red \"Firmware image missing!!!\"");
  std::vector<std::string> expected;
  std::uint64_t ms = 3000;
  for (const auto& [events, outcome] : attempts) {
    report.NoteEvent(ms, "progress 0");
    report.NoteEvent(ms, "status blue \"Check Hardware ...\"");
    for (const char* event : events) {
      report.NoteEvent(++ms, event);
    }
    expected.push_back(outcome);
  }
  report.NoteEvent(ms, "exit 0");
  EXPECT_EQ(report.Outcomes(), expected);
}

TEST(RunReportTest, StringsAreEscapedForJson) {
  EXPECT_EQ(console::RunReport::JsonString("a\"b\\c\r\n\x01"),
            "\"a\\\"b\\\\c\\u000d\\u000a\\u0001\"");
}

}  // namespace
