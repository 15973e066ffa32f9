#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::GuardedAnnotationTable;
using testing_support::viewOf;

const std::wstring k64Units(64, L'n');
const std::wstring k63Units(63, L'k');

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

// What the annotations made of the first entry of a single-valued name.
std::wstring singleValue(const CrashAnnotations& annotations, const std::wstring& key) {
  if (key == kCrashGuidAnnotation) return annotations.crashGuid.value_or(L"(none)");
  if (key == kProcessTimeAnnotation) return annotations.uptimeSeconds;
  if (key == kOriginAnnotation) return annotations.origin;
  return annotations.browserProcess ? L"browser" : L"not browser";
}

TEST(FirstAnnotationTest, FirstExactMatchWithinSixtyFourUnits) {
  // Names that only start alike, go on, differ in case or fill all 64 units
  // without a NUL are other names: with `first` as their value, they must
  // still read as `none`.
  const struct {
    std::wstring key;
    std::wstring first;
    std::wstring second;
    std::wstring expected;  // read from `first`
    std::wstring none;      // read when there is no entry of the name
  } cases[] = {
      {kCrashGuidAnnotation, L"first", L"second", L"first", L"(none)"},
      {kProcessTimeAnnotation, L"5000", L"7000", L"5", L""},
      {kOriginAnnotation, L"Wren", L"Other", L"Wren", L""},
      {kProcessTypeAnnotation, L"browser", L"renderer", L"browser", L"not browser"},
  };
  for (const auto& c : cases) {
    std::wstring upper = c.key;
    for (wchar_t& unit : upper) {
      if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - L'a' + L'A');
    }
    const std::wstring padded = c.key + std::wstring(64 - c.key.size(), L'n');
    const std::vector<ClientAnnotation> others = annotationTable({
        {c.key.substr(0, c.key.size() - 1), c.first},
        {c.key + L"2", c.first},
        {upper, c.first},
        {padded, c.first},
    });
    EXPECT_EQ(c.none, singleValue(readCrashAnnotations(viewOf(others)), c.key)) << c.key;
    std::vector<ClientAnnotation> table = annotationTable({
        {c.key.substr(0, c.key.size() - 1), c.second},
        {padded, c.second},
        {c.key, c.first},
        {upper, c.second},
        {c.key, c.second},
    });
    EXPECT_EQ(c.expected, singleValue(readCrashAnnotations(viewOf(table)), c.key)) << c.key;
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
    EXPECT_EQ(cases[i].origin, readCrashAnnotations(viewOf(cases[i].table)).origin) << "case " << i;
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
  EXPECT_EQ(firstPiece + L"?q=2", readCrashAnnotations(viewOf(table)).activeUrl);
  EXPECT_EQ(L"", readCrashAnnotations(viewOf(annotationTable({{L"ptime", L"5"}}))).activeUrl);
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
    EXPECT_EQ(c.browser, readCrashAnnotations(viewOf(table)).browserProcess)
        << (c.type ? c.type : L"(none)");
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
    EXPECT_EQ(cases[i].seconds, readCrashAnnotations(viewOf(cases[i].table)).uptimeSeconds)
        << "case " << i;
  }
}

// Every reader stops at the 64th unit: the tables end right before memory
// that cannot be read, with a last entry that fills both of its texts.
TEST(CrashAnnotationsTest, NoReaderGoesPastTheLastEntry) {
  const std::wstring full(64, L'7');
  const wchar_t* const lastNames[] = {L"note",         L"active_url", L"origin",
                                      L"process_type", L"ptime",      L"vazeri_test",
                                      L"version",      L"crash_guid", k64Units.c_str()};
  for (const wchar_t* name : lastNames) {
    GuardedAnnotationTable guarded(annotationTable({{L"first", L"1"}, {name, full}}));
    const AnnotationView& view = guarded.view();
    ASSERT_EQ(2u, view.count) << name;
    ASSERT_EQ(reinterpret_cast<const char*>(view.entries[1].value + 64), guarded.end());

    const CrashAnnotations annotations = readCrashAnnotations(view);
    CrashMetadata metadata;
    buildCrashMetadata(annotations, SystemInfo(), &metadata);
    const std::wstring key(name);
    EXPECT_EQ(key == L"version" ? std::string(64, '7') : "0.0.0.0", metadata.version) << key;
    EXPECT_EQ(key == L"active_url" ? full : L"", annotations.activeUrl) << key;
    EXPECT_EQ(key == L"vazeri_test" ? L"VaZeri" : L"", annotations.origin) << key;
    EXPECT_FALSE(annotations.browserProcess) << key;
    EXPECT_EQ(key == L"ptime" ? std::wstring(61, L'7') : L"", annotations.uptimeSeconds) << key;
    // The whole value reaches where its name sends it, and nowhere else.
    EXPECT_EQ(key == L"crash_guid", annotations.crashGuid == full) << key;
    const bool paired =
        std::find(annotations.pairs.begin(), annotations.pairs.end(),
                  MetadataEntry(wideToUtf8(key), std::string(64, '7'))) != annotations.pairs.end();
    EXPECT_EQ(key == L"note" || key == L"origin" || key == L"process_type" || key == L"vazeri_test",
              paired)
        << key;
  }
}

}  // namespace
}  // namespace tavra
