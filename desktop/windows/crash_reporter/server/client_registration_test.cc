#include "desktop/windows/crash_reporter/server/client_registration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tavra {
namespace {

constexpr Architecture kX86 = Architecture::kX86;
constexpr Architecture kX64 = Architecture::kX8664;

// A registration whose addresses need all 64 bits, so that a layout that
// cut them short, or read them at the wrong place, shows.
ClientRegistration sample() {
  ClientRegistration registration;
  registration.processId = 4242;
  registration.dumpType = 0x21;
  registration.threadIdAddress = 0x00007FF6'11112220ull;
  registration.exceptionPointersAddress = 0x00007FF6'33334440ull;
  registration.assertionAddress = 0x00000001'55556660ull;
  registration.annotationsAddress = 0x000001F0'77778880ull;
  registration.annotationCount = 9;
  return registration;
}

// The same registration in the layout of either width: the 32-bit one keeps
// the low halves.
ClientRegistration asSent(const ClientRegistration& registration, Architecture layout) {
  ClientRegistration sent = registration;
  sent.layout = layout;
  if (layout == kX86) {
    sent.threadIdAddress &= 0xFFFFFFFFu;
    sent.exceptionPointersAddress &= 0xFFFFFFFFu;
    sent.assertionAddress &= 0xFFFFFFFFu;
    sent.annotationsAddress &= 0xFFFFFFFFu;
  }
  return sent;
}

void expectSame(const ClientRegistration& expected, const ClientRegistration& actual,
                const std::string& what) {
  EXPECT_EQ(expected.layout, actual.layout) << what;
  EXPECT_EQ(expected.processId, actual.processId) << what;
  EXPECT_EQ(expected.dumpType, actual.dumpType) << what;
  EXPECT_EQ(expected.threadIdAddress, actual.threadIdAddress) << what;
  EXPECT_EQ(expected.exceptionPointersAddress, actual.exceptionPointersAddress) << what;
  EXPECT_EQ(expected.assertionAddress, actual.assertionAddress) << what;
  EXPECT_EQ(expected.annotationsAddress, actual.annotationsAddress) << what;
  EXPECT_EQ(expected.annotationCount, actual.annotationCount) << what;
}

uint32_t wordAt(const uint8_t* bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

uint64_t doubleWordAt(const uint8_t* bytes, size_t offset) {
  uint64_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

TEST(ClientRegistrationTest, EachLayoutSitsAtItsOffsets) {
  const ClientRegistration registration = sample();
  uint8_t bytes[kPipeBufferSize];

  ASSERT_EQ(44u, encodeRegistration(registration, kX86, bytes));
  EXPECT_EQ(1u, wordAt(bytes, 0));
  EXPECT_EQ(4242u, wordAt(bytes, 4));
  EXPECT_EQ(0x21u, wordAt(bytes, 8));
  EXPECT_EQ(0x11112220u, wordAt(bytes, 12));
  EXPECT_EQ(0x33334440u, wordAt(bytes, 16));
  EXPECT_EQ(0x55556660u, wordAt(bytes, 20));
  EXPECT_EQ(0x77778880u, wordAt(bytes, 24));
  EXPECT_EQ(9u, wordAt(bytes, 28));
  for (size_t offset = 32; offset < kPipeBufferSize; offset += 4) {
    EXPECT_EQ(0u, wordAt(bytes, offset)) << offset;
  }

  ASSERT_EQ(48u, encodeRegistration(registration, kX64, bytes));
  EXPECT_EQ(5u, wordAt(bytes, 0));
  EXPECT_EQ(4242u, wordAt(bytes, 4));
  EXPECT_EQ(0x21u, wordAt(bytes, 8));
  EXPECT_EQ(9u, wordAt(bytes, 12));
  EXPECT_EQ(0x00007FF6'11112220ull, doubleWordAt(bytes, 16));
  EXPECT_EQ(0x00007FF6'33334440ull, doubleWordAt(bytes, 24));
  EXPECT_EQ(0x00000001'55556660ull, doubleWordAt(bytes, 32));
  EXPECT_EQ(0x000001F0'77778880ull, doubleWordAt(bytes, 40));
}

TEST(ClientRegistrationTest, EachReporterTakesOnlyItsOwnLayoutAtItsOwnLength) {
  const struct {
    const char* what;
    Architecture layout;  // the layout written
    size_t length;        // the bytes handed over; 0: the layout's own
    Architecture served;  // the reporter's width
    IncomingKind expected;
  } cases[] = {
      {"32-bit layout at the 32-bit reporter", kX86, 0, kX86, IncomingKind::Registration},
      {"64-bit layout at the 64-bit reporter", kX64, 0, kX64, IncomingKind::Registration},
      {"64-bit layout at the 32-bit reporter", kX64, 0, kX86, IncomingKind::OtherWidthRegistration},
      {"32-bit layout at the 64-bit reporter", kX86, 0, kX64, IncomingKind::OtherWidthRegistration},
      // A tag is taken only at its own length, whichever reporter reads it.
      {"tag 1 at 48 bytes", kX86, 48, kX86, IncomingKind::Malformed},
      {"tag 1 at 40 bytes", kX86, 40, kX86, IncomingKind::Malformed},
      {"tag 1 at 64 bytes", kX86, 64, kX64, IncomingKind::Malformed},
      {"tag 5 at 44 bytes", kX64, 44, kX64, IncomingKind::Malformed},
      {"tag 5 at 52 bytes", kX64, 52, kX64, IncomingKind::Malformed},
      {"tag 5 at 64 bytes", kX64, 64, kX86, IncomingKind::Malformed},
      {"three bytes", kX86, 3, kX86, IncomingKind::Malformed},
  };
  const ClientRegistration registration = sample();
  for (const auto& c : cases) {
    uint8_t bytes[kPipeBufferSize];
    const size_t own = encodeRegistration(registration, c.layout, bytes);
    const size_t length = c.length == 0 ? own : c.length;
    const IncomingMessage incoming = decodeIncomingMessage(bytes, length, c.served);
    EXPECT_EQ(c.expected, incoming.kind) << c.what;
    if (c.expected != IncomingKind::Malformed) {
      expectSame(asSent(registration, c.layout), incoming.registration, c.what);
    } else if (length >= 8) {
      // Named in the refusal's line all the same.
      EXPECT_EQ(4242u, incoming.registration.processId) << c.what;
    }
  }
}

TEST(ClientRegistrationTest, ARegistrationNeedsItsFourWordsWholeInEitherLayout) {
  using Field = uint64_t ClientRegistration::*;
  const struct {
    const char* what;
    Field address;  // set to `value`; null: the process id is set to 0
    uint64_t value;
    IncomingKind expected;
  } cases[] = {
      {"process id zero", nullptr, 0, IncomingKind::Malformed},
      {"thread id address zero", &ClientRegistration::threadIdAddress, 0, IncomingKind::Malformed},
      {"exception pointers address zero", &ClientRegistration::exceptionPointersAddress, 0,
       IncomingKind::Malformed},
      {"assertion address zero", &ClientRegistration::assertionAddress, 0, IncomingKind::Malformed},
      // The annotation fields may be anything.
      {"annotations address zero", &ClientRegistration::annotationsAddress, 0,
       IncomingKind::Registration},
      // Only the 64-bit layout can say this: it is not zero.
      {"address zero in its low half", &ClientRegistration::threadIdAddress, 0x00000002'00000000ull,
       IncomingKind::Registration},
  };
  for (Architecture layout : {kX86, kX64}) {
    for (const auto& c : cases) {
      ClientRegistration registration = sample();
      if (c.address == nullptr) {
        registration.processId = 0;
      } else {
        registration.*c.address = c.value;
      }
      uint8_t bytes[kPipeBufferSize];
      const size_t length = encodeRegistration(registration, layout, bytes);
      IncomingKind expected = c.expected;
      // The 32-bit layout keeps only the low half of an address.
      if (layout == kX86 && c.value > 0xFFFFFFFFu) expected = IncomingKind::Malformed;
      const std::string what = std::string(c.what) + (layout == kX86 ? " (tag 1)" : " (tag 5)");
      EXPECT_EQ(expected, decodeIncomingMessage(bytes, length, layout).kind) << what;
    }
  }
}

TEST(ClientRegistrationTest, HookRequestsAndOtherTagsInEitherReporter) {
  const struct {
    const char* what;
    uint32_t tag;
    size_t length;
    IncomingKind expected;
  } cases[] = {
      {"hook request", 4, 44, IncomingKind::HookRequest},
      {"hook request at 48 bytes", 4, 48, IncomingKind::Malformed},
      {"hook request at 43 bytes", 4, 43, IncomingKind::Malformed},
      {"a reply", 2, 44, IncomingKind::Malformed},
      {"tag 3", 3, 44, IncomingKind::Malformed},
      {"tag 6", 6, 48, IncomingKind::Malformed},
  };
  for (Architecture served : {kX86, kX64}) {
    for (const auto& c : cases) {
      uint8_t bytes[kPipeBufferSize] = {};
      std::memcpy(bytes, &c.tag, sizeof(c.tag));
      const uint32_t value = 0x12345678;
      std::memcpy(bytes + 4, &value, sizeof(value));
      const IncomingMessage incoming = decodeIncomingMessage(bytes, c.length, served);
      EXPECT_EQ(c.expected, incoming.kind) << c.what;
      if (c.expected == IncomingKind::HookRequest) {
        EXPECT_EQ(value, incoming.hookValue) << c.what;
      }
    }
  }
  EXPECT_EQ(IncomingKind::Malformed, decodeIncomingMessage(nullptr, 44, kX86).kind);
}

}  // namespace
}  // namespace tavra
