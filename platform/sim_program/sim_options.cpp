#include "platform/sim_program/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace console {
namespace {

constexpr int kChipRows = 19;
constexpr long kFlashSize = 65536;
constexpr long kMaxCount = 0x7FFFFFFF;

// A whole decimal or 0x-prefixed number within [low, high].
bool ParseNumber(const char* text, long low, long high, long& value) {
  if (text == nullptr || *text == 0 || *text == '-' || *text == '+') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != 0 || parsed < low || parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

struct ValueOption {
  long low;
  long high;
  std::function<void(SimOptions&, long)> apply;
};

const std::map<std::string, ValueOption>& NumberOptions() {
  static const std::map<std::string, ValueOption> options = {
      {"--chip", {0, kChipRows - 1, [](SimOptions& o, long v) { o.chip = static_cast<int>(v); }}},
      {"--revision", {0, 255, [](SimOptions& o, long v) { o.revision = static_cast<int>(v); }}},
      {"--flash-type",
       {0, 255, [](SimOptions& o, long v) { o.flashType = static_cast<std::uint8_t>(v); }}},
      {"--info-byte",
       {0, 255, [](SimOptions& o, long v) { o.infoByte = static_cast<std::uint8_t>(v); }}},
      {"--config-page",
       {0, 255, [](SimOptions& o, long v) { o.configPage = static_cast<std::uint8_t>(v); }}},
      {"--fail-request",
       {1, kMaxCount,
        [](SimOptions& o, long v) { o.failRequest = static_cast<std::uint32_t>(v); }}},
      {"--disconnect-after",
       {1, kMaxCount,
        [](SimOptions& o, long v) { o.disconnectAfter = static_cast<std::uint32_t>(v); }}},
      {"--corrupt-readback",
       {0, kFlashSize - 1,
        [](SimOptions& o, long v) { o.corruptReadback = static_cast<std::int32_t>(v); }}},
      {"--positive-success",
       {1, kMaxCount,
        [](SimOptions& o, long v) { o.positiveSuccess = static_cast<std::uint32_t>(v); }}},
      {"--ignore-status-write",
       {1, kMaxCount,
        [](SimOptions& o, long v) { o.ignoreStatusWrite = static_cast<std::uint32_t>(v); }}},
  };
  return options;
}

// Options whose value is two numbers joined by a colon, "A:B".
struct PairOption {
  const char* form;  // names the two parts in an error
  long lowA;
  long highA;
  long lowB;
  long highB;
  std::function<void(SimOptions&, long, long)> apply;
};

const std::map<std::string, PairOption>& PairOptions() {
  static const std::map<std::string, PairOption> options = {
      {"--stuck-bit",
       {"ADDR:MASK", 0, kFlashSize - 1, 1, 255,
        [](SimOptions& o, long a, long b) {
          o.stuckBitAddress = static_cast<std::int32_t>(a);
          o.stuckBitMask = static_cast<std::uint8_t>(b);
        }}},
      {"--short-get",
       {"N:K", 1, kMaxCount, 0, 255,
        [](SimOptions& o, long a, long b) {
          o.shortGetRequest = static_cast<std::uint32_t>(a);
          o.shortGetBytes = static_cast<std::uint32_t>(b);
        }}},
      {"--hang-request",
       {"N:MS", 1, kMaxCount, 1, kMaxCount,
        [](SimOptions& o, long a, long b) {
          o.hangRequest = static_cast<std::uint32_t>(a);
          o.hangMillis = static_cast<std::uint32_t>(b);
        }}},
      {"--status-keeps-bits",
       {"N:MASK", 1, kMaxCount, 4, 252,
        [](SimOptions& o, long a, long b) {
          o.statusBitsWrite = static_cast<std::uint32_t>(a);
          o.statusKeepsBits = static_cast<std::uint8_t>(b);
        }}},
      {"--status-drops-bits",
       {"N:MASK", 1, kMaxCount, 4, 252,
        [](SimOptions& o, long a, long b) {
          o.statusBitsWrite = static_cast<std::uint32_t>(a);
          o.statusDropsBits = static_cast<std::uint8_t>(b);
        }}},
      {"--refuse-request",
       {"N:K", 1, kMaxCount, 1, kMaxCount,
        [](SimOptions& o, long a, long b) {
          o.refuseRequest = static_cast<std::uint32_t>(a);
          o.refuseRequestTries = static_cast<std::uint32_t>(b);
        }}},
      {"--refuse-requests",
       {"N:MS", 1, kMaxCount, 1, kMaxCount,
        [](SimOptions& o, long a, long b) {
          o.refuseFromRequest = static_cast<std::uint32_t>(a);
          o.refuseMillis = static_cast<std::uint32_t>(b);
        }}},
  };
  return options;
}

bool ParsePair(const char* text, const PairOption& option, long& a, long& b) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) {
    return false;
  }
  const std::string first(text, colon);
  return ParseNumber(first.c_str(), option.lowA, option.highA, a) &&
         ParseNumber(colon + 1, option.lowB, option.highB, b);
}

const std::map<std::string, std::string SimOptions::*>& TextOptions() {
  static const std::map<std::string, std::string SimOptions::*> options = {
      {"--usb-id", &SimOptions::usbId},
      {"--image", &SimOptions::image},
      {"--flash-in", &SimOptions::flashIn},
      {"--trace", &SimOptions::trace},
      {"--ui-trace", &SimOptions::uiTrace},
      {"--flash-out", &SimOptions::flashOut},
      {"--timeline", &SimOptions::timeline},
      {"--report", &SimOptions::report},
      {"--port", &SimOptions::port},
      {"--camera-port", &SimOptions::cameraPort},
      {"--device-path", &SimOptions::devicePath},
  };
  return options;
}

