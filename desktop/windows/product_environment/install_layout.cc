#include "desktop/windows/product_environment/install_layout.h"

#include <new>

#include "desktop/windows/product_environment/release_channel.h"
#include "runtime/file_util.h"
#include "runtime/lazy_instance.h"
#include "runtime/path_service.h"
#include "runtime/scoped_lock.h"

namespace tavra {
namespace {

constexpr wchar_t kLauncherName[] = L"launcher.exe";
constexpr wchar_t kInstallerPrefsName[] = L"installer_prefs.json";
constexpr char kSingleProfileKey[] = "single_profile";
constexpr wchar_t kPrefsFileName[] = L"tavraprefs.ini";

LazyInstance<InstallLayout> g_layout;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The part of `path` below `dir` (without a leading separator) when `path`
// lies in `dir` or is `dir` itself; paths compare without regard to case.
bool relativePathBelow(const std::wstring& dir, const std::wstring& path, std::wstring* relative) {
  std::wstring base = stripTrailingSeparators(dir);
  if (base.empty() || path.size() < base.size()) return false;
  if (CompareStringOrdinal(base.c_str(), static_cast<int>(base.size()), path.c_str(),
                           static_cast<int>(base.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }
  size_t rest = base.size();
  if (rest < path.size() && !isSeparator(path[rest]) && !isSeparator(base.back())) {
    return false;  // "C:\Roaming2" does not lie in "C:\Roaming".
  }
  while (rest < path.size() && isSeparator(path[rest])) ++rest;
  *relative = path.substr(rest);
  return true;
}

bool hasPrefsFile(const std::wstring& dir, const std::wstring& fileName, FileInfo* info) {
  return getFileInfo(joinPath(dir, fileName), info) && !info->isDirectory;
}

std::wstring executableDirectory() {
  std::wstring dir;
  if (!PathService::get(DIR_EXE, &dir)) dir.clear();
  return dir;
}

}  // namespace

InstallLayout* InstallLayout::get() { return g_layout.get(); }

InstallLayout::InstallLayout() : InstallLayout(executableDirectory()) {}

InstallLayout::InstallLayout(const std::wstring& executableDir) {
  installDir_ = stripTrailingSeparators(executableDir);
  if (installDir_.empty() || pathExists(joinPath(installDir_, kLauncherName))) return;
  // The executable may live in a subfolder (a version folder) of the
  // installation, which holds the launcher.
  std::wstring parent = dirName(installDir_);
  if (!parent.empty() && pathExists(joinPath(parent, kLauncherName))) installDir_ = parent;
}

bool InstallLayout::isSingleProfile() {
  if (installDir_.empty()) return false;
  ScopedSrwLock lock(&settingsLock_);
  if (installerSettings_ == nullptr) {
    installerSettings_.reset(new (std::nothrow)
                                 JsonSettingsStore(joinPath(installDir_, kInstallerPrefsName)));
    if (installerSettings_ != nullptr) installerSettings_->read();
  }
  bool singleProfile = false;
  if (installerSettings_ != nullptr &&
      !installerSettings_->getBoolean(kSingleProfileKey, &singleProfile)) {
    singleProfile = false;
  }
  return singleProfile;
}

bool InstallLayout::profileDirectory(std::wstring* path, bool small) {
  if (path == nullptr || installDir_.empty()) return false;
  if (isSingleProfile()) {
    std::wstring profile = joinPath(installDir_, L"profile");
    *path = small ? profile : joinPath(profile, L"data");
    return true;
  }
  std::wstring roaming;
  if (!PathService::get(DIR_APP_DATA, &roaming)) return false;
  if (small) {
    std::wstring name = dirName(installDir_).empty() ? L"Tavra" : baseName(installDir_);
    *path = joinPath(joinPath(roaming, L"Tavra"), name);
  } else {
    *path = joinPath(joinPath(roaming, L"Tavra Software"), L"Tavra " + getChannelDisplayName());
  }
  return true;
}

bool InstallLayout::dravelSmallPrefsDir(std::wstring* path) {
  if (path == nullptr) return false;
  std::wstring base;
  if (!profileDirectory(&base, true)) return false;
  FileInfo info;
  if (hasPrefsFile(base, kPrefsFileName, &info)) {
    *path = base;
    return true;
  }
  if (isSingleProfile()) return false;
  std::wstring roaming;
  if (!PathService::get(DIR_APP_DATA, &roaming)) return false;
  std::wstring vendor = joinPath(roaming, L"Tavra");
  return pickNewerPrefsDir(joinPath(vendor, L"Tavra"), joinPath(vendor, L"Tavra x64"),
                           kPrefsFileName, path);
}

bool InstallLayout::dravelLargePrefsDir(std::wstring* path) {
  if (path == nullptr) return false;
  std::wstring small;
  if (!dravelSmallPrefsDir(&small)) return false;
  std::wstring roaming;
  std::wstring relative;
  if (PathService::get(DIR_APP_DATA, &roaming) && relativePathBelow(roaming, small, &relative)) {
    std::wstring local;
    if (!PathService::get(DIR_LOCAL_APP_DATA, &local)) return false;
    *path = relative.empty() ? local : joinPath(local, relative);
    return true;
  }
  *path = small;
  return true;
}

bool InstallLayout::pickNewerPrefsDir(const std::wstring& first, const std::wstring& second,
                                      const std::wstring& fileName, std::wstring* result) {
  if (result == nullptr) return false;
  FileInfo firstInfo;
  FileInfo secondInfo;
  bool firstHas = hasPrefsFile(first, fileName, &firstInfo);
  bool secondHas = hasPrefsFile(second, fileName, &secondInfo);
  if (firstHas && (!secondHas || firstInfo.lastWriteTime > secondInfo.lastWriteTime)) {
    *result = first;
    return true;
  }
  if (secondHas) {
    *result = second;
    return true;
  }
  return false;
}

}  // namespace tavra
