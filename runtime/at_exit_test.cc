#include "runtime/at_exit.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/lazy_instance.h"
#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

struct Recorder {
  std::string order;
};

void recordA(void* context) { static_cast<Recorder*>(context)->order += "a"; }
void recordB(void* context) { static_cast<Recorder*>(context)->order += "b"; }
void recordC(void* context) { static_cast<Recorder*>(context)->order += "c"; }

TEST(AtExitScopeTest, RunsLastInFirstOut) {
  Recorder recorder;
  {
    AtExitScope scope;
    ASSERT_TRUE(AtExitScope::registerCallback(&recordA, &recorder));
    ASSERT_TRUE(AtExitScope::registerCallback(&recordB, &recorder));
    ASSERT_TRUE(AtExitScope::registerCallback(&recordC, &recorder));
    EXPECT_EQ("", recorder.order);
  }
  EXPECT_EQ("cba", recorder.order);
}

TEST(AtExitScopeTest, InnermostScopeTakesRegistrations) {
  Recorder outerRecorder;
  Recorder innerRecorder;
  {
    AtExitScope outer;
    AtExitScope::registerCallback(&recordA, &outerRecorder);
    {
      AtExitScope inner;
      AtExitScope::registerCallback(&recordB, &innerRecorder);
    }
    EXPECT_EQ("b", innerRecorder.order);
    EXPECT_EQ("", outerRecorder.order);
    // After the inner scope closed, the outer one is innermost again.
    AtExitScope::registerCallback(&recordC, &outerRecorder);
  }
  EXPECT_EQ("ca", outerRecorder.order);
}

TEST(AtExitScopeTest, RegistrationWithoutScopeFails) {
  Recorder recorder;
  EXPECT_FALSE(AtExitScope::registerCallback(&recordA, &recorder));
  EXPECT_FALSE(AtExitScope::registerCallback(nullptr, &recorder));
}

void registerAnother(void* context) {
  AtExitScope::registerCallback(&recordB, context);
  static_cast<Recorder*>(context)->order += "x";
}

TEST(AtExitScopeTest, CallbackMayRegisterMore) {
  Recorder recorder;
  {
    AtExitScope scope;
    AtExitScope::registerCallback(&registerAnother, &recorder);
  }
  EXPECT_EQ("xb", recorder.order);
}

struct Counted {
  static LONG alive;
  Counted() { InterlockedIncrement(&alive); }
  ~Counted() { InterlockedDecrement(&alive); }
};
LONG Counted::alive = 0;

LazyInstance<Counted> g_counted;

DWORD WINAPI getCounted(void* result) {
  *static_cast<Counted**>(result) = g_counted.get();
  return 0;
}

TEST(LazyInstanceTest, OneInstanceForAllThreadsUntilScopeCloses) {
  Counted* first = nullptr;
  {
    AtExitScope scope;
    constexpr int kThreads = 8;
    HANDLE threads[kThreads];
    ScopedHandle owners[kThreads];
    Counted* seen[kThreads] = {};
    for (int i = 0; i < kThreads; ++i) {
      owners[i].reset(CreateThread(nullptr, 0, &getCounted, &seen[i], 0, nullptr));
      threads[i] = owners[i].get();
      ASSERT_NE(nullptr, threads[i]);
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(seen[0], seen[i]);
    first = seen[0];
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1, Counted::alive);
  }
  // The scope destroyed the instance; the next use makes a new one.
  EXPECT_EQ(0, Counted::alive);
  {
    AtExitScope scope;
    EXPECT_NE(nullptr, g_counted.get());
    EXPECT_EQ(1, Counted::alive);
  }
  EXPECT_EQ(0, Counted::alive);
}

}  // namespace
}  // namespace tavra
