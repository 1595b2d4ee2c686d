#pragma once
// The options of `reflash-sim`: which simulated camera to build, which faults, which outputs.

#include <cstdint>
#include <optional>
#include <string>

namespace console {

struct SimOptions {
  std::optional<int> chip;  // ChipTable row 0..18
  std::optional<int> revision;
  std::optional<std::uint8_t> flashType;
  std::optional<std::uint8_t> infoByte;
  std::optional<std::uint8_t> configPage;
  std::string usbId = "vid_1f3a&pid_5c72";
  bool noCamera = false;
  bool noXuNode = false;
  std::uint32_t failRequest = 0;
  std::uint32_t disconnectAfter = 0;
  bool stayBusy = false;
  std::int32_t corruptReadback = -1;
  std::int32_t stuckBitAddress = -1;  // -1 for none
  std::uint8_t stuckBitMask = 0;
  std::uint32_t shortGetRequest = 0;
  std::uint32_t shortGetBytes = 0;
  std::uint32_t positiveSuccess = 0;
  std::uint32_t hangRequest = 0;
  std::uint32_t hangMillis = 0;
  std::uint32_t refuseFromRequest = 0;
  std::uint32_t refuseMillis = 0;
  std::uint32_t ignoreStatusWrite = 0;
  std::uint32_t statusBitsWrite = 0;  // the status write that keeps or drops bits; 0 for none
  std::uint8_t statusKeepsBits = 0;
  std::uint8_t statusDropsBits = 0;
  std::uint32_t refuseRequest = 0;
  std::uint32_t refuseRequestTries = 0;
  bool staleDataIn = false;
  std::string image;  // another image file for this run
  std::string flashIn;
  bool instant = false;
  std::string trace;
  std::string uiTrace;
  std::string flashOut;
  std::string timeline;
  std::string report;
  std::string port;              // take only the camera on this port (empty: any)
  std::string cameraPort = "1";  // the port the simulated camera is plugged into
  std::string devicePath;        // the camera's device path; empty: the usual one
  bool station = false;          // standard output carries the station's worker lines
  bool help = false;
};

// One line per option, for --help.
const char* SimUsage();

// Parses argv[1..]; on a bad option or value returns false with a one-line `error` naming it.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

}  // namespace console
