#include "desktop/windows/product_environment/product_paths.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "desktop/windows/product_environment/install_layout.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/path_service.h"

namespace tavra {

const GUID kFolderIdDocuments = {
    0xfdd39ad0, 0x238f, 0x46af, {0xad, 0xb4, 0x6c, 0x85, 0x48, 0x03, 0x69, 0xc7}};
const GUID kFolderIdDownloads = {
    0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}};
const GUID kFolderIdMusic = {
    0x4bd8d571, 0x6d19, 0x48d3, {0xbe, 0x97, 0x42, 0x22, 0x20, 0x08, 0x0e, 0x43}};
const GUID kFolderIdPictures = {
    0x33e28130, 0x4e1e, 0x4676, {0x83, 0x5a, 0x98, 0x39, 0x5c, 0x3b, 0xc3, 0xbb}};
const GUID kFolderIdVideos = {
    0x18989b1d, 0x99b5, 0x455b, {0x84, 0x1c, 0xab, 0x7c, 0x74, 0xe4, 0xdd, 0xfc}};

namespace {

constexpr DWORD kKnownFolderCreateFlags = 0x8800;  // KF_FLAG_CREATE | KF_FLAG_INIT

// Accepts `path` when it names a directory, creating it (with parents) when
// it is missing.
bool ensureDirectory(const std::wstring& path) {
  return directoryExists(path) || createDirectoryWithParents(path);
}

bool getJoined(int baseKey, const wchar_t* component, std::wstring* path) {
  std::wstring base;
  if (!PathService::get(baseKey, &base)) return false;
  *path = joinPath(base, component);
  return true;
}

bool getDocuments(std::wstring* path) { return getKnownFolder(kFolderIdDocuments, path, true); }

// A media folder, or the Documents folder where the user has none.
bool getMediaFolder(const GUID& folderId, std::wstring* path) {
  return getKnownFolder(folderId, path, false) || getDocuments(path);
}

// A switch's value when the switch is given (an empty value fails), else the
// layout's own answer.
bool getPrefsDir(const char* switchName, bool large, std::wstring* path) {
  const CommandLine& commandLine = CommandLine::forCurrentProcess();
  if (commandLine.hasSwitch(switchName)) {
    std::wstring value = commandLine.switchValue(switchName);
    if (value.empty()) return false;
    *path = value;
    return true;
  }
  InstallLayout* layout = InstallLayout::get();
  if (layout == nullptr) return false;
  return large ? layout->dravelLargePrefsDir(path) : layout->dravelSmallPrefsDir(path);
}

bool getUserDataDir(std::wstring* path) {
  InstallLayout* layout = InstallLayout::get();
  return layout != nullptr && layout->profileDirectory(path, false);
}

// Computes the answer for `key` into `result`; the caller's path is set only
// on success.
bool computePath(int key, std::wstring* result) {
  switch (key) {
    case SHARED_DIR_USER_DATA:
    case DIR_USER_DATA_ALIAS:
      return PathService::get(DIR_USER_DATA, result);
    case DIR_USER_DATA:
      return getUserDataDir(result) && ensureDirectory(*result);
    case SHARED_DIR_CRASH_REPORTS:
    case DIR_CRASH_REPORTS: {
      std::wstring userData;
      if (!getUserDataDir(&userData)) return false;
      *result = joinPath(userData, L"Crash Reports");
      return ensureDirectory(*result);
    }
    case DIR_INSTALL: {
      InstallLayout* layout = InstallLayout::get();
      if (layout == nullptr || layout->installDir().empty()) return false;
      *result = layout->installDir();
      return true;
    }
    case SHARED_DIR_RESOURCES:
    case DIR_RESOURCES:
      return getJoined(DIR_MODULE, L"resources", result);
    case SHARED_DIR_INSPECTOR:
    case DIR_INSPECTOR:
      return getJoined(DIR_RESOURCES, L"inspector", result);
    case SHARED_DIR_DICTIONARIES:
    case DIR_DICTIONARIES:
      return getJoined(DIR_USER_DATA, L"dictionaries", result) && ensureDirectory(*result);
    case SHARED_DIR_DOCUMENTS:
    case DIR_DOCUMENTS:
      return getDocuments(result) && ensureDirectory(*result);
    case SHARED_DIR_MUSIC:
    case DIR_MUSIC:
      return getMediaFolder(kFolderIdMusic, result);
    case SHARED_DIR_PICTURES:
    case DIR_PICTURES:
      return getMediaFolder(kFolderIdPictures, result);
    case SHARED_DIR_VIDEOS:
    case DIR_VIDEOS:
      return getMediaFolder(kFolderIdVideos, result);
    case SHARED_DIR_USER_DOCUMENTS:
    case DIR_USER_DOCUMENTS:
      return getDocuments(result);
    case SHARED_DIR_DOWNLOADS:
    case DIR_DOWNLOADS:
      return getKnownFolder(kFolderIdDownloads, result, true);
    case SHARED_DIR_EXTENSIONS:
    case DIR_EXTENSIONS:
      return getJoined(DIR_MODULE, L"extensions", result) && ensureDirectory(*result);
    case FILE_BROWSER_JS:
      return getJoined(DIR_USER_DATA, L"browser.js", result);
    case FILE_CRASH_FEEDBACK_URL:
      return getJoined(DIR_USER_DATA, L"crash_feedback_url.txt", result);
    case SHARED_FILE_LOCAL_STATE:
    case FILE_LOCAL_STATE:
      return getJoined(DIR_USER_DATA, L"Local State", result);
    case FILE_SITE_PREFS:
      return getJoined(DIR_USER_DATA, L"siteprefs.json", result);
    case SHARED_FILE_RESOURCES_PACK:
    case FILE_RESOURCES_PACK:
      return getJoined(DIR_MODULE, L"tavra.pak", result);
    case FILE_PDF_PLUGIN:
      return getJoined(DIR_MODULE, L"pdf.dll", result);
    case DIR_APP:
      return PathService::get(DIR_EXE, result);
    case SHARED_DIR_EXTENSION_RESOURCES:
    case DIR_EXTENSION_RESOURCES:
      return getJoined(DIR_MODULE, L"resources\\extension", result);
    case DIR_DRAVEL_SMALL_PREFS:
      return getPrefsDir("dravel-small-prefs-dir", false, result);
    case DIR_DRAVEL_LARGE_PREFS:
      return getPrefsDir("dravel-large-prefs-dir", true, result);
    case DIR_CHROME_USER_DATA:
      return getJoined(DIR_LOCAL_APP_DATA, L"Google\\Chrome\\User Data", result);
    case DIR_TEST_DATA:
      return getJoined(DIR_MODULE, L"test_data", result) && pathExists(*result);
    case DIR_DESKTOP_TEST_DATA:
      return getJoined(DIR_MODULE, L"test_data_desktop\\test_data", result) && pathExists(*result);
    case DIR_THEMES:
      return getJoined(DIR_USER_DATA, L"themes", result);
    default:
      return false;
  }
}

}  // namespace

