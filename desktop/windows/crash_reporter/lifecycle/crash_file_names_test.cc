#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace tavra {
namespace {

TEST(CrashFileNamesTest, NamesCarryTheReporterIdAndTheCrashNumber) {
  const struct {
    uint32_t processId;
    uint32_t crashNumber;
    bool logDirFromEnv;
    const wchar_t* feedbackFile;
    const char* logName;
    const wchar_t* feedbackPath;
    const wchar_t* feedbackTarget;
  } cases[] = {
      // The log directory from the environment: a feedback file per crash.
      {4321, 1, true, L"C:\\logs\\crash_feedback_url.txt", "tavra-crashlog-4321-1.txt",
       L"C:\\logs\\crash_feedback_url-4321-1.txt", L"C:\\logs\\crash_feedback_url-4321-1.txt"},
      // Otherwise the shared file in the user data directory.
      {4321, 2, false, L"C:\\data\\crash_feedback_url.txt", "tavra-crashlog-4321-2.txt", L"",
       L"C:\\data\\crash_feedback_url.txt"},
      {4294967295u, 4294967295u, true, L"D:\\x\\crash_feedback_url.txt",
       "tavra-crashlog-4294967295-4294967295.txt",
       L"D:\\x\\crash_feedback_url-4294967295-4294967295.txt",
       L"D:\\x\\crash_feedback_url-4294967295-4294967295.txt"},
      // Dots in folder names are no extension; a name without one gets the
      // numbers at its end; only the last extension counts.
      {7, 3, true, L"C:\\logs.d\\feedback", "tavra-crashlog-7-3.txt", L"C:\\logs.d\\feedback-7-3",
       L"C:\\logs.d\\feedback-7-3"},
      {7, 3, true, L"C:/logs.d/feedback.old.txt", "tavra-crashlog-7-3.txt",
       L"C:/logs.d/feedback.old-7-3.txt", L"C:/logs.d/feedback.old-7-3.txt"},
      // No feedback file at all: nowhere to write one.
      {7, 4, true, L"", "tavra-crashlog-7-4.txt", L"", L""},
      {7, 4, false, L"", "tavra-crashlog-7-4.txt", L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logName);
    ReporterSettings settings;
    settings.logDirFromEnv = c.logDirFromEnv;
    settings.feedbackFile = c.feedbackFile;
    const CrashFileNames names(c.processId, c.crashNumber, settings);
    EXPECT_EQ(c.logName, names.logName());
    std::string archive = c.logName;
    archive.replace(archive.size() - 4, 4, ".zip");
    EXPECT_EQ(archive, names.archiveName());
    EXPECT_EQ(c.feedbackPath, names.feedbackPath());
    EXPECT_EQ(c.feedbackTarget, names.feedbackTarget());
  }
}

TEST(CrashFileNamesTest, NextCrashUsesThisProcessAndTheSettings) {
  ReporterSettings settings;
  settings.logDirFromEnv = true;
  settings.feedbackFile = L"C:\\logs\\crash_feedback_url.txt";
  const CrashFileNames first = CrashFileNames::forNextCrash(settings);
  const CrashFileNames second = CrashFileNames::forNextCrash(settings);
  const std::string pid = std::to_string(GetCurrentProcessId());
  EXPECT_EQ("tavra-crashlog-" + pid + "-1.txt", first.logName());
  EXPECT_EQ("tavra-crashlog-" + pid + "-2.txt", second.logName());
  EXPECT_EQ(L"C:\\logs\\crash_feedback_url-" + std::to_wstring(GetCurrentProcessId()) + L"-2.txt",
            second.feedbackPath());
  // A source of its own numbers the crash, and the process-wide count stays.
  const CrashFileNames given =
      CrashFileNames::forNextCrash(settings, []() -> uint32_t { return 41; });
  EXPECT_EQ("tavra-crashlog-" + pid + "-41.txt", given.logName());
  EXPECT_EQ(3u, nextCrashNumber());
}

DWORD WINAPI takeNumbers(void* context) {
  std::vector<uint32_t>* numbers = static_cast<std::vector<uint32_t>*>(context);
  for (uint32_t& number : *numbers) number = nextCrashNumber();
  return 0;
}

TEST(CrashFileNamesTest, CrashesHandledAtOnceNeverShareANumber) {
  std::vector<uint32_t> numbers[4];
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    numbers[i].resize(2000);
    threads[i] = CreateThread(nullptr, 0, &takeNumbers, &numbers[i], 0, nullptr);
    ASSERT_NE(nullptr, threads[i]);
  }
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  std::set<uint32_t> all;
  for (const auto& each : numbers) all.insert(each.begin(), each.end());
  // Every number from 1 on, once each.
  ASSERT_EQ(8000u, all.size());
  EXPECT_EQ(1u, *all.begin());
  EXPECT_EQ(8000u, *all.rbegin());
}

}  // namespace
}  // namespace tavra
