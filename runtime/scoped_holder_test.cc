#include "runtime/scoped_holder.h"

#include <windows.h>

#include <vector>

#include "gtest/gtest.h"
#include "runtime/seam.h"

namespace tavra {
namespace {

// Values 1 to 9 stand for objects; 0 is "none" and -1 is a second "none",
// as INVALID_HANDLE_VALUE is beside null for kernel handles.
std::vector<int> g_closed;

struct CountingTraits {
  using Value = int;
  static int invalid() { return 0; }
  static bool isValid(int value) { return value > 0; }
  static void close(int value) { g_closed.push_back(value); }
};
using ScopedCounted = ScopedHolder<CountingTraits>;

TEST(ScopedHolderTest, ReleasesEachValueOnceAndOnlyValidOnes) {
  struct Case {
    const char* name;
    void (*steps)();
    std::vector<int> closed;
  };
  const Case cases[] = {
      {"destroyed", [] { ScopedCounted held(1); }, {1}},
      {"second none", [] { ScopedCounted held(-1); }, {}},
      {"reset to another",
       [] {
         ScopedCounted held(1);
         held.reset(2);
       },
       {1, 2}},
      {"reset to the same",
       [] {
         ScopedCounted held(3);
         held.reset(3);
       },
       {3}},
      {"released",
       [] {
         ScopedCounted held(4);
         EXPECT_EQ(4, held.release());
         EXPECT_FALSE(held.isValid());
       },
       {}},
      {"moved",
       [] {
         ScopedCounted from(5);
         ScopedCounted to(std::move(from));
         EXPECT_FALSE(from.isValid());
         EXPECT_EQ(5, to.get());
       },
       {5}},
      {"move-assigned over a value",
       [] {
         ScopedCounted from(6);
         ScopedCounted to(7);
         to = std::move(from);
         EXPECT_EQ(std::vector<int>{7}, g_closed);
       },
       {7, 6}},
      {"received",
       [] {
         ScopedCounted held(8);
         *held.receive() = 9;
         EXPECT_EQ(9, held.get());
       },
       {8, 9}},
  };
  for (const Case& c : cases) {
    g_closed.clear();
    c.steps();
    EXPECT_EQ(c.closed, g_closed) << c.name;
  }
}

struct WaitedObjects {
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  volatile LONG returned = 0;
};

void CALLBACK slowCallback(void* context, BOOLEAN) {
  WaitedObjects* objects = static_cast<WaitedObjects*>(context);
  SetEvent(objects->started);
  Sleep(300);
  InterlockedExchange(&objects->returned, 1);
}

// What a callback uses may go once its wait's holder is gone: the release
// waits for a callback that is running.
TEST(ScopedHolderTest, WaitReleaseWaitsForTheRunningCallback) {
  WaitedObjects objects;
  ScopedHandle started(objects.started);
  ScopedHandle signalled(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  ASSERT_TRUE(started.isValid());
  ASSERT_TRUE(signalled.isValid());
  {
    ScopedWait wait;
    ASSERT_TRUE(RegisterWaitForSingleObject(wait.receive(), signalled.get(), &slowCallback,
                                            &objects, INFINITE, WT_EXECUTEONLYONCE));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.get(), 10000));
  }
  EXPECT_EQ(1, objects.returned);
}

int WINAPI realAnswer(int value) { return value + 1; }
int WINAPI fakeAnswer(int value) { return value + 100; }
int WINAPI otherAnswer(int value) { return value + 1000; }

TEST(SeamTest, CallsTheReplacementUntilItIsTakenBack) {
  Seam<int(WINAPI*)(int)> seam(&realAnswer);
  EXPECT_EQ(2, seam(1));
  {
    ScopedSeamReplacement<int(WINAPI*)(int)> replaced(&seam, &fakeAnswer);
    EXPECT_EQ(101, seam(1));
    {
      ScopedSeamReplacement<int(WINAPI*)(int)> again(&seam, &otherAnswer);
      EXPECT_EQ(1001, seam(1));
    }
    EXPECT_EQ(101, seam(1));
    seam.replaceForTesting(nullptr);
    EXPECT_EQ(2, seam(1));
  }
  Seam<uint32_t> bound(60000);
  bound.replaceForTesting(5);
  EXPECT_EQ(5u, bound.get());
  bound.replaceForTesting(0);
  EXPECT_EQ(60000u, bound.get());
}

}  // namespace
}  // namespace tavra
