#include "runtime/private_security.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/file_util.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

std::wstring expectedSddl(PrivateObject kind) {
  std::wstring sddl;
  EXPECT_TRUE(privateSecuritySddl(kind, &sddl));
  return sddl;
}

TEST(PrivateSecurityTest, TheAccessListNamesTheUserAndTheSystemOnly) {
  const std::wstring file = expectedSddl(PrivateObject::kFile);
  const std::wstring user =
      file.substr(file.find(L";;;") + 3, file.find(L')') - file.find(L";;;") - 3);
  EXPECT_EQ(user.compare(0, 4, L"S-1-"), 0) << wideToUtf8(file);
  EXPECT_EQ(file, L"D:P(A;;FA;;;" + user + L")(A;;FA;;;SY)");
  EXPECT_EQ(expectedSddl(PrivateObject::kFolder),
            L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)");
}

TEST(PrivateSecurityTest, AFileIsCreatedNewAndPrivateAndATakenNameIsLeftAlone) {
  ScopedTempDir dir(L"private_file");
  ASSERT_TRUE(dir.isValid());
  const std::wstring taken = joinPath(dir.path(), L"taken.txt");
  ASSERT_TRUE(writeFile(taken, "planted"));
  ASSERT_TRUE(createDirectoryWithParents(joinPath(dir.path(), L"folder.txt")));
  const struct {
    const wchar_t* name;
    bool created;
  } cases[] = {{L"new.txt", true}, {L"taken.txt", false}, {L"folder.txt", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(wideToUtf8(c.name));
    const std::wstring path = joinPath(dir.path(), c.name);
    ScopedHandle file;
    // The narrow form, as the C library's callers name their files.
    ASSERT_EQ(createPrivateFile(wideToAscii(path).c_str(), GENERIC_WRITE, &file), c.created);
    if (!c.created) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
      continue;
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "ours", 4, &written, nullptr));
    file.reset();
    EXPECT_EQ(accessEntries(accessListOf(path)), accessEntries(expectedSddl(PrivateObject::kFile)));
  }
  // What was there before is as it was.
  std::string planted;
  ASSERT_TRUE(readFileToString(taken, &planted));
  EXPECT_EQ(planted, "planted");
  EXPECT_TRUE(directoryExists(joinPath(dir.path(), L"folder.txt")));
}

TEST(PrivateSecurityTest, FoldersThatAreMadeArePrivateAndOneThatIsThereIsLeftAsItIs) {
  ScopedTempDir dir(L"private_folder");
  ASSERT_TRUE(dir.isValid());
  const std::wstring existing = joinPath(dir.path(), L"existing");
  ASSERT_TRUE(createDirectoryWithParents(existing));
  const std::wstring existingDacl = accessListOf(existing);
  ASSERT_NE(accessEntries(existingDacl), accessEntries(expectedSddl(PrivateObject::kFolder)));

  const std::wstring deepest = joinPath(existing, L"made\\and made");
  ASSERT_TRUE(createPrivateDirectoryWithParents(deepest));
  EXPECT_EQ(accessListOf(existing), existingDacl);
  const std::wstring privateFolder = accessEntries(expectedSddl(PrivateObject::kFolder));
  EXPECT_EQ(accessEntries(accessListOf(joinPath(existing, L"made"))), privateFolder);
  EXPECT_EQ(accessEntries(accessListOf(deepest)), privateFolder);
  // Made again: there already, and so left alone.
  EXPECT_TRUE(createPrivateDirectoryWithParents(deepest));
}

}  // namespace
}  // namespace tavra
