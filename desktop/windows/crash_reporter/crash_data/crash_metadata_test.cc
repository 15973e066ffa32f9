#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/system_info.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::GuardedAnnotationTable;
using testing_support::viewOf;
using Entries = std::vector<MetadataEntry>;

const std::wstring k64Units(64, L'n');
const std::wstring k63Units(63, L'k');

Entries systemPairs() {
  const SystemInfo& system = systemInfo();
  return {{"os_version", system.osVersion},
          {"os_service_pack_version", system.osServicePackVersion},
          {"cpu_architecture", system.cpuArchitecture},
          {"cpu_level", system.cpuLevel},
          {"cpu_revision", system.cpuRevision}};
}

Entries concat(Entries first, const Entries& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class CrashMetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    captureSystemInfo();
    ASSERT_FALSE(systemInfo().cpuArchitecture.empty());
  }
};

TEST_F(CrashMetadataTest, OnlyTheProcessTimeGivesDefaultsEmptyListsAndSystemPairs) {
  const auto table = annotationTable({{L"ptime", L"1500"}});
  CrashMetadata metadata;
  buildCrashMetadata(viewOf(table), &metadata);
  appendMemoryFigures(123456, 4294967295u, 0, &metadata);
  EXPECT_EQ("0.0.0.0", metadata.version);
  EXPECT_EQ("-1", metadata.build);
  const Entries lists = {{"enabled_extensions", ""},
                         {"disabled_extensions", ""},
                         {"blacklisted_extensions", ""},
                         {"terminated_extensions", ""},
                         {"third_party_installs", ""}};
  const Entries memory = {{"mem_working_set_size", "123456"},
                          {"mem_peak_working_set_size", "4294967295"},
                          {"mem_private_usage", "0"}};
  EXPECT_EQ(concat(concat(lists, systemPairs()), memory), metadata.entries);
}

