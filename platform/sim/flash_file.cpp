#include "platform/sim/flash_file.h"

#include <array>
#include <fstream>

namespace sim {

namespace {
bool Fail(std::string* error, std::string text) {
  if (error != nullptr) {
    *error = std::move(text);
  }
  return false;
}
}  // namespace

bool LoadFlash(SerialFlash& flash, const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return Fail(error, "cannot open " + path);
  }
  std::array<std::uint8_t, FlashSize> buffer{};
  in.read(reinterpret_cast<char*>(buffer.data()), buffer.size());
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got != FlashSize || in.peek() != std::ifstream::traits_type::eof()) {
    return Fail(error, path + " is not exactly 65536 bytes");
  }
  flash.contents() = buffer;
  return true;
}

bool SaveFlash(const SerialFlash& flash, const std::string& path, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    return Fail(error, "cannot create " + path);
  }
  out.write(reinterpret_cast<const char*>(flash.contents().data()), FlashSize);
  out.close();
  if (!out) {
    return Fail(error, "cannot write " + path);
  }
  return true;
}

}  // namespace sim
