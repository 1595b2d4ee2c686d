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

#include "station/web_page.h"
#include "station/web_render.h"

namespace station {
namespace {

// Threads serve one connection each, a live page for its whole life: the streams are bounded
// below the threads so that the API always has some.
constexpr std::size_t kThreads = 8;
constexpr int kMaxStreams = 5;
constexpr auto kStreamTick = std::chrono::milliseconds(500);
// A client has this long from its connection to the end of its request's header (less while
// others wait for a thread), and this long from there to the end of the answer; a live page's
// stream has no end but is one of kMaxStreams. A client that takes longer is cut off.
constexpr auto kHeaderDeadline = std::chrono::seconds(3);
constexpr auto kHeaderDeadlineWhenBusy = std::chrono::seconds(1);
constexpr auto kAnswerDeadline = std::chrono::seconds(10);
constexpr auto kReaperTick = std::chrono::milliseconds(100);
// Connections waiting for a thread; past this the oldest waiting one is closed unserved, so
// that a new client always finds a place in the queue.
constexpr std::size_t kMaxWaiting = 64;

using SteadyClock = std::chrono::steady_clock;

// When the job that runs on this thread was queued (the connection's accept), and whether it
// was shed from a full queue.
thread_local SteadyClock::time_point jobQueued;
thread_local bool jobShed = false;
// The connection this thread serves, for the handlers, which run on it.
thread_local std::uint64_t connectionId = 0;

// The server's threads, which tell each job when it was queued.
class StampedPool : public httplib::TaskQueue {
 public:
  explicit StampedPool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
      threads_.emplace_back([this] { Work(); });
    }
  }
  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back({std::move(job), SteadyClock::now(), false});
      if (jobs_.size() > kMaxWaiting) {
        for (Job& waiting : jobs_) {
          if (!waiting.shed) {
            waiting.shed = true;
            break;
          }
        }
      }
    }
    changed_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) {
      thread.join();
    }
  }
  static std::atomic<int> waiting;  // jobs queued and not yet taken, in all pools

 private:
  struct Job {
    std::function<void()> run;
    SteadyClock::time_point queued;
    bool shed;
  };
  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
          return;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
        waiting = static_cast<int>(jobs_.size());
      }
      jobQueued = job.queued;
      jobShed = job.shed;
      job.run();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
std::atomic<int> StampedPool::waiting{0};

void CutOff(socket_t sock) {
#ifdef _WIN32
  ::shutdown(sock, SD_BOTH);
#else
  ::shutdown(sock, SHUT_RDWR);
#endif
}

// The open connections, so that a slow client is cut off and a stop ends every one at once.
class Connections {
 public:
  // A connection to serve, under its own id; 0 when it waited too long to be served at all.
  std::uint64_t Admit(socket_t sock) {
    const auto now = SteadyClock::now();
    std::lock_guard lock(mutex_);
    if (closing_ || jobShed || now - jobQueued > kHeaderDeadline) {
      return 0;
    }
#ifdef _WIN32
    const socket_t held = sock;
#else
    // Its own descriptor of the socket: never another connection's after the server closes it.
    const socket_t held = ::dup(sock);
#endif
    open_[++lastId_] = {held, jobQueued, std::nullopt, false};
    return lastId_;
  }
  void Forget(std::uint64_t id) {
    std::lock_guard lock(mutex_);
#ifndef _WIN32
    ::close(open_[id].sock);
#endif
    open_.erase(id);
  }
  // The request's header is read: the answer's deadline runs from here.
  void Routed(std::uint64_t id) {
    Mark(id, [](Connection& c) { c.routed = SteadyClock::now(); });
  }
  void Streams(std::uint64_t id) {
    Mark(id, [](Connection& c) { c.stream = true; });
  }
  // Cuts off the connections past their deadlines; all of them once `closing`.
  void Reap(bool closing) {
    const auto now = SteadyClock::now();
    const auto header = StampedPool::waiting > 0 ? kHeaderDeadlineWhenBusy : kHeaderDeadline;
    std::lock_guard lock(mutex_);
    closing_ = closing_ || closing;
    for (auto& [id, c] : open_) {
      const bool late =
          c.routed ? !c.stream && now - *c.routed > kAnswerDeadline : now - c.since > header;
      if (closing_ || late) {
        CutOff(c.sock);
      }
    }
  }

 private:
  struct Connection {
    socket_t sock;
    SteadyClock::time_point since;
    std::optional<SteadyClock::time_point> routed;
    bool stream;
  };
  template <typename Change>
  void Mark(std::uint64_t id, Change change) {
    std::lock_guard lock(mutex_);
    if (const auto found = open_.find(id); found != open_.end()) {
      change(found->second);
    }
  }
  std::mutex mutex_;
  std::map<std::uint64_t, Connection> open_;
  std::uint64_t lastId_ = 0;
  bool closing_ = false;
};

// The library serves a connection in a private member and gives no other way to know the socket
// of one, which a slow client must be cut off by and a stop must end. Explicit instantiation
// may name private members: this takes the member that serves a connection and the listening
// socket's, of the library as Debian ships it (0.11).
using ServeConnection = bool (httplib::Server::*)(socket_t);
using ListeningSocket = std::atomic<socket_t> httplib::Server::*;
struct ServeConnectionTag {
  friend ServeConnection Member(ServeConnectionTag);
};
struct ListeningSocketTag {
  friend ListeningSocket Member(ListeningSocketTag);
};
template <typename Tag, auto Pointer>
struct Expose {
  friend decltype(Pointer) Member(Tag) { return Pointer; }
};
template struct Expose<ServeConnectionTag, &httplib::Server::process_and_close_socket>;
template struct Expose<ListeningSocketTag, &httplib::Server::svr_sock_>;

// Accepts the connections and hands each, known to Connections, to `inner`: a plain server of
// the library with the routes, which serves it as the library does.
class GuardedServer : public httplib::Server {
 public:
  GuardedServer(Connections& connections, httplib::Server& inner)
      : connections_(connections), inner_(inner) {}

 private:
  bool process_and_close_socket(socket_t sock) override {
    connectionId = connections_.Admit(sock);
    if (connectionId == 0) {
      CutOff(sock);
      httplib::detail::close_socket(sock);
      return false;
    }
    // The inner server serves while this one listens.
    (inner_.*Member(ListeningSocketTag{})).store((this->*Member(ListeningSocketTag{})).load());
    const bool served = (inner_.*Member(ServeConnectionTag{}))(sock);
    connections_.Forget(connectionId);
    return served;
  }

  Connections& connections_;
  httplib::Server& inner_;
};

}  // namespace

struct WebServer::Impl {
  Connections connections;
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
    connections.Streams(connectionId);
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
    server.new_task_queue = [] { return new StampedPool(kThreads); };
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
          connections.Routed(connectionId);
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
    server_.Publish(TakeSnapshot(station, tally_));
  }
}

}  // namespace station
