#pragma once
// The simulated station: a description of simulated ports, each with the camera plugged in and
// unplugged at given times and the reflash-sim options of that camera (chip row, faults).
//
// One line per plug, fields separated by blanks, '#' starts a comment:
//   PORT  IN-MS  OUT-MS  [reflash-sim options ...]
//   A1    0      -       --chip 3
//   A2    0      -       --fail-request 9000
//   A3    500    900
//   A3    1500   -       --stuck-bit 0x100:0x01
// PORT is letters, digits, '.', '_' and '-'; IN-MS and OUT-MS are milliseconds after the station
// starts; OUT-MS "-" keeps the camera plugged in. A port's plugs must not overlap. The options
// are passed to the port's worker for the update that begins during that plug, except the
// camera's identity in the simulated device tree, which the station reads:
//   serial=TEXT   its USB serial number (default SIM-<PORT>); serial=none: it has none
//   bcd=XXXX      its bcdDevice before the update, four hex digits (default 0500)
//   path=TEXT     its device path (default: the usual shape, its instance part the port)
// A camera whose flash holds the station's image after its update reports bcdDevice
// SimulatedImageBcd.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/unit_identity.h"

namespace station {

// The revision a simulated camera reports once it runs the station's image ("R06.00.01").
inline constexpr std::uint16_t SimulatedImageBcd = 0x0601;
inline constexpr std::uint16_t SimulatedDefaultBcd = 0x0500;
// The account a simulated camera's worker leaves in its port's folder (reflash-sim --report).
inline constexpr const char* SimulatedCameraAccount = "sim-camera.json";

struct SimulatedPlug {
  std::string port;
  std::int64_t inMs = 0;
  std::optional<std::int64_t> outMs;  // nullopt: never unplugged
  std::vector<std::string> options;
  std::optional<std::string> serial;  // nullopt: the camera has no serial number
  std::uint16_t bcdDevice = SimulatedDefaultBcd;
  std::string devicePath;
};

// Parses the description; false with a message naming the line on a bad one.
bool ParseSimulatedPorts(const std::string& text, std::vector<SimulatedPlug>& plugs,
                         std::string& error);

class SimulatedPorts {
 public:
  explicit SimulatedPorts(std::vector<SimulatedPlug> plugs) : plugs_(std::move(plugs)) {}
  // The ports with a camera at `ms`, in the order of the description.
  std::vector<std::string> PresentAt(std::int64_t ms) const;
  // The first time after `ms` at which a camera is plugged in or unplugged; nullopt for none.
  std::optional<std::int64_t> NextChangeAfter(std::int64_t ms) const;
  // The options of the camera on `port` at `ms`.
  std::vector<std::string> OptionsAt(const std::string& port, std::int64_t ms) const;
  // The plug of the camera on `port` at `ms`; null when none is plugged in.
  const SimulatedPlug* PlugAt(const std::string& port, std::int64_t ms) const;
  // The worker's words that put it on the camera of `port` at `ms`, before its own options.
  std::vector<std::string> CameraWordsAt(const std::string& port, std::int64_t ms) const;
  // The identity of the camera on `port` at `ms`, as the simulated device tree shows it, given
  // the account its worker left (SimulatedCameraAccount; empty: none yet). nullopt: no camera.
  std::optional<UnitIdentity> IdentityAt(const std::string& port, std::int64_t ms,
                                         const std::string& account) const;

 private:
  std::vector<SimulatedPlug> plugs_;
};

}  // namespace station