TEST_F(CrashMetadataTest, EveryRuleAtOnceKeepsTheOrder) {
  const auto table = annotationTable({
      {L"process_type", L"renderer"},
      {L"enabled_extensions", L"abc"},
      {L"version", L"1.0"},
      {L"bad name", L"blank in the name"},
      {L"bad!", L"exclamation mark"},
      {L"active_url", L"http://example.test/"},
      {L"gpu_vendor_id", L""},
      {L"origin", L"Wren"},
      {L"vazeri_test", L"on"},
      {L"crash_guid", L"0123-4567"},
      {k64Units, L"a name without its NUL"},
      {k63Units, L"kept"},
      {L"build", L"77"},
      {L"enabled_extensions", L"def"},
      {L"gpu_vendor_id", L"0x10de"},
      {L"note", L"caf\u00e9 \U0001F600"},
      {L"long_value", std::wstring(70, L'v')},
      {L"version", L""},
      {L"third_party_installs", L"x;y"},
      {L"process_type", L"second"},
      {L"", L"no name"},
      {L"ptime", L"1234"},
  });
  CrashMetadata metadata;
  buildCrashMetadata(viewOf(table), &metadata);
  appendMemoryFigures(1, 2, 3, &metadata);

  // A later empty "version" wins over 1.0 and then falls back to the default.
  EXPECT_EQ("0.0.0.0", metadata.version);
  EXPECT_EQ("77", metadata.build);
  const Entries ordinary = {{"process_type", "renderer"},
                            {"origin", "Wren"},
                            {std::string(63, 'k'), "kept"},
                            {"gpu_vendor_id", "0x10de"},
                            {"note", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
                            {"long_value", std::string(64, 'v')},
                            {"process_type", "second"}};
  const Entries lists = {{"vazeri_test", "on"},         {"enabled_extensions", "abcdef"},
                         {"disabled_extensions", ""},   {"blacklisted_extensions", ""},
                         {"terminated_extensions", ""}, {"third_party_installs", "x;y"}};
  const Entries memory = {{"mem_working_set_size", "1"},
                          {"mem_peak_working_set_size", "2"},
                          {"mem_private_usage", "3"}};
  EXPECT_EQ(concat(concat(concat(ordinary, lists), systemPairs()), memory), metadata.entries);
}

TEST_F(CrashMetadataTest, EmptyViewsGiveTheSameAsATableWithoutEntries) {
  CrashMetadata never;
  buildCrashMetadata(AnnotationView(), &never);
  // A count without entries is as empty as a view that was never read.
  AnnotationView broken;
  broken.count = 5;
  CrashMetadata missing;
  buildCrashMetadata(broken, &missing);
  EXPECT_EQ("0.0.0.0", never.version);
  EXPECT_EQ("-1", never.build);
  EXPECT_EQ(10u, never.entries.size());
  EXPECT_EQ(never.entries, missing.entries);
  EXPECT_EQ(std::wstring(), reportOrigin(broken));
  EXPECT_EQ(std::wstring(), collectActiveUrl(broken));
  EXPECT_FALSE(isBrowserProcess(broken));
  EXPECT_EQ(nullptr, findAnnotation(broken, L"ptime"));
}

TEST_F(CrashMetadataTest, TextThatIsNotValidUtf16IsReplacedNotTrusted) {
  // An unpaired surrogate cut off at the end of a 64-unit value, and one in
  // the middle of a value.
  std::wstring cutPair(63, L'a');
  cutPair.push_back(static_cast<wchar_t>(0xD83D));
  const auto table = annotationTable({
      {L"cut", cutPair},
      {L"lone", std::wstring(L"a") + static_cast<wchar_t>(0xDC00) + L"b"},
      {L"version", std::wstring(1, static_cast<wchar_t>(0xD800))},
  });
  CrashMetadata metadata;
  buildCrashMetadata(viewOf(table), &metadata);
  ASSERT_LE(2u, metadata.entries.size());
  EXPECT_EQ(MetadataEntry("cut", std::string(63, 'a') + "\xef\xbf\xbd"), metadata.entries[0]);
  EXPECT_EQ(MetadataEntry("lone",
                          "a\xef\xbf\xbd"
                          "b"),
            metadata.entries[1]);
  EXPECT_EQ("\xef\xbf\xbd", metadata.version);
}

TEST(AnnotationNameTest, OnlyLettersDigitsDotsDashesAndUnderscoresUpTo63Units) {
  struct Case {
    std::wstring units;  // the 64 units as stored; missing ones are NUL
    bool valid;
  };
  const Case cases[] = {
      {L"a", true},
      {L"Az09.-_", true},
      {L"gpu_driver_version", true},
      {k63Units, true},
      {k64Units, false},  // no NUL within the 64 units
      {L"", false},
      {L"a b", false},
      {L"a!", false},
      {L"a/b", false},
      {L"a:b", false},
      {L"caf\u00e9", false},
      {std::wstring(L"ab") + static_cast<wchar_t>(0x0141), false},
      {std::wstring(L"ab\0 !", 5), true},  // what follows the NUL is not looked at
      {std::wstring(L"\0abc", 4), false},
  };
  for (const Case& c : cases) {
    ClientAnnotation entry;
    testing_support::fillUnits(L"", entry.name);
    for (size_t i = 0; i < c.units.size() && i < kAnnotationTextUnits; ++i) {
      entry.name[i] = c.units[i];
    }
    EXPECT_EQ(c.valid, isValidAnnotationName(entry.name)) << c.units.size() << " units";
  }
}

TEST(FindAnnotationTest, FirstExactMatchWithinSixtyFourUnits) {
  const auto table = annotationTable({
      {L"crash", L"prefix only"},
      {L"crash_guid", L"first"},
      {k64Units, L"sixty-four"},
      {L"crash_guid", L"second"},
      {L"CRASH_GUID", L"other case"},
  });
  const AnnotationView view = viewOf(table);
  struct Case {
    std::wstring key;
    const wchar_t* value;  // null: not found
  };
  const Case cases[] = {
      {L"crash_guid", L"first"},         {L"crash", L"prefix only"},
      {L"crash_gui", nullptr},           {L"crash_guid2", nullptr},
      {k64Units, L"sixty-four"},         {k64Units + L"n", nullptr},
      {std::wstring(63, L'n'), nullptr}, {L"", nullptr},
  };
  for (const Case& c : cases) {
    const wchar_t* found = findAnnotation(view, c.key);
    if (c.value == nullptr) {
      EXPECT_EQ(nullptr, found) << c.key;
    } else {
      ASSERT_NE(nullptr, found) << c.key;
      EXPECT_EQ(c.value, std::wstring(annotationText(found))) << c.key;
    }
  }
}

TEST(ReportOriginTest, VazeriTestBeatsWrenAndOnlyExactWrenCounts) {
  struct Case {
    std::vector<ClientAnnotation> table;
    std::wstring origin;
  };
  const Case cases[] = {
      {annotationTable({{L"ptime", L"1"}}), L""},
      {annotationTable({{L"origin", L"Wren"}}), L"Wren"},
      {annotationTable({{L"origin", L"wren"}}), L""},
      {annotationTable({{L"origin", L"Wren "}}), L""},
      {annotationTable({{L"origin", L"Wren"}, {L"vazeri_test", L"1"}}), L"VaZeri"},
      {annotationTable({{L"vazeri_test", L"1"}, {L"origin", L"other"}}), L"VaZeri"},
      {annotationTable({{L"vazeri_test", L""}, {L"origin", L"Wren"}}), L"Wren"},
      // A later piece of the list counts as well.
      {annotationTable({{L"vazeri_test", L""}, {L"vazeri_test", L"x"}}), L"VaZeri"},
      // The first "origin" decides.
      {annotationTable({{L"origin", L"Other"}, {L"origin", L"Wren"}}), L""},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].origin, reportOrigin(viewOf(cases[i].table))) << "case " << i;
  }
}

