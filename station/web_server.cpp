#include "station/web_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "station/web_connections.h"
#include "station/web_page.h"
#include "station/web_render.h"

namespace station {
namespace {

// Threads serve one connection each, a live page for its whole life: the streams are bounded
// below the threads so that the API always has some.
constexpr std::size_t kThreads = 8;
constexpr int kMaxStreams = 5;
constexpr auto kStreamTick = std::chrono::milliseconds(500);
// How often the connections are looked at for one past its deadline.
constexpr auto kReaperTick = std::chrono::milliseconds(100);
}  // namespace

struct WebServer::Impl {
  WebConnections connections;
  httplib::Server routes;  // serves each connection
  GuardedServer server{connections, routes};
  std::thread thread;
  std::thread reaper;
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
    connections.StreamsHere();
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
    server.new_task_queue = [] { return NewWebThreads(kThreads); };
#ifndef _WIN32
    // The address is this station's alone: no second listener shares it (the library's default
    // lets one in with SO_REUSEPORT). Windows' default already makes it exclusive.
    server.set_socket_options([](socket_t sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
#endif
    // The listener sets a connection's socket timeouts; the routes' server reads and writes
    // with them.
    for (httplib::Server* each : {static_cast<httplib::Server*>(&server), &routes}) {
      each->set_read_timeout(std::chrono::seconds(2));
      each->set_write_timeout(std::chrono::seconds(1));
      each->set_keep_alive_max_count(20);
      each->set_keep_alive_timeout(1);
    }
    routes.set_payload_max_length(1024);
    routes.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          connections.RoutedHere();
          // Ranges are ignored: a page of a few kilobytes needs none, and a thousand of them would
          // make a small answer huge. The library parsed them into the request it owns.
          const_cast<httplib::Request&>(request).ranges.clear();
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
    routes.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kWebPage, "text/html; charset=utf-8");
    });
    routes.Get("/events",
               [this](const httplib::Request&, httplib::Response& response) { Events(response); });
    routes.Get("/api/ports", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(StateJson(*Current()), "application/json");
    });
    routes.Get("/api/records", [this](const httplib::Request& request,
                                      httplib::Response& response) {
      RecordsQuery query;
      for (auto [name, value] :
           {std::pair{"since", &query.since}, std::pair{"cursor", &query.cursor},
            std::pair{"limit", &query.limit}}) {
        if (request.has_param(name)) {
          *value = request.get_param_value(name);
        }
      }
      const auto page = RecordsAnswer(logPath, query, std::chrono::system_clock::now());
      if (!page) {
        response.status = 400;
        response.set_content(
            "since: a UTC time as the records write it; cursor: as a page's Link gives it; limit: "
            "1 to " +
                std::to_string(kMaxRecordsPerPage) + "\n",
            "text/plain");
        return;
      }
      if (page->more) {
        // The next page: the same query from the record after this page's last.
        std::string next = "/api/records?cursor=" + std::to_string(page->next);
        for (const auto& [name, value] :
             {std::pair{"since", query.since}, std::pair{"limit", query.limit}}) {
          if (value) {
            next.append("&").append(name).append("=").append(
                httplib::detail::encode_query_param(*value));
          }
        }
        response.set_header("Link", "<" + next + ">; rel=\"next\"");
      }
      response.set_content(page->json, "application/json");
    });
    routes.Get("/api/summary", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(SummaryAnswer(logPath, std::chrono::system_clock::now()),
                           "application/json");
    });
    routes.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
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
  impl_->reaper = std::thread([this] {
    for (std::unique_lock lock(impl_->mutex); !impl_->closing;) {
      lock.unlock();
      impl_->connections.Reap(false);
      lock.lock();
      impl_->changed.wait_for(lock, kReaperTick, [this] { return impl_->closing; });
    }
  });
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
  if (impl_->reaper.joinable()) {
    impl_->reaper.join();
  }
  // No client holds the stop: every connection is cut off, then the threads end.
  impl_->connections.Reap(true);
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
    WebSnapshot snapshot = TakeSnapshot(station, tally_);
    if (shipping_) {
      snapshot.shipper = shipping_();
    }
    server_.Publish(std::move(snapshot));
  }
}

}  // namespace station
