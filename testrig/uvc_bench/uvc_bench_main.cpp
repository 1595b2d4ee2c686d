// reflash-uvc-bench: register reads on the first camera, through the camera layer and as a bare
// UVCIOC_CTRL_QUERY loop on the same node, to see what the layer costs per request.
// Usage: reflash-uvc-bench [count]  (default 3000 reads)

#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "camera/camera.h"
#include "seams/media_capture.h"
#include "seams/platform_ids.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/uvc_descriptors.h"
#include "platform/linux/v4l2_media_capture.h"

namespace {

constexpr int PathCount = 10;
constexpr int PathLength = 256;
constexpr std::uint16_t BenchRegister = 0x1006;  // a plain output register: reading it is harmless
constexpr std::uint8_t RegisterSelector = 1;
constexpr std::uint16_t RegisterRecordLength = 4;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

bool Query(int fd, std::uint8_t unit, std::uint8_t query, std::uint8_t* record) {
  uvc_xu_control_query request{};
  request.unit = unit;
  request.selector = RegisterSelector;
  request.query = query;
  request.size = RegisterRecordLength;
  request.data = record;
  int rc;
  do {
    rc = ioctl(fd, UVCIOC_CTRL_QUERY, &request);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

// The extension unit whose code is the camera's property set, as the layer finds it.
int ExtensionUnitId(const linuxplat::V4l2Camera& camera) {
  const auto bytes = linuxplat::ReadBinary(std::filesystem::path(camera.deviceDir) / "descriptors");
  for (const auto& unit : linuxplat::ParseUvcUnits(
           bytes.data(), bytes.size(), static_cast<std::uint8_t>(camera.interfaceNumber))) {
    if (unit.subtype == linuxplat::UvcExtensionUnit &&
        std::memcmp(unit.guid.data(), &XuPropertySet, 16) == 0) {
      return unit.unitId;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 3000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: reflash-uvc-bench [count]\n");
    return 64;
  }
  CamInstallMediaCapture(linuxplat::V4l2MediaCaptureOps());

  static char16_t paths[PathCount][PathLength];
  int found = 0;
  if (!CamEnumerate(&paths[0][0], PathCount, PathLength, &found) ||
      CamOpen(paths[0], PathLength) != 2) {
    std::fprintf(stderr, "reflash-uvc-bench: no camera answered\n");
    return 1;
  }
  const linuxplat::V4l2Camera* chosen = nullptr;
  const auto cameras = linuxplat::ListV4l2Cameras();
  for (const auto& camera : cameras) {
    if (camera.devicePath == std::u16string(paths[0])) {
      chosen = &camera;
    }
  }
  const int unit = chosen != nullptr ? ExtensionUnitId(*chosen) : -1;
  const int fd = chosen != nullptr ? open(chosen->node.c_str(), O_RDWR | O_CLOEXEC) : -1;
  if (unit < 0 || fd < 0) {
    std::fprintf(stderr, "reflash-uvc-bench: the camera's node or unit is gone\n");
    CamClose();
    return 1;
  }

  // The two loops take turns in rounds, each going first in every other round, so that a slow
  // stretch of the emulated machine weighs on both alike.
  constexpr long rounds = 10;
  double productSeconds = 0;
  double plainSeconds = 0;
  long productFailures = 0;
  long plainFailures = 0;
  const auto productRound = [&](long reads) {
    const auto start = Clock::now();
    for (long i = 0; i < reads; ++i) {
      std::uint8_t value = 0;
      productFailures += CamReadAsic(0, BenchRegister, &value) ? 0 : 1;
    }
    productSeconds += Seconds(start);
  };
  const auto plainRound = [&](long reads) {
    const auto start = Clock::now();
    for (long i = 0; i < reads; ++i) {
      std::uint8_t record[RegisterRecordLength] = {BenchRegister & 0xFF, BenchRegister >> 8, 0,
                                                   0xFF};
      const bool ok = Query(fd, static_cast<std::uint8_t>(unit), UVC_SET_CUR, record) &&
                      Query(fd, static_cast<std::uint8_t>(unit), UVC_GET_CUR, record);
      plainFailures += ok ? 0 : 1;
    }
    plainSeconds += Seconds(start);
  };
  for (long round = 0; round < rounds; ++round) {
    const long reads = count / rounds + (round < count % rounds ? 1 : 0);
    if (round % 2 == 0) {
      productRound(reads);
      plainRound(reads);
    } else {
      plainRound(reads);
      productRound(reads);
    }
  }
  close(fd);
  CamClose();

  // Each register read is two requests, a SET and a GET.
  const double productRate = 2.0 * static_cast<double>(count) / productSeconds;
  const double plainRate = 2.0 * static_cast<double>(count) / plainSeconds;
  std::printf("product %.1f req/s\n", productRate);
  std::printf("plain %.1f req/s\n", plainRate);
  std::printf("ratio %.2f\n", productRate / plainRate);
  if (productFailures != 0 || plainFailures != 0) {
    std::printf("failures product %ld plain %ld\n", productFailures, plainFailures);
  }
  return 0;
}
