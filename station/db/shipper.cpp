#include "station/db/shipper.h"

#include <filesystem>
#include <fstream>

#include "station/db/schema.h"
#include "station/db/ship_rows.h"
#include "station/log_files.h"

namespace station::db {
namespace {

constexpr const char* kPassedElsewhere = R"sql(
SELECT station, port, record->>'start', record->>'end' FROM reflash_end
WHERE serial = $1 AND verdict = 'pass' AND station <> $2 AND end_time >= $3 AND end_time < $4
ORDER BY end_time LIMIT 1)sql";

}  // namespace

Shipper::Shipper(Settings settings)
    : settings_(std::move(settings)),
      outbox_(settings_.logPath),
      positionPath_(FolderAndStem(settings_.logPath).first + "/" +
                    FolderAndStem(settings_.logPath).second + ".shipped") {
  status_.enabled = true;
  status_.where = UrlWhere(settings_.url);
}

Shipper::~Shipper() {
  Finish(std::chrono::milliseconds(0));
}

void Shipper::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void Shipper::Finish(std::chrono::milliseconds grace) {
  if (!thread_.joinable()) {
    return;
  }
  std::unique_lock lock(mutex_);
  draining_ = true;
  wake_.notify_all();
  wake_.wait_for(lock, grace, [this] { return stop_; });
  stop_ = true;
  abandon_ = true;
  wake_.notify_all();
  lock.unlock();
  thread_.join();
}

ShipperStatus Shipper::Status() {
  bool due = false;
  {
    std::lock_guard lock(mutex_);
    due = loaded_ && std::chrono::steady_clock::now() - lastCount_ >= settings_.look;
  }
  if (due) {
    Count(false);
  }
  std::lock_guard lock(mutex_);
  return status_;
}

void Shipper::Count(bool wait) {
  // One count at a time, and never a wait for it from the station's loop: a first count of a
  // long log (a year never shipped) reads it whole.
  std::unique_lock counting(countMutex_, std::defer_lock);
  if (wait) {
    counting.lock();
  } else if (!counting.try_lock()) {
    return;
  }
  std::uint64_t from = 0;
  {
    std::lock_guard lock(mutex_);
    from = counted_;
  }
  std::uint64_t end = from;
  const auto added = static_cast<long long>(outbox_.Count(from, end));
  std::lock_guard lock(mutex_);
  counted_ = end;
  pending_ += added;
  status_.lag = pending_;
  lastCount_ = std::chrono::steady_clock::now();
}

void Shipper::AskPassedElsewhere(const std::string& port, const std::string& start,
                                 const std::string& serial, const std::string& dayStart,
                                 const std::string& dayEnd) {
  std::lock_guard lock(mutex_);
  // One question per port at a time: a newer update's question replaces an older one's.
  for (auto it = questions_.begin(); it != questions_.end();) {
    it = it->port == port ? questions_.erase(it) : std::next(it);
  }
  questions_.push_back({port, start, DatabaseText(serial), dayStart, dayEnd});
  wake_.notify_all();
}

std::vector<PassElsewhere> Shipper::TakeAnswers() {
  std::lock_guard lock(mutex_);
  return std::exchange(answers_, {});
}

bool Shipper::Sleep(std::chrono::milliseconds time, bool forQuestions) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, time,
                 [&] { return stop_ || draining_ || (forQuestions && !questions_.empty()); });
  return !stop_;
}

void Shipper::LoadPosition() {
  std::ifstream file(positionPath_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), {});
  const std::string identity = outbox_.Identity();
  const auto saved = ParseShipPosition(text);
  std::error_code ec;
  std::uint64_t size = 0;
  for (const std::string& path : StationLogFiles(settings_.logPath)) {
    size += std::filesystem::file_size(path, ec);
  }
  // Another log than the one the position was kept for: all of it again (taken once anyway).
  if (saved && saved->identity == identity && saved->offset <= size) {
    position_ = *saved;
  } else {
    position_ = {0, identity};
  }
  {
    std::lock_guard lock(mutex_);
    counted_ = position_.offset;
    pending_ = 0;
    loaded_ = true;
  }
  Count(true);
}

void Shipper::SavePosition() {
  if (position_.identity.empty()) {
    position_.identity = outbox_.Identity();
  }
  const std::string temporary = positionPath_ + ".new";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << ShipPositionText(position_);
    if (!file.flush()) {
      return;  // kept in memory; a restart sends these records again, and they are taken once
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, positionPath_, ec);
}

void Shipper::Failed(const DbError& error) {
  std::lock_guard lock(mutex_);
  ++status_.errors;
  status_.up = false;
  status_.error = error.text;
  connection_.reset();
}

