#include "desktop/windows/product_environment/install_layout.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "desktop/windows/product_environment/release_channel.h"
#include "runtime/at_exit.h"
#include "runtime/file_util.h"
#include "runtime/json_reader.h"
#include "runtime/path_service.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace {

// Sets a file's last-write time (100-ns units since 1601).
bool setLastWriteTime(const std::wstring& path, uint64_t time) {
  ScopedHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isValid()) return false;
  FILETIME fileTime;
  fileTime.dwLowDateTime = static_cast<DWORD>(time);
  fileTime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return SetFileTime(file.get(), nullptr, nullptr, &fileTime) != 0;
}

constexpr uint64_t kSomeTime = 133000000000000000ull;  // A day in 2022.

// A temporary tree: an installation folder and the roaming and local
// application-data folders, which the path service hands out instead of the
// user's own.
class InstallLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    PathService::resetForTesting();
    ASSERT_TRUE(temp_.create(L"tavra-layout"));
    install_ = joinPath(temp_.path(), L"Tavra Install");
    roaming_ = joinPath(temp_.path(), L"Roaming");
    local_ = joinPath(temp_.path(), L"Local");
    ASSERT_TRUE(createDirectoryWithParents(install_));
    ASSERT_TRUE(PathService::overridePath(DIR_APP_DATA, roaming_));
    ASSERT_TRUE(PathService::overridePath(DIR_LOCAL_APP_DATA, local_));
  }
  void TearDown() override { PathService::resetForTesting(); }

  void writeInstallerPrefs(const std::string& contents) {
    ASSERT_TRUE(writeFile(joinPath(install_, L"installer_prefs.json"), contents));
  }
  // Puts "tavraprefs.ini" into `dir`, creating the directory.
  std::wstring addPrefsFile(const std::wstring& dir) {
    std::wstring file = joinPath(dir, L"tavraprefs.ini");
    EXPECT_TRUE(createDirectoryWithParents(dir));
    EXPECT_TRUE(writeFile(file, "[prefs]\n"));
    return file;
  }
  std::wstring roamingUserData() const {
    return joinPath(joinPath(roaming_, L"Tavra Software"), L"Tavra " + getChannelDisplayName());
  }
  std::wstring candidate(const wchar_t* name) const {
    return joinPath(joinPath(roaming_, L"Tavra"), name);
  }

  ScopedTempDir temp_;
  std::wstring install_;
  std::wstring roaming_;
  std::wstring local_;
};

TEST_F(InstallLayoutTest, LauncherDecidesTheInstallationFolder) {
  std::wstring version = joinPath(install_, L"1.2.3");
  ASSERT_TRUE(createDirectoryWithParents(version));
  // Without a launcher anywhere, the executable's folder.
  EXPECT_EQ(version, InstallLayout(version).installDir());
  EXPECT_EQ(version, InstallLayout(version + L"\\").installDir());

  // A launcher only one folder up: the executable is in a version folder.
  ASSERT_TRUE(writeFile(joinPath(install_, L"launcher.exe"), "MZ"));
  EXPECT_EQ(install_, InstallLayout(version).installDir());
  // Two folders up is too far.
  std::wstring deeper = joinPath(version, L"bin");
  ASSERT_TRUE(createDirectoryWithParents(deeper));
  EXPECT_EQ(deeper, InstallLayout(deeper).installDir());

  // A launcher beside the executable keeps its folder.
  ASSERT_TRUE(writeFile(joinPath(version, L"launcher.exe"), "MZ"));
  EXPECT_EQ(version, InstallLayout(version).installDir());
}

TEST_F(InstallLayoutTest, SingleProfileKeepsDataInTheInstallation) {
  writeInstallerPrefs(R"({"single_profile": true})");
  InstallLayout layout(install_);
  EXPECT_TRUE(layout.isSingleProfile());
  std::wstring path;
  ASSERT_TRUE(layout.profileDirectory(&path, false));
  EXPECT_EQ(joinPath(joinPath(install_, L"profile"), L"data"), path);
  ASSERT_TRUE(layout.profileDirectory(&path, true));
  EXPECT_EQ(joinPath(install_, L"profile"), path);
  EXPECT_FALSE(directoryExists(path));  // Nothing is created here.
}

