#include "station/web_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "station/web_page.h"
#include "station/web_render.h"

namespace station {
namespace {

// Threads serve one connection each, a live page for its whole life: the streams are bounded
// below the threads so that the API always has some.
constexpr std::size_t kThreads = 8;
constexpr int kMaxStreams = 5;
constexpr auto kStreamTick = std::chrono::milliseconds(500);

}  // namespace

struct WebServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::string logPath;

  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<const WebSnapshot> current = std::make_shared<const WebSnapshot>();
  std::uint64_t version = 0;
  bool closing = false;
  std::shared_ptr<const WebSnapshot> published;  // the loop's own: compared without the lock
  std::atomic<int> streams{0};

  std::shared_ptr<const WebSnapshot> Current() {
    std::lock_guard lock(mutex);
    return current;
  }

  // The picture newer than `seen`, or nothing after a tick (a comment keeps the stream alive
  // and finds a client that has gone), or nothing and false when the server closes.
  bool WaitNewer(std::uint64_t& seen, std::shared_ptr<const WebSnapshot>& snapshot) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kStreamTick, [&] { return closing || version != seen; });
    if (closing) {
      return false;
    }
    if (version != seen) {
      seen = version;
      snapshot = current;
    }
    return true;
  }

  void Events(httplib::Response& response) {
    if (++streams > kMaxStreams) {
      --streams;
      response.status = 503;
      response.set_content("too many live pages open on this station\n", "text/plain");
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, seen = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          std::shared_ptr<const WebSnapshot> snapshot;
          if (!WaitNewer(seen, snapshot)) {
            return false;
          }
          const std::string event =
              snapshot ? "data: " + StateJson(*snapshot) + "\n\n" : std::string(": tick\n\n");
          return sink.write(event.data(), event.size());
        },
        [this](bool) { --streams; });
  }

  void Routes() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server.set_payload_max_length(1024);
    server.set_read_timeout(std::chrono::seconds(2));
    server.set_write_timeout(std::chrono::seconds(1));
    server.set_keep_alive_max_count(20);
    server.set_keep_alive_timeout(1);
    server.set_pre_routing_handler(
        [](const httplib::Request& request, httplib::Response& response) {
          const int status = CheckRequest(request.method, request.path);
          if (status == 0) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
          response.status = status;
          if (status == 405) {
            response.set_header("Allow", "GET, HEAD");
          }
          response.set_content(status == 405 ? "read-only: GET and HEAD only\n" : "not found\n",
                               "text/plain");
          return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kWebPage, "text/html; charset=utf-8");
    });
    server.Get("/events",
               [this](const httplib::Request&, httplib::Response& response) { Events(response); });
    server.Get("/api/ports", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(StateJson(*Current()), "application/json");
    });
    server.Get(
        "/api/records", [this](const httplib::Request& request, httplib::Response& response) {
          std::optional<std::string> since;
          if (request.has_param("since")) {
            since = request.get_param_value("since");
          }
          if (const auto json = RecordsAnswer(logPath, since, std::chrono::system_clock::now())) {
            response.set_content(*json, "application/json");
          } else {
            response.status = 400;
            response.set_content("since: a UTC time as the records write it\n", "text/plain");
          }
        });
    server.Get("/api/summary", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(SummaryAnswer(logPath, std::chrono::system_clock::now()),
                           "application/json");
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(MetricsText(*Current()), "text/plain; version=0.0.4");
    });
  }
};

WebServer::WebServer() : impl_(std::make_unique<Impl>()) {}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Start(const std::string& host, int port, const std::string& logPath,
                      std::string& error) {
  impl_->logPath = logPath;
  impl_->Routes();
  if (!impl_->server.bind_to_port(host, port)) {
    error = "cannot serve the page on " + host + ":" + std::to_string(port) +
            " (in use, or not an address of this computer)";
    return false;
  }
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // A stop before the server runs would not end it: a station with nothing to do ends at once.
  for (int i = 0; i < 1000 && !impl_->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void WebServer::Publish(WebSnapshot snapshot) {
  if (impl_->published && *impl_->published == snapshot) {
    return;
  }
  auto next = std::make_shared<const WebSnapshot>(std::move(snapshot));
  impl_->published = next;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->current.swap(next);
    ++impl_->version;
  }
  impl_->changed.notify_all();  // `next`, now the old picture, is let go of outside the lock
}

void WebServer::Stop() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closing = true;
  }
  impl_->changed.notify_all();
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
}

bool WebView::Start(const StationOptions& options, const std::string& logPath, StationLog& log,
                    std::string& error) {
  if (options.httpHost.empty()) {
    return true;
  }
  if (!server_.Start(options.httpHost, options.httpPort, logPath, error)) {
    return false;
  }
  log.OnAppend([this](const std::string& line) { tally_.Record(line); });
  const bool v6 = options.httpHost.find(':') != std::string::npos;
  addressLine_ = "reflash-station: the page is on http://";
  addressLine_.append(v6 ? "[" : "").append(options.httpHost).append(v6 ? "]:" : ":");
  addressLine_.append(std::to_string(options.httpPort)).append("/");
  return true;
}

void WebView::Show(const Station& station) {
  if (!addressLine_.empty()) {
    server_.Publish(TakeSnapshot(station, tally_));
  }
}

}  // namespace station
