#pragma once
// One USB/IP connection's byte stream on the device side: commands in, replies out, with bulk
// reads held until the host unlinks them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "testrig/usbip/usb_camera_device.h"
#include "testrig/usbip/usbip_codec.h"

namespace usbip {

class Session {
 public:
  explicit Session(UsbCameraDevice& device) : device_(device) {}

  // Takes the next bytes of the stream, in pieces of any size; appends the replies to `out`.
  // false: the stream makes no sense and the connection must end.
  bool feed(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);
  // Set once the device has left the bus; later bytes are ignored.
  Leave left() const { return left_; }
  std::size_t pendingTransfers() const { return pending_.size(); }

 private:
  bool serveOne(std::vector<std::uint8_t>& out, bool& needMore);
  void submit(const Command& command, const std::uint8_t* data, std::vector<std::uint8_t>& out);
  void unlink(const Command& command, std::vector<std::uint8_t>& out);

  UsbCameraDevice& device_;
  std::vector<std::uint8_t> input_;
  std::vector<std::uint32_t> pending_;
  Leave left_ = Leave::none;
};

}  // namespace usbip
