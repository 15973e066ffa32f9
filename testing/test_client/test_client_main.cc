// A browser process for the tests, driven by one command per line on its
// standard input; it answers each command with one line on its standard
// output. Commands:
//   info                      ids and the addresses that it registers: "info"
//                             and eleven numbers in the order of the 32-bit
//                             layout's words (tag 1 or 5, process id, dump
//                             type, the four addresses in full, the count,
//                             three zeros), then the command thread's id and
//                             the address of its exception pointers
//   register [nack|other-width]
//                             the whole conversation (nack: no
//                             acknowledgement; other-width: in the layout of
//                             the other width, which the reporter refuses:
//                             "hangup ..." then)
//   register-many N           N whole conversations in a row, each replacing
//                             the last; reports "registered-many SUCCEEDED"
//   storm N [TIMEOUT_MS]      N registrations, each keeping its handles, each
//                             accepted one's dump request signalled at once
//                             with the client's own exception; then waits
//                             for the answers (registration_storm.h). Reports
//                             "storm accepted=... refused=... failed=...
//                             max-outstanding=... answered=..."
//   register-as PID           a Register message of this process naming PID
//                             as its process; reports "hangup" when the server
//                             ended it without a reply, else "reply WORDS..."
//                             (not acknowledged)
//   set NAME VALUE            sets an annotation
//   setat INDEX NAME VALUE    overwrites one entry
//   setat-hex INDEX NAME HEX  the same with the value given as the hex digits
//                             of its UTF-8 bytes (blanks, quotes, line breaks)
//   dump [TIMEOUT_MS]         asks for a dump and waits for dump-done
//   dumps COUNT               COUNT dump requests back to back
//   dump-latency COUNT        the same, timed: "dump-latency DONE mean-us=...
//                             median-us=... p99-us=... max-us=..." over the
//                             requests answered
//   dump-loop                 signals the dump request in a tight loop, not
//                             waiting for dump-done, until the next line comes
//                             on standard input (which it takes) or a minute
//                             has passed; reports "dump-loop SIGNALS"
//   dump-and-exit             signals a dump request and ends at once
//   rights                    the granted access of the three handles, and
//                             whether rights that were not granted are refused
//   wait-mutex TIMEOUT_MS     waits for the server-alive mutex
//   bad-tag | zero-assertion | short | long | too-long | other-tag-length |
//   as-reporter | hook VALUE  one malformed conversation: reports "hangup"
//                             when the server ended it without a reply (long:
//                             the registration with bytes after it, within
//                             the pipe's buffer; too-long: past it;
//                             other-tag-length: the other width's tag at this
//                             width's length)
//   register-and-exit         writes Register and ends without reading
//   connect-and-exit          connects and ends without writing
//   hold                      connects and writes nothing
//   register-hold             writes Register, reads the reply and keeps the
//                             connection without acknowledging
//   read-held TIMEOUT_MS      reads on the held connection
//   dump-raw P R C            a dump request with a hand-made exception: P is
//                             the word stored as the exception pointers'
//                             address, R and C the exception and context record
//                             addresses in the record it points to. Each is a
//                             hex address, "*" for the client's own record
//                             (code E0000001, a context captured on this
//                             thread), or "edge" for an address 4 bytes before
//                             the end of readable memory (memory_edge.h). Reports
//                             "dump done code=... address=... blocked-us=..."
//                             (own record's, the address in the digits of an
//                             address of this width, and the microseconds from
//                             the request to dump done). "garbage" stands for
//                             4 KiB of pseudo-random bytes (hostile_exception.h)
//   dump-vanishing MS         a dump request whose exception, context and
//                             stack lie in a region that is freed MS
//                             milliseconds after the request; reports like
//                             dump-raw
//   dump-then-exit MS         a dump request with the client's own record,
//                             then the process ends itself after MS
//                             milliseconds, whatever the reporter did
//   fill-full                 fills every entry with a name and a value of
//                             64 units, without NUL
//   priority P                sets the priority of this (the command) thread;
//                             reports the priority read back
//   threads N                 starts N threads that block for good; reports
//                             "threads ID..."
//   modules N                 loads system libraries until about N more
//                             modules are loaded; reports "modules ADDED"
//   list-modules              "modules COUNT", then one line per module:
//                             "module BASE SIZE PATH" (hex, hex, UTF-8), as
//                             the process status functions see them
//   list-threads              "threads ID..." of every thread of the process
//   loader-path BASE PATH     makes the loader's record of the module at BASE
//                             (hex) name PATH (UTF-8, the rest of the line) as
//                             its full path; reports "loader-path done"
//   crash KIND [ARG]          installs the crash handler and crashes on this
//                             thread: read ADDR, write ADDR, divide,
//                             breakpoint, raise CODE (hex), stack-overflow,
//                             nested ADDR (a write three calls deep),
//                             deep ADDR (the same in optimised code
//                             without frame pointers).
//                             The handler prints the "crash code=..." line of
//                             crash_trigger.h before it signals the dump
//                             request; the process then ends with the
//                             exception code. Reports "unregistered" instead
//                             of crashing before a registration
//   crash-on EVENT KIND [ARG] as crash, once the named event (made by the
//                             test) is set; reports "armed" before it waits,
//                             so that many processes can crash at one moment
//   exit CODE
// Switches: --reporter-pid=PID or --pipe=NAME; --annotations=COUNT (the table
// size, default 4); --fill (fills the table with key<i>=value<i>);
// --dump-timeout=MS (how long the crash handler and `dump-raw` wait for
// dump-done).
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/command_line.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/browser_client.h"
#include "testing/browser_client/crash_handler.h"
#include "testing/browser_client/memory_edge.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"
#include "testing/browser_client/registration_storm.h"
#include "testing/test_client/crash_trigger.h"
#include "testing/test_client/hostile_exception.h"
#include "testing/test_client/process_self_view.h"
#include "testing/test_support/switch_number.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