TEST(ActiveUrlTest, PiecesAreJoinedInTableOrder) {
  const std::wstring firstPiece = L"http://example.test/" + std::wstring(44, L'p');
  ASSERT_EQ(64u, firstPiece.size());
  const auto table = annotationTable({
      {L"active_url", firstPiece},
      {L"other", L"between"},
      {L"active_url", L""},
      {L"active_url", L"?q=2"},
  });
  EXPECT_EQ(firstPiece + L"?q=2", collectActiveUrl(viewOf(table)));
  EXPECT_EQ(L"", collectActiveUrl(viewOf(annotationTable({{L"ptime", L"5"}}))));
}

TEST(BrowserProcessTest, OnlyExactlyBrowser) {
  struct Case {
    const wchar_t* type;  // null: no entry
    bool browser;
  };
  const Case cases[] = {
      {L"browser", true},   {L"Browser", false}, {L"browser_tests", false}, {L"installer", false},
      {L"renderer", false}, {L"", false},        {nullptr, false},
  };
  for (const Case& c : cases) {
    const auto table = c.type == nullptr ? annotationTable({{L"ptime", L"1"}})
                                         : annotationTable({{L"process_type", c.type}});
    EXPECT_EQ(c.browser, isBrowserProcess(viewOf(table))) << (c.type ? c.type : L"(none)");
  }
}

TEST(CrashUptimeTest, WholeSecondsOfTheFirstProcessTime) {
  struct Case {
    std::vector<ClientAnnotation> table;
    std::wstring seconds;
  };
  const Case cases[] = {
      {annotationTable({{L"ptime", L"999"}}), L""},
      {annotationTable({{L"ptime", L"1000"}}), L"1"},
      {annotationTable({{L"ptime", L"12345"}}), L"12"},
      {annotationTable({{L"ptime", L"0"}}), L""},
      {annotationTable({{L"ptime", L""}}), L""},
      {annotationTable({{L"other", L"12345"}}), L""},
      {annotationTable({{L"ptime", std::wstring(64, L'9')}}), std::wstring(61, L'9')},
      {annotationTable({{L"ptime", L"5000"}, {L"ptime", L"7000"}}), L"5"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].seconds, crashUptimeSeconds(viewOf(cases[i].table))) << "case " << i;
  }
}

// Every reader stops at the 64th unit: the tables end right before memory
// that cannot be read, with a last entry that fills both of its texts.
TEST_F(CrashMetadataTest, NoReaderGoesPastTheLastEntry) {
  const std::wstring full(64, L'7');
  const wchar_t* const lastNames[] = {L"note",         L"active_url", L"origin",
                                      L"process_type", L"ptime",      L"vazeri_test",
                                      L"version",      L"crash_guid", k64Units.c_str()};
  for (const wchar_t* name : lastNames) {
    GuardedAnnotationTable guarded(annotationTable({{L"first", L"1"}, {name, full}}));
    const AnnotationView& view = guarded.view();
    ASSERT_EQ(2u, view.count) << name;
    ASSERT_EQ(reinterpret_cast<const char*>(view.entries[1].value + 64), guarded.end());

    CrashMetadata metadata;
    buildCrashMetadata(view, &metadata);
    const std::wstring key(name);
    EXPECT_EQ(key == L"version" ? std::string(64, '7') : "0.0.0.0", metadata.version) << key;
    EXPECT_EQ(key == L"active_url" ? full : L"", collectActiveUrl(view)) << key;
    EXPECT_EQ(key == L"vazeri_test" ? L"VaZeri" : L"", reportOrigin(view)) << key;
    EXPECT_FALSE(isBrowserProcess(view)) << key;
    EXPECT_EQ(key == L"ptime" ? std::wstring(61, L'7') : L"", crashUptimeSeconds(view)) << key;
    const wchar_t* found = findAnnotation(view, key);
    ASSERT_NE(nullptr, found) << key;
    EXPECT_EQ(full, annotationText(found)) << key;
    EXPECT_EQ(nullptr, findAnnotation(view, key + L"x")) << key;
  }
}

}  // namespace
}  // namespace tavra
