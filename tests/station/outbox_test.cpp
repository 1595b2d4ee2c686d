// The station log as the factory database's outbox, the rows it makes, and a unit's history.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "station/history.h"
#include "station/outbox.h"

namespace {

namespace fs = std::filesystem;

std::string EndLine(const std::string& port, const std::string& serial, const std::string& start,
                    const std::string& verdict, const std::string& station = "L1") {
  return R"({"record": "end", "port": ")" + port + R"(", "serial": ")" + serial +
         R"(", "bcdDevice": "0500", "host": "bench-2", "station": )" +
         (station.empty() ? "null" : "\"" + station + "\"") +
         R"(, "imageSha256": "ab12", "start": ")" + start + R"(", "end": ")" + start.substr(0, 17) +
         R"(40.000Z", "after": {"serial": ")" + serial +
         R"(", "bcdDevice": "0601"}, "attempts": ["Check Firmware Failed!!!"], "verdict": ")" +
         verdict + R"(", "reason": null})";
}

std::string StartLine(const std::string& port, const std::string& serial,
                      const std::string& start) {
  return R"({"record": "start", "port": ")" + port + R"(", "serial": ")" + serial +
         R"(", "bcdDevice": "0500", "host": "bench-2", "station": "L1", "imageSha256": "ab12", )"
         R"("start": ")" +
         start + R"("})";
}

TEST(Outbox, LinesComeInOrderAcrossRotationsAndAPositionResumesWhereItStopped) {
  const fs::path folder = fs::temp_directory_path() / "outbox_test";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::vector<std::string> lines = {
      StartLine("A1", "S-1", "2026-12-07T23:59:00.000Z"),
      EndLine("A1", "S-1", "2026-12-07T23:59:00.000Z", "pass"),
      StartLine("A2", "S-2", "2026-12-08T00:10:00.000Z"),
      std::string(station::kMaxOutboxLine + 10, 'x'),
      EndLine("A2", "S-2", "2026-12-08T00:10:00.000Z", "fail"),
  };
  // Two rotated files (the second one cut short by a crash) and the current one, whose last line
  // is still being written.
  std::ofstream(folder / "station-2026-12-07.jsonl") << lines[0] << "\n" << lines[1] << "\n";
  std::ofstream(folder / "station-2026-12-08.jsonl") << lines[2] << "\n" << lines[3];
  std::ofstream(folder / "station.jsonl") << lines[4] << "\n" << lines[0].substr(0, 20);
  const station::Outbox outbox((folder / "station.jsonl").string());

  std::uint64_t end = 0;
  EXPECT_EQ(outbox.Count(0, end), 5u);
  EXPECT_EQ(outbox.Identity(), lines[0]);
  std::vector<std::string> read;
  std::uint64_t position = 0, next = 0;
  for (int round = 0; round < 10; ++round) {
    const auto batch = outbox.Read(position, 2, next);
    for (const auto& line : batch) {
      EXPECT_GE(line.position, position);
      read.push_back(line.text);
    }
    position = next;
  }
  EXPECT_EQ(position, end);
  // Up to a position: the lines that start before it.
  const auto two = outbox.Read(0, 2, next);
  EXPECT_EQ(outbox.Read(0, 9, next, two.at(1).position).size(), 1u);
  ASSERT_EQ(read.size(), 5u);
  EXPECT_EQ(read[3], lines[3].substr(0, station::kMaxOutboxLine));  // cut at the bound
  for (const std::size_t i : {0u, 1u, 2u, 4u}) {
    EXPECT_EQ(read[i], lines[i]);
  }
  // The line being written is whole now: it alone follows the position reached.
  std::ofstream(folder / "station.jsonl", std::ios::app) << lines[0].substr(20) << "\n";
  EXPECT_EQ(outbox.Count(position, end), 1u);
  EXPECT_EQ(outbox.Read(position, 9, next).at(0).text, lines[0]);

  const station::ShipPosition kept{position, outbox.Identity()};
  EXPECT_EQ(station::ParseShipPosition(station::ShipPositionText(kept))->offset, position);
  for (const char* bad : {"", "12", "x\nid\n", "\nid\n", "99999999999999999999999\nid\n"}) {
    EXPECT_FALSE(station::ParseShipPosition(bad)) << bad;
  }
  fs::remove_all(folder);
}

TEST(Outbox, ARecordsRowHasItsKeyAndQueriedFieldsAndTextTheDatabaseCanHold) {
  const auto row = station::RowOfLine(EndLine("A2", "S-2", "2026-12-08T00:10:00.000Z", "fail"));
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->end);
  EXPECT_EQ(row->station + " " + row->port + " " + row->start, "L1 A2 2026-12-08T00:10:00.000Z");
  EXPECT_EQ(row->endTime, "2026-12-08T00:10:40.000Z");
  EXPECT_EQ(row->cause, "Check Firmware Failed!!!");
  EXPECT_EQ(*row->bcdBefore + " " + *row->bcdAfter, "0500 0601");
  // Without a station id the host names the station; a pass has no cause.
  const auto pass =
      station::RowOfLine(EndLine("A2", "S-2", "2026-12-08T00:10:00.000Z", "pass", ""));
  EXPECT_EQ(pass->station + "|" + pass->cause, "bench-2|");
  EXPECT_FALSE(station::RowOfLine("{\"record\": \"end\"}"));

  EXPECT_EQ(station::DatabaseText("SN-\xc3\xa9"), "SN-\xc3\xa9");
  EXPECT_EQ(station::DatabaseText(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(station::DatabaseText("\xe9t\xc3"), "\\xe9t\\xc3");         // Latin-1, a cut sequence
  EXPECT_EQ(station::DatabaseText("\xc0\xaf"), "\\xc0\\xaf");           // an overlong '/'
  EXPECT_EQ(station::DatabaseText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // a surrogate
}

TEST(History, EachUpdateOfOneUnitOnAnyStationJoinedAndInOrder) {
  station::HistoryBuilder all("S-2", ""), one("S-2", "L1");
  for (const std::string& line :
       {EndLine("A2", "S-2", "2026-12-08T10:00:00.000Z", "pass", "L7"),
        StartLine("A2", "S-2", "2026-12-08T00:10:00.000Z"),
        EndLine("A2", "S-2", "2026-12-08T00:10:00.000Z", "fail"),
        StartLine("A3", "S-2", "2026-12-08T11:00:00.000Z"),
        EndLine("A1", "S-3", "2026-12-08T09:00:00.000Z", "pass"), std::string("garbage")}) {
    all.AddLine(line);
    one.AddLine(line);
  }
  EXPECT_EQ(all.Text(),
            "serial S-2: 3 updates on 2 stations\n"
            "2026-12-08T00:10:00.000Z  station L1  port A2  fail  ended 2026-12-08T00:10:40.000Z"
            "  bcdDevice 0500 -> 0601  image ab12  (Check Firmware Failed!!!)\n"
            "2026-12-08T10:00:00.000Z  station L7  port A2  pass  ended 2026-12-08T10:00:40.000Z"
            "  bcdDevice 0500 -> 0601  image ab12\n"
            "2026-12-08T11:00:00.000Z  station L1  port A3  no end record  bcdDevice 0500"
            "  image ab12\n");
  EXPECT_EQ(one.Text().substr(0, one.Text().find('\n')), "serial S-2: 2 updates on 1 station");
}

}  // namespace
