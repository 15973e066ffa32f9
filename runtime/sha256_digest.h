// SHA-256 by the system's own cryptography (CNG, present from Windows Vista
// on), for the short hash of a crash signature.
//
// Threads: any thread; each call opens and closes its own provider and hash
// object, so nothing is shared between calls.
#ifndef RUNTIME_SHA256_DIGEST_H_
#define RUNTIME_SHA256_DIGEST_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tavra {

constexpr size_t kSha256Size = 32;

// The SHA-256 of `size` bytes at `data` into `digest`. False when the system
// could not compute it.
bool sha256Digest(const void* data, size_t size, uint8_t digest[kSha256Size]);

// The first `digits` (at most 64) lower-case hex digits of the SHA-256 of
// `text`'s bytes; empty when it could not be computed.
std::string sha256HexPrefix(const std::string& text, size_t digits);

}  // namespace tavra

#endif  // RUNTIME_SHA256_DIGEST_H_
