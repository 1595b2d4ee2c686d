#include "app/result_log.h"

#include <cstdio>
#include <cstring>

bool WriteResultLog(const char* text) {
  std::FILE* file = std::fopen(ResultLogName, "wb");
  if (file == nullptr) {
    return false;  // nothing may be written to a stream that failed to open
  }
  const std::size_t length = std::strlen(text);
  const bool written = std::fwrite(text, 1, length, file) == length;
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}
