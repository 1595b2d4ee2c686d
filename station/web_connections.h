#pragma once
// The page's connections, each known to the server: a client too slow with its request or its
// answer is cut off, a full queue closes its oldest waiting connection, and a stop ends every
// connection at once.

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace station {

class WebConnections {
 public:
  // A connection to serve on this thread, under its own id; 0 when it is not to be served (it
  // waited too long, or was shed from a full queue, or the server closes).
  std::uint64_t Admit(socket_t sock);
  void Forget(std::uint64_t id);
  // From a handler: the request's header is read (its answer's deadline runs from here), or its
  // answer is a live stream (one of a few, with no deadline).
  void RoutedHere();
  void StreamsHere();
  // Cuts off the connections past their deadlines; every one once `closing`.
  void Reap(bool closing);

 private:
  struct Connection {
    socket_t sock;
    std::chrono::steady_clock::time_point since;
    std::optional<std::chrono::steady_clock::time_point> routed;
    bool stream;
  };
  std::mutex mutex_;
  std::map<std::uint64_t, Connection> open_;
  std::uint64_t lastId_ = 0;
  bool closing_ = false;
};

// The listener's queue of accepted connections: `threads` serve them, each job told when it was
// queued.
httplib::TaskQueue* NewWebThreads(std::size_t threads);

// Accepts the connections and hands each, known to `connections`, to `inner`: a plain server of
// the library with the routes, which serves it as the library does.
class GuardedServer : public httplib::Server {
 public:
  GuardedServer(WebConnections& connections, httplib::Server& inner)
      : connections_(connections), inner_(inner) {}

 private:
  bool process_and_close_socket(socket_t sock) override;

  WebConnections& connections_;
  httplib::Server& inner_;
};

}  // namespace station
