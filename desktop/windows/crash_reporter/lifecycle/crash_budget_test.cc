#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/uncaptured_log_lines_test_support.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace {

constexpr uint64_t kNow = 1700000000;
constexpr uint64_t kDay = kCrashBudgetWindowSeconds;
// Long enough that concurrent tests never fall back on their own records.
constexpr DWORD kPatientWaitMs = 60000;

const std::string kA = "aaaaaaaaaaaa";
const std::string kB = "bbbbbbbbbbbb";
const std::string kC = "cccccccccccc";

using Verdict = CrashBudgetVerdict;
using Note = CrashBudgetFileNote;

class CrashBudgetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  std::wstring statePath() const { return joinPath(dir_.path(), kCrashBudgetFileName); }

  std::vector<CrashBudgetRecord> fileRecords() const {
    std::string text;
    std::vector<CrashBudgetRecord> records;
    EXPECT_TRUE(readFileToString(statePath(), &text));
    EXPECT_TRUE(parseCrashBudgetState(text, &records)) << text;
    return records;
  }

  ScopedTempDir dir_{L"crash_budget"};
};

// One crash asked about: its hash and time, and what the budget must say.
struct Ask {
  std::string hash;
  uint64_t time;
  Verdict verdict;
};

TEST_F(CrashBudgetTest, DecidesPerSignaturePerDayAndWithinTheWindow) {
  struct Case {
    const char* name;
    CrashBudgetLimits limits;
    std::vector<Ask> asks;
  };
  const Verdict ok = Verdict::kAdmitted;
  const Verdict overSignature = Verdict::kOverSignature;
  const Verdict overDay = Verdict::kOverDay;
  const Case cases[] = {
      {"three of one signature, then another signature",
       {3, 30},
       {{kA, kNow, ok}, {kA, kNow, ok}, {kA, kNow, ok}, {kA, kNow, overSignature}, {kB, kNow, ok}}},
      {"crashes without a signature count as one signature of their own",
       {2, 0},
       {{"", kNow, ok}, {"not a hash", kNow, ok}, {"", kNow, overSignature}, {kA, kNow, ok}}},
      {"a crash over the budget is not counted",
       {1, 2},
       {{kA, kNow, ok}, {kA, kNow, overSignature}, {kB, kNow, ok}, {kC, kNow, overDay}}},
      {"0 turns both limits off",
       {0, 0},
       {{kA, kNow, ok}, {kA, kNow, ok}, {kA, kNow, ok}, {kA, kNow, ok}, {kA, kNow, ok}}},
      {"the day's limit alone", {0, 2}, {{kA, kNow, ok}, {kA, kNow, ok}, {kB, kNow, overDay}}},
      {"a record counts for 24 hours less a second",
       {1, 0},
       {{kA, kNow, ok}, {kA, kNow + kDay - 1, overSignature}, {kA, kNow + kDay, ok}}},
      {"records from beyond the tolerance ahead are dropped (the clock was set back)",
       {1, 0},
       {{kA, kNow + kCrashBudgetFutureToleranceSeconds + 1, ok}, {kA, kNow, ok}}},
      {"records within the tolerance ahead count",
       {1, 0},
       {{kA, kNow + kCrashBudgetFutureToleranceSeconds, ok}, {kA, kNow, overSignature}}},
  };
  for (const Case& c : cases) {
    ScopedTempDir dir(L"crash_budget_case");
    CrashBudget budget(c.limits, joinPath(dir.path(), kCrashBudgetFileName));
    for (size_t i = 0; i < c.asks.size(); ++i) {
      const CrashBudgetDecision decision = budget.admit(c.asks[i].hash, c.asks[i].time);
      EXPECT_EQ(c.asks[i].verdict, decision.verdict) << c.name << ", crash " << i;
      EXPECT_EQ(Note::kNone, decision.note) << c.name << ", crash " << i;
    }
    // Without a limit there is nothing to keep: no file is made.
    const bool limited = c.limits.perSignature != 0 || c.limits.perDay != 0;
    EXPECT_EQ(limited, pathExists(joinPath(dir.path(), kCrashBudgetFileName))) << c.name;
  }
}

// The browser starts a new reporter after a crash: the budget goes on where
// the last one left it, counting each of its crashes once.
TEST_F(CrashBudgetTest, HoldsAcrossAReporterRestart) {
  {
    CrashBudget first({3, 4}, statePath());
    for (const std::string& hash : {kA, kA, kA}) {
      ASSERT_EQ(Verdict::kAdmitted, first.admit(hash, kNow).verdict);
    }
  }
  CrashBudget second({3, 4}, statePath());
  EXPECT_EQ(Verdict::kOverSignature, second.admit(kA, kNow + 10).verdict);
  EXPECT_EQ(Verdict::kAdmitted, second.admit(kB, kNow + 10).verdict);
  EXPECT_EQ(Verdict::kOverDay, second.admit(kC, kNow + 10).verdict);
  EXPECT_EQ(4u, fileRecords().size());
}

