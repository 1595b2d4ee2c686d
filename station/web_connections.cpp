#include "station/web_connections.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace station {
namespace {

// A client has this long from its connection to the end of its request's header (less while
// others wait for a thread), and this long from there to the end of the answer; a live page's
// stream has no end but is one of kMaxStreams. A client that takes longer is cut off.
constexpr auto kHeaderDeadline = std::chrono::seconds(3);
constexpr auto kHeaderDeadlineWhenBusy = std::chrono::seconds(1);
constexpr auto kAnswerDeadline = std::chrono::seconds(10);
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

}  // namespace

std::uint64_t WebConnections::Admit(socket_t sock) {
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

void WebConnections::Forget(std::uint64_t id) {
  std::lock_guard lock(mutex_);
#ifndef _WIN32
  ::close(open_[id].sock);
#endif
  open_.erase(id);
}

void WebConnections::RoutedHere() {
  std::lock_guard lock(mutex_);
  if (const auto found = open_.find(connectionId); found != open_.end()) {
    found->second.routed = SteadyClock::now();
  }
}

void WebConnections::StreamsHere() {
  std::lock_guard lock(mutex_);
  if (const auto found = open_.find(connectionId); found != open_.end()) {
    found->second.stream = true;
  }
}

void WebConnections::Reap(bool closing) {
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

httplib::TaskQueue* NewWebThreads(std::size_t threads) {
  return new StampedPool(threads);
}

namespace {

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

}  // namespace

bool GuardedServer::process_and_close_socket(socket_t sock) {
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

}  // namespace station
