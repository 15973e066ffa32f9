#include "desktop/windows/product_environment/product_paths.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "desktop/windows/product_environment/release_channel.h"
#include "runtime/at_exit.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/path_service.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace {

std::wstring pathOf(int key) {
  std::wstring path;
  EXPECT_TRUE(PathService::get(key, &path)) << "key " << key;
  return path;
}

// A temporary installation: the executable and module folder "app", and the
// roaming and local application-data folders, all handed out by the path
// service in place of the real ones. The process-wide layout is built from
// them on the first look-up and destroyed with the fixture's at-exit scope.
class ProductPathsTest : public testing::Test {
 protected:
  void SetUp() override {
    PathService::resetForTesting();
    CommandLine::resetForCurrentProcess();
    knownFolderPathSeam.replaceForTesting(nullptr);
    ASSERT_TRUE(temp_.create(L"tavra-paths"));
    app_ = joinPath(temp_.path(), L"app");
    roaming_ = joinPath(temp_.path(), L"Roaming");
    local_ = joinPath(temp_.path(), L"Local");
    userData_ =
        joinPath(joinPath(roaming_, L"Tavra Software"), L"Tavra " + getChannelDisplayName());
    redirect(app_);
  }
  void TearDown() override {
    scope_.reset();
    PathService::resetForTesting();
    CommandLine::resetForCurrentProcess();
    knownFolderPathSeam.replaceForTesting(nullptr);
  }

  // Points keys 2 and 3 at `exeDir` and registers the product's paths.
  void redirect(const std::wstring& exeDir) {
    ASSERT_TRUE(PathService::overridePath(DIR_EXE, exeDir));
    ASSERT_TRUE(PathService::overridePath(DIR_MODULE, exeDir));
    ASSERT_TRUE(PathService::overridePath(DIR_APP_DATA, roaming_));
    ASSERT_TRUE(PathService::overridePath(DIR_LOCAL_APP_DATA, local_));
    ASSERT_TRUE(registerProductPaths());
  }
  void setCommandLine(const std::wstring& arguments) {
    CommandLine::resetForCurrentProcess();
    ASSERT_TRUE(CommandLine::initForCurrentProcessFromString(L"reporter.exe " + arguments));
  }

  ScopedTempDir temp_;
  std::unique_ptr<AtExitScope> scope_ = std::make_unique<AtExitScope>();
  std::wstring app_;
  std::wstring roaming_;
  std::wstring local_;
  std::wstring userData_;
};

TEST_F(ProductPathsTest, LocalStateCreatesTheUserDataDirectoryOnly) {
  ASSERT_FALSE(directoryExists(userData_));
  EXPECT_EQ(joinPath(userData_, L"Local State"), pathOf(FILE_LOCAL_STATE));
  EXPECT_TRUE(directoryExists(userData_));
  EXPECT_FALSE(pathExists(joinPath(userData_, L"Local State")));
  EXPECT_EQ(joinPath(userData_, L"Local State"), pathOf(SHARED_FILE_LOCAL_STATE));
  EXPECT_EQ(joinPath(userData_, L"crash_feedback_url.txt"), pathOf(FILE_CRASH_FEEDBACK_URL));
  EXPECT_FALSE(pathExists(joinPath(userData_, L"crash_feedback_url.txt")));
}

TEST_F(ProductPathsTest, AliasesOfTheUserDataDirectoryMatchIt) {
  std::wstring userData = pathOf(DIR_USER_DATA);
  EXPECT_EQ(userData_, userData);
  EXPECT_EQ(userData, pathOf(DIR_USER_DATA_ALIAS));
  EXPECT_EQ(userData, pathOf(SHARED_DIR_USER_DATA));
}

TEST_F(ProductPathsTest, UserDataChildren) {
  EXPECT_EQ(joinPath(userData_, L"browser.js"), pathOf(FILE_BROWSER_JS));
  EXPECT_EQ(joinPath(userData_, L"siteprefs.json"), pathOf(FILE_SITE_PREFS));
  EXPECT_EQ(joinPath(userData_, L"themes"), pathOf(DIR_THEMES));
  EXPECT_FALSE(pathExists(joinPath(userData_, L"themes")));

  std::wstring dictionaries = joinPath(userData_, L"dictionaries");
  EXPECT_EQ(dictionaries, pathOf(DIR_DICTIONARIES));
  EXPECT_TRUE(directoryExists(dictionaries));

  std::wstring crashReports = joinPath(userData_, L"Crash Reports");
  EXPECT_EQ(crashReports, pathOf(DIR_CRASH_REPORTS));
  EXPECT_EQ(crashReports, pathOf(SHARED_DIR_CRASH_REPORTS));
  EXPECT_TRUE(directoryExists(crashReports));
}

