// The reporter log's lines for the registrations that the server refused:
// one line each, naming the process and the reason, up to a bound per
// minute, so that a process that registers in a loop cannot fill the disk;
// the refusals past the bound are counted, and the count is told in one line
// when the minute is over (at the next refusal after it, or when the
// reporter ends).
//
// Threads: `note` runs on the pipe's wait thread, as the server's refusal
// hook; the destructor on the main thread, after the server has stopped.
// `lock_` guards the minute and its counts; the lines are written under it,
// so that they come in order.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REGISTRATION_REFUSAL_LOG_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REGISTRATION_REFUSAL_LOG_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "desktop/windows/crash_reporter/server/registration_refusal.h"
#include "runtime/scoped_lock.h"

namespace tavra {

class RegistrationRefusalLog {
 public:
  // Refusals with a line of their own within one minute. An ordinary day
  // has none or a few (a process that ended while it registered); twenty
  // show what a storm is made of, while a process that registers in a loop
  // makes at most twenty-one lines a minute, about 3 KB.
  static constexpr uint32_t kLinesPerMinute = 20;
  static constexpr DWORD kMinuteMs = 60 * 1000;

  using Clock = DWORD(WINAPI*)();

  // `clock` gives milliseconds, as GetTickCount does.
  explicit RegistrationRefusalLog(Clock clock = &GetTickCount) : clock_(clock) {}
  // Tells the count of refusals that had no line of their own, if any.
  ~RegistrationRefusalLog();
  RegistrationRefusalLog(const RegistrationRefusalLog&) = delete;
  RegistrationRefusalLog& operator=(const RegistrationRefusalLog&) = delete;

  void note(const RegistrationRefusal& refusal);

 private:
  // Under `lock_`: the line of the refusals counted in the minute, if any;
  // the next refusal begins a new minute.
  void endMinute();

  const Clock clock_;
  SrwLock lock_;
  bool inMinute_ = false;
  DWORD minuteStart_ = 0;
  uint32_t linesInMinute_ = 0;
  uint32_t countedInMinute_ = 0;
};

// "Process 123: registration refused: " and why, e.g. "a crash of it is
// being handled"; "Registration refused: " and why when the message named no
// process.
std::string describeRegistrationRefusal(const RegistrationRefusal& refusal);

// The server's refusal hook: `context` is the RegistrationRefusalLog.
void noteRegistrationRefusal(void* context, const RegistrationRefusal& refusal);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REGISTRATION_REFUSAL_LOG_H_
