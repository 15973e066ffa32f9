#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::GuardedAnnotationTable;
using testing_support::viewOf;

TEST(CrashFeedbackFileTest, GuidIsTheFirstCrashGuidOrZeroForALogDirectoryFromTheEnvironment) {
  const struct {
    const char* what;
    std::vector<ClientAnnotation> table;
    // Expected GUID with the default log directory, then with one from the
    // environment; null: no GUID.
    const wchar_t* defaultGuid;
    const wchar_t* environmentGuid;
  } cases[] = {
      {"no table", {}, nullptr, L"0"},
      {"no crash_guid", annotationTable({{L"ptime", L"1200"}}), nullptr, L"0"},
      {"a GUID", annotationTable({{L"crash_guid", L"abc"}, {L"ptime", L"5"}}), L"abc", L"abc"},
      {"an empty GUID", annotationTable({{L"crash_guid", L""}}), L"", L"0"},
      {"the first of two", annotationTable({{L"crash_guid", L""}, {L"crash_guid", L"second"}}), L"",
       L"0"},
      {"a name that only starts alike", annotationTable({{L"crash_guid2", L"x"}}), nullptr, L"0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool fromEnvironment : {false, true}) {
      const wchar_t* expected = fromEnvironment ? c.environmentGuid : c.defaultGuid;
      std::wstring guid = L"untouched";
      EXPECT_EQ(crashFeedbackGuid(readCrashAnnotations(viewOf(c.table)), fromEnvironment, &guid),
                expected != nullptr);
      EXPECT_EQ(guid, expected != nullptr ? expected : L"untouched");
    }
  }
}

TEST(CrashFeedbackFileTest, AGuidThatFillsItsWholeValueIsReadWithinIt) {
  // 64 units, no NUL, and unreadable memory right after the table.
  const std::wstring full(64, L'f');
  GuardedAnnotationTable table(annotationTable({{L"crash_guid", full}}));
  ASSERT_EQ(table.view().count, 1u);
  std::wstring guid;
  ASSERT_TRUE(crashFeedbackGuid(readCrashAnnotations(table.view()), false, &guid));
  EXPECT_EQ(guid, full);
}

class CrashFeedbackWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
  std::wstring path(const wchar_t* name) const { return joinPath(dir_.path(), name); }

  ScopedTempDir dir_{L"feedback"};
};

TEST_F(CrashFeedbackWriteTest, HoldsExactlyTheGuidAnEqualsSignAndTheLocation) {
  const std::wstring file = path(L"crash_feedback_url.txt");
  // The crash server may name a location of any length up to what the first
  // request reads; the line must hold it whole.
  const std::wstring longLocation = L"http://s/?id=7&" + std::wstring(65536 - 15, L'q');
  const std::string longBytes = "abc=http://s/?id=7&" + std::string(65536 - 15, 'q');
  const struct {
    std::wstring guid;
    std::wstring location;
    std::string bytes;
  } cases[] = {
      // A longer line first: each write replaces the whole content.
      {L"0123-4567-89ab", L"http://127.0.0.1:8080/report?id=00112233aabbccdd&x=1",
       "0123-4567-89ab=http://127.0.0.1:8080/report?id=00112233aabbccdd&x=1"},
      {L"abc", L"http://s/?id=1&", "abc=http://s/?id=1&"},
      {L"", L"http://s/?id=&", "=http://s/?id=&"},
      // Text mode: a line end in the text is stored as CR LF.
      {L"a\nb", L"%s%n", "a\r\nb=%s%n"},
      // Characters beyond ASCII are stored as UTF-8, whole, however far
      // beyond U+00FF they lie; the text after them is kept too.
      {L"caf\u00e9", L"http://s/?id=1&", "caf\xc3\xa9=http://s/?id=1&"},
      {L"a\u0101b", L"http://s/\u00fc\u20ac/\U0001F600?id=1&x",
       "a\xc4\x81"
       "b=http://s/\xc3\xbc\xe2\x82\xac/\xf0\x9f\x98\x80?id=1&x"},
      {L"abc", longLocation, longBytes},
      {std::wstring(5000, L'g'), L"http://s/?id=1&", std::string(5000, 'g') + "=http://s/?id=1&"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(writeCrashFeedbackFile(file, c.guid, c.location));
    std::string contents;
    ASSERT_TRUE(readFileToString(file, &contents));
    EXPECT_EQ(contents.size(), c.bytes.size());
    EXPECT_TRUE(contents == c.bytes) << contents.substr(0, 100);
  }
}

TEST_F(CrashFeedbackWriteTest, AFileThatCannotBeOpenedIsNotWritten) {
  // A folder of the file's name, and a folder that does not exist.
  const std::wstring folder = path(L"taken");
  ASSERT_TRUE(createDirectoryWithParents(folder));
  EXPECT_FALSE(writeCrashFeedbackFile(folder, L"abc", L"http://s/"));
  EXPECT_TRUE(directoryExists(folder));
  const std::wstring missing = path(L"missing\\crash_feedback_url.txt");
  EXPECT_FALSE(writeCrashFeedbackFile(missing, L"abc", L"http://s/"));
  EXPECT_FALSE(pathExists(missing));
}

// Two crashes handled at once write the shared file: one a long line, the
// other a short one. Each round lets both go at the same moment.
struct Writer {
  std::wstring path;
  std::wstring guid;
  ScopedHandle go;
  ScopedHandle done;
  int rounds = 0;
};

DWORD WINAPI writeInRounds(void* context) {
  Writer* writer = static_cast<Writer*>(context);
  for (int i = 0; i < writer->rounds; ++i) {
    WaitForSingleObject(writer->go.get(), INFINITE);
    writeCrashFeedbackFile(writer->path, writer->guid, L"http://s/?id=1&");
    SetEvent(writer->done.get());
  }
  return 0;
}

TEST_F(CrashFeedbackWriteTest, WritesAtTheSameTimeLeaveOneWholeLine) {
  constexpr int kRounds = 200;
  const std::wstring file = path(L"crash_feedback_url.txt");
  Writer writers[2];
  writers[0].guid = std::wstring(3000, L'L');
  writers[1].guid = L"S";
  ScopedHandle threads[2];
  for (int i = 0; i < 2; ++i) {
    writers[i].path = file;
    writers[i].rounds = kRounds;
    writers[i].go.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    writers[i].done.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(writers[i].go.isValid() && writers[i].done.isValid());
    threads[i].reset(CreateThread(nullptr, 0, &writeInRounds, &writers[i], 0, nullptr));
    ASSERT_TRUE(threads[i].isValid());
  }
  const std::string lines[] = {std::string(3000, 'L') + "=http://s/?id=1&", "S=http://s/?id=1&"};
  int mixtures = 0;
  for (int round = 0; round < kRounds; ++round) {
    SetEvent(writers[0].go.get());
    SetEvent(writers[1].go.get());
    HANDLE done[] = {writers[0].done.get(), writers[1].done.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, done, TRUE, 30000), WAIT_OBJECT_0);
    std::string contents;
    ASSERT_TRUE(readFileToString(file, &contents));
    if (contents != lines[0] && contents != lines[1]) ++mixtures;
  }
  EXPECT_EQ(mixtures, 0) << "of " << kRounds << " rounds";
  HANDLE ends[] = {threads[0].get(), threads[1].get()};
  EXPECT_EQ(WaitForMultipleObjects(2, ends, TRUE, 30000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace tavra
