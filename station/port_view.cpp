#include "station/port_view.h"

namespace station {

std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) {
      c = '?';
    }
  }
  return shown;
}

std::string CountersLine(const Counters& counters) {
  return "passed " + std::to_string(counters.passed) + "  failed " +
         std::to_string(counters.failed) + "  faults " + std::to_string(counters.faults) +
         "  running " + std::to_string(counters.running) + "  waiting " +
         std::to_string(counters.waiting);
}

}  // namespace station
