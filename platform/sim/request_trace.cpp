#include "platform/sim/request_trace.h"

#include <algorithm>

namespace sim {

namespace {

char* PutText(char* out, const char* text) {
  while (*text != 0) {
    *out++ = *text++;
  }
  return out;
}

char* PutDecimal(char* out, std::uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

}  // namespace

std::size_t FormatTraceLine(char* line, RequestKind kind, std::uint32_t selector,
                            std::uint32_t node, const std::uint8_t* bytes, std::size_t count,
                            bool failed) {
  static constexpr char hex[] = "0123456789ABCDEF";
  char* out = line;
  switch (kind) {
    case RequestKind::set:
      out = PutText(out, "SET ");
      break;
    case RequestKind::get:
      out = PutText(out, "GET ");
      break;
    case RequestKind::support:
      out = PutText(out, "SUPPORT ");
      break;
  }
  if (kind != RequestKind::support) {
    out = PutDecimal(out, selector);
    *out++ = ' ';
  }
  out = PutDecimal(out, node);
  if (kind != RequestKind::support && bytes != nullptr) {
    const std::size_t shown = std::min(count, TraceMaxBytes);
    for (std::size_t i = 0; i < shown; ++i) {
      *out++ = ' ';
      *out++ = hex[bytes[i] >> 4];
      *out++ = hex[bytes[i] & 0x0F];
    }
  }
  if (failed) {
    out = PutText(out, " FAIL");
  }
  *out++ = '\n';
  return static_cast<std::size_t>(out - line);
}

}  // namespace sim