constexpr DWORD kTimeoutMs = 5000;

// The bytes that pairs of hex digits spell; an odd last digit is ignored.
std::string bytesOfHex(const std::string& digits) {
  std::string bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes += static_cast<char>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

void reply(const std::string& line) {
  const std::string data = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data.data(), static_cast<DWORD>(data.size()), &written,
            nullptr);
}

bool readCommand(std::string* line) {
  line->clear();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    char c = 0;
    DWORD read = 0;
    if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) return !line->empty();
    if (c == '\n') return true;
    if (c != '\r') line->push_back(c);
  }
}

// What the registration says, as `info` gives it: numbers in the order of the
// 32-bit layout's words, whichever layout carries them.
std::string describeRegistration(const ClientRegistration& registration) {
  const uint32_t tag =
      static_cast<uint32_t>(registration.layout == Architecture::kX8664 ? PipeMessageTag::Register64
                                                                        : PipeMessageTag::Register);
  const uint64_t numbers[] = {tag,
                              registration.processId,
                              registration.dumpType,
                              registration.threadIdAddress,
                              registration.exceptionPointersAddress,
                              registration.assertionAddress,
                              registration.annotationsAddress,
                              registration.annotationCount,
                              0,
                              0,
                              0};
  std::string text;
  for (uint64_t number : numbers) {
    if (!text.empty()) text += ' ';
    text += std::to_string(number);
  }
  return text;
}

std::string words(const PipeMessage& message) {
  const uint32_t* word = reinterpret_cast<const uint32_t*>(&message);
  std::string text;
  for (size_t i = 0; i < sizeof(message) / sizeof(uint32_t); ++i) {
    if (i != 0) text += ' ';
    text += std::to_string(word[i]);
  }
  return text;
}

std::string prefixedHex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(value));
  return text;
}

