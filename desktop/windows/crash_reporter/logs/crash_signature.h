// The crash signature: the exception and the top frames of the crashed
// thread's walk (stack_walk.h) as module+offset, with the frames in the
// operating system's own modules left out, so that one bug signs alike
// wherever its modules were loaded and whatever the system's DLLs were
// updated to. Its rule is written once, in the crash-log reader's
// documentation; the reader computes the same text from the log.
//
// Portable: no system calls, so that it builds on the host. The short hash
// of the text (SHA-256) is the system's: see runtime/sha256_digest.h.
// Threads: pure functions of their arguments.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_SIGNATURE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_SIGNATURE_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/logs/stack_walk.h"

namespace tavra {

struct CrashSignature {
  std::string text;
  // The first 12 lower-case hex digits of the text's SHA-256; empty when it
  // could not be computed.
  std::string shortHash;
};

// Frames that make a signature.
constexpr size_t kSignatureFrames = 5;
// Hex digits of the text's SHA-256 that make its short hash.
constexpr size_t kSignatureHashDigits = 12;

// Whether a module's name, lower-cased (ASCII), is one of the system's own
// DLLs.
bool isSystemModuleName(const char* name);

// The signature's head from the exception as the log writes it: its name
// when the process gave one (`exceptionName` not null), else its code.
std::string signatureHead(const char* exceptionName, uint32_t exceptionCode);

// The signature text: `head`, then the parts of the signature frames of
// `frames` (positions in `modules`, the log's module list); with no frame at
// all, `exceptionFrame` alone. Invalid UTF-8 in names comes out as U+FFFD,
// as a reader that decodes the log finds it.
std::string signatureText(const std::string& head, const std::vector<StackFrame>& frames,
                          const ModuleSpan* modules, const StackFrame& exceptionFrame);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_SIGNATURE_H_
