#include "runtime/path_service.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/scoped_temp_dir.h"
#include "testing/test_support/scoped_current_directory.h"

namespace tavra {
namespace {

// Keys that no real provider answers.
constexpr int kKeyA = 7001;
constexpr int kKeyB = 7002;
constexpr int kKeyC = 7003;

// What the test providers saw; reset by the fixture.
LONG volatile g_firstCalls = 0;
LONG volatile g_secondCalls = 0;

bool firstProvider(int key, std::wstring* path) {
  InterlockedIncrement(&g_firstCalls);
  if (key == kKeyA) {
    *path = L"C:\\first\\a";
    return true;
  }
  if (key == kKeyB) {
    *path = L"C:\\first\\b";
    return true;
  }
  if (key == DIR_EXE) {
    *path = L"C:\\first\\exe";
    return true;
  }
  return false;
}

bool secondProvider(int key, std::wstring* path) {
  InterlockedIncrement(&g_secondCalls);
  if (key == kKeyA) {
    *path = L"C:\\second\\a";
    return true;
  }
  return false;
}

// Answers kKeyC from kKeyA: the service must not hold its lock while it asks.
bool recursiveProvider(int key, std::wstring* path) {
  if (key != kKeyC) return false;
  std::wstring base;
  if (!PathService::get(kKeyA, &base)) return false;
  *path = joinPath(base, L"child");
  return true;
}

// Gives a different answer on every call, so a test can see which one stuck.
LONG volatile g_answerNumber = 0;
bool changingProvider(int key, std::wstring* path) {
  if (key != kKeyA) return false;
  LONG number = InterlockedIncrement(&g_answerNumber);
  Sleep(1);  // Widens the window in which several threads compute at once.
  *path = L"C:\\answer\\" + std::to_wstring(number);
  return true;
}

class PathServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    PathService::resetForTesting();
    g_firstCalls = 0;
    g_secondCalls = 0;
    g_answerNumber = 0;
  }
  void TearDown() override { PathService::resetForTesting(); }
};

TEST_F(PathServiceTest, ProviderIsAskedOncePerKey) {
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(L"C:\\first\\a", path);
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(L"C:\\first\\a", path);
  EXPECT_EQ(1, g_firstCalls);
  ASSERT_TRUE(PathService::get(kKeyB, &path));
  EXPECT_EQ(L"C:\\first\\b", path);
  EXPECT_EQ(2, g_firstCalls);
}

TEST_F(PathServiceTest, UnansweredKeyFailsAndLeavesPathAlone) {
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  std::wstring path = L"untouched";
  EXPECT_FALSE(PathService::get(kKeyC, &path));
  EXPECT_EQ(L"untouched", path);
  // Failures are not cached: a provider registered later is asked.
  PathService::registerProvider(recursiveProvider, kKeyC, kKeyC);
  EXPECT_TRUE(PathService::get(kKeyC, &path));
  EXPECT_FALSE(PathService::get(kKeyA, nullptr));
}

TEST_F(PathServiceTest, LastRegisteredProviderIsAskedFirst) {
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  PathService::registerProvider(secondProvider, kKeyA, kKeyA);
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(L"C:\\second\\a", path);
  EXPECT_EQ(0, g_firstCalls);
  // The newer provider declines kKeyB, so the older one answers it. The key
  // range does not keep the newer one from being asked.
  ASSERT_TRUE(PathService::get(kKeyB, &path));
  EXPECT_EQ(L"C:\\first\\b", path);
  EXPECT_EQ(2, g_secondCalls);
  EXPECT_EQ(1, g_firstCalls);
}

TEST_F(PathServiceTest, RuntimeKeysAreAnsweredLast) {
  std::wstring exeDir;
  ASSERT_TRUE(getExecutableDirectory(&exeDir));
  std::wstring path;
  ASSERT_TRUE(PathService::get(DIR_EXE, &path));
  EXPECT_EQ(exeDir, path);
  // The test program is one statically linked module.
  ASSERT_TRUE(PathService::get(DIR_MODULE, &path));
  EXPECT_EQ(exeDir, path);

  wchar_t roaming[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming)));
  ASSERT_TRUE(PathService::get(DIR_APP_DATA, &path));
  EXPECT_EQ(std::wstring(roaming), path);
  wchar_t local[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local)));
  ASSERT_TRUE(PathService::get(DIR_LOCAL_APP_DATA, &path));
  EXPECT_EQ(std::wstring(local), path);

  // A registered provider that answers a runtime key wins over the runtime.
  PathService::resetForTesting();
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  ASSERT_TRUE(PathService::get(DIR_EXE, &path));
  EXPECT_EQ(L"C:\\first\\exe", path);
}

