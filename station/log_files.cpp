#include "station/log_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "station/log_record.h"
#include "station/station_log.h"

namespace station {

namespace {

// The value of the string field `key` in one of this log's own lines; nullopt when absent.
std::optional<std::string> StringField(const std::string& line, const std::string& key) {
  const std::string opening = "\"" + key + "\": \"";
  const auto at = line.find(opening);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  std::string value;
  for (std::size_t i = at + opening.size(); i < line.size(); ++i) {
    if (line[i] == '"') {
      return value;
    }
    if (line[i] == '\\' && i + 1 < line.size()) {
      ++i;  // port names and times hold no escapes worth undoing beyond the quote
    }
    value.push_back(line[i]);
  }
  return std::nullopt;
}

// "2026-12-07" and its repeat number from a rotated file's name; nullopt for another name.
std::optional<std::pair<std::string, int>> RotatedName(const std::string& name,
                                                       const std::string& stem) {
  const std::string head = stem + "-";
  const std::string tail = ".jsonl";
  if (name.size() < head.size() + 10 + tail.size() || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
    return std::nullopt;
  }
  const std::string date = name.substr(head.size(), 10);
  if (!ParseUtcTimestamp(date + "T00:00:00.000Z")) {
    return std::nullopt;
  }
  const std::string rest =
      name.substr(head.size() + 10, name.size() - head.size() - 10 - tail.size());
  if (rest.empty()) {
    return std::pair{date, 1};
  }
  if (rest.size() < 2 || rest.size() > 7 || rest[0] != '.' ||
      rest.find_first_not_of("0123456789", 1) != std::string::npos) {
    return std::nullopt;
  }
  return std::pair{date, std::stoi(rest.substr(1))};
}

}  // namespace

std::pair<std::string, std::string> FolderAndStem(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  return {folder, dot == std::string::npos ? name : name.substr(0, dot)};
}

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

std::optional<long long> LogLineDay(const std::string& line) {
  const auto record = StringField(line, "record");
  const auto time = record ? StringField(line, *record == "end" ? "end" : "start") : std::nullopt;
  const auto when = time ? ParseUtcTimestamp(*time) : std::nullopt;
  return when ? std::optional<long long>(UtcDay(*when)) : std::nullopt;
}
std::vector<std::string> StationLogFiles(const std::string& path) {
  namespace fs = std::filesystem;
  const auto [folder, stem] = FolderAndStem(path);
  std::vector<std::tuple<std::string, int, std::string>> rotated;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Only regular files: a folder or a FIFO of a rotated file's name (a port's, say) is no log.
    const auto key = RotatedName(name, stem);
    if (key && it->symlink_status(ec).type() == fs::file_type::regular) {
      rotated.emplace_back(key->first, key->second, std::string(folder).append("/").append(name));
    }
  }
  std::sort(rotated.begin(), rotated.end());
  std::vector<std::string> files;
  files.reserve(rotated.size() + 1);
  for (const auto& entry : rotated) {
    files.push_back(std::get<2>(entry));
  }
  if (fs::symlink_status(path, ec).type() == fs::file_type::regular) {
    files.push_back(path);
  }
  return files;
}

std::string RecentLogText(const std::string& path) {
  const auto files = StationLogFiles(path);
  const auto [folder, stem] = FolderAndStem(path);
  // The day before the newest rotated file's, as a name compares: "2026-12-06".
  std::string from;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const std::string name = it->substr(it->find_last_of("/\\") + 1);
    if (const auto key = RotatedName(name, stem)) {
      const auto day = ParseUtcTimestamp(key->first + "T00:00:00.000Z");
      from = DayText(UtcDay(*day) - 1);
      break;
    }
  }
  std::string text;
  for (const std::string& file : files) {
    const std::string name = file.substr(file.find_last_of("/\\") + 1);
    const auto key = RotatedName(name, stem);
    if (!key || key->first >= from) {
      text += ReadWhole(file);
      if (!text.empty() && text.back() != '\n') {
        text += '\n';  // a line cut short must not run into the next file's first
      }
    }
  }
  return text;
}

std::vector<UnendedUpdate> FindUnended(const std::string& logText) {
  std::vector<UnendedUpdate> open;
  std::size_t at = 0;
  while (at < logText.size()) {
    std::size_t end = logText.find('\n', at);
    if (end == std::string::npos) {
      end = logText.size();
    }
    const auto record = ParseLogRecord(std::string_view(logText).substr(at, end - at));
    at = end + 1;
    if (!record) {
      continue;
    }
    const auto same = [&](const UnendedUpdate& u) {
      return u.port == record->port && u.start == record->start;
    };
    if (!record->end) {
      open.push_back({record->port, record->start, record->unit});
    } else {
      std::erase_if(open, same);
    }
  }
  return open;
}

}  // namespace station