uint64_t parseHex(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

Architecture otherWidth() {
  return kTargetArchitecture == Architecture::kX8664 ? Architecture::kX86 : Architecture::kX8664;
}

uint32_t grantedAccess(HANDLE handle) {
  PUBLIC_OBJECT_BASIC_INFORMATION info = {};
  ULONG length = 0;
  if (NtQueryObject(handle, ObjectBasicInformation, &info, sizeof(info), &length) != 0) {
    return 0xffffffff;
  }
  return info.GrantedAccess;
}

// "denied" when the call failed for want of a right.
std::string outcome(bool succeeded) {
  if (succeeded) return "ok";
  return GetLastError() == ERROR_ACCESS_DENIED ? "denied"
                                               : "error" + std::to_string(GetLastError());
}

std::string waitOutcome(HANDLE handle) {
  switch (WaitForSingleObject(handle, 0)) {
    case WAIT_OBJECT_0:
      return "signalled";
    case WAIT_ABANDONED:
      return "abandoned";
    case WAIT_TIMEOUT:
      return "timeout";
    default:
      return outcome(false);
  }
}

// Microseconds since construction.
class BlockTimer {
 public:
  BlockTimer() { QueryPerformanceCounter(&start_); }
  double elapsedMicros() const {
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start_.QuadPart) * 1e6 /
           static_cast<double>(frequency().QuadPart);
  }
  // Whole microseconds, as the replies give them.
  std::string elapsedText() const {
    return std::to_string(static_cast<long long>(elapsedMicros()));
  }

 private:
  static LARGE_INTEGER frequency() {
    static const LARGE_INTEGER value = [] {
      LARGE_INTEGER frequency;
      QueryPerformanceFrequency(&frequency);
      return frequency;
    }();
    return value;
  }

  LARGE_INTEGER start_;
};

std::string readControl(HANDLE handle) {
  SECURITY_DESCRIPTOR descriptor;
  DWORD needed = 0;
  // Only the right matters: READ_CONTROL is needed to read an owner.
  const BOOL succeeded = GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, &descriptor,
                                                 sizeof(descriptor), &needed);
  if (!succeeded && GetLastError() == ERROR_INSUFFICIENT_BUFFER) return "ok";
  return outcome(succeeded);
}

class TestClient {
 public:
  TestClient(std::wstring pipeName, uint32_t reporterProcessId, uint32_t capacity, bool fill,
             DWORD dumpTimeoutMs)
      : pipeName_(std::move(pipeName)),
        reporterProcessId_(reporterProcessId),
        client_(capacity),
        dumpTimeoutMs_(dumpTimeoutMs) {
    if (fill) client_.annotations().fillNumbered();
    // Any readable address serves as the exception pointers record here.
    exceptionPointers_ = clientAddress(&exceptionRecord_);
  }

  void run() {
    std::string line;
    while (readCommand(&line)) {
      std::istringstream in(line);
      std::string name;
      in >> name;
      if (name.empty()) continue;
      if (name == "exit") {
        int code = 0;
        in >> code;
        ExitProcess(static_cast<UINT>(code));
      }
      reply(handle(name, in));
    }
  }