TEST_F(InstallLayoutTest, AnythingButBooleanTrueUsesTheRoamingFolder) {
  const char* samples[] = {R"({"single_profile": "true"})",
                           R"({"single_profile": 1})",
                           R"({"single_profile": false})",
                           R"({"other": true})",
                           R"({"single_profile": true,})",
                           "[true]",
                           ""};
  for (const char* sample : samples) {
    writeInstallerPrefs(sample);
    InstallLayout layout(install_);
    EXPECT_FALSE(layout.isSingleProfile()) << sample;
    std::wstring path;
    ASSERT_TRUE(layout.profileDirectory(&path, false)) << sample;
    EXPECT_EQ(roamingUserData(), path) << sample;
    ASSERT_TRUE(layout.profileDirectory(&path, true)) << sample;
    EXPECT_EQ(candidate(L"Tavra Install"), path) << sample;
  }
  ASSERT_TRUE(deleteFile(joinPath(install_, L"installer_prefs.json")));
  InstallLayout withoutFile(install_);
  EXPECT_FALSE(withoutFile.isSingleProfile());
  std::wstring path;
  ASSERT_TRUE(withoutFile.profileDirectory(&path, false));
  EXPECT_EQ(roamingUserData(), path);
}

// The installer's settings are read as the browser's "Local State" is: a
// string that cannot be decoded does not hide the choice, and only a file that
// cannot be read at all falls back to the default.
TEST_F(InstallLayoutTest, UndecodableStringsDoNotHideSingleProfile) {
  using namespace std::string_literals;
  struct Sample {
    const char* name;
    std::string contents;
    bool singleProfile;
  };
  const std::string choice = "\"single_profile\": true";
  const Sample samples[] = {
      {"lone high surrogate", "{\"name\": \"\\ud800\", " + choice + "}", true},
      {"reversed pair", "{\"name\": \"\\udc00\\ud800\", " + choice + "}", true},
      {"invalid byte in a key", "{\"\xFF\": 1, " + choice + "}", true},
      {"overlong form", "{" + choice + ", \"name\": \"\xC0\x80\"}", true},
      {"encoded surrogate", "{\"name\": [\"\xED\xB0\x80\"], " + choice + "}", true},
      {"truncated", "{" + choice + ", \"name\": \"\xFF", false},
      {"too deep", "{" + choice + ", \"n\": " + std::string(600, '[') + std::string(600, ']') + "}",
       false},
      {"NUL byte", "{" + choice + ", \"name\": \"a\0b\"}"s, false},
      {"too large", "{" + choice + "}" + std::string(kMaxJsonFileSize, ' '), false},
  };
  for (const Sample& sample : samples) {
    writeInstallerPrefs(sample.contents);
    InstallLayout layout(install_);
    EXPECT_EQ(sample.singleProfile, layout.isSingleProfile()) << sample.name;
    std::wstring path;
    ASSERT_TRUE(layout.profileDirectory(&path, false)) << sample.name;
    EXPECT_EQ(sample.singleProfile ? joinPath(joinPath(install_, L"profile"), L"data")
                                   : roamingUserData(),
              path)
        << sample.name;
  }
}

TEST_F(InstallLayoutTest, InstallerPrefsAreReadOnce) {
  writeInstallerPrefs(R"({"single_profile": true})");
  InstallLayout layout(install_);
  ASSERT_TRUE(layout.isSingleProfile());
  writeInstallerPrefs(R"({"single_profile": false})");
  EXPECT_TRUE(layout.isSingleProfile());
  EXPECT_FALSE(InstallLayout(install_).isSingleProfile());
}

TEST_F(InstallLayoutTest, NoInstallationFolderMeansNoDirectories) {
  InstallLayout layout(L"");
  EXPECT_TRUE(layout.installDir().empty());
  EXPECT_FALSE(layout.isSingleProfile());
  std::wstring path = L"untouched";
  EXPECT_FALSE(layout.profileDirectory(&path, false));
  EXPECT_FALSE(layout.profileDirectory(&path, true));
  EXPECT_FALSE(layout.dravelSmallPrefsDir(&path));
  EXPECT_FALSE(layout.dravelLargePrefsDir(&path));
  EXPECT_EQ(L"untouched", path);
}

TEST_F(InstallLayoutTest, InstallationAtADriveRootUsesTheVendorName) {
  InstallLayout layout(L"C:\\");
  std::wstring path;
  ASSERT_TRUE(layout.profileDirectory(&path, true));
  EXPECT_EQ(candidate(L"Tavra"), path);
}

TEST_F(InstallLayoutTest, SmallPrefsInTheBaseWin) {
  InstallLayout layout(install_);
  std::wstring base = candidate(L"Tavra Install");
  addPrefsFile(base);
  addPrefsFile(candidate(L"Tavra x64"));
  std::wstring path;
  ASSERT_TRUE(layout.dravelSmallPrefsDir(&path));
  EXPECT_EQ(base, path);
  // Its large counterpart is the same place below the local folder.
  ASSERT_TRUE(layout.dravelLargePrefsDir(&path));
  EXPECT_EQ(joinPath(joinPath(local_, L"Tavra"), L"Tavra Install"), path);
}