TEST_F(ProductPathsTest, DirectoriesThatCannotBeMadeFail) {
  // A file where the user data directory belongs.
  ASSERT_TRUE(createDirectoryWithParents(dirName(userData_)));
  ASSERT_TRUE(writeFile(userData_, "not a directory"));
  std::wstring path = L"untouched";
  EXPECT_FALSE(PathService::get(DIR_USER_DATA, &path));
  EXPECT_FALSE(PathService::get(FILE_LOCAL_STATE, &path));
  EXPECT_FALSE(PathService::get(DIR_USER_DATA_ALIAS, &path));
  EXPECT_FALSE(PathService::get(DIR_CRASH_REPORTS, &path));
  EXPECT_EQ(L"untouched", path);
}

TEST_F(ProductPathsTest, ModuleAndExecutableChildren) {
  std::wstring resources = joinPath(app_, L"resources");
  EXPECT_EQ(resources, pathOf(DIR_RESOURCES));
  EXPECT_EQ(resources, pathOf(SHARED_DIR_RESOURCES));
  EXPECT_EQ(joinPath(resources, L"inspector"), pathOf(DIR_INSPECTOR));
  EXPECT_EQ(joinPath(resources, L"extension"), pathOf(DIR_EXTENSION_RESOURCES));
  EXPECT_EQ(joinPath(resources, L"extension"), pathOf(SHARED_DIR_EXTENSION_RESOURCES));
  EXPECT_FALSE(pathExists(resources));  // Nothing above is created.
  EXPECT_EQ(joinPath(app_, L"tavra.pak"), pathOf(FILE_RESOURCES_PACK));
  EXPECT_EQ(joinPath(app_, L"pdf.dll"), pathOf(FILE_PDF_PLUGIN));
  EXPECT_EQ(app_, pathOf(DIR_APP));
  EXPECT_EQ(app_, pathOf(DIR_INSTALL));

  std::wstring extensions = joinPath(app_, L"extensions");
  EXPECT_EQ(extensions, pathOf(DIR_EXTENSIONS));
  EXPECT_TRUE(directoryExists(extensions));

  EXPECT_EQ(joinPath(local_, L"Google\\Chrome\\User Data"), pathOf(DIR_CHROME_USER_DATA));
}

TEST_F(ProductPathsTest, TestDataMustExist) {
  std::wstring path = L"untouched";
  EXPECT_FALSE(PathService::get(DIR_TEST_DATA, &path));
  EXPECT_FALSE(PathService::get(DIR_DESKTOP_TEST_DATA, &path));
  EXPECT_EQ(L"untouched", path);
  std::wstring testData = joinPath(app_, L"test_data");
  std::wstring desktopTestData = joinPath(joinPath(app_, L"test_data_desktop"), L"test_data");
  ASSERT_TRUE(createDirectoryWithParents(testData));
  ASSERT_TRUE(createDirectoryWithParents(desktopTestData));
  EXPECT_EQ(testData, pathOf(DIR_TEST_DATA));
  EXPECT_EQ(desktopTestData, pathOf(DIR_DESKTOP_TEST_DATA));
}

TEST_F(ProductPathsTest, EmptyDravelSwitchFailsEvenWithPrefsAround) {
  std::wstring small = joinPath(joinPath(roaming_, L"Tavra"), L"Tavra");
  ASSERT_TRUE(createDirectoryWithParents(small));
  ASSERT_TRUE(writeFile(joinPath(small, L"tavraprefs.ini"), ""));
  setCommandLine(L"--dravel-small-prefs-dir= --dravel-large-prefs-dir");
  std::wstring path = L"untouched";
  EXPECT_FALSE(PathService::get(DIR_DRAVEL_SMALL_PREFS, &path));
  EXPECT_FALSE(PathService::get(DIR_DRAVEL_LARGE_PREFS, &path));
  EXPECT_EQ(L"untouched", path);
}

