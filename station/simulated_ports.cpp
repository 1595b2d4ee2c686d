#include "station/simulated_ports.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace station {
namespace {

bool PortNameOk(const std::string& port) {
  return !port.empty() && port.size() <= 64 && port != "." && port != ".." &&
         std::all_of(port.begin(), port.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
         });
}

std::optional<std::int64_t> Millis(const std::string& text) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

bool Covers(const SimulatedPlug& plug, std::int64_t ms) {
  return plug.inMs <= ms && (!plug.outMs || ms < *plug.outMs);
}

// The camera's identity among the plug's words; false with `error` on a bad one.
bool TakeIdentity(SimulatedPlug& plug, std::string& error) {
  plug.serial = "SIM-" + plug.port;
  // The shape of a USB video function's interface path, as the simulated camera's own.
  plug.devicePath = "\\\\?\\usb#vid_1f3a&pid_5c72&mi_00#7&2f1c4e3a&0&" + plug.port +
                    "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
  std::vector<std::string> options;
  for (const std::string& word : plug.options) {
    const auto is = word.find('=');
    const std::string key = is == std::string::npos ? "" : word.substr(0, is);
    const std::string value = is == std::string::npos ? "" : word.substr(is + 1);
    if (key == "serial") {
      plug.serial = value == "none" ? std::nullopt : std::optional<std::string>(value);
    } else if (key == "bcd") {
      const auto bcd = ParseBcd(value);
      if (!bcd) {
        error = "bcd= needs four hex digits, not '" + value + "'";
        return false;
      }
      plug.bcdDevice = *bcd;
    } else if (key == "path") {
      plug.devicePath = value;
    } else {
      options.push_back(word);
      continue;
    }
    if (value.empty() || value.size() > 200) {
      error = "'" + word + "' needs a value of 1 to 200 characters";
      return false;
    }
  }
  plug.options = std::move(options);
  return true;
}

}  // namespace

bool ParseSimulatedPorts(const std::string& text, std::vector<SimulatedPlug>& plugs,
                         std::string& error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) {
      fields.push_back(word);
    }
    if (fields.empty()) {
      continue;
    }
    const std::string where = "line " + std::to_string(number) + ": ";
    SimulatedPlug plug;
    plug.port = fields[0];
    if (!PortNameOk(plug.port)) {
      error = where + "bad port name '" + plug.port + "'";
      return false;
    }
    const auto in = fields.size() > 1 ? Millis(fields[1]) : std::nullopt;
    const auto out = fields.size() > 2 && fields[2] != "-" ? Millis(fields[2]) : std::nullopt;
    if (!in || fields.size() < 3 || (fields[2] != "-" && (!out || *out <= *in))) {
      error = where + "expected PORT IN-MS OUT-MS, OUT-MS after IN-MS or '-'";
      return false;
    }
    plug.inMs = *in;
    plug.outMs = out;
    plug.options.assign(fields.begin() + 3, fields.end());
    if (!TakeIdentity(plug, error)) {
      error = where + error;
      return false;
    }
    for (const SimulatedPlug& other : plugs) {
      const bool overlap = other.port == plug.port && (!other.outMs || *other.outMs > plug.inMs) &&
                           (!plug.outMs || *plug.outMs > other.inMs);
      if (overlap) {
        error = where + "port '" + plug.port + "' is plugged in twice at once";
        return false;
      }
    }
    plugs.push_back(std::move(plug));
  }
  return true;
}

std::vector<std::string> SimulatedPorts::PresentAt(std::int64_t ms) const {
  std::vector<std::string> ports;
  for (const SimulatedPlug& plug : plugs_) {
    if (Covers(plug, ms) && std::find(ports.begin(), ports.end(), plug.port) == ports.end()) {
      ports.push_back(plug.port);
    }
  }
  return ports;
}

std::optional<std::int64_t> SimulatedPorts::NextChangeAfter(std::int64_t ms) const {
  std::optional<std::int64_t> next;
  for (const SimulatedPlug& plug : plugs_) {
    for (const auto& change : {std::optional<std::int64_t>(plug.inMs), plug.outMs}) {
      if (change && *change > ms && (!next || *change < *next)) {
        next = change;
      }
    }
  }
  return next;
}

const SimulatedPlug* SimulatedPorts::PlugAt(const std::string& port, std::int64_t ms) const {
  for (const SimulatedPlug& plug : plugs_) {
    if (plug.port == port && Covers(plug, ms)) {
      return &plug;
    }
  }
  return nullptr;
}

std::vector<std::string> SimulatedPorts::OptionsAt(const std::string& port, std::int64_t ms) const {
  for (const SimulatedPlug& plug : plugs_) {
    if (plug.port == port && Covers(plug, ms)) {
      return plug.options;
    }
  }
  return {};
}

std::vector<std::string> SimulatedPorts::CameraWordsAt(const std::string& port,
                                                       std::int64_t ms) const {
  std::vector<std::string> words = {"--camera-port", port, "--report", SimulatedCameraAccount};
  if (const SimulatedPlug* plug = PlugAt(port, ms)) {
    words.insert(words.end(), {"--device-path", plug->devicePath});
  }
  return words;
}

std::optional<UnitIdentity> SimulatedPorts::IdentityAt(const std::string& port, std::int64_t ms,
                                                       const std::string& account) const {
  const SimulatedPlug* plug = PlugAt(port, ms);
  if (plug == nullptr) {
    return std::nullopt;
  }
  UnitIdentity unit{plug->serial, plug->bcdDevice, "1f3a:5c72"};
  // The simulated camera runs the image once its flash holds it, and reports its revision.
  if (account.find("\"flashEqualsImage\": true") != std::string::npos) {
    unit.bcdDevice = SimulatedImageBcd;
  }
  return unit;
}

}  // namespace station
