#include "desktop/windows/crash_reporter/server/client_registration.h"

#include <cstring>

namespace tavra {
namespace {

uint32_t wordAt(const uint8_t* bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

bool hasRequiredWords(const ClientRegistration& registration) {
  return registration.processId != 0 && registration.threadIdAddress != 0 &&
         registration.exceptionPointersAddress != 0 && registration.assertionAddress != 0;
}

// Both layouts name the same fields; only their widths and places differ.
template <typename Message>
ClientRegistration fromMessage(const uint8_t* bytes, Architecture layout) {
  Message message;
  std::memcpy(&message, bytes, sizeof(message));
  ClientRegistration registration;
  registration.layout = layout;
  registration.processId = message.processId;
  registration.dumpType = message.dumpType;
  registration.threadIdAddress = message.threadIdAddress;
  registration.exceptionPointersAddress = message.exceptionPointersAddress;
  registration.assertionAddress = message.assertionAddress;
  registration.annotationsAddress = message.annotationsAddress;
  registration.annotationCount = message.annotationCount;
  return registration;
}

}  // namespace

IncomingMessage decodeIncomingMessage(const uint8_t* bytes, size_t length, Architecture served) {
  IncomingMessage incoming;
  if (bytes == nullptr || length < sizeof(uint32_t)) return incoming;
  // The process id sits at the same place in every request, for the
  // refusal's line.
  if (length >= 2 * sizeof(uint32_t)) incoming.registration.processId = wordAt(bytes, 4);
  const uint32_t tag = wordAt(bytes, 0);
  if (tag == static_cast<uint32_t>(PipeMessageTag::HookRequest) && length == sizeof(PipeMessage)) {
    incoming.kind = IncomingKind::HookRequest;
    incoming.hookValue = incoming.registration.processId;
    incoming.registration.processId = 0;
    return incoming;
  }
  if (tag == static_cast<uint32_t>(PipeMessageTag::Register) && length == sizeof(PipeMessage)) {
    incoming.registration = fromMessage<PipeMessage>(bytes, Architecture::kX86);
  } else if (tag == static_cast<uint32_t>(PipeMessageTag::Register64) &&
             length == sizeof(RegisterMessage64)) {
    incoming.registration = fromMessage<RegisterMessage64>(bytes, Architecture::kX8664);
  } else {
    return incoming;
  }
  if (incoming.registration.layout != served) {
    incoming.kind = IncomingKind::OtherWidthRegistration;
  } else if (hasRequiredWords(incoming.registration)) {
    incoming.kind = IncomingKind::Registration;
  }
  return incoming;
}

size_t encodeRegistration(const ClientRegistration& registration, Architecture layout,
                          uint8_t* out) {
  std::memset(out, 0, kPipeBufferSize);
  if (layout == Architecture::kX8664) {
    RegisterMessage64 message = {};
    message.tag = static_cast<uint32_t>(PipeMessageTag::Register64);
    message.processId = registration.processId;
    message.dumpType = registration.dumpType;
    message.annotationCount = registration.annotationCount;
    message.threadIdAddress = registration.threadIdAddress;
    message.exceptionPointersAddress = registration.exceptionPointersAddress;
    message.assertionAddress = registration.assertionAddress;
    message.annotationsAddress = registration.annotationsAddress;
    std::memcpy(out, &message, sizeof(message));
    return sizeof(message);
  }
  PipeMessage message = {};
  message.tag = static_cast<uint32_t>(PipeMessageTag::Register);
  message.processId = registration.processId;
  message.dumpType = registration.dumpType;
  message.threadIdAddress = static_cast<uint32_t>(registration.threadIdAddress);
  message.exceptionPointersAddress = static_cast<uint32_t>(registration.exceptionPointersAddress);
  message.assertionAddress = static_cast<uint32_t>(registration.assertionAddress);
  message.annotationsAddress = static_cast<uint32_t>(registration.annotationsAddress);
  message.annotationCount = registration.annotationCount;
  std::memcpy(out, &message, sizeof(message));
  return sizeof(message);
}

}  // namespace tavra