TEST_F(ProductPathsTest, DravelSwitchValuesAreUsedVerbatim) {
  setCommandLine(L"--dravel-small-prefs-dir=\"D:\\small prefs\" --dravel-large-prefs-dir=rel\\x");
  EXPECT_EQ(L"D:\\small prefs", pathOf(DIR_DRAVEL_SMALL_PREFS));
  EXPECT_EQ(L"rel\\x", pathOf(DIR_DRAVEL_LARGE_PREFS));
}

TEST_F(ProductPathsTest, DravelPrefsComeFromTheLayoutWithoutSwitches) {
  std::wstring path;
  EXPECT_FALSE(PathService::get(DIR_DRAVEL_SMALL_PREFS, &path));
  std::wstring x64 = joinPath(joinPath(roaming_, L"Tavra"), L"Tavra x64");
  ASSERT_TRUE(createDirectoryWithParents(x64));
  ASSERT_TRUE(writeFile(joinPath(x64, L"tavraprefs.ini"), ""));
  EXPECT_EQ(x64, pathOf(DIR_DRAVEL_SMALL_PREFS));
  EXPECT_EQ(joinPath(joinPath(local_, L"Tavra"), L"Tavra x64"), pathOf(DIR_DRAVEL_LARGE_PREFS));
}

TEST_F(ProductPathsTest, InstallationWithLauncherAndSingleProfile) {
  // The executable sits in a version folder below the installation folder,
  // which holds the launcher and the installer's settings.
  std::wstring install = joinPath(temp_.path(), L"install");
  std::wstring version = joinPath(install, L"2.0.1");
  ASSERT_TRUE(createDirectoryWithParents(version));
  ASSERT_TRUE(writeFile(joinPath(install, L"launcher.exe"), "MZ"));
  ASSERT_TRUE(writeFile(joinPath(install, L"installer_prefs.json"), R"({"single_profile":true})"));
  PathService::resetForTesting();
  redirect(version);

  EXPECT_EQ(install, pathOf(DIR_INSTALL));
  EXPECT_EQ(version, pathOf(DIR_APP));
  std::wstring userData = joinPath(joinPath(install, L"profile"), L"data");
  EXPECT_EQ(joinPath(userData, L"Local State"), pathOf(FILE_LOCAL_STATE));
  EXPECT_TRUE(directoryExists(userData));
  EXPECT_FALSE(pathExists(userData_));
}

TEST_F(ProductPathsTest, LocalizationIsAnOverrideOfTheModuleFolder) {
  std::wstring localization = joinPath(app_, L"localization");
  EXPECT_TRUE(directoryExists(localization));
  EXPECT_EQ(localization, pathOf(DIR_LOCALIZATION));
  std::wstring path = L"untouched";
  EXPECT_FALSE(productPathProvider(DIR_LOCALIZATION, &path));
  EXPECT_EQ(L"untouched", path);
}

TEST_F(ProductPathsTest, LocalizationThatCannotBeMadeIsFatal) {
  std::wstring other = joinPath(temp_.path(), L"other");
  ASSERT_TRUE(createDirectoryWithParents(other));
  ASSERT_TRUE(writeFile(joinPath(other, L"localization"), "a file"));
  PathService::resetForTesting();
  ASSERT_TRUE(PathService::overridePath(DIR_MODULE, other));
  EXPECT_FALSE(registerProductPaths());
}

TEST_F(ProductPathsTest, ProviderAnswersExactlyItsKeys) {
  // Everything in place, so that every key of the product can be answered.
  ASSERT_TRUE(createDirectoryWithParents(joinPath(app_, L"test_data")));
  ASSERT_TRUE(createDirectoryWithParents(joinPath(app_, L"test_data_desktop\\test_data")));
  std::wstring small = joinPath(roaming_, L"Tavra\\Tavra");
  ASSERT_TRUE(createDirectoryWithParents(small));
  ASSERT_TRUE(writeFile(joinPath(small, L"tavraprefs.ini"), ""));

  std::set<int> expected = {1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                            1009, 1010, 1011, 1012, 1014, 1020, 1033, 1034};
  for (int key = 2001; key <= 2027; ++key) expected.insert(key);
  std::set<int> answered;
  for (int key = -2; key <= 4100; ++key) {
    std::wstring path = L"untouched";
    if (productPathProvider(key, &path)) {
      answered.insert(key);
      EXPECT_FALSE(path.empty()) << "key " << key;
    } else {
      EXPECT_EQ(L"untouched", path) << "key " << key;
    }
  }
  EXPECT_EQ(expected, answered);
  std::wstring path;
  EXPECT_FALSE(PathService::get(1013, &path));
  EXPECT_FALSE(PathService::get(1021, &path));
  EXPECT_FALSE(productPathProvider(DIR_USER_DATA, nullptr));
}

