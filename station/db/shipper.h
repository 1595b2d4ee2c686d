#pragma once
// The shipper: a thread of the station that sends the station log's records to the factory
// database, in order, at least once; the database's keys take each exactly once. The log is
// written first and stays the record of truth: a database that is away, slow or refusing costs
// the flashing nothing; the shipper shows its lag and catches up when it can, also after a
// restart of the station (its position is kept beside the log).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/db/pg.h"
#include "station/outbox.h"

namespace station::db {

class Shipper {
 public:
  struct Settings {
    std::string url;           // without a password
    std::string password;      // from PGPASSWORD; empty: libpq's PGPASSFILE
    std::string logPath;       // station.jsonl
    std::string stationKey;    // this station's key in the records: --station-id, else the host
    std::size_t batch = 1000;  // records per transaction
    std::chrono::milliseconds retry{2000};   // after a failed attempt
    std::chrono::milliseconds look{250};     // for new records in the log
    std::chrono::milliseconds bound{20000};  // for one statement's answer
  };
  explicit Shipper(Settings settings);
  ~Shipper();
  Shipper(const Shipper&) = delete;
  Shipper& operator=(const Shipper&) = delete;

  void Start();
  // Sends what is left for at most `grace`, then stops the thread.
  void Finish(std::chrono::milliseconds grace);
  // What the page and the screen show; counts what the log gained since the last look.
  ShipperStatus Status();
  // Asks whether `serial` passed on another station on the UTC day [dayStart, dayEnd); the answer
  // comes by TakeAnswers when the database gives one, else never.
  void AskPassedElsewhere(const std::string& port, const std::string& start,
                          const std::string& serial, const std::string& dayStart,
                          const std::string& dayEnd);
  std::vector<PassElsewhere> TakeAnswers();

 private:
  struct Question {
    std::string port, start, serial, dayStart, dayEnd;
  };
  void Loop();
  bool Connect();
  bool Answer();
  // Ships one batch; false on a failure that may pass (the connection is dropped then).
  bool ShipBatch(bool& idle);
  bool ShipLines(const std::vector<OutboxLine>& lines, long long& rejected, DbError& error);
  void Failed(const DbError& error);
  void LoadPosition();
  // Counts the log's lines written since the last count into the lag; `wait`: also when another
  // count runs, after it.
  void Count(bool wait);
  void SavePosition();
  // Waits `time`, or less when stopped or, `forQuestions`, asked; false once stopped.
  bool Sleep(std::chrono::milliseconds time, bool forQuestions);

  Settings settings_;
  Outbox outbox_;
  std::string positionPath_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::mutex countMutex_;  // held while the log is counted, which takes no other lock
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<bool> abandon_{false};  // the grace is over: a statement in flight is given up
  bool draining_ = false;
  ShipperStatus status_;
  std::deque<Question> questions_;
  std::vector<PassElsewhere> answers_;
  // The thread's own.
  std::unique_ptr<Connection> connection_;
  ShipPosition position_;
  // Under the mutex, changed only by Count: counted by the thread and by Status, so that the lag
  // grows while the thread waits for a database that hangs.
  bool loaded_ = false;        // position_ read back
  std::uint64_t counted_ = 0;  // the log is counted up to here
  long long pending_ = 0;      // whole lines between position_ and counted_
  std::chrono::steady_clock::time_point lastCount_;
};

}  // namespace station::db
