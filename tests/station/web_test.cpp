// The station's web answers from its state, without a socket: the tiles, the metrics and the
// records as the log holds them, and which requests and addresses are refused.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "station/station.h"
#include "station/station_log.h"
#include "station/station_options.h"
#include "station/web_render.h"
#include "station/web_state.h"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kPassingRun = {
    "reflash-worker 1",
    "port \"A9\"",
    "status blue \"Check Hardware ...\"",
    "progress 20",
    "progress 100",
    "attempt 1 \"pass\"",
    "requests 21209 4",
    "result \"Pass\\r\\nR06.00.01\\r\\n\"",
    "end 0",
};

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

// One pass, one camera killed mid-update, one running and a foreign camera: what the page, the
// metrics and the records API make of it, with the log's own lines as the records.
TEST(WebState, TilesMetricsAndRecordsFollowTheStationAndItsLog) {
  const auto path = std::filesystem::temp_directory_path() / "web_test_station.jsonl";
  std::filesystem::remove(path);
  station::StationLog log;
  ASSERT_TRUE(log.Open(path.string()));
  station::WebTally tally;
  log.OnAppend([&](const std::string& line) { tally.Record(line); });
  const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1796688000));
  auto now = t0;
  station::Station::Config config;
  config.mode = station::Mode::watch;
  config.ports = {"B2", "A10", "A9", "C\"1"};
  station::Station station(config, &log, [&] { return now; });
  station.Present({"A9", "B2", "C\"1", "Z1"});
  ASSERT_TRUE(station.Begin("A9", {"SN-9", 0x0500, "1f3a:5c72"}));
  ASSERT_TRUE(station.Begin("B2", {"SN-2", 0x0500, "1f3a:5c72"}));
  ASSERT_TRUE(station.Begin("C\"1", {std::nullopt, 0x0500, "1f3a:5c72"}));
  for (const auto& line : kPassingRun) {
    station.WorkerLine("A9", line);
  }
  station::WorkerEnd end;
  end.exited = true;
  end.resultLog = "Pass\r\nR06.00.01\r\n";
  now = t0 + 12s;
  ASSERT_TRUE(station.WorkerEnded("A9", end));
  end = {};
  end.reason = "killed by signal 9";
  now = t0 + 40s;
  ASSERT_TRUE(station.WorkerEnded("B2", end));
  station.PortFault("A10", "cannot create out/A10");  // a station fault, no camera's failure
  station.WorkerLine("C\"1", "progress 40");
  now = t0 + 65s;

  const station::WebSnapshot snapshot = station::TakeSnapshot(station, tally);
  std::vector<std::string> order;
  for (const auto& tile : snapshot.tiles) {
    order.push_back(tile.port);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"B2", "A10", "A9", "C\"1", "Z1"}));
  EXPECT_EQ(snapshot.tiles[2].verdict + " " + snapshot.tiles[2].serial, "pass SN-9");
  EXPECT_EQ(snapshot.tiles[0].verdict + " " + snapshot.tiles[0].serial, "fail SN-2");
  EXPECT_EQ(snapshot.tiles[1].state + " " + snapshot.tiles[1].verdict, "fault ");
  // A failed tile says why, in the report's words; a pass says nothing.
  EXPECT_EQ(snapshot.tiles[0].cause, "worker killed before its first step");
  EXPECT_EQ(snapshot.tiles[2].cause, "");
  EXPECT_NE(station::StateJson(snapshot).find(
                "\"cause\": \"worker killed before its first step\", \"duplicate\": null"),
            std::string::npos);
  EXPECT_EQ(snapshot.tiles[3].elapsedSeconds, 65);
  EXPECT_EQ(snapshot.tiles[3].progress, 40);
  EXPECT_EQ(snapshot.tiles[4].state, "foreign");
  EXPECT_EQ((std::vector<int>{snapshot.passed, snapshot.failed, snapshot.running}),
            (std::vector<int>{1, 1, 1}));

  const std::string metrics = "\n" + station::MetricsText(snapshot);
  EXPECT_TRUE(
      Has(metrics, "reflash_station_cameras_total{port=\"A9\",verdict=\"pass\",cause=\"\"} 1"));
  EXPECT_TRUE(Has(metrics,
                  "reflash_station_cameras_total{port=\"B2\",verdict=\"fail\","
                  "cause=\"worker killed before its first step\"} 1"));
  EXPECT_TRUE(Has(metrics, "reflash_station_updates_running 1"));
  // Station faults are the station's own, never the cameras that failed.
  EXPECT_TRUE(Has(metrics, "reflash_station_faults_total 1"));
  EXPECT_TRUE(Has(metrics, "reflash_station_stopping 0"));
  EXPECT_TRUE(Has(metrics, "reflash_station_log_failed 0"));
  station.Stop();
  EXPECT_TRUE(Has("\n" + station::MetricsText(station::TakeSnapshot(station, tally)),
                  "reflash_station_stopping 1"));
  // Durations of 12 s and 40 s: cumulative buckets, the sum and the count.
  EXPECT_TRUE(Has(metrics, "reflash_station_update_duration_seconds_bucket{le=\"10\"} 0"));
  EXPECT_TRUE(Has(metrics, "reflash_station_update_duration_seconds_bucket{le=\"15\"} 1"));
  EXPECT_TRUE(Has(metrics, "reflash_station_update_duration_seconds_bucket{le=\"45\"} 2"));
  EXPECT_TRUE(Has(metrics, "reflash_station_update_duration_seconds_sum 52"));
  EXPECT_TRUE(Has(metrics, "reflash_station_update_duration_seconds_count 2"));
  // Both cameras were new to the station today: both count for the first-pass yield.
  EXPECT_TRUE(Has(metrics, "reflash_station_first_updates_total{port=\"A9\",verdict=\"pass\"} 1"));
  EXPECT_TRUE(Has(metrics, "reflash_station_first_updates_total{port=\"B2\",verdict=\"fail\"} 1"));
  // A port with no update yet has its series at 0, so that a rate sees its first count.
  EXPECT_TRUE(Has(metrics, "reflash_station_first_updates_total{port=\"A10\",verdict=\"fail\"} 0"));
  EXPECT_TRUE(
      Has(metrics, "reflash_station_cameras_total{port=\"A10\",verdict=\"pass\",cause=\"\"} 0"));
  // Only a station that ships says how its shipping goes.
  EXPECT_EQ(metrics.find("reflash_station_shipper"), std::string::npos);
  EXPECT_EQ(station::StateJson(snapshot).find("shipper"), std::string::npos);
  station::WebSnapshot shipping = snapshot;
  shipping.shipper = {true, false, 7, 40, 3, 1, "connection refused", "", "db1:5432/line"};
  EXPECT_TRUE(Has("\n" + station::MetricsText(shipping), "reflash_station_shipper_lag_records 7"));
  EXPECT_TRUE(Has("\n" + station::MetricsText(shipping), "reflash_station_shipper_up 0"));
  EXPECT_NE(station::StateJson(shipping).find(
                "\"shipper\": {\"up\": false, \"lag\": 7, \"shipped\": 40, \"errors\": 3, "
                "\"rejected\": 1, \"error\": \"connection refused\""),
            std::string::npos);
  // A camera updated again the same day is no first update; the next day it is one again.
  for (const char* line :
       {R"({"record": "end", "port": "A9", "serial": "SN-9", "start": "2026-12-08T09:10:00.000Z", )"
        R"("end": "2026-12-08T09:10:40.000Z", "verdict": "fail"})",
        R"({"record": "end", "port": "A9", "serial": "SN-9", "start": "2026-12-09T09:10:00.000Z", )"
        R"("end": "2026-12-09T09:10:40.000Z", "verdict": "fail"})"}) {
    tally.Record(line);
  }
  EXPECT_EQ(tally.firstUpdates[std::make_pair(std::string("A9"), std::string("fail"))], 1);

  // The records are the log's lines themselves; a line still being written is no record yet.
  std::string text = Slurp(path);
  std::vector<std::string> lines;
  for (std::size_t at = 0, next; (next = text.find('\n', at)) != std::string::npos; at = next + 1) {
    lines.push_back(text.substr(at, next - at));
  }
  ASSERT_EQ(lines.size(), 5u);  // three starts, two ends
  text += lines[3].substr(0, 30);
  EXPECT_EQ(station::RecordsJson(text, t0), "[" + lines[0] + ",\n" + lines[1] + ",\n" + lines[2] +
                                                ",\n" + lines[3] + ",\n" + lines[4] + "]\n");
  EXPECT_EQ(station::RecordsJson(text, t0 + 13s), "[" + lines[4] + "]\n");
  EXPECT_EQ(station::RecordsJson(text, t0 + 41s), "[]\n");
  EXPECT_EQ(station::RecordsAnswer(path.string(), {}, now)->json,
            station::RecordsJson(Slurp(path), t0));
  // Pages of two: the cursor of one page begins the next, the last one says there is no more.
  const std::string since = station::UtcTimestamp(t0);
  const auto first = station::RecordsAnswer(path.string(), {since, std::nullopt, "2"}, now);
  EXPECT_EQ(first->json, "[" + lines[0] + ",\n" + lines[1] + "]\n");
  EXPECT_TRUE(first->more);
  const auto second =
      station::RecordsAnswer(path.string(), {since, std::to_string(first->next), "2"}, now);
  EXPECT_EQ(second->json, "[" + lines[2] + ",\n" + lines[3] + "]\n");
  const auto last =
      station::RecordsAnswer(path.string(), {since, std::to_string(second->next), "2"}, now);
  EXPECT_EQ(last->json, "[" + lines[4] + "]\n");
  EXPECT_FALSE(last->more);
  for (const char* limit : {"0", "5001", "-1", "2x"}) {
    EXPECT_FALSE(station::RecordsAnswer(path.string(), {since, std::nullopt, limit}, now)) << limit;
  }
  std::filesystem::remove(path);
}