// A fake of the shell's known-folder function, with a record of its calls.
struct ShellCall {
  int folder;  // 0 for a known folder id other than those below.
  DWORD flags;
};
std::vector<ShellCall> g_calls;
HRESULT g_knownFolderResultWithoutFlags = S_OK;
bool g_musicFails = false;

int folderNumber(const GUID& id) {
  if (IsEqualGUID(id, kFolderIdDocuments)) return 5;
  if (IsEqualGUID(id, kFolderIdMusic)) return 13;
  if (IsEqualGUID(id, kFolderIdDownloads)) return 374;
  return 0;
}

PWSTR allocatePath(const wchar_t* text) {
  size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  PWSTR copy = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
  if (copy != nullptr) memcpy(copy, text, bytes);
  return copy;
}

HRESULT WINAPI fakeKnownFolderPath(const GUID& folderId, DWORD flags, HANDLE, PWSTR* path) {
  int folder = folderNumber(folderId);
  g_calls.push_back(ShellCall{folder, flags});
  if ((folder == 13 && g_musicFails) || (flags == 0 && FAILED(g_knownFolderResultWithoutFlags))) {
    // Like the system, hand out a path that the caller must free anyway.
    *path = allocatePath(L"");
    return folder == 13 ? E_FAIL : g_knownFolderResultWithoutFlags;
  }
  *path = allocatePath(folder == 5 ? L"X:\\Docs" : L"X:\\Other");
  return S_OK;
}

class KnownFolderTest : public ProductPathsTest {
 protected:
  void SetUp() override {
    ProductPathsTest::SetUp();
    g_calls.clear();
    g_knownFolderResultWithoutFlags = S_OK;
    g_musicFails = false;
  }
};

std::wstring systemKnownFolder(const GUID& id) {
  PWSTR found = nullptr;
  std::wstring path;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &found))) path = found;
  CoTaskMemFree(found);
  return path;
}

TEST_F(KnownFolderTest, FoldersAreTheSystemsKnownFolders) {
  std::wstring documents = systemKnownFolder(kFolderIdDocuments);
  ASSERT_FALSE(documents.empty());
  EXPECT_EQ(documents, pathOf(DIR_DOCUMENTS));
  EXPECT_EQ(documents, pathOf(SHARED_DIR_USER_DOCUMENTS));
  std::wstring downloads = systemKnownFolder(kFolderIdDownloads);
  ASSERT_FALSE(downloads.empty());
  EXPECT_EQ(downloads, pathOf(DIR_DOWNLOADS));
  EXPECT_EQ(downloads, pathOf(SHARED_DIR_DOWNLOADS));
}

TEST_F(KnownFolderTest, FailedLookupIsRetriedWithCreateFlagsOnlyWhenAllowed) {
  knownFolderPathSeam.replaceForTesting(&fakeKnownFolderPath);
  g_knownFolderResultWithoutFlags = E_FAIL;
  std::wstring path = L"untouched";
  ASSERT_TRUE(getKnownFolder(kFolderIdDocuments, &path, true));
  EXPECT_EQ(L"X:\\Docs", path);
  ASSERT_EQ(2u, g_calls.size());
  EXPECT_EQ(0u, g_calls[0].flags);
  EXPECT_EQ(0x8800u, g_calls[1].flags);

  g_calls.clear();
  path = L"untouched";
  EXPECT_FALSE(getKnownFolder(kFolderIdDocuments, &path, false));
  EXPECT_EQ(L"untouched", path);
  EXPECT_EQ(1u, g_calls.size());
}

TEST_F(KnownFolderTest, MissingMediaFolderFallsBackToDocuments) {
  knownFolderPathSeam.replaceForTesting(&fakeKnownFolderPath);
  g_musicFails = true;
  EXPECT_EQ(L"X:\\Docs", pathOf(DIR_MUSIC));
  ASSERT_EQ(2u, g_calls.size());
  EXPECT_EQ(13, g_calls[0].folder);  // Music, asked once: without creation.
  EXPECT_EQ(5, g_calls[1].folder);
  EXPECT_EQ(L"X:\\Other", pathOf(DIR_DOWNLOADS));
}

}  // namespace
}  // namespace tavra
