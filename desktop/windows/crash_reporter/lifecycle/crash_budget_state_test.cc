// Portable: also built for the host, under the sanitizers (tools/fuzz.sh).
#include "desktop/windows/crash_reporter/lifecycle/crash_budget_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavra {
namespace {

const std::string kHeader = std::string(kCrashBudgetHeader) + "\n";
const std::string kRecord = "1700000000 0123456789ab 00000e1000000001 1\n";

TEST(CrashBudgetStateTest, ReadsWellFormedTexts) {
  struct Case {
    std::string text;
    size_t records;
  };
  const Case cases[] = {
      {"", 0},  // created, never written
      {kHeader, 0},
      {kHeader + kRecord, 1},
      {kHeader + "0 ffffffffffff 0000000000000000 1\n", 1},
      {kHeader + "18446744073709551615 0123456789ab ffffffffffffffff 4294967295\n", 1},
      {kHeader + kRecord + "1700000000 0123456789ab 00000e1000000001 2\n", 2},
      // The same number from another budget is another crash.
      {kHeader + kRecord + "1700000000 0123456789ab 00000e1000000002 1\n", 2},
  };
  for (const Case& c : cases) {
    std::vector<CrashBudgetRecord> records(3);
    EXPECT_TRUE(parseCrashBudgetState(c.text, &records)) << c.text;
    EXPECT_EQ(c.records, records.size()) << c.text;
  }
  std::vector<CrashBudgetRecord> records;
  ASSERT_TRUE(parseCrashBudgetState(kHeader + kRecord, &records));
  EXPECT_EQ(1700000000u, records[0].time);
  EXPECT_EQ("0123456789ab", records[0].shortHash);
  EXPECT_EQ(0x00000e1000000001ull, records[0].origin);
  EXPECT_EQ(1u, records[0].sequence);
}

TEST(CrashBudgetStateTest, RefusesEveryKindOfDamage) {
  const std::string big(kCrashBudgetMaxStateSize, '\n');
  std::string tooMany = kHeader;
  for (size_t i = 1; i <= kCrashBudgetMaxRecords + 1; ++i) {
    tooMany += "1 0123456789ab 0000000000000001 " + std::to_string(i) + "\n";
  }
  const std::string cases[] = {
      "tavra-crash-budget 2\n",
      "tavra-crash-budget 1",  // no line end
      "tavra-crash-budget 1\r\n",
      "\n",
      kHeader + "\n",
      kHeader + "1700000000 0123456789ab 00000e1000000001 1",  // cut short
      kHeader + "1700000000 0123456789ab 00000e1000000001 1\r\n",
      kHeader + "1700000000  0123456789ab 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789ab 00000e1000000001 1 \n",
      kHeader + "1700000000 0123456789ab 00000e1000000001\n",
      kHeader + "1700000000 0123456789AB 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789a 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789abc 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789ag 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789ab 0000e1000000001 1\n",
      kHeader + "1700000000 0123456789ab 00000E1000000001 1\n",
      kHeader + "01700000000 0123456789ab 00000e1000000001 1\n",
      kHeader + "+1700000000 0123456789ab 00000e1000000001 1\n",
      kHeader + " 0123456789ab 00000e1000000001 1\n",
      kHeader + "18446744073709551616 0123456789ab 00000e1000000001 1\n",
      kHeader + "1700000000 0123456789ab 00000e1000000001 0\n",
      kHeader + "1700000000 0123456789ab 00000e1000000001 01\n",
      kHeader + "1700000000 0123456789ab 00000e1000000001 4294967296\n",
      kHeader + std::string("1700000000 0123456789ab 00000e1000000001 1\0\n", 44),
      kHeader + kRecord + "1 0123456789ab 00000e1000000001 1\n",  // a name twice
      tooMany,
      kHeader + big,
  };
  for (const std::string& text : cases) {
    std::vector<CrashBudgetRecord> records(2);
    EXPECT_FALSE(parseCrashBudgetState(text, &records)) << text.substr(0, 120);
    EXPECT_TRUE(records.empty()) << text.substr(0, 120);
  }
}

// The most records, each of the longest form, fit the bound read and come
// back as they were written.
TEST(CrashBudgetStateTest, TheLargestStateFitsTheBoundAndReadsBack) {
  std::vector<CrashBudgetRecord> written(kCrashBudgetMaxRecords);
  for (size_t i = 0; i < written.size(); ++i) {
    written[i].time = UINT64_MAX - i;
    written[i].shortHash = "fedcba987654";
    written[i].origin = UINT64_MAX;
    written[i].sequence = static_cast<uint32_t>(UINT32_MAX - i);
  }
  const std::string text = formatCrashBudgetState(written);
  EXPECT_LE(text.size(), kCrashBudgetMaxStateSize);
  std::vector<CrashBudgetRecord> read;
  ASSERT_TRUE(parseCrashBudgetState(text, &read));
  ASSERT_EQ(written.size(), read.size());
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(written[i].time, read[i].time);
    EXPECT_EQ(written[i].shortHash, read[i].shortHash);
    EXPECT_EQ(written[i].origin, read[i].origin);
    EXPECT_EQ(written[i].sequence, read[i].sequence);
  }
}

}  // namespace
}  // namespace tavra