const std::map<std::string, bool SimOptions::*>& Flags() {
  static const std::map<std::string, bool SimOptions::*> flags = {
      {"--no-camera", &SimOptions::noCamera},        {"--no-xu-node", &SimOptions::noXuNode},
      {"--stay-busy", &SimOptions::stayBusy},        {"--instant", &SimOptions::instant},
      {"--station", &SimOptions::station},           {"--help", &SimOptions::help},
      {"--stale-data-in", &SimOptions::staleDataIn},
  };
  return flags;
}

}  // namespace

const char* SimUsage() {
  return "usage: reflash-sim [options]\n"
         "Runs the update on a simulated camera; Result.log is written to the current directory.\n"
         "  --chip N               ChipTable row 0-18 the simulated chip is\n"
         "  --revision N           revision byte it reports\n"
         "  --flash-type N         flash type register value\n"
         "  --info-byte N          information byte (rows with an info block)\n"
         "  --config-page N        configuration page (rows with an info block)\n"
         "  --usb-id TEXT          USB id in the device tree and device path\n"
         "                         (default vid_1f3a&pid_5c72)\n"
         "  --no-camera            a work station without the camera\n"
         "  --no-xu-node           the camera's topology has no vendor-specific node\n"
         "  --fail-request N       the Nth extension-unit request fails\n"
         "  --disconnect-after N   the camera drops off after N requests\n"
         "  --stay-busy            the flash never becomes ready\n"
         "  --corrupt-readback A   the byte at flash address A reads back inverted\n"
         "  --stuck-bit A:M        the flash cell at address A keeps its M bits at 1 when\n"
         "                         programmed (M 1-255)\n"
         "  --short-get N:K        the Nth request, a GET, answers only K bytes (K may be 0)\n"
         "  --positive-success N   the Nth request is carried out but answers success code 1\n"
         "  --hang-request N:MS    the Nth request answers only after MS ms (simulated clock)\n"
         "  --refuse-requests N:MS from the Nth request on, every request fails for MS ms\n"
         "                         (simulated clock); then the camera answers again\n"
         "  --ignore-status-write N  the flash silently drops its Nth status-register write\n"
         "  --status-keeps-bits N:MASK  the flash's Nth status write leaves the MASK bits\n"
         "                         (bits 2-7) at 1, whatever it wrote\n"
         "  --status-drops-bits N:MASK  the same, leaving the MASK bits at 0\n"
         "  --refuse-request N:K   the Nth request is refused, and so is each later request\n"
         "                         that repeats it, K refusals in all\n"
         "  --stale-data-in        a receive with no flash selected leaves RegSpiDataIn as it\n"
         "                         was instead of reading the idle bus\n"
         "  --image FILE           another firmware image for this run\n"
         "  --flash-in FILE        initial flash contents (65,536 bytes)\n"
         "  --instant              simulated clock: every wait returns at once\n"
         "  --trace FILE           one line per extension-unit request\n"
         "  --ui-trace FILE        one line per status or progress change\n"
         "  --flash-out FILE       the simulated flash when the process ends\n"
         "  --timeline FILE        one line per event (status, progress, sleep, request,\n"
         "                         Result.log write, camera gone or back) with its time in ms\n"
         "  --report FILE          one JSON object when the run ends: time, requests, attempts\n"
         "                         and their outcomes, verdict, flash contents, protection\n"
         "  --camera-port NAME     the port the simulated camera is plugged into (default 1)\n"
         "  --port NAME            take only the camera on port NAME\n"
         "  --device-path TEXT     the camera's device path (default: from its USB id)\n"
         "  --station              write the station's worker lines on standard output instead\n"
         "                         of the screen\n"
         "Signals (not on Windows):\n"
         "  SIGUSR1                the camera is pulled from its port now: every request fails,\n"
         "                         it leaves the device lists and loses what it holds only while\n"
         "                         powered (the flash and its protection bits stay)\n"
         "  SIGUSR2                a camera is plugged in again on the port now: listed again\n"
         "                         once it has enumerated (1.5 s, as after a reset), with its\n"
         "                         flash as it was left\n";
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (const auto flag = Flags().find(name); flag != Flags().end()) {
      options.*(flag->second) = true;
      continue;
    }
    const auto number = NumberOptions().find(name);
    const auto pair = PairOptions().find(name);
    const auto text = TextOptions().find(name);
    if (number == NumberOptions().end() && pair == PairOptions().end() &&
        text == TextOptions().end()) {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (i + 1 >= argc) {
      error = "option '" + name + "' needs a value";
      return false;
    }
    const char* value = argv[++i];
    if (number != NumberOptions().end()) {
      long parsed = 0;
      if (!ParseNumber(value, number->second.low, number->second.high, parsed)) {
        error = "option '" + name + "': '" + value + "' is not a number from " +
                std::to_string(number->second.low) + " to " + std::to_string(number->second.high);
        return false;
      }
      number->second.apply(options, parsed);
      continue;
    }
    if (pair != PairOptions().end()) {
      const PairOption& form = pair->second;
      long a = 0;
      long b = 0;
      if (!ParsePair(value, form, a, b)) {
        error = "option '" + name + "': '" + value + "' is not " + form.form + " with numbers " +
                std::to_string(form.lowA) + "-" + std::to_string(form.highA) + ":" +
                std::to_string(form.lowB) + "-" + std::to_string(form.highB);
        return false;
      }
      form.apply(options, a, b);
      continue;
    }
    // A path must fit a device-path entry with its terminating zero.
    if (*value == 0 ||
        ((name == "--usb-id" || name == "--device-path") && std::strlen(value) > 200)) {
      error = "option '" + name + "': bad value '" + value + "'";
      return false;
    }
    options.*(text->second) = value;
  }
  return true;
}

}  // namespace console
