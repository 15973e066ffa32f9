#include "runtime/sha256_digest.h"

#include <gtest/gtest.h>

#include <string>

namespace tavra {
namespace {

// Known SHA-256 vectors: the empty text, "abc" and the two-block text of the
// standard's examples, whole and as the 12-digit prefix.
TEST(Sha256Digest, GivesTheKnownDigests) {
  const struct {
    std::string text;
    const char* hex;
  } kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(sha256HexPrefix(c.text, 64), c.hex) << c.text;
    EXPECT_EQ(sha256HexPrefix(c.text, 12), std::string(c.hex, 12)) << c.text;
  }
}

TEST(Sha256Digest, HashesBytesWithNulAndAMillionBytes) {
  // A NUL inside the text is hashed like any byte.
  EXPECT_EQ(sha256HexPrefix(std::string("\0", 1), 64),
            "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
  EXPECT_EQ(sha256HexPrefix(std::string(1000000, 'a'), 64),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace tavra
