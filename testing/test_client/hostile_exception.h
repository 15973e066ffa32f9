// Exception records that mislead the reporter, or that vanish while the
// reporter reads them: what a browser process that is badly broken, or
// hostile, hands over with its dump request.
//
// Everything runs on the test client's command thread.
#ifndef TESTING_TEST_CLIENT_HOSTILE_EXCEPTION_H_
#define TESTING_TEST_CLIENT_HOSTILE_EXCEPTION_H_

#include <cstdint>

#include "testing/browser_client/browser_client.h"

namespace tavra {

// The address of 4 KiB of pseudo-random bytes that stay put for the life of
// the process: read as a thread context, its registers point anywhere and
// its flags and segments are nonsense.
ClientAddress garbageBlockAddress();

// A region of its own holding an EXCEPTION_POINTERS record, its exception
// record and a context whose registers all point into the region; the rest
// of the region is filled with pointers into it. Every read that the
// reporter makes for the crashed thread, the stack and the memory around the
// registers included, lands in the region, so that freeing it at any moment
// cuts one of them short.
class VanishingException {
 public:
  VanishingException() = default;
  // Frees the region if it is still there.
  ~VanishingException();
  VanishingException(const VanishingException&) = delete;
  VanishingException& operator=(const VanishingException&) = delete;

  // Makes the region; false when it cannot be allocated.
  bool create(uint32_t exceptionCode);
  // The address to store in the registered exception pointers word.
  ClientAddress pointersAddress() const;
  // Frees the region; reads of it fail from now on.
  void release();

 private:
  void* region_ = nullptr;
};

}  // namespace tavra

#endif  // TESTING_TEST_CLIENT_HOSTILE_EXCEPTION_H_
