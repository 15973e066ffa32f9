#include "desktop/windows/crash_reporter/server/reporter_client.h"

#include <new>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

constexpr wchar_t kProcessTimeName[] = L"ptime";

uint64_t currentSystemTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Writes `number` in decimal, NUL-terminated; `out` has room for 64 units,
// far more than the 20 digits and the sign of a 64-bit number.
void writeDecimal(int64_t number, wchar_t* out) {
  wchar_t digits[24];
  size_t length = 0;
  uint64_t magnitude =
      number < 0 ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
  do {
    digits[length++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t position = 0;
  if (number < 0) out[position++] = L'-';
  while (length > 0) out[position++] = digits[--length];
  out[position] = 0;
}

}  // namespace

ReporterClient::ReporterClient(ClientRegistry* registry, const ClientRegistration& registration)
    : registry_(registry),
      processId_(registration.processId),
      dumpType_(registration.dumpType),
      exceptionPointersAddress_(static_cast<TargetAddress>(registration.exceptionPointersAddress)),
      assertionAddress_(static_cast<TargetAddress>(registration.assertionAddress)),
      annotationsAddress_(static_cast<TargetAddress>(registration.annotationsAddress)),
      annotationCount_(registration.annotationCount),
      threadIdAddress_(static_cast<TargetAddress>(registration.threadIdAddress)),
      registeredAt_(currentSystemTime()) {}

bool ReporterClient::open() {
  process_.reset(OpenProcess(GENERIC_ALL, FALSE, processId_));
  if (!process_.isValid()) return false;
  dumpRequestEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!dumpRequestEvent_.isValid()) return false;
  dumpDoneEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return dumpDoneEvent_.isValid();
}

size_t ReporterClient::annotationCopySize(uint32_t annotationCount) {
  if (annotationCount > kMaxAnnotationCount) return 0;
  return (static_cast<size_t>(annotationCount) + 1) * sizeof(ClientAnnotation);
}

bool ReporterClient::readAnnotations() {
  if (annotationCount_ > kMaxAnnotationCount) return false;
  if (!annotations_) {
    const size_t entries = annotationCopySize() / sizeof(ClientAnnotation);
    annotations_.reset(new (std::nothrow) ClientAnnotation[entries]);
    if (!annotations_) return false;
    for (size_t i = 0; i < entries; ++i) {
      annotations_[i].name[0] = 0;
      annotations_[i].value[0] = 0;
    }
    static_assert(sizeof(kProcessTimeName) / sizeof(wchar_t) <= kAnnotationTextUnits, "");
    for (size_t i = 0; i < sizeof(kProcessTimeName) / sizeof(wchar_t); ++i) {
      annotations_[annotationCount_].name[i] = kProcessTimeName[i];
    }
  }
  // The read goes into the client's entries only: "ptime" lies behind them.
  const size_t size = static_cast<size_t>(annotationCount_) * sizeof(ClientAnnotation);
  SIZE_T copied = 0;
  if (size != 0 &&
      !ReadProcessMemory(process_.get(),
                         reinterpret_cast<const void*>(static_cast<uintptr_t>(annotationsAddress_)),
                         annotations_.get(), size, &copied)) {
    return false;
  }
  writeProcessTime();
  return copied == size;
}

void ReporterClient::writeProcessTime() {
  const uint64_t now = currentSystemTime();
  // A system clock set back since the registration must not show as an
  // uptime of half a million years.
  const uint64_t elapsed = now > registeredAt_ ? now - registeredAt_ : 0;
  const uint64_t milliseconds = elapsed / 10 / 1000;
  writeDecimal(static_cast<int64_t>(milliseconds), annotations_[annotationCount_].value);
}

AnnotationView ReporterClient::annotationView() const {
  AnnotationView view;
  if (annotations_) {
    view.entries = annotations_.get();
    view.count = annotationCount_ + 1;
  }
  return view;
}

void ReporterClient::unregisterDumpRequestWait() { dumpRequestWait_.reset(); }

void ReporterClient::unregisterProcessExitWait(bool blocking) {
  if (blocking) {
    processExitWait_.reset();
  } else {
    unregisterWaitFromCallback(&processExitWait_);
  }
}

}  // namespace tavra
