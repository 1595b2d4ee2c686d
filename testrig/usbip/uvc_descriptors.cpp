#include "testrig/usbip/uvc_descriptors.h"

#include <initializer_list>
#include <string_view>

namespace usbip {

namespace {

constexpr std::uint16_t VideoClassRelease = 0x0100;

// Class, subclass and descriptor codes of the video class.
constexpr std::uint8_t ClassVideo = 0x0E;
constexpr std::uint8_t SubclassControl = 0x01;
constexpr std::uint8_t SubclassStreaming = 0x02;
constexpr std::uint8_t SubclassCollection = 0x03;
constexpr std::uint8_t ClassSpecificInterface = 0x24;

constexpr std::uint16_t Width = 160;
constexpr std::uint16_t Height = 120;
constexpr std::uint32_t FrameBytes = std::uint32_t{Width} * Height * 2;  // two bytes a pixel
constexpr std::uint32_t FrameInterval = 333'333;                         // 100 ns units: 30 fps
constexpr std::uint32_t BitRate = FrameBytes * 8 * 30;

using Bytes = std::vector<std::uint8_t>;

void Add(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    out.push_back(byte);
  }
}
void Add16(Bytes& out, std::uint16_t value) {
  Add(out, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}
void Add32(Bytes& out, std::uint32_t value) {
  Add16(out, static_cast<std::uint16_t>(value));
  Add16(out, static_cast<std::uint16_t>(value >> 16));
}
void Set16(Bytes& out, std::size_t offset, std::size_t value) {
  out[offset] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The control side: header, camera terminal, extension unit, streaming terminal.
Bytes VideoControlDescriptors(const DeviceIdentity& identity) {
  Bytes out;
  Add(out, {13, ClassSpecificInterface, 0x01});  // header
  Add16(out, VideoClassRelease);
  Add16(out, 0);  // total, patched below
  Add32(out, 48'000'000);
  Add(out, {1, VideoStreamingInterface});
  // Camera input terminal without any controls, so the driver asks it nothing.
  Add(out, {17, ClassSpecificInterface, 0x02, identity.terminalId});
  Add16(out, 0x0201);
  Add(out, {0, 0});
  Add16(out, 0);
  Add16(out, 0);
  Add16(out, 0);
  Add(out, {2, 0x00, 0x00});
  // Extension unit: five vendor controls, selectors 1 to 5.
  Add(out, {26, ClassSpecificInterface, 0x06, identity.unitId});
  out.insert(out.end(), identity.unitCode.begin(), identity.unitCode.end());
  Add(out, {5, 1, identity.terminalId, 1, 0x1F, 0});
  // Streaming output terminal fed by the unit.
  Add(out, {9, ClassSpecificInterface, 0x03, StreamingTerminalId});
  Add16(out, 0x0101);
  Add(out, {0, identity.unitId, 0});
  Set16(out, 5, out.size());
  return out;
}

// The streaming side: input header, one uncompressed YUY2 format with one frame size.
Bytes VideoStreamingDescriptors() {
  Bytes out;
  Add(out, {14, ClassSpecificInterface, 0x01, 1});
  Add16(out, 0);  // total, patched below
  Add(out, {StreamingEndpoint, 0, StreamingTerminalId, 0, 0, 0, 1, 0});
  Add(out, {27, ClassSpecificInterface, 0x04, 1, 1});
  Add(out, {0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38,
            0x9B, 0x71});
  Add(out, {16, 1, 0, 0, 0, 0});
  Add(out, {30, ClassSpecificInterface, 0x05, 1, 0});
  Add16(out, Width);
  Add16(out, Height);
  Add32(out, BitRate);
  Add32(out, BitRate);
  Add32(out, FrameBytes);
  Add32(out, FrameInterval);
  Add(out, {1});
  Add32(out, FrameInterval);
  Set16(out, 4, out.size());
  return out;
}

Bytes BuildConfiguration(const DeviceIdentity& identity) {
  Bytes out;
  Add(out, {9, 0x02, 0, 0, 2, ConfigurationValue, 0, 0x80, 50});  // bus powered, 100 mA
  Add(out, {8, 0x0B, VideoControlInterface, 2, ClassVideo, SubclassCollection, 0, 2});
  Add(out, {9, 0x04, VideoControlInterface, 0, 0, ClassVideo, SubclassControl, 0, 2});
  const Bytes control = VideoControlDescriptors(identity);
  out.insert(out.end(), control.begin(), control.end());
  Add(out, {9, 0x04, VideoStreamingInterface, 0, 1, ClassVideo, SubclassStreaming, 0, 0});
  const Bytes streaming = VideoStreamingDescriptors();
  out.insert(out.end(), streaming.begin(), streaming.end());
  Add(out, {7, 0x05, StreamingEndpoint, 0x02});  // bulk
  Add16(out, 512);
  Add(out, {0});
  Set16(out, 2, out.size());
  return out;
}

constexpr std::uint8_t SerialStringIndex = 3;

Bytes BuildDevice(const DeviceIdentity& identity, const UnitStrings& unit) {
  Bytes out;
  Add(out, {18, 0x01});
  Add16(out, 0x0200);
  // Miscellaneous class with interface association: the function is described by its IAD.
  Add(out, {0xEF, 0x02, 0x01, 64});
  Add16(out, identity.vendorId);
  Add16(out, identity.productId);
  Add16(out, unit.release);
  Add(out, {1, 2, unit.serial.empty() ? std::uint8_t{0} : SerialStringIndex, 1});
  return out;
}

Bytes BuildStreamControl() {
  Bytes out;
  Add16(out, 0);     // hints
  Add(out, {1, 1});  // format, frame
  Add32(out, FrameInterval);
  Add16(out, 0);  // key frame rate
  Add16(out, 0);  // P frame rate
  Add16(out, 0);  // quality
  Add16(out, 0);  // window
  Add16(out, 0);  // delay
  Add32(out, FrameBytes);
  Add32(out, FrameBytes);  // a whole frame per bulk transfer
  return out;
}

Bytes Utf16String(std::string_view text) {
  Bytes out;
  Add(out, {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03});
  for (const char c : text) {
    Add(out, {static_cast<std::uint8_t>(c), 0});
  }
  return out;
}

}  // namespace

const DeviceIdentity& CameraIdentity() {
  static const DeviceIdentity camera{0x1F3A,
                                     0x5C72,
                                     1,
                                     2,
                                     {0x70, 0x33, 0xF0, 0x28, 0x11, 0x63, 0x2E, 0x4A, 0xBA, 0x2C,
                                      0x68, 0x90, 0xEB, 0x33, 0x40, 0x16}};
  return camera;
}

const DeviceIdentity& ForeignIdentity() {
  static const DeviceIdentity foreign{0xF0E1,
                                      0x0D2C,
                                      2,
                                      1,
                                      {0x5A, 0x1E, 0x77, 0x3C, 0x90, 0x4B, 0x1D, 0x46, 0x8E, 0x02,
                                       0xC4, 0x61, 0x3F, 0xB9, 0x0A, 0xD7}};
  return foreign;
}

std::vector<std::uint8_t> DeviceDescriptor(const DeviceIdentity& identity,
                                           const UnitStrings& unit) {
  return BuildDevice(identity, unit);
}

std::vector<std::uint8_t> ConfigurationDescriptor(const DeviceIdentity& identity) {
  return BuildConfiguration(identity);
}

std::vector<std::uint8_t> StringDescriptor(std::uint8_t index, const UnitStrings& unit) {
  switch (index) {
    case 0:
      return {4, 0x03, 0x09, 0x04};
    case 1:
      return Utf16String("reflash");
    case 2:
      return Utf16String("Simulated USB Camera");
    case SerialStringIndex:
      return unit.serial.empty() ? Bytes{} : Utf16String(unit.serial);
    default:
      return {};
  }
}

const std::vector<std::uint8_t>& DefaultStreamControl() {
  static const Bytes control = BuildStreamControl();
  return control;
}

}  // namespace usbip
