// What a hostile browser process does to multiply the reporter's work: it
// registers again and again, keeps the handles of every registration that it
// got, and signals the dump request of each at once, without waiting for its
// answer. The test client runs it on command; the tests read its outcome
// from the client's answer.
//
// Plain functions: the storm runs on the caller's thread.
#ifndef TESTING_BROWSER_CLIENT_REGISTRATION_STORM_H_
#define TESTING_BROWSER_CLIENT_REGISTRATION_STORM_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "testing/browser_client/browser_client.h"

namespace tavra {

struct StormOutcome {
  // Registrations answered, and those that the server hung up on or that
  // failed otherwise.
  uint32_t accepted = 0;
  uint32_t refused = 0;
  uint32_t failed = 0;
  // The most requests of this process signalled and not yet answered
  // (dump-done not set) at once, looked at after each signal: above one, the
  // server was handling more than one crash of this process, or would have.
  uint32_t maxOutstanding = 0;
  // Signalled requests answered before `answerTimeoutMs` ran out.
  uint32_t answered = 0;
};

// `registrations` registrations on the pipe `pipeName`; each accepted one is
// signalled at once with `exceptionPointers` (an address in this process)
// and the calling thread's id. Then waits, at most `answerTimeoutMs` in all,
// for every signalled request to be answered. Every handle goes before it
// returns.
StormOutcome runRegistrationStorm(const std::wstring& pipeName, uint32_t registrations,
                                  ClientAddress exceptionPointers, DWORD answerTimeoutMs);

// "storm accepted=A refused=R failed=F max-outstanding=M answered=N".
std::string describeStorm(const StormOutcome& outcome);
// Reads what describeStorm wrote; false when `line` is not such a line.
bool parseStorm(const std::string& line, StormOutcome* outcome);

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_REGISTRATION_STORM_H_
