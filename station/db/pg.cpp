#include "station/db/pg.h"

#include <libpq-fe.h>

#include <cstdlib>

namespace station::db {

struct Connection::Canceller {
  PGcancel* cancel = nullptr;
  ~Canceller() {
    if (cancel != nullptr) {
      PQfreeCancel(cancel);
    }
  }
};

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

Connection::Connection(pg_conn* conn) : conn_(conn), cancel_(std::make_unique<Canceller>()) {
  cancel_->cancel = PQgetCancel(conn_);
}

Connection::~Connection() {
  cancel_.reset();
  PQfinish(conn_);
}

std::unique_ptr<Connection> Connection::Open(const std::string& url, const std::string& password,
                                             DbError& error) {
  // Ours first, so that the URL can set them otherwise; the password last.
  std::vector<const char*> keys = {"connect_timeout", "application_name",    "options",
                                   "keepalives_idle", "keepalives_interval", "keepalives_count",
                                   "dbname"};
  std::vector<const char*> values = {
      "5", "reflash-station", "-c statement_timeout=60000 -c TimeZone=UTC", "10", "5",
      "3", url.c_str()};
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

bool Connection::Exec(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, DbError& error) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& param : params) {
    values.push_back(param ? param->c_str() : nullptr);
  }
  // Without parameters, several statements may go at once (a migration).
  Result result(params.empty() ? PQexec(conn_, sql.c_str())
                               : PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                              nullptr, values.data(), nullptr, nullptr, 0),
                PQclear);
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    SetError(result.get(), conn_, error);
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

void Connection::Cancel() {
  if (cancel_ && cancel_->cancel != nullptr) {
    char message[256];
    PQcancel(cancel_->cancel, message, sizeof message);
  }
}

bool Connection::Broken() const {
  return PQstatus(conn_) != CONNECTION_OK;
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