bool Shipper::Connect() {
  DbError error;
  auto connection = Connection::Open(settings_.url, settings_.password, error);
  if (!connection) {
    Failed(error);
    return false;
  }
  connection->Bound(settings_.bound, [this] { return abandon_.load(); });
  auto version = SchemaVersion(*connection, error);
  if (version && *version < kSchemaVersion) {
    // Allowed only to an owner: a station with the least rights is told what to run.
    const int was = *version;
    version = Migrate(*connection, "", error);
    if (!version) {
      error.text = "the database's schema is at version " + std::to_string(was) +
                   " and this station needs " + std::to_string(kSchemaVersion) +
                   ": run reflash-station db migrate (" + error.text + ")";
    }
  }
  if (!version) {
    Failed(error);
    return false;
  }
  std::lock_guard lock(mutex_);
  connection_ = std::move(connection);
  status_.up = true;
  return true;
}

bool Shipper::Answer() {
  for (;;) {
    Question question;
    {
      std::lock_guard lock(mutex_);
      if (questions_.empty() || stop_) {
        return true;
      }
      question = questions_.front();
      questions_.pop_front();
    }
    std::vector<Row> rows;
    DbError error;
    if (!connection_->Exec(
            kPassedElsewhere,
            {question.serial, settings_.stationKey, question.dayStart, question.dayEnd}, &rows,
            error)) {
      Failed(error);
      return false;
    }
    if (!rows.empty()) {
      const Row& row = rows[0];
      std::lock_guard lock(mutex_);
      answers_.push_back({question.port, question.start, row[0].value_or(""), row[1].value_or(""),
                          row[2].value_or(""), row[3].value_or("")});
    }
  }
}

bool Shipper::ShipLines(const std::vector<OutboxLine>& lines, long long& rejectedCount,
                        DbError& error) {
  std::vector<RejectedLine> rejected;
  if (!ShipRows(*connection_, lines, settings_.stationKey, rejected, error)) {
    return false;
  }
  rejectedCount = static_cast<long long>(rejected.size());
  if (!rejected.empty()) {
    std::lock_guard lock(mutex_);
    status_.rejectedLine = "record at byte " + std::to_string(rejected.back().position) +
                           " of the log: " + rejected.back().why;
  }
  return true;
}

bool Shipper::ShipBatch(bool& idle) {
  std::uint64_t next = 0;
  std::uint64_t counted = 0;
  {
    std::lock_guard lock(mutex_);
    counted = counted_;
  }
  // Only what was counted: the lag goes down by exactly what it went up by.
  const auto lines = outbox_.Read(position_.offset, settings_.batch, next, counted);
  idle = lines.empty();
  if (idle) {
    return true;
  }
  long long rejected = 0;
  DbError error;
  std::size_t done = lines.size();
  if (!ShipLines(lines, rejected, error)) {
    if (!error.RecordLevel()) {
      Failed(error);
      return false;
    }
    // The database refused something in the batch: one record at a time finds which.
    done = 0;
    for (const OutboxLine& line : lines) {
      long long one = 0;
      if (!ShipLines({line}, one, error)) {
        if (!error.RecordLevel()) {
          break;
        }
        const auto row = RowOfLine(line.text);
        DbError rejectError;
        if (!SetAside(
                *connection_,
                {{row ? row->station : settings_.stationKey, line.position, line.text, error.text}},
                rejectError)) {
          error = rejectError;
          break;
        }
        one = 1;
        std::lock_guard lock(mutex_);
        status_.rejectedLine =
            "record at byte " + std::to_string(line.position) + " of the log: " + error.text;
      }
      rejected += one;
      ++done;
    }
    next = done < lines.size() ? lines[done].position : next;
  }
  position_.offset = next;
  SavePosition();
  {
    std::lock_guard lock(mutex_);
    pending_ -= static_cast<long long>(done);
    status_.lag = pending_;
    status_.shipped += static_cast<long long>(done) - rejected;
    status_.rejected += rejected;
    if (done == lines.size()) {
      status_.error.clear();
    }
  }
  if (done < lines.size()) {
    Failed(error);
    return false;
  }
  return true;
}

void Shipper::Loop() {
  LoadPosition();
  for (;;) {
    bool draining = false;
    {
      std::lock_guard lock(mutex_);
      if (stop_) {
        break;
      }
      draining = draining_;
    }
    Count(true);
    if (!connection_ && !Connect()) {
      if (draining || !Sleep(settings_.retry, false)) {
        break;
      }
      continue;
    }
    bool idle = false;
    if (!Answer() || !ShipBatch(idle)) {
      if (draining || !Sleep(settings_.retry, false)) {
        break;
      }
      continue;
    }
    if (idle && (draining || !Sleep(settings_.look, true))) {
      break;
    }
  }
  std::lock_guard lock(mutex_);
  stop_ = true;
  connection_.reset();
  wake_.notify_all();
}

}  // namespace station::db