 private:
  std::string handle(const std::string& name, std::istringstream& in) {
    if (name == "info") return info();
    if (name == "register") {
      std::string option;
      in >> option;
      client_.setRegistrationLayout(option == "other-width" ? otherWidth() : kTargetArchitecture);
      const bool registered = client_.registerWith(pipeName_, kTimeoutMs, option != "nack");
      client_.setRegistrationLayout(kTargetArchitecture);
      if (!registered) {
        return std::string(client_.lastFailureWasHangup() ? "hangup " : "failed ") +
               std::to_string(client_.lastError());
      }
      return "registered " + words(client_.reply());
    }
    if (name == "register-many") {
      int count = 0;
      in >> count;
      int succeeded = 0;
      for (int i = 0; i < count; ++i) {
        if (client_.registerWith(pipeName_, kTimeoutMs)) ++succeeded;
      }
      return "registered-many " + std::to_string(succeeded);
    }
    if (name == "storm") {
      uint32_t count = 0;
      DWORD timeout = 60000;
      in >> count >> timeout;
      prepareOwnException();
      return describeStorm(
          runRegistrationStorm(pipeName_, count, clientAddress(&rawPointers_), timeout));
    }
    if (name == "register-as") {
      ClientRegistration registration = client_.registration();
      in >> registration.processId;
      return converseWith(registration);
    }
    if (name == "set") {
      std::string key, value;
      in >> key >> value;
      return client_.annotations().set(utf8ToWide(key), utf8ToWide(value)) ? "ok" : "full";
    }
    if (name == "setat" || name == "setat-hex") {
      uint32_t index = 0;
      std::string key, value;
      in >> index >> key >> value;
      if (name == "setat-hex") value = bytesOfHex(value);
      return client_.annotations().setAt(index, utf8ToWide(key), utf8ToWide(value)) ? "ok"
                                                                                    : "range";
    }
    if (name == "dump") {
      DWORD timeout = kTimeoutMs;
      in >> timeout;
      return "dump " +
             dumpText(client_.requestDump(GetCurrentThreadId(), exceptionPointers_, timeout));
    }
    if (name == "dumps") {
      int count = 0;
      in >> count;
      int done = 0;
      for (int i = 0; i < count; ++i) {
        if (client_.requestDump(GetCurrentThreadId(), exceptionPointers_, 2000) ==
            DumpResult::Done) {
          ++done;
        }
      }
      return "dumps " + std::to_string(done);
    }
    if (name == "dump-vanishing") {
      DWORD delay = 0;
      in >> delay;
      return dumpVanishing(delay);
    }
    if (name == "dump-then-exit") {
      DWORD delay = 0;
      in >> delay;
      prepareOwnException();
      client_.signalDumpRequest(GetCurrentThreadId(), clientAddress(&rawPointers_));
      Sleep(delay);
      // Not ExitProcess: the process goes at once, in the middle of whatever
      // the reporter is reading.
      TerminateProcess(GetCurrentProcess(), 7);
    }
    if (name == "fill-full") {
      client_.annotations().fillFullLength();
      return "ok";
    }
    if (name == "dump-latency") {
      int count = 0;
      in >> count;
      return dumpLatency(count);
    }
    if (name == "dump-loop") return dumpLoop();
    if (name == "dump-and-exit") {
      client_.signalDumpRequest(GetCurrentThreadId(), exceptionPointers_);
      ExitProcess(5);
    }
    if (name == "rights") return rights();
    if (name == "wait-mutex") {
      DWORD timeout = kTimeoutMs;
      in >> timeout;
      switch (WaitForSingleObject(client_.serverAliveMutex(), timeout)) {
        case WAIT_OBJECT_0:
          return "mutex acquired";
        case WAIT_ABANDONED:
          return "mutex abandoned";
        case WAIT_TIMEOUT:
          return "mutex timeout";
        default:
          return "mutex " + outcome(false);
      }
    }
    if (name == "bad-tag") {
      uint8_t message[kPipeBufferSize];
      const DWORD size = static_cast<DWORD>(client_.registrationMessage(message));
      const uint32_t tag = 3;
      memcpy(message, &tag, sizeof(tag));
      return converse(message, size);
    }
    if (name == "other-tag-length") {
      // The other width's tag on a message of this width's layout.
      uint8_t message[kPipeBufferSize];
      const DWORD size = static_cast<DWORD>(client_.registrationMessage(message));
      uint8_t other[kPipeBufferSize];
      encodeRegistration(client_.registration(), otherWidth(), other);
      memcpy(message, other, sizeof(uint32_t));
      return converse(message, size);
    }
    if (name == "zero-assertion") {
      ClientRegistration registration = client_.registration();
      registration.assertionAddress = 0;
      return converseWith(registration);
    }
    if (name == "as-reporter") {
      ClientRegistration registration = client_.registration();
      registration.processId = reporterProcessId_;
      return converseWith(registration);
    }
    if (name == "short") {
      uint8_t message[kPipeBufferSize];
      client_.registrationMessage(message);
      return converse(message, 20);
    }
    if (name == "long" || name == "too-long") {
      uint8_t data[kPipeBufferSize + 16] = {};
      const size_t size = client_.registrationMessage(data);
      return converse(data, name == "long" ? static_cast<DWORD>(size + 8) : sizeof(data));
    }
    if (name == "hook") {
      PipeMessage message = {};
      message.tag = static_cast<uint32_t>(PipeMessageTag::HookRequest);
      in >> message.processId;
      return converse(&message, sizeof(message));
    }
    if (name == "register-and-exit") {
      PipeConnection connection;
      if (!connection.connect(pipeName_, kTimeoutMs)) return "failed";
      uint8_t message[kPipeBufferSize];
      const DWORD size = static_cast<DWORD>(client_.registrationMessage(message));
      if (connection.write(message, size, kTimeoutMs) != IoResult::Ok) return "failed";
      ExitProcess(4);
    }
    if (name == "connect-and-exit") {
      PipeConnection connection;
      if (!connection.connect(pipeName_, kTimeoutMs)) return "failed";
      ExitProcess(3);
    }
    if (name == "hold") {
      return held_.connect(pipeName_, kTimeoutMs) ? "connected"
                                                  : "failed " + std::to_string(held_.lastError());
    }
    if (name == "register-hold") {
      if (!held_.connect(pipeName_, kTimeoutMs)) {
        return "failed connect " + std::to_string(held_.lastError());
      }
      uint8_t message[kPipeBufferSize];
      const DWORD size = static_cast<DWORD>(client_.registrationMessage(message));
      if (held_.write(message, size, kTimeoutMs) != IoResult::Ok) {
        return held_.serverHungUp() ? "hangup" : "failed write";
      }
      PipeMessage answer = {};
      DWORD transferred = 0;
      return readOutcome(held_.read(&answer, sizeof(answer), &transferred, kTimeoutMs), held_,
                         answer);
    }
    if (name == "read-held") {
      DWORD timeout = kTimeoutMs;
      in >> timeout;
      PipeMessage message = {};
      DWORD transferred = 0;
      return readOutcome(held_.read(&message, sizeof(message), &transferred, timeout), held_,
                         message);
    }
    if (name == "dump-raw") {
      std::string pointers, record, context;
      in >> pointers >> record >> context;
      return dumpRaw(pointers, record, context);
    }
    if (name == "priority") {
      int priority = 0;
      in >> priority;
      if (!SetThreadPriority(GetCurrentThread(), priority)) return "failed";
      return "priority " + std::to_string(GetThreadPriority(GetCurrentThread()));
    }
    if (name == "threads") {
      uint32_t count = 0;
      in >> count;
      std::vector<uint32_t> ids;
      const bool started = blockedThreads_.start(count, &ids);
      std::string text = started ? "threads" : "failed";
      for (uint32_t id : ids) text += " " + std::to_string(id);
      return text;
    }
    if (name == "modules") {
      uint32_t count = 0;
      in >> count;
      return "modules " + std::to_string(loadSystemLibraries(count));
    }
    if (name == "list-modules") return listModules();
    if (name == "list-threads") {
      std::vector<uint32_t> ids;
      if (!threadIdsOf(GetCurrentProcessId(), &ids)) return "failed";
      std::string text = "threads";
      for (uint32_t id : ids) text += " " + std::to_string(id);
      return text;
    }
    if (name == "loader-path") {
      std::string base, path;
      in >> base;
      std::getline(in >> std::ws, path);
      return rewriteLoaderPath(parseHex(base), utf8ToWide(path)) ? "loader-path done" : "failed";
    }
    if (name == "crash") {
      std::string kindName, argument;
      in >> kindName >> argument;
      CrashKind kind;
      if (!parseCrashKind(kindName, &kind)) return "unknown crash " + kindName;
      if (!CrashHandler::install(&client_, &writeCrashLine, nullptr, dumpTimeoutMs_)) {
        return "unregistered";
      }
      triggerCrash(kind, parseHex(argument));
      return "survived";
    }
    if (name == "crash-on") {
      std::string eventName, kindName, argument;
      in >> eventName >> kindName >> argument;
      CrashKind kind;
      if (!parseCrashKind(kindName, &kind)) return "unknown crash " + kindName;
      if (!CrashHandler::install(&client_, &writeCrashLine, nullptr, dumpTimeoutMs_)) {
        return "unregistered";
      }
      ScopedHandle event(OpenEventW(SYNCHRONIZE, FALSE, utf8ToWide(eventName).c_str()));
      if (!event.isValid()) return "no event";
      reply("armed");
      if (WaitForSingleObject(event.get(), 60000) != WAIT_OBJECT_0) return "not set";
      triggerCrash(kind, parseHex(argument));
      return "survived";
    }
    return "unknown " + name;
  }