TEST_F(InstallLayoutTest, SingleProfileOnlyLooksInItsOwnBase) {
  writeInstallerPrefs(R"({"single_profile": true})");
  InstallLayout layout(install_);
  addPrefsFile(candidate(L"Tavra"));
  std::wstring path;
  EXPECT_FALSE(layout.dravelSmallPrefsDir(&path));
  EXPECT_FALSE(layout.dravelLargePrefsDir(&path));

  std::wstring base = joinPath(install_, L"profile");
  addPrefsFile(base);
  ASSERT_TRUE(layout.dravelSmallPrefsDir(&path));
  EXPECT_EQ(base, path);
  // Outside the roaming folder, the large prefs share the small folder.
  ASSERT_TRUE(layout.dravelLargePrefsDir(&path));
  EXPECT_EQ(base, path);
}

TEST_F(InstallLayoutTest, NoPrefsFileAnywhereFails) {
  InstallLayout layout(install_);
  ASSERT_TRUE(createDirectoryWithParents(candidate(L"Tavra")));
  ASSERT_TRUE(createDirectoryWithParents(candidate(L"Tavra x64")));
  std::wstring path = L"untouched";
  EXPECT_FALSE(layout.dravelSmallPrefsDir(&path));
  EXPECT_FALSE(layout.dravelLargePrefsDir(&path));
  EXPECT_EQ(L"untouched", path);
}

TEST_F(InstallLayoutTest, NewerCandidateWinsAndTiesGoToX64) {
  InstallLayout layout(install_);
  std::wstring plain = addPrefsFile(candidate(L"Tavra"));
  std::wstring x64 = addPrefsFile(candidate(L"Tavra x64"));
  std::wstring path;

  ASSERT_TRUE(setLastWriteTime(plain, kSomeTime));
  ASSERT_TRUE(setLastWriteTime(x64, kSomeTime));
  ASSERT_TRUE(layout.dravelSmallPrefsDir(&path));
  EXPECT_EQ(candidate(L"Tavra x64"), path);
  ASSERT_TRUE(layout.dravelLargePrefsDir(&path));
  EXPECT_EQ(joinPath(joinPath(local_, L"Tavra"), L"Tavra x64"), path);

  ASSERT_TRUE(setLastWriteTime(plain, kSomeTime + 1));
  ASSERT_TRUE(layout.dravelSmallPrefsDir(&path));
  EXPECT_EQ(candidate(L"Tavra"), path);

  ASSERT_TRUE(deleteFile(x64));
  ASSERT_TRUE(setLastWriteTime(plain, kSomeTime - 1000));
  ASSERT_TRUE(layout.dravelSmallPrefsDir(&path));
  EXPECT_EQ(candidate(L"Tavra"), path);
}

TEST_F(InstallLayoutTest, PickNewerPrefsDirNeedsTheFile) {
  std::wstring first = joinPath(temp_.path(), L"first");
  std::wstring second = joinPath(temp_.path(), L"second");
  // A directory of the file's name does not count.
  ASSERT_TRUE(createDirectoryWithParents(joinPath(first, L"p.ini")));
  ASSERT_TRUE(createDirectoryWithParents(second));
  std::wstring result = L"untouched";
  EXPECT_FALSE(InstallLayout::pickNewerPrefsDir(first, second, L"p.ini", &result));
  EXPECT_EQ(L"untouched", result);
  ASSERT_TRUE(writeFile(joinPath(second, L"p.ini"), "x"));
  ASSERT_TRUE(InstallLayout::pickNewerPrefsDir(first, second, L"p.ini", &result));
  EXPECT_EQ(second, result);
}

TEST_F(InstallLayoutTest, ProcessWideInstanceComesFromTheExecutableFolder) {
  ASSERT_TRUE(PathService::overridePath(DIR_EXE, install_));
  {
    AtExitScope scope;
    InstallLayout* layout = InstallLayout::get();
    ASSERT_NE(nullptr, layout);
    EXPECT_EQ(install_, layout->installDir());
    EXPECT_EQ(layout, InstallLayout::get());
  }
  // Once the scope has destroyed it, the next use builds it anew.
  std::wstring other = joinPath(temp_.path(), L"other");
  ASSERT_TRUE(PathService::overridePath(DIR_EXE, other));
  AtExitScope scope;
  InstallLayout* layout = InstallLayout::get();
  ASSERT_NE(nullptr, layout);
  EXPECT_EQ(other, layout->installDir());
}

}  // namespace
}  // namespace tavra
