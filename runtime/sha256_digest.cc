#include "runtime/sha256_digest.h"

#include <windows.h>
#include <bcrypt.h>

#include "runtime/scoped_holder.h"

namespace tavra {

bool sha256Digest(const void* data, size_t size, uint8_t digest[kSha256Size]) {
  ScopedAlgorithmProvider provider;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(provider.receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  // The system keeps the hash object's memory (Windows 7 and later).
  ScopedHashObject hash;
  if (!BCRYPT_SUCCESS(
          BCryptCreateHash(provider.get(), hash.receive(), nullptr, 0, nullptr, 0, 0))) {
    return false;
  }
  // BCryptHashData takes at most 4 GiB at once: larger data goes in pieces.
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size != 0) {
    const ULONG piece = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes), piece, 0))) {
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kSha256Size, 0));
}

std::string sha256HexPrefix(const std::string& text, size_t digits) {
  uint8_t digest[kSha256Size];
  if (!sha256Digest(text.data(), text.size(), digest)) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < digits && i < 2 * kSha256Size; ++i) {
    hex += kDigits[(digest[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 0xF];
  }
  return hex;
}

}  // namespace tavra
