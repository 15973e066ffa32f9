#include "desktop/windows/crash_reporter/lifecycle/registration_refusal_log.h"

#include "runtime/logging.h"
#include "runtime/target_width.h"

namespace tavra {
namespace {

const char* reasonText(RefusalReason reason) {
  switch (reason) {
    case RefusalReason::Malformed:
      return "not a well-formed registration";
    case RefusalReason::OtherWidthRegistration:
      return kTargetArchitecture == Architecture::kX8664
                 ? "it sent the 32-bit registration; this reporter serves 64-bit processes"
                 : "it sent the 64-bit registration; this reporter serves 32-bit processes";
    case RefusalReason::OtherWidthProcess:
      return kTargetArchitecture == Architecture::kX8664
                 ? "it is not a 64-bit process; this reporter serves 64-bit processes"
                 : "it is not a 32-bit process; this reporter serves 32-bit processes";
    case RefusalReason::ClientProcessUnknown:
      return "the system cannot tell which process sent it";
    case RefusalReason::NotTheConnectedProcess:
      return "another process sent it";
    case RefusalReason::TooManyRecords:
      return "the bound on registered processes is reached";
    case RefusalReason::AnnotationBytesExhausted:
      return "the bound on the memory of annotation tables is reached";
    case RefusalReason::CrashBeingHandled:
      return "a crash of it is being handled";
    case RefusalReason::ProcessNotOpened:
      return "the process could not be opened, or its handles not made";
    case RefusalReason::NotEnlisted:
      return "its waits could not be registered";
    case RefusalReason::ReplyNotDelivered:
      return "the reply did not reach it";
    case RefusalReason::Stopping:
      return "the reporter is stopping";
  }
  return "unknown reason";
}

}  // namespace

std::string describeRegistrationRefusal(const RegistrationRefusal& refusal) {
  std::string text;
  if (refusal.processId != 0) text = "Process " + std::to_string(refusal.processId) + ": ";
  text += refusal.processId != 0 ? "registration refused: " : "Registration refused: ";
  text += reasonText(refusal.reason);
  // The sender, where the system named it and it is not the process named.
  if (refusal.connectedProcessId != 0 && refusal.connectedProcessId != refusal.processId) {
    text += " (sent by process " + std::to_string(refusal.connectedProcessId) + ")";
  }
  return text;
}

RegistrationRefusalLog::~RegistrationRefusalLog() {
  ScopedSrwLock hold(&lock_);
  endMinute();
}

void RegistrationRefusalLog::note(const RegistrationRefusal& refusal) {
  ScopedSrwLock hold(&lock_);
  const DWORD now = clock_();
  if (inMinute_ && now - minuteStart_ >= kMinuteMs) endMinute();
  if (!inMinute_) {
    inMinute_ = true;
    minuteStart_ = now;
  }
  if (linesInMinute_ < kLinesPerMinute) {
    ++linesInMinute_;
    TAVRA_LOG(WARNING) << describeRegistrationRefusal(refusal);
    return;
  }
  ++countedInMinute_;
}

void RegistrationRefusalLog::endMinute() {
  if (countedInMinute_ != 0) {
    TAVRA_LOG(WARNING) << "Registrations refused: " << countedInMinute_
                       << " more within a minute, not logged one by one";
  }
  inMinute_ = false;
  linesInMinute_ = 0;
  countedInMinute_ = 0;
}

void noteRegistrationRefusal(void* context, const RegistrationRefusal& refusal) {
  if (context == nullptr) return;
  static_cast<RegistrationRefusalLog*>(context)->note(refusal);
}

}  // namespace tavra
