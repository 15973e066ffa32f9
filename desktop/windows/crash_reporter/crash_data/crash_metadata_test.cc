#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::viewOf;
using Entries = std::vector<MetadataEntry>;

const std::wstring k64Units(64, L'n');
const std::wstring k63Units(63, L'k');

// The system that the tests' crashes name: its pairs follow the client's.
SystemInfo testSystem() {
  SystemInfo system;
  system.osVersion = "6.1.7601";
  system.osServicePackVersion = "1.0";
  system.cpuArchitecture = "0x0";
  system.cpuLevel = "0x6";
  system.cpuRevision = "0x3a09";
  return system;
}

Entries systemPairs() {
  return {{"os_version", "6.1.7601"},
          {"os_service_pack_version", "1.0"},
          {"cpu_architecture", "0x0"},
          {"cpu_level", "0x6"},
          {"cpu_revision", "0x3a09"}};
}

Entries concat(Entries first, const Entries& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The metadata of a crash whose client's table is `view`.
CrashMetadata metadataOf(const AnnotationView& view) {
  CrashMetadata metadata;
  buildCrashMetadata(readCrashAnnotations(view), testSystem(), &metadata);
  return metadata;
}

TEST(CrashMetadataTest, OnlyTheProcessTimeGivesDefaultsEmptyListsAndSystemPairs) {
  const auto table = annotationTable({{L"ptime", L"1500"}});
  CrashMetadata metadata = metadataOf(viewOf(table));
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

TEST(CrashMetadataTest, EveryRuleAtOnceKeepsTheOrder) {
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
  CrashMetadata metadata = metadataOf(viewOf(table));
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

TEST(CrashMetadataTest, EmptyViewsGiveTheSameAsATableWithoutEntries) {
  const CrashMetadata never = metadataOf(AnnotationView());
  // A count without entries is as empty as a view that was never read.
  AnnotationView broken;
  broken.count = 5;
  const CrashMetadata missing = metadataOf(broken);
  EXPECT_EQ("0.0.0.0", never.version);
  EXPECT_EQ("-1", never.build);
  EXPECT_EQ(10u, never.entries.size());
  EXPECT_EQ(never.entries, missing.entries);
  const CrashAnnotations annotations = readCrashAnnotations(broken);
  EXPECT_EQ(std::wstring(), annotations.origin);
  EXPECT_EQ(std::wstring(), annotations.activeUrl);
  EXPECT_FALSE(annotations.browserProcess);
  EXPECT_EQ(std::wstring(), annotations.uptimeSeconds);
  EXPECT_FALSE(annotations.crashGuid.has_value());
}

TEST(CrashMetadataTest, TextThatIsNotValidUtf16IsReplacedNotTrusted) {
  // An unpaired surrogate cut off at the end of a 64-unit value, and one in
  // the middle of a value.
  std::wstring cutPair(63, L'a');
  cutPair.push_back(static_cast<wchar_t>(0xD83D));
  const auto table = annotationTable({
      {L"cut", cutPair},
      {L"lone", std::wstring(L"a") + static_cast<wchar_t>(0xDC00) + L"b"},
      {L"version", std::wstring(1, static_cast<wchar_t>(0xD800))},
  });
  CrashMetadata metadata = metadataOf(viewOf(table));
  ASSERT_LE(2u, metadata.entries.size());
  EXPECT_EQ(MetadataEntry("cut", std::string(63, 'a') + "\xef\xbf\xbd"), metadata.entries[0]);
  EXPECT_EQ(MetadataEntry("lone",
                          "a\xef\xbf\xbd"
                          "b"),
            metadata.entries[1]);
  EXPECT_EQ("\xef\xbf\xbd", metadata.version);
}

}  // namespace
}  // namespace tavra
