#include "platform/console/station_worker.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <fstream>
#include <iterator>

#include "product/product.h"

namespace console {
namespace {

const MediaCaptureOps* innerOps = nullptr;
MediaCaptureOps countingOps{};
std::atomic<std::uint32_t> requestsSent{0};
std::atomic<std::uint32_t> requestsFailed{0};
std::mutex devicePathMutex;
std::u16string lastDevicePath;

HResult KsProperty(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                   std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result =
      innerOps->ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
  ++requestsSent;
  if (result != 0) {
    ++requestsFailed;
  }
  return result;
}

// The layer reads "DevicePath" of each listed device; with the port chosen, only this port's
// camera is listed, so the last path read is the camera's.
HResult ReadStringProperty(McObject* propertyBag, const char16_t* name, char16_t** value) {
  const HResult result = innerOps->readStringProperty(propertyBag, name, value);
  if (result != 0 || value == nullptr || *value == nullptr ||
      std::u16string_view(name) != u"DevicePath") {
    return result;
  }
  const std::u16string path(*value);
  {
    std::lock_guard lock(devicePathMutex);
    if (path == lastDevicePath) {
      return result;
    }
    lastDevicePath = path;
  }
  // Device paths are ASCII; anything else is shown as '?'.
  std::string narrow;
  for (char16_t c : path) {
    narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  Worker().Event(station::DeviceLine(narrow));
  return result;
}

constexpr const char* WorkerAccountName = "worker.log";

void SyncAndClose(std::FILE* file) {
  std::fflush(file);
#ifdef _WIN32
  _commit(_fileno(file));
#else
  ::fsync(fileno(file));
#endif
  std::fclose(file);
}

std::string ReadResultLog() {
  std::ifstream file(ResultLogName, std::ios::binary);
  return file ? std::string(std::istreambuf_iterator<char>(file), {}) : std::string();
}

}  // namespace

StationWorker& Worker() {
  static auto* worker = new StationWorker;  // lives until exit(), which runs in a handler
  return *worker;
}

void StationWorker::Open(std::FILE* out, const std::string& port) {
  std::lock_guard lock(mutex_);
  out_ = out;
  account_ = std::fopen(WorkerAccountName, "wb");
  WriteLine(station::HeaderLine());
  WriteLine(station::PortLine(port));
}

void StationWorker::Event(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (out_ == nullptr || finished_ || line.rfind("exit ", 0) == 0) {
    return;  // the exit status closes the stream in Finish, after the counts
  }
  if (const auto parsed = station::ParseWorkerLine(line)) {
    if (station::AttemptWatch::Begins(*parsed) && attempts_.Running()) {
      WriteLine(station::AttemptLine(attempts_.Number(), attempts_.End()));
    }
    attempts_.See(*parsed);
  }
  WriteLine(line);
}

const MediaCaptureOps* StationWorker::Wrap(const MediaCaptureOps* inner) {
  innerOps = inner;
  countingOps = *inner;
  countingOps.ksProperty = KsProperty;
  countingOps.readStringProperty = ReadStringProperty;
  return &countingOps;
}

void StationWorker::Finish(int status) {
  std::lock_guard lock(mutex_);
  if (out_ == nullptr || finished_) {
    return;
  }
  finished_ = true;
  if (attempts_.Running()) {
    WriteLine(station::AttemptLine(attempts_.Number(), attempts_.End()));
  }
  WriteLine(station::RequestsLine(requestsSent.load(), requestsFailed.load()));
  WriteLine(station::ResultLine(ReadResultLog()));
  WriteLine(station::EndLine(status));
  if (account_ != nullptr) {
    SyncAndClose(account_);
    account_ = nullptr;
  }
}

void StationWorker::WriteLine(std::string_view line) {
  // The station shows each line as it comes; a pipe is fully buffered otherwise. A station that
  // is gone makes these writes fail; the account in worker.log still holds them.
  for (std::FILE* file : {out_, account_}) {
    if (file != nullptr) {
      std::fwrite(line.data(), 1, line.size(), file);
      std::fputc('\n', file);
      std::fflush(file);
    }
  }
}

}  // namespace console