  std::string dumpLoop() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD start = GetTickCount();
    uint64_t signals = 0;
    DWORD available = 0;
    for (;;) {
      if (!client_.signalDumpRequest(GetCurrentThreadId(), exceptionPointers_)) return "failed";
      ++signals;
      // Looking at the input costs more than a signal; every so often will do.
      if (signals % 64 != 0) continue;
      if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available != 0 ||
          GetTickCount() - start > kDumpLoopLimitMs) {
        break;
      }
    }
    std::string stopLine;
    if (available != 0) readCommand(&stopLine);
    return "dump-loop " + std::to_string(signals);
  }

  // Every module in one reply: the count line, then a line per module.
  std::string listModules() {
    std::vector<LoadedModule> modules;
    if (!listLoadedModules(&modules)) return "failed";
    std::string text = "modules " + std::to_string(modules.size());
    for (const LoadedModule& module : modules) {
      text += "\nmodule " + hexAddress(module.base) + " " + hex8(module.size) + " " +
              wideToUtf8(module.path);
    }
    return text;
  }

  ClientAddress rawAddress(const std::string& token, ClientAddress own) {
    if (token == "*") return own;
    if (token == "edge") return findEndOfReadableMemory() - 4;
    if (token == "garbage") return garbageBlockAddress();
    return static_cast<ClientAddress>(parseHex(token));
  }

  // The client's own exception: its record and a context captured here.
  void prepareOwnException() {
    ownRecord_ = EXCEPTION_RECORD();
    ownRecord_.ExceptionCode = kOwnExceptionCode;
    ownRecord_.ExceptionAddress = reinterpret_cast<void*>(&RaiseException);
    ownContext_ = CONTEXT();
    RtlCaptureContext(&ownContext_);
    rawPointers_.ExceptionRecord = &ownRecord_;
    rawPointers_.ContextRecord = &ownContext_;
  }

  std::string dumpRaw(const std::string& pointers, const std::string& record,
                      const std::string& context) {
    prepareOwnException();
    rawPointers_.ExceptionRecord =
        reinterpret_cast<EXCEPTION_RECORD*>(rawAddress(record, clientAddress(&ownRecord_)));
    rawPointers_.ContextRecord =
        reinterpret_cast<CONTEXT*>(rawAddress(context, clientAddress(&ownContext_)));
    const ClientAddress word = rawAddress(pointers, clientAddress(&rawPointers_));
    const BlockTimer timer;
    const DumpResult result = client_.requestDump(GetCurrentThreadId(), word, dumpTimeoutMs_);
    return "dump " + dumpText(result) + " code=" + hex8(ownRecord_.ExceptionCode) +
           " address=" + hexAddress(clientAddress(ownRecord_.ExceptionAddress)) +
           " blocked-us=" + timer.elapsedText();
  }

  std::string dumpVanishing(DWORD delayMs) {
    VanishingException exception;
    if (!exception.create(kOwnExceptionCode)) return "failed";
    const BlockTimer timer;
    if (!client_.signalDumpRequest(GetCurrentThreadId(), exception.pointersAddress())) {
      return "dump unregistered";
    }
    Sleep(delayMs);
    exception.release();
    const DumpResult result = client_.waitForDumpDone(dumpTimeoutMs_);
    return "dump " + dumpText(result) + " blocked-us=" + timer.elapsedText();
  }

  std::string dumpLatency(int count) {
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
      const BlockTimer timer;
      if (client_.requestDump(GetCurrentThreadId(), exceptionPointers_, 2000) != DumpResult::Done) {
        continue;
      }
      micros.push_back(timer.elapsedMicros());
    }
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    auto at = [&micros](size_t index) -> long long {
      return micros.empty() ? 0
                            : static_cast<long long>(micros[std::min(index, micros.size() - 1)]);
    };
    return "dump-latency " + std::to_string(micros.size()) + " mean-us=" +
           std::to_string(micros.empty() ? 0 : static_cast<long long>(sum / micros.size())) +
           " median-us=" + std::to_string(at(micros.size() / 2)) +
           " p99-us=" + std::to_string(at(micros.size() * 99 / 100)) +
           " max-us=" + std::to_string(at(micros.size() - 1));
  }

  std::string info() {
    return "info " + describeRegistration(client_.registration()) + " " +
           std::to_string(GetCurrentThreadId()) + " " + std::to_string(exceptionPointers_);
  }

  static std::string dumpText(DumpResult result) {
    switch (result) {
      case DumpResult::Done:
        return "done";
      case DumpResult::TimedOut:
        return "timeout";
      case DumpResult::NotRegistered:
        return "unregistered";
      case DumpResult::Failed:
        break;
    }
    return "failed";
  }

  // Writes `registration` in this width's layout and reports what the server
  // did.
  std::string converseWith(const ClientRegistration& registration) {
    uint8_t message[kPipeBufferSize];
    const DWORD size = static_cast<DWORD>(client_.registrationMessage(registration, message));
    return converse(message, size);
  }

  // Writes one message and reports what the server did.
  std::string converse(const void* data, DWORD size) {
    PipeConnection connection;
    if (!connection.connect(pipeName_, kTimeoutMs)) {
      return "failed connect " + std::to_string(connection.lastError());
    }
    if (connection.write(data, size, kTimeoutMs) != IoResult::Ok) {
      return connection.serverHungUp() ? "hangup" : "failed write";
    }
    PipeMessage message = {};
    DWORD transferred = 0;
    return readOutcome(connection.read(&message, sizeof(message), &transferred, kTimeoutMs),
                       connection, message);
  }

  static std::string readOutcome(IoResult result, const PipeConnection& connection,
                                 const PipeMessage& message) {
    if (result == IoResult::Ok) return "reply " + words(message);
    if (result == IoResult::TimedOut) return "timeout";
    return connection.serverHungUp() ? "hangup"
                                     : "failed read " + std::to_string(connection.lastError());
  }

  std::string rights() {
    if (!client_.isRegistered()) return "unregistered";
    HANDLE request = client_.dumpRequestEvent();
    HANDLE done = client_.dumpDoneEvent();
    HANDLE mutex = client_.serverAliveMutex();
    std::string text = "rights " + prefixedHex(grantedAccess(request)) + " " +
                       prefixedHex(grantedAccess(done)) + " " + prefixedHex(grantedAccess(mutex));
    // What each handle may do and what it may not.
    text += " request-reset=" + outcome(ResetEvent(request) != FALSE);
    text += " request-wait=" + waitOutcome(request);
    text += " done-reset=" + outcome(ResetEvent(done) != FALSE);
    text += " done-wait=" + waitOutcome(done);
    text += " done-readcontrol=" + readControl(done);
    text += " mutex-wait=" + waitOutcome(mutex);
    text += " mutex-readcontrol=" + readControl(mutex);
    return text;
  }

  std::wstring pipeName_;
  uint32_t reporterProcessId_;
  BrowserClient client_;
  PipeConnection held_;
  EXCEPTION_POINTERS exceptionRecord_ = {};
  ClientAddress exceptionPointers_ = 0;

  static constexpr DWORD kOwnExceptionCode = 0xE0000001;
  static constexpr DWORD kDumpLoopLimitMs = 60000;
  DWORD dumpTimeoutMs_;
  BlockedThreads blockedThreads_;
  EXCEPTION_POINTERS rawPointers_ = {};
  EXCEPTION_RECORD ownRecord_ = {};
  CONTEXT ownContext_ = {};
};

}  // namespace
}  // namespace tavra

int main() {
  using tavra::CommandLine;
  CommandLine::initForCurrentProcess();
  const CommandLine& line = CommandLine::forCurrentProcess();
  const uint32_t reporter = tavra::switchNumber(line, "reporter-pid", 0);
  std::wstring pipeName = line.switchValue("pipe");
  if (pipeName.empty()) pipeName = tavra::reporterPipeName(reporter);
  const uint32_t capacity = tavra::switchNumber(line, "annotations", 4);
  const DWORD dumpTimeoutMs =
      tavra::switchNumber(line, "dump-timeout", tavra::CrashHandler::kDefaultDumpDoneTimeoutMs);
  tavra::TestClient client(pipeName, reporter, capacity, line.hasSwitch("fill"), dumpTimeoutMs);
  client.run();
  return 0;
}
