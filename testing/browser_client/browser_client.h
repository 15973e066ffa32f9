// The browser's side of the reporter: registration over the pipe, the
// annotation table and the words the reporter reads, and dump requests.
#ifndef TESTING_BROWSER_CLIENT_BROWSER_CLIENT_H_
#define TESTING_BROWSER_CLIENT_BROWSER_CLIENT_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "desktop/windows/crash_reporter/server/client_annotation.h"
#include "desktop/windows/crash_reporter/server/client_registration.h"
#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "runtime/scoped_holder.h"
#include "runtime/target_width.h"
#include "testing/browser_client/pipe_connection.h"

namespace tavra {

// An address of this process, as its registration and its exception-pointers
// word carry it: 32 bits in a 32-bit client, 64 in a 64-bit one.
using ClientAddress = uintptr_t;
inline ClientAddress clientAddress(const volatile void* pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

// A table of fixed size at a fixed address, which the reporter copies out of
// this process at each dump request. Entries with an empty name are unused.
class AnnotationTable {
 public:
  explicit AnnotationTable(uint32_t capacity);
  AnnotationTable(const AnnotationTable&) = delete;
  AnnotationTable& operator=(const AnnotationTable&) = delete;

  uint32_t capacity() const { return capacity_; }
  ClientAnnotation* entries() { return entries_.get(); }
  const ClientAnnotation* entries() const { return entries_.get(); }
  ClientAddress address() const;

  // Sets the value of `name`, taking the first unused entry for a new name;
  // false when the table is full. Texts longer than 64 units are cut to 64,
  // which then carry no NUL.
  bool set(std::wstring_view name, std::wstring_view value);
  // Overwrites the entry at `index`; false when it is out of range.
  bool setAt(uint32_t index, std::wstring_view name, std::wstring_view value);
  // Fills every entry: names "key<i>", values "value<i>".
  void fillNumbered();
  // Fills every entry with a distinct name and a value of all 64 units, so
  // that neither carries a NUL.
  void fillFullLength();

 private:
  uint32_t capacity_;
  std::unique_ptr<ClientAnnotation[]> entries_;
};

enum class DumpResult {
  Done,
  TimedOut,
  NotRegistered,
  Failed,
};

class BrowserClient {
 public:
  static constexpr DWORD kDefaultTimeoutMs = 5000;

  explicit BrowserClient(uint32_t annotationCapacity);
  BrowserClient(const BrowserClient&) = delete;
  BrowserClient& operator=(const BrowserClient&) = delete;

  AnnotationTable& annotations() { return annotations_; }
  void setDumpType(uint32_t dumpType) { dumpType_ = dumpType; }
  // The layout that its registrations are sent in: by default that of the
  // process's own width (tag 1 or 5). The other width's is refused by the
  // reporter; the tests send it on purpose.
  void setRegistrationLayout(Architecture layout) { layout_ = layout; }
  Architecture registrationLayout() const { return layout_; }

  // What this process registers: its id, the addresses of its two words, of
  // its assertion record and of its table, and the table's size.
  ClientRegistration registration() const;
  // `registration()` in the layout chosen, into `out` (kPipeBufferSize
  // bytes); gives the message's length.
  size_t registrationMessage(uint8_t* out) const {
    return registrationMessage(registration(), out);
  }
  size_t registrationMessage(const ClientRegistration& registration, uint8_t* out) const {
    return encodeRegistration(registration, layout_, out);
  }

  // The whole conversation: connect (waiting while the pipe is busy), write
  // Register, read the reply, write the acknowledgement unless told not to,
  // close. Each step is bounded by `timeoutMs`. Registering again replaces the
  // handles of the earlier registration.
  bool registerWith(const std::wstring& pipeName, DWORD timeoutMs = kDefaultTimeoutMs,
                    bool acknowledge = true);
  bool registerWithReporter(uint32_t reporterProcessId, DWORD timeoutMs = kDefaultTimeoutMs) {
    return registerWith(reporterPipeName(reporterProcessId), timeoutMs);
  }
  bool isRegistered() const { return registered_; }
  // Why the last registration failed: a system error, or ERROR_TIMEOUT, or
  // ERROR_INVALID_DATA for a reply that was not one.
  DWORD lastError() const { return lastError_; }
  // True when the last failed registration ended because the server hung up.
  bool lastFailureWasHangup() const { return hungUp_; }
  const PipeMessage& reply() const { return reply_; }

  HANDLE dumpRequestEvent() const { return dumpRequestEvent_.get(); }
  HANDLE dumpDoneEvent() const { return dumpDoneEvent_.get(); }
  HANDLE serverAliveMutex() const { return serverAliveMutex_.get(); }

  // Stores the thread id and the exception pointers' address in the
  // registered words, signals the dump request and waits for dump-done.
  DumpResult requestDump(uint32_t threadId, ClientAddress exceptionPointersAddress,
                         DWORD timeoutMs = kDefaultTimeoutMs);
  // Only signals; for a process that will not wait.
  bool signalDumpRequest(uint32_t threadId, ClientAddress exceptionPointersAddress);
  // Waits for dump-done after a signalled request.
  DumpResult waitForDumpDone(DWORD timeoutMs = kDefaultTimeoutMs);

  ClientAddress threadIdAddress() const;
  ClientAddress exceptionPointersAddress() const;
  ClientAddress assertionAddress() const;

 private:
  // Kept apart from the object so that their addresses never change. The
  // thread id is a 32-bit word in either width; the exception pointers'
  // address is a word of the process's own width.
  struct RegisteredWords {
    volatile uint32_t threadId;
    volatile ClientAddress exceptionPointers;
    uint8_t assertion[kAssertionRecordSize];
  };

  void forgetRegistration();

  AnnotationTable annotations_;
  std::unique_ptr<RegisteredWords> words_;
  uint32_t dumpType_ = 0;
  Architecture layout_ = kTargetArchitecture;
  bool registered_ = false;
  DWORD lastError_ = 0;
  bool hungUp_ = false;
  PipeMessage reply_ = {};
  ScopedHandle dumpRequestEvent_;
  ScopedHandle dumpDoneEvent_;
  ScopedHandle serverAliveMutex_;
};

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_BROWSER_CLIENT_H_
