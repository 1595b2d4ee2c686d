#include "station/db/pg.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>

namespace station::db {

bool DbError::RecordLevel() const {
  // Class 22: data exception; class 23: integrity constraint violation.
  return state.size() == 5 && (state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0);
}

namespace {

std::string Trimmed(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
    line.pop_back();
  }
  const auto newline = line.find('\n');
  return newline == std::string::npos ? line : line.substr(0, newline);
}

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

void SetError(const PGresult* result, pg_conn* conn, DbError& error) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  error.state = state != nullptr ? state : "";
  const char* message = result != nullptr ? PQresultErrorMessage(result) : nullptr;
  error.text = Trimmed(message != nullptr && *message != '\0' ? message : PQerrorMessage(conn));
}

}  // namespace

Connection::~Connection() {
  PQfinish(conn_);
}

std::unique_ptr<Connection> Connection::Open(const std::string& url, const std::string& password,
                                             DbError& error) {
  // Ours first, so that the URL can set them otherwise; the password last.
  std::vector<const char*> keys = {
      "connect_timeout",     "application_name", "options",          "keepalives_idle",
      "keepalives_interval", "keepalives_count", "tcp_user_timeout", "dbname"};
  std::vector<const char*> values = {
      "5",     "reflash-station", "-c statement_timeout=60000 -c TimeZone=UTC", "10", "5", "3",
      "20000", url.c_str()};
  if (!password.empty()) {
    keys.push_back("password");
    values.push_back(password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  pg_conn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    error.state.clear();
    error.text = conn != nullptr ? Trimmed(PQerrorMessage(conn)) : "out of memory";
    PQfinish(conn);
    return nullptr;
  }
  // The server's notices ("already exists, skipping") are no news to anyone here.
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  return std::unique_ptr<Connection>(new Connection(conn));
}

void Connection::Bound(std::chrono::milliseconds bound, std::function<bool()> abandon) {
  bound_ = bound;
  abandon_ = std::move(abandon);
  // Sending never blocks either: a large batch to a server that reads nothing fills the socket.
  PQsetnonblocking(conn_, 1);
}

bool Connection::Await(DbError& error) {
  const auto deadline = std::chrono::steady_clock::now() + *bound_;
  const int socket = PQsocket(conn_);
  for (;;) {
    const int flushed = PQflush(conn_);
    if (flushed < 0) {
      SetError(nullptr, conn_, error);
      return false;
    }
    if (flushed == 0) {
      if (PQconsumeInput(conn_) == 0) {
        SetError(nullptr, conn_, error);
        return false;
      }
      if (PQisBusy(conn_) == 0) {
        return true;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (abandon_ && abandon_())) {
      error.state.clear();
      error.text = left.count() <= 0
                       ? "no answer within " + std::to_string(bound_->count() / 1000) + " s"
                       : "given up";
      // Nothing more is read from it: the connection is closed, not cancelled (a cancel waits
      // for the same server).
      ::shutdown(socket, SHUT_RDWR);
      return false;
    }
    pollfd wait{socket, static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
    ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
  }
}

bool Connection::Exec(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, DbError& error) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& param : params) {
    values.push_back(param ? param->c_str() : nullptr);
  }
  // Without parameters, several statements may go at once (a migration).
  const int sent = params.empty()
                       ? PQsendQuery(conn_, sql.c_str())
                       : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                           nullptr, values.data(), nullptr, nullptr, 0);
  if (sent == 0) {
    SetError(nullptr, conn_, error);
    return false;
  }
  // The last result is the statement's answer; an error in any of them is the answer.
  Result result(nullptr, PQclear);
  Result failed(nullptr, PQclear);
  for (;;) {
    if (bound_ && PQisBusy(conn_) != 0 && !Await(error)) {
      return false;
    }
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) {
      break;
    }
    const ExecStatusType status = PQresultStatus(next);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (failed) {
        PQclear(next);
      } else {
        failed.reset(next);
      }
      continue;
    }
    result.reset(next);
  }
  if (failed || !result) {
    SetError(failed.get(), conn_, error);
    return false;
  }
  if (rows != nullptr) {
    rows->clear();
    const int count = PQntuples(result.get());
    const int fields = PQnfields(result.get());
    for (int r = 0; r < count; ++r) {
      Row& row = rows->emplace_back();
      for (int f = 0; f < fields; ++f) {
        if (PQgetisnull(result.get(), r, f)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(PQgetvalue(result.get(), r, f),
                                       static_cast<std::size_t>(PQgetlength(result.get(), r, f))));
        }
      }
    }
  }
  return true;
}

bool Connection::CopyOut(const std::string& sql, const std::function<void(std::string_view)>& take,
                         DbError& error) {
  {
    Result result(PQexec(conn_, sql.c_str()), PQclear);
    if (!result || PQresultStatus(result.get()) != PGRES_COPY_OUT) {
      SetError(result.get(), conn_, error);
      return false;
    }
  }
  for (;;) {
    char* buffer = nullptr;
    const int size = PQgetCopyData(conn_, &buffer, 0);
    if (size < 0) {
      break;
    }
    take(std::string_view(buffer, static_cast<std::size_t>(size)));
    PQfreemem(buffer);
  }
  Result result(PQgetResult(conn_), PQclear);
  const bool ok = result && PQresultStatus(result.get()) == PGRES_COMMAND_OK;
  if (!ok) {
    SetError(result.get(), conn_, error);
  }
  while (PGresult* more = PQgetResult(conn_)) {
    PQclear(more);
  }
  return ok;
}

std::optional<std::string> UrlProblem(const std::string& url) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &message);
  if (options == nullptr) {
    std::string text = message != nullptr ? Trimmed(message) : "cannot be read";
    PQfreemem(message);
    return "the database URL " + text;
  }
  std::optional<std::string> problem;
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (std::string(option->keyword) == "password" && option->val != nullptr &&
        *option->val != '\0') {
      problem = "the database URL holds a password; give it in PGPASSFILE or PGPASSWORD instead";
    }
  }
  PQconninfoFree(options);
  return problem;
}

std::string UrlWhere(const std::string& url) {
  PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr);
  if (options == nullptr) {
    return "?";
  }
  std::string host, port, name;
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    const std::string key = option->keyword;
    const std::string value = option->val != nullptr ? option->val : "";
    if (key == "host" || (key == "hostaddr" && host.empty())) {
      host = value;
    } else if (key == "port") {
      port = value;
    } else if (key == "dbname") {
      name = value;
    }
  }
  PQconninfoFree(options);
  return (host.empty() ? "localhost" : host) + (port.empty() ? "" : ":" + port) + "/" + name;
}

std::string TakePasswordFromEnvironment() {
  const char* value = std::getenv("PGPASSWORD");
  std::string password = value != nullptr ? value : "";
  ::unsetenv("PGPASSWORD");
  return password;
}

std::string ArrayLiteral(const std::vector<Param>& values) {
  std::string text = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += i == 0 ? "" : ",";
    if (!values[i]) {
      text += "NULL";
      continue;
    }
    text += '"';
    for (const char c : *values[i]) {
      if (c == '"' || c == '\\') {
        text += '\\';
      }
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

}  // namespace station::db