Seam<KnownFolderPathFunction> knownFolderPathSeam(&SHGetKnownFolderPath);

bool productPathProvider(int key, std::wstring* path) {
  if (path == nullptr) return false;
  std::wstring result;
  if (!computePath(key, &result)) return false;
  *path = result;
  return true;
}

bool registerProductPaths() {
  PathService::registerProvider(&productPathProvider, PRODUCT_PATH_START, PRODUCT_PATH_END);
  std::wstring moduleDir;
  if (!PathService::get(DIR_MODULE, &moduleDir)) return true;
  return PathService::overridePath(DIR_LOCALIZATION, joinPath(moduleDir, L"localization"));
}

bool getKnownFolder(const GUID& folderId, std::wstring* path, bool create) {
  if (path == nullptr) return false;
  PWSTR found = nullptr;
  HRESULT result = knownFolderPathSeam(folderId, 0, nullptr, &found);
  if (FAILED(result) && create) {
    // The call may hand out a path even when it fails; it is ours to free.
    CoTaskMemFree(found);
    found = nullptr;
    result = knownFolderPathSeam(folderId, kKnownFolderCreateFlags, nullptr, &found);
  }
  if (FAILED(result) || found == nullptr) {
    CoTaskMemFree(found);
    return false;
  }
  *path = found;
  CoTaskMemFree(found);
  return true;
}

}  // namespace tavra
