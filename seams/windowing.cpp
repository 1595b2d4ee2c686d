#include "seams/windowing.h"

#include <atomic>

namespace {
std::atomic<const WindowingOps*> installedWindowing{nullptr};

// Appends one code point as UTF-8; false when it does not fit before the terminator's place.
bool PutUtf8(std::uint32_t codePoint, char* out, int outSize, int& used) {
  char bytes[4];
  int n = 0;
  if (codePoint < 0x80) {
    bytes[n++] = static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (codePoint >> 6));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    bytes[n++] = static_cast<char>(0xE0 | (codePoint >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xF0 | (codePoint >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  if (used + n > outSize) {
    return false;
  }
  for (int i = 0; i < n; ++i) {
    out[used++] = bytes[i];
  }
  return true;
}
}  // namespace

void InstallWindowing(const WindowingOps* ops) {
  installedWindowing.store(ops);
}

const WindowingOps* Windowing() {
  return installedWindowing.load();
}

int Utf16ToUtf8(const char16_t* text, char* out, int outSize) {
  if (text == nullptr || out == nullptr || outSize <= 0) {
    return 0;
  }
  int used = 0;
  for (std::size_t i = 0;; ++i) {
    std::uint32_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      unit = '?';  // an unpaired surrogate has no multibyte form
    }
    if (!PutUtf8(unit, out, outSize, used)) {
      return 0;
    }
    if (unit == 0) {
      return used;
    }
  }
}
