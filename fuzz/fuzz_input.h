#pragma once
// A fuzz input read as a stream of draws, and the check that ends a run on a broken invariant.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// abort() rather than a return: libFuzzer keeps the input and prints the stack.
[[noreturn]] inline void Broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
  std::abort();
}

// Once the input runs out every draw fails, so a seam built on it answers with failures.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

  bool Byte(std::uint8_t& out) { return Bytes(&out, 1); }
  std::uint8_t ByteOr(std::uint8_t fallback) {
    std::uint8_t b = fallback;
    Byte(b);
    return b;
  }
  // All n bytes or none.
  bool Bytes(std::uint8_t* out, std::size_t n) {
    if (n > left_) {
      left_ = 0;
      return false;
    }
    std::memcpy(out, data_, n);
    data_ += n;
    left_ -= n;
    return true;
  }
  std::size_t Left() const { return left_; }

 private:
  const std::uint8_t* data_;
  std::size_t left_;
};

}  // namespace fuzz

#define FUZZ_REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzz::Broken(#condition, __FILE__, __LINE__))
