#include "platform/console/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace console {
namespace {

constexpr int kChipRows = 19;
constexpr long kFlashSize = 65536;

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
       {1, 0x7FFFFFFF,
        [](SimOptions& o, long v) { o.failRequest = static_cast<std::uint32_t>(v); }}},
      {"--disconnect-after",
       {1, 0x7FFFFFFF,
        [](SimOptions& o, long v) { o.disconnectAfter = static_cast<std::uint32_t>(v); }}},
      {"--corrupt-readback",
       {0, kFlashSize - 1,
        [](SimOptions& o, long v) { o.corruptReadback = static_cast<std::int32_t>(v); }}},
  };
  return options;
}

const std::map<std::string, std::string SimOptions::*>& TextOptions() {
  static const std::map<std::string, std::string SimOptions::*> options = {
      {"--usb-id", &SimOptions::usbId},      {"--image", &SimOptions::image},
      {"--flash-in", &SimOptions::flashIn},  {"--trace", &SimOptions::trace},
      {"--ui-trace", &SimOptions::uiTrace},  {"--flash-out", &SimOptions::flashOut},
      {"--timeline", &SimOptions::timeline},
  };
  return options;
}

const std::map<std::string, bool SimOptions::*>& Flags() {
  static const std::map<std::string, bool SimOptions::*> flags = {
      {"--no-camera", &SimOptions::noCamera}, {"--no-xu-node", &SimOptions::noXuNode},
      {"--stay-busy", &SimOptions::stayBusy}, {"--instant", &SimOptions::instant},
      {"--help", &SimOptions::help},
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
         "  --image FILE           another firmware image for this run\n"
         "  --flash-in FILE        initial flash contents (65,536 bytes)\n"
         "  --instant              simulated clock: every wait returns at once\n"
         "  --trace FILE           one line per extension-unit request\n"
         "  --ui-trace FILE        one line per status or progress change\n"
         "  --flash-out FILE       the simulated flash when the process ends\n"
         "  --timeline FILE        one line per event (status, progress, sleep, request,\n"
         "                         Result.log write, camera gone or back) with its time in ms\n";
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (const auto flag = Flags().find(name); flag != Flags().end()) {
      options.*(flag->second) = true;
      continue;
    }
    const auto number = NumberOptions().find(name);
    const auto text = TextOptions().find(name);
    if (number == NumberOptions().end() && text == TextOptions().end()) {
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
    // A path must fit a device-path entry with its terminating zero.
    if (*value == 0 || (name == "--usb-id" && std::strlen(value) > 200)) {
      error = "option '" + name + "': bad value '" + value + "'";
      return false;
    }
    options.*(text->second) = value;
  }
  return true;
}

}  // namespace console
