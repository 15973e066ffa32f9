// Waiting in a test for something that other threads or processes bring
// about: the predicate is asked again every few milliseconds, so a passing
// test waits only as long as the work takes, and a failing one no longer than
// the bound.
#ifndef TESTING_TEST_SUPPORT_WAIT_UNTIL_H_
#define TESTING_TEST_SUPPORT_WAIT_UNTIL_H_

#include <windows.h>

namespace tavra {

// Whether `predicate` came true within `timeoutMs`. Runs on the caller's
// thread.
template <typename Predicate>
bool waitUntil(Predicate predicate, DWORD timeoutMs = 5000) {
  const DWORD start = GetTickCount();
  while (!predicate()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(5);
  }
  return true;
}

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_WAIT_UNTIL_H_
