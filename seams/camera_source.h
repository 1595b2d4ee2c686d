#pragma once
// The camera source: the few things a platform without the capture framework provides (the
// cameras present, their units, and one control request to a unit), below one emulation of that
// framework.

#include <cstdint>
#include <string>
#include <vector>

#include "seams/guid.h"

// Results are errno-style: 0 done, a positive value a success code a camera may answer with
// instead of 0, a negative errno a failure. The failures the framework tells apart have fixed
// codes (the Linux errno numbers, written out so that every build sees the same values); any
// other negative errno is a plain failure.
inline constexpr int CsOk = 0;
inline constexpr int CsNoSuchFile = -2;    // ENOENT: no unit or control answers this request
inline constexpr int CsIoError = -5;       // EIO: the request failed, nothing more to say
inline constexpr int CsRemoved = -19;      // ENODEV: the camera has left the bus
inline constexpr int CsInvalid = -22;      // EINVAL: the request is malformed
inline constexpr int CsStalled = -32;      // EPIPE: the camera stalled the control transfer
inline constexpr int CsWrongLength = -90;  // EMSGSIZE: not the control's record length
inline constexpr int CsUnknownSet = -92;   // ENOPROTOOPT: the unit knows no such property set

// One camera as the source lists it.
struct SourceCamera {
  std::u16string devicePath;    // in the form the camera layer chooses by
  std::u16string friendlyName;  // empty: the property cannot be read
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string port;  // the USB port, e.g. "1-1.2"; empty when the source does not know it
  std::vector<Guid> nodeTypes;  // the topology: each unit's node type, by node index
  bool pathUnreadable = false;  // its device path cannot be read
  bool hasTopology = true;      // its filter answers for the topology
  std::uint64_t key = 0;        // the source's own name for the camera, handed back to open()
};

enum class SourceRequest { get, set, setSupport };

// One control request to a unit of a bound camera.
struct SourceQuery {
  std::uint64_t binding = 0;  // what open() gave
  int nodeInstance = -1;      // the topology node the control was made for; -1 the filter's own
  std::uint32_t node = 0;     // the node id the request names
  Guid set{};                 // the property set it names
  std::uint32_t selector = 0;
  SourceRequest request = SourceRequest::get;
  // The flags are exactly those of the request on a topology node and the reserved word is 0.
  bool exactHeader = true;
  std::uint8_t* data = nullptr;  // sent by a set, filled by a get
  std::uint32_t length = 0;
  std::uint32_t* bytesReturned = nullptr;  // may be null; written as the camera answers
};

// Several sources may live at once (a test's world beside the process's), so it is an interface
// an emulation holds, not a process-wide table.
class CameraSource {
 public:
  virtual ~CameraSource() = default;
  // The cameras present now, in the order the framework lists them.
  virtual std::vector<SourceCamera> listCameras() = 0;
  // Opens the camera for requests; on success `binding` names it until close().
  virtual int open(const SourceCamera& camera, std::uint64_t* binding) = 0;
  virtual void close(std::uint64_t binding) = 0;
  virtual int query(const SourceQuery& query) = 0;
  // The flash waits poll with 1 ms sleeps; a source may keep its own clock.
  virtual void sleep(std::uint32_t milliseconds) = 0;
};
