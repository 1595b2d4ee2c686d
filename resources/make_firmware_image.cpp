// Writes the synthetic 64 KiB flash image the build embeds, or checks a file against it.
//
// Usage: make_firmware_image OUTPUT      writes the image
//        make_firmware_image --check FILE exit 0 when FILE holds exactly this image
//
// The layout is described in resources/README.md. The content is made up: it is shaped like a
// camera flash (protection data where the camera layer looks for it) but runs on no camera.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kImageSize = 65536;
constexpr std::uint8_t kProtectionByte = 0xB2;  // bit 7, GPIO pin 3, mode 2
constexpr std::uint8_t kStatusProtectRequest = 0x36;
constexpr std::uint32_t kConfigBlocks[] = {0x5800, 0x8000, 0xC000};
constexpr std::uint32_t kProtectionOffsets[] = {0x000F, 0x8034, 0xC034};
constexpr char kMarker[] = "SYNTHETIC TEST IMAGE - NOT A CAMERA FIRMWARE";

// xorshift32: deterministic on every compiler, and no byte value repeats in long runs.
std::uint8_t NextFiller(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  const auto byte = static_cast<std::uint8_t>(state >> 24);
  // 0xFF is what an erased flash reads; leaving it out makes any unwritten byte show.
  return byte == 0xFF ? 0x7F : byte;
}

std::vector<std::uint8_t> MakeImage() {
  std::vector<std::uint8_t> image(kImageSize);
  std::uint32_t state = 0x52464C31;
  for (auto& byte : image) {
    byte = NextFiller(state);
  }
  // Header: a magic, a layout version, the marker text.
  const std::uint8_t header[] = {'R', 'F', 'S', 'Y', 0x01, 0x00};
  std::memcpy(image.data(), header, sizeof header);
  std::memcpy(image.data() + 0x0010, kMarker, sizeof kMarker - 1);
  for (const auto base : kConfigBlocks) {
    image[base + 0x00] = 'C';
    image[base + 0x01] = 'F';
    image[base + 0x02] = 'G';
    image[base + 0x03] = kStatusProtectRequest;
    image[base + 0x34] = kProtectionByte;
  }
  for (const auto offset : kProtectionOffsets) {
    image[offset] = kProtectionByte;
  }
  return image;
}

bool ReadFile(const char* path, std::vector<std::uint8_t>& out) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  std::uint8_t buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    out.insert(out.end(), buffer, buffer + n);
  }
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const auto image = MakeImage();
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
    std::vector<std::uint8_t> file;
    if (!ReadFile(argv[2], file)) {
      std::fprintf(stderr, "make_firmware_image: cannot read %s\n", argv[2]);
      return 1;
    }
    if (file != image) {
      std::fprintf(stderr, "make_firmware_image: %s differs from the generated image\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_firmware_image OUTPUT | --check FILE\n");
    return 64;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_firmware_image: cannot create %s\n", argv[1]);
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "make_firmware_image: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
