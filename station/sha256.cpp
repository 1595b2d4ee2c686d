#include "station/sha256.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <array>

namespace station {

namespace {

std::string Hex(const unsigned char* digest, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace

// The system's own implementation: OpenSSL's libcrypto on Linux, the CNG primitives on Windows.
std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  std::array<unsigned char, 32> digest{};
#ifdef _WIN32
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return {};
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes a ULONG length: feed a large block in pieces.
  for (std::size_t offset = 0; done && offset < size;) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size - offset, 1u << 30));
    done = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data + offset), piece, 0));
    offset += piece;
  }
  done = done && BCRYPT_SUCCESS(
                     BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) {
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!done) {
    return {};
  }
#else
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    return {};
  }
#endif
  return Hex(digest.data(), digest.size());
}

}  // namespace station