// Two reporters on one file, each handling crashes on several threads, all
// of them crashes of the same signatures in the same order: each signature
// is admitted exactly once, and each admitted crash is in the file once.
TEST_F(CrashBudgetTest, TwoBudgetsOnSeveralThreadsShareTheLimits) {
  constexpr int kThreadsPerBudget = 4;
  constexpr int kSignatures = 60;
  const CrashBudgetLimits limits = {1, 0};
  CrashBudget budgets[2] = {{limits, statePath(), &currentUnixTime, kPatientWaitMs},
                            {limits, statePath(), &currentUnixTime, kPatientWaitMs}};
  std::vector<std::string> hashes;
  for (int i = 0; i < kSignatures; ++i) {
    char hash[13];
    snprintf(hash, sizeof(hash), "%012x", i);
    hashes.push_back(hash);
  }
  std::atomic<int> admitted{0};
  std::atomic<int> notes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2 * kThreadsPerBudget; ++t) {
    threads.emplace_back([&, t] {
      for (const std::string& hash : hashes) {
        const CrashBudgetDecision decision = budgets[t % 2].admit(hash, kNow);
        if (decision.admitted()) ++admitted;
        if (decision.note != Note::kNone) ++notes;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kSignatures, admitted.load());
  EXPECT_EQ(0, notes.load());
  std::map<std::string, int> perHash;
  for (const CrashBudgetRecord& record : fileRecords()) ++perHash[record.shortHash];
  EXPECT_EQ(static_cast<size_t>(kSignatures), perHash.size());
  for (const auto& entry : perHash) EXPECT_EQ(1, entry.second) << entry.first;
}

// A damaged or unusable file does not stop reporting: the budget keeps its
// own records, and tells of the file once.
TEST_F(CrashBudgetTest, ADamagedOrUnusableFileLeavesTheBudgetItsOwnRecords) {
  struct Case {
    const char* name;
    void (*spoil)(const std::wstring& path, ScopedHandle* holder);
    Note note;
    bool repaired;
  };
  const Case cases[] = {
      {"damaged",
       [](const std::wstring& path, ScopedHandle*) {
         ASSERT_TRUE(writeFile(path, "tavra-crash-budget 1\nnot a record\n"));
       },
       Note::kDamaged, true},
      {"a folder in its place",
       [](const std::wstring& path, ScopedHandle*) {
         ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
       },
       Note::kUnreadable, false},
      {"held by another reporter beyond the wait",
       [](const std::wstring& path, ScopedHandle* holder) {
         ASSERT_TRUE(writeFile(path, ""));
         holder->reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
         ASSERT_TRUE(holder->isValid());
       },
       Note::kUnreadable, false},
  };
  for (const Case& c : cases) {
    ScopedTempDir dir(L"crash_budget_case");
    const std::wstring path = joinPath(dir.path(), kCrashBudgetFileName);
    CrashBudget budget({2, 0}, path, &currentUnixTime, 50);
    ASSERT_EQ(Verdict::kAdmitted, budget.admit(kA, kNow).verdict) << c.name;
    ScopedHandle holder;
    // Spoiled after a crash was recorded, so that only the budget's own
    // record still knows of it.
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) deleteFile(path);
    c.spoil(path, &holder);

    const CrashBudgetDecision second = budget.admit(kA, kNow + 1);
    EXPECT_EQ(Verdict::kAdmitted, second.verdict) << c.name;
    EXPECT_EQ(c.note, second.note) << c.name;
    EXPECT_EQ(c.note == Note::kUnreadable, second.error != 0) << c.name;
    const CrashBudgetDecision third = budget.admit(kA, kNow + 2);
    EXPECT_EQ(Verdict::kOverSignature, third.verdict) << c.name;
    EXPECT_EQ(Note::kNone, third.note) << c.name << ": told once";
    // A file held past the wait is left alone for a while: released now, it
    // is still not written.
    if (c.note == Note::kUnreadable && holder.isValid()) {
      holder.reset();
      EXPECT_EQ(Verdict::kOverSignature, budget.admit(kA, kNow + 3).verdict) << c.name;
      std::string text;
      ASSERT_TRUE(readFileToString(path, &text)) << c.name;
      EXPECT_EQ("", text) << c.name;
    }
    if (c.repaired) {
      std::string text;
      std::vector<CrashBudgetRecord> records;
      ASSERT_TRUE(readFileToString(path, &text)) << c.name;
      EXPECT_TRUE(parseCrashBudgetState(text, &records)) << c.name;
      EXPECT_EQ(2u, records.size()) << c.name;
    }
  }
}

TEST_F(CrashBudgetTest, TheReporterLogNamesTheSignatureAndTheFilesTrouble) {
  testing_support::UncapturedLogLines lines;
  CrashIdentity crash;
  crash.number = 4;
  crash.clientProcessId = 120;
  CrashBudgetDecision decision;
  decision.verdict = Verdict::kOverSignature;
  decision.limit = 3;
  decision.note = Note::kUnreadable;
  decision.error = 5;
  logCrashBudgetDecision(crash, "0123456789ab", L"C:\\crashes\\tavra-crash-budget.txt", decision);
  decision.verdict = Verdict::kOverDay;
  decision.limit = 30;
  decision.note = Note::kNone;
  logCrashBudgetDecision(crash, "0123456789ab", L"unused", decision);
  logCrashBudgetDecision(crash, "", L"unused", decision);
  decision.verdict = Verdict::kOverSignature;
  decision.limit = 3;
  logCrashBudgetDecision(crash, "", L"unused", decision);
  decision.verdict = Verdict::kAdmitted;
  logCrashBudgetDecision(crash, "0123456789ab", L"unused", decision);
  EXPECT_EQ(
      "WARNING:The crash budget's state file C:\\crashes\\tavra-crash-budget.txt could not be "
      "read (error 5): until it can, only this reporter's own crashes count\n"
      "INFO:Crash 4 of process 120: not reported: over the crash budget (3 of signature "
      "0123456789ab in 24 hours)\n"
      "INFO:Crash 4 of process 120: not reported: over the crash budget (30 crashes in 24 hours; "
      "signature 0123456789ab)\n"
      "INFO:Crash 4 of process 120: not reported: over the crash budget (30 crashes in 24 hours; "
      "no signature)\n"
      "INFO:Crash 4 of process 120: not reported: over the crash budget (3 without a signature in "
      "24 hours)\n",
      lines.text());
}

}  // namespace
}  // namespace tavra