TEST_F(PathServiceTest, ProviderMayAskForOtherKeys) {
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  PathService::registerProvider(recursiveProvider, kKeyC, kKeyC);
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyC, &path));
  EXPECT_EQ(L"C:\\first\\a\\child", path);
  // The inner request was cached like any other.
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(1, g_firstCalls);
}

TEST_F(PathServiceTest, OverrideCreatesDirectoryAndWins) {
  ScopedTempDir temp;
  ASSERT_TRUE(temp.create());
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyA, &path));

  std::wstring target = joinPath(joinPath(temp.path(), L"new"), L"nested");
  ASSERT_FALSE(directoryExists(target));
  ASSERT_TRUE(PathService::overridePath(kKeyA, target + L"\\"));
  EXPECT_TRUE(directoryExists(target));
  // The override replaces the answer cached before it.
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(target, path);

  // Keys built on the overridden one are computed afresh.
  PathService::registerProvider(recursiveProvider, kKeyC, kKeyC);
  ASSERT_TRUE(PathService::get(kKeyC, &path));
  ASSERT_TRUE(PathService::overridePath(kKeyA, temp.path()));
  ASSERT_TRUE(PathService::get(kKeyC, &path));
  EXPECT_EQ(joinPath(temp.path(), L"child"), path);
}

TEST_F(PathServiceTest, OverrideMakesRelativePathsAbsolute) {
  ScopedTempDir temp;
  ASSERT_TRUE(temp.create());
  bool overridden = false;
  {
    ScopedCurrentDirectory current;
    ASSERT_TRUE(current.enter(temp.path()));
    overridden = PathService::overridePath(kKeyB, L"relative");
  }
  ASSERT_TRUE(overridden);
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyB, &path));
  EXPECT_EQ(joinPath(temp.path(), L"relative"), path);
  EXPECT_TRUE(directoryExists(path));
}

TEST_F(PathServiceTest, OverrideFailsWhenDirectoryCannotBeMade) {
  ScopedTempDir temp;
  ASSERT_TRUE(temp.create());
  std::wstring file = joinPath(temp.path(), L"file");
  ASSERT_TRUE(writeFile(file, "x"));
  PathService::registerProvider(firstProvider, kKeyA, kKeyB);
  EXPECT_FALSE(PathService::overridePath(kKeyA, joinPath(file, L"below")));
  EXPECT_FALSE(PathService::overridePath(kKeyA, file));
  EXPECT_FALSE(PathService::overridePath(kKeyA, L""));
  std::wstring path;
  ASSERT_TRUE(PathService::get(kKeyA, &path));
  EXPECT_EQ(L"C:\\first\\a", path);
}

TEST_F(PathServiceTest, ConcurrentCallersSeeOneAnswer) {
  PathService::registerProvider(changingProvider, kKeyA, kKeyA);
  constexpr int kThreads = 8;
  std::vector<std::wstring> answers(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&answers, i] { PathService::get(kKeyA, &answers[i]); });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::wstring> distinct(answers.begin(), answers.end());
  EXPECT_EQ(1u, distinct.size());
  EXPECT_FALSE(answers[0].empty());
  std::wstring later;
  ASSERT_TRUE(PathService::get(kKeyA, &later));
  EXPECT_EQ(answers[0], later);
}

TEST(ScopedTempDirTest, CreatesUniqueDirectoriesAndRemovesTheirContents) {
  std::wstring kept;
  {
    ScopedTempDir first;
    ScopedTempDir second;
    ASSERT_TRUE(first.create(L"tavra-test"));
    ASSERT_TRUE(second.create(L"tavra-test"));
    EXPECT_NE(first.path(), second.path());
    EXPECT_FALSE(first.create());  // One directory per owner.
    kept = first.path();
    std::wstring nested = joinPath(joinPath(kept, L"a"), L"b");
    ASSERT_TRUE(createDirectoryWithParents(nested));
    ASSERT_TRUE(writeFile(joinPath(nested, L"f.txt"), "data"));
    std::wstring readOnly = joinPath(kept, L"ro.txt");
    ASSERT_TRUE(writeFile(readOnly, "r"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  }
  EXPECT_FALSE(pathExists(kept));
}

}  // namespace
}  // namespace tavra