TEST(WebRequests, OnlyReadingTheServedPathsIsAnsweredAndAnAddressIsLocalUnlessGiven) {
  const std::tuple<const char*, const char*, int> requests[] = {{"GET", "/", 0},
                                                                {"HEAD", "/metrics", 0},
                                                                {"GET", "/api/records", 0},
                                                                {"POST", "/", 405},
                                                                {"DELETE", "/api/ports", 405},
                                                                {"PUT", "/metrics", 405},
                                                                {"GET", "/../etc/passwd", 404},
                                                                {"GET", "/api/ports/", 404},
                                                                {"GET", "/index.html", 404}};
  for (const auto& [method, path, status] : requests) {
    EXPECT_EQ(station::CheckRequest(method, path), status) << method << " " << path;
  }
  // The address as given, and what is bound: "" for a refused one.
  const std::pair<const char*, const char*> addresses[] = {{"8080", "127.0.0.1:8080"},
                                                           {":8080", "127.0.0.1:8080"},
                                                           {"0.0.0.0:80", "0.0.0.0:80"},
                                                           {"[::1]:8080", "::1:8080"},
                                                           {"localhost:80", ""},
                                                           {"1.2.3:80", ""},
                                                           {"256.1.1.1:80", ""},
                                                           {"1.2.3.4:0", ""},
                                                           {"1.2.3.4:65536", ""},
                                                           {"1.2.3.4:", ""},
                                                           {"", ""},
                                                           {"[zz]:80", ""}};
  for (const auto& [text, bound] : addresses) {
    std::string host, error;
    int port = 0;
    const bool ok = station::ParseHttpAddress(text, host, port, error);
    EXPECT_EQ(ok ? host + ":" + std::to_string(port) : "", bound) << text;
    EXPECT_EQ(error.empty(), ok) << text;
  }
}

}  // namespace
