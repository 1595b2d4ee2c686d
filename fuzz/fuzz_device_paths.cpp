// Device paths through CamEnumerate's copy into the dialog's 10 x 256 entries and through
// ChooseDevice's conversion and choice, checked against the choice worked out independently here.
// The framework hands out terminated strings, so a path without room for its terminator is one of
// 256 characters or more; paths of up to 511 are drawn.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/reflash_dlg.h"
#include "app/run_state.h"
#include "seams/windowing.h"
#include "camera/camera.h"
#include "camera/camera_state.h"
#include "fuzz/capture_seam.h"

namespace {

// What the dialog's construction and ChooseDevice ask of the window system.
ColorRef SysColor(int) {
  return 0;
}
HGdiObj NoObject(ColorRef) {
  return nullptr;
}
HGdiObj StockObject(int) {
  return nullptr;
}
int ObjectInfo(HGdiObj, int, void*) {
  return 0;
}
HGdiObj FontOf(const LogFontA*) {
  return nullptr;
}
bool DeleteObject(HGdiObj) {
  return true;
}
HIcon NoIcon(int) {
  return nullptr;
}

const WindowingOps* WindowSystem() {
  static WindowingOps ops{};
  ops.loadIcon = NoIcon;
  ops.getSysColor = SysColor;
  ops.createSolidBrush = NoObject;
  ops.getStockObject = StockObject;
  ops.getObject = ObjectInfo;
  ops.createFontIndirect = FontOf;
  ops.deleteObject = DeleteObject;
  ops.wideCharToMultiByte = Utf16ToUtf8;
  return &ops;
}

// One input byte as one path character: ASCII, characters of two and three UTF-8 bytes, and
// both halves of surrogate pairs (paired or lone).
char16_t Unit(std::uint8_t b) {
  if (b < 0x80) {
    return b;
  }
  if (b < 0xC0) {
    return static_cast<char16_t>(0x00C0 + (b - 0x80));
  }
  if (b < 0xE0) {
    return static_cast<char16_t>(0x3040 + (b - 0xC0));
  }
  if (b < 0xF0) {
    return static_cast<char16_t>(0xD800 + (b - 0xE0));
  }
  return static_cast<char16_t>(0xDC00 + (b - 0xF0));
}

// Byte 0: device count (0-12); per device a flag byte (not identified, bag, path, filter
// fail), a 9-bit path length in two bytes and one byte per character.
std::vector<fuzz::CaptureDevice> DescribeDevices(fuzz::Input& in) {
  std::vector<fuzz::CaptureDevice> devices(in.ByteOr(0) % 13);
  for (fuzz::CaptureDevice& device : devices) {
    const std::uint8_t flags = in.ByteOr(0);
    device.identifies = !(flags & 1);
    device.bagFails = flags & 2;
    device.pathFails = flags & 4;
    device.filterFails = flags & 8;
    device.nodes = 2;
    device.vendorNodes = 2;
    const std::uint8_t low = in.ByteOr(0);
    const std::size_t length = low | (in.ByteOr(0) & 1) << 8;
    for (std::size_t i = 0; i < length && in.Left() > 0; ++i) {
      device.path.push_back(Unit(in.ByteOr(0)));
    }
  }
  return devices;
}

std::u16string AsListed(const std::u16string& path) {
  return path.substr(0, path.find(u'\0'));
}

bool Bindable(const fuzz::CaptureDevice& d) {
  return !d.bagFails && !d.pathFails && !d.filterFails;
}

// The path in the multibyte code page (UTF-8 here), cut to 255 bytes; every byte of a
// non-ASCII character stands as 0x80, which neither is nor begins an id or a separator.
std::string Multibyte(const std::u16string& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char16_t c = path[i];
    const bool high = c >= 0xD800 && c < 0xDC00;
    if (high && i + 1 < path.size() && path[i + 1] >= 0xDC00 && path[i + 1] < 0xE000) {
      out.append(4, '\x80');
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      out += '?';
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out.append(c < 0x800 ? 2 : 3, '\x80');
    }
  }
  return out.substr(0, 255);
}

bool BeginsWithId(const std::string& field) {
  for (const char* id : {"vid_1f3a&pid_5c72", "vid_0c45&pid_6320"}) {
    bool same = field.size() >= 17;
    for (std::size_t i = 0; same && i < 17; ++i) {
      same = std::tolower(static_cast<unsigned char>(field[i])) == id[i];
    }
    if (same) {
      return true;
    }
  }
  return false;
}

bool CarriesId(const std::string& path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('#', start), path.size());
    if (BeginsWithId(path.substr(start, end - start))) {
      return true;
    }
    if (end == path.size()) {
      return false;
    }
    start = end + 1;
  }
}

void ChooseAndOpen(CReflashDlg& dialog, const std::vector<fuzz::CaptureDevice>& devices) {
  std::vector<std::u16string> listed;
  for (const fuzz::CaptureDevice& d : devices) {
    if (listed.size() < 10 && d.identifies && Bindable(d) && AsListed(d.path).size() < 256) {
      listed.push_back(AsListed(d.path));
    }
  }
  int expected = -1;
  for (std::size_t i = 0; i < listed.size() && !listed[i].empty() && expected == -1; ++i) {
    expected = CarriesId(Multibyte(listed[i])) ? static_cast<int>(i) : -1;
  }

  CamResetState();
  fuzz::CaptureWorld world;
  world.devices = devices;
  fuzz::StartCaptureWorld(std::move(world));
  dialog.ChooseDevice();
  FUZZ_REQUIRE(ChosenDevice == expected);
  for (std::size_t i = 0; i < listed.size() && !listed[i].empty(); ++i) {
    FUZZ_REQUIRE(dialog.DevicePathsW[i] == listed[i]);
    FUZZ_REQUIRE(std::memchr(dialog.DevicePathsA[i], 0, DevicePathLength) != nullptr);
  }
  for (std::size_t i = listed.size(); i < DevicePathCount; ++i) {
    FUZZ_REQUIRE(dialog.DevicePathsW[i][0] == 0);
  }
  FUZZ_REQUIRE(fuzz::HeldObjects() == 0 && fuzz::HeldStrings() == 0);
  if (expected == -1) {
    return;
  }
  // The open binds the first device whose path is the chosen one, and keeps it only if it
  // identifies.
  int owner = -1;
  for (std::size_t i = 0; i < devices.size() && owner == -1; ++i) {
    if (Bindable(devices[i]) && AsListed(devices[i].path) == listed[expected]) {
      owner = static_cast<int>(i);
    }
  }
  const int opened = CamOpen(dialog.DevicePathsW[expected], DevicePathLength);
  FUZZ_REQUIRE(opened == (devices[owner].identifies ? 2 : 0));
  FUZZ_REQUIRE(fuzz::DeviceOfFilter(cameraBinding.boundFilter) == (opened == 2 ? owner : -1));
  CamClose();
  FUZZ_REQUIRE(fuzz::HeldObjects() == 0 && fuzz::ApartmentDepth() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static CReflashDlg* const dialog = [] {
    InstallWindowing(WindowSystem());
    return new CReflashDlg();
  }();
  fuzz::Input in(data, size);
  // Whatever an earlier choice left in the entries must not leak into this one.
  std::memset(dialog->DevicePathsA, in.ByteOr(0), sizeof dialog->DevicePathsA);
  std::vector<fuzz::CaptureDevice> devices = DescribeDevices(in);
  ChooseAndOpen(*dialog, devices);
  std::reverse(devices.begin(), devices.end());
  ChooseAndOpen(*dialog, devices);
  return 0;
}
