#pragma once
// The station's web server: the live page, its API and the metrics, served by a few threads of
// their own from the snapshot the station's loop publishes. Read-only; no client can hold up the
// loop, a worker or a record.

#include <functional>
#include <memory>
#include <string>

#include "station/station_log.h"
#include "station/station_options.h"
#include "station/web_state.h"

namespace station {

class WebServer {
 public:
  WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  ~WebServer();

  // Binds to `host`:`port` and serves in the background; false with a one-line `error` when the
  // address cannot be had. `logPath` is station.jsonl, for the records and the summary.
  bool Start(const std::string& host, int port, const std::string& logPath, std::string& error);
  // From the station's loop: takes a lock only to swap the picture and wakes the live pages. A
  // picture like the last one is not published again.
  void Publish(WebSnapshot snapshot);
  // Ends the live pages and the server; waits at most the write timeout for a stuck client.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The page as a station's options ask for it (--http), fed by its log and its loop.
class WebView {
 public:
  // Serves the page when the options ask for it; false with a one-line `error` when they do and
  // the address cannot be had. `logPath` is station.jsonl; `log` tells the tally each record.
  bool Start(const StationOptions& options, const std::string& logPath, StationLog& log,
             std::string& error);
  // The line that tells the operator where the page is; empty: no page.
  const std::string& AddressLine() const { return addressLine_; }
  // From the station's loop, whenever its screen is shown.
  void Show(const Station& station);
  // Where the page reads the shipping to the factory database from (--db).
  void Shipping(std::function<ShipperStatus()> status) { shipping_ = std::move(status); }

 private:
  WebServer server_;
  WebTally tally_;
  std::string addressLine_;
  std::function<ShipperStatus()> shipping_;
};

}  // namespace station
