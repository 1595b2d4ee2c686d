#include "station/station_log.h"

#include <ctime>

namespace station {

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::time_t time = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &time);
#else
  gmtime_r(&time, &utc);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\r') {
      json += "\\r";
    } else if (c == '\t') {
      json += "\\t";
    } else if (byte < 0x20 || byte >= 0x80) {
      // Bytes outside ASCII are not known to be UTF-8; each stands for one code point.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

namespace {

std::string NumberOrNull(const std::optional<long>& value) {
  return value ? std::to_string(*value) : "null";
}

}  // namespace

std::string JsonLine(const FinishedCamera& camera) {
  std::string attempts = "[";
  for (const std::string& attempt : camera.attempts) {
    attempts += (attempts.size() > 1 ? ", " : "") + JsonString(attempt);
  }
  attempts += "]";
  return "{\"port\": " + JsonString(camera.port) + ", \"devicePath\": " +
         (camera.devicePath.empty() ? "null" : JsonString(camera.devicePath)) +
         ", \"host\": " + JsonString(camera.hostName) +
         ", \"toolVersion\": " + JsonString(camera.toolVersion) +
         ", \"imageSha256\": " + JsonString(camera.imageSha256) +
         ", \"start\": " + JsonString(UtcTimestamp(camera.start)) +
         ", \"end\": " + JsonString(UtcTimestamp(camera.end)) + ", \"attempts\": " + attempts +
         ", \"verdict\": " + (camera.passed ? "\"pass\"" : "\"fail\"") +
         ", \"requests\": {\"sent\": " + NumberOrNull(camera.requestsSent) +
         ", \"failed\": " + NumberOrNull(camera.requestsFailed) +
         "}, \"reason\": " + (camera.reason.empty() ? "null" : JsonString(camera.reason)) + "}";
}

StationLog::~StationLog() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool StationLog::Open(const std::string& path, SyncFile sync) {
  file_ = std::fopen(path.c_str(), "ab");
  sync_ = sync;
  return file_ != nullptr;
}

bool StationLog::Append(const FinishedCamera& camera) {
  if (file_ == nullptr) {
    return false;
  }
  const std::string line = JsonLine(camera) + "\n";
  const bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
  const bool flushed = std::fflush(file_) == 0;
  return written && flushed && (sync_ == nullptr || sync_(file_));
}

}  // namespace station
