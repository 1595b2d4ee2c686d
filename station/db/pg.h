#pragma once
// A connection to PostgreSQL through libpq, as much of it as the station's shipper and its
// commands use: text parameters, rows as text, COPY out, and statements bounded in time.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;

namespace station::db {

using Param = std::optional<std::string>;  // nullopt: NULL
using Row = std::vector<std::optional<std::string>>;

struct DbError {
  std::string text;
  std::string state;  // SQLSTATE; empty when the connection failed before an answer
  // The statement's data was refused (a data exception or a broken constraint): sending it again
  // changes nothing. Anything else (the connection, the server, the rights) may pass later.
  bool RecordLevel() const;
};

class Connection {
 public:
  // Connects to `url` (a URI or key=value words); `password` non-empty overrides libpq's own
  // PGPASSFILE lookup. Nothing, with `error`, when it cannot.
  static std::unique_ptr<Connection> Open(const std::string& url, const std::string& password,
                                          DbError& error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // From here on each statement is given up after `bound` without a whole answer, and at once
  // when `abandon` says so (asked a few times a second): a server that hangs, or a network that
  // swallows packets, answers nothing and closes nothing, and only the client can tell. The
  // connection is broken after that.
  void Bound(std::chrono::milliseconds bound, std::function<bool()> abandon);
  // Runs one statement; its rows into `rows` when given. False with `error`.
  bool Exec(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
            DbError& error);
  // COPY (...) TO STDOUT: each row's text, line end included, to `take`. False with `error`.
  bool CopyOut(const std::string& sql, const std::function<void(std::string_view)>& take,
               DbError& error);

 private:
  explicit Connection(pg_conn* conn) : conn_(conn) {}
  // Waits until the statement sent has its whole answer; false with `error` at the bound.
  bool Await(DbError& error);

  pg_conn* conn_;
  std::optional<std::chrono::milliseconds> bound_;
  std::function<bool()> abandon_;
};

// Why `url` cannot be used (it does not parse, or carries a password); nothing when it can.
std::optional<std::string> UrlProblem(const std::string& url);
// The database `url` names, for people: "host:port/name"; never a password.
std::string UrlWhere(const std::string& url);
// PGPASSWORD, taken out of the environment so that no worker inherits it; empty when unset.
std::string TakePasswordFromEnvironment();
// A text[] literal of `values`, for a parameter that unnest() takes apart.
std::string ArrayLiteral(const std::vector<Param>& values);

}  // namespace station::db
