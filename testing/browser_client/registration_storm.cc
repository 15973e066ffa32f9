#include "testing/browser_client/registration_storm.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "testing/browser_client/browser_client.h"

namespace tavra {
namespace {

constexpr uint32_t kTableEntries = 4;
constexpr DWORD kRegistrationTimeoutMs = 5000;

bool isAnswered(const BrowserClient& client) {
  return WaitForSingleObject(client.dumpDoneEvent(), 0) == WAIT_OBJECT_0;
}

}  // namespace

StormOutcome runRegistrationStorm(const std::wstring& pipeName, uint32_t registrations,
                                  ClientAddress exceptionPointers, DWORD answerTimeoutMs) {
  StormOutcome outcome;
  // Each registration has a client of its own, whose handles it keeps.
  std::vector<std::unique_ptr<BrowserClient>> signalled;
  for (uint32_t i = 0; i < registrations; ++i) {
    std::unique_ptr<BrowserClient> client(new BrowserClient(kTableEntries));
    if (!client->registerWith(pipeName, kRegistrationTimeoutMs)) {
      ++(client->lastFailureWasHangup() ? outcome.refused : outcome.failed);
      continue;
    }
    ++outcome.accepted;
    if (!client->signalDumpRequest(GetCurrentThreadId(), exceptionPointers)) {
      ++outcome.failed;
      continue;
    }
    signalled.push_back(std::move(client));
    uint32_t outstanding = 0;
    for (const std::unique_ptr<BrowserClient>& each : signalled) outstanding += !isAnswered(*each);
    if (outstanding > outcome.maxOutstanding) outcome.maxOutstanding = outstanding;
  }
  const DWORD start = GetTickCount();
  for (const std::unique_ptr<BrowserClient>& each : signalled) {
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent < answerTimeoutMs ? answerTimeoutMs - spent : 0;
    if (each->waitForDumpDone(left) == DumpResult::Done) ++outcome.answered;
  }
  return outcome;
}

std::string describeStorm(const StormOutcome& outcome) {
  return "storm accepted=" + std::to_string(outcome.accepted) +
         " refused=" + std::to_string(outcome.refused) +
         " failed=" + std::to_string(outcome.failed) +
         " max-outstanding=" + std::to_string(outcome.maxOutstanding) +
         " answered=" + std::to_string(outcome.answered);
}

bool parseStorm(const std::string& line, StormOutcome* outcome) {
  unsigned accepted = 0, refused = 0, failed = 0, maxOutstanding = 0, answered = 0;
  char end = 0;
  if (std::sscanf(line.c_str(),
                  "storm accepted=%u refused=%u failed=%u max-outstanding=%u answered=%u%c",
                  &accepted, &refused, &failed, &maxOutstanding, &answered, &end) != 5) {
    return false;
  }
  outcome->accepted = accepted;
  outcome->refused = refused;
  outcome->failed = failed;
  outcome->maxOutstanding = maxOutstanding;
  outcome->answered = answered;
  return true;
}

}  // namespace tavra
