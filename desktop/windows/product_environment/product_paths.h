// The browser's own path keys and the provider that answers them for the
// runtime's path service.
//
// Registered on the main thread before any path is asked for; the provider
// keeps no state and may then be called from any thread (the path service
// serialises its own cache).
#ifndef DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_PRODUCT_PATHS_H_
#define DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_PRODUCT_PATHS_H_

#include <windows.h>

#include <string>

#include "runtime/seam.h"

namespace tavra {

enum ProductPathKey {
  // Keys that the browser's shared components ask for. Those named
  // SHARED_* answer exactly as the product key of the same name.
  SHARED_DIR_USER_DATA = 1001,  // Alias of DIR_USER_DATA.
  DIR_USER_DATA = 1002,         // The user data directory; created when missing.
  SHARED_DIR_CRASH_REPORTS = 1003,
  SHARED_DIR_RESOURCES = 1004,
  SHARED_DIR_INSPECTOR = 1005,
  SHARED_DIR_DICTIONARIES = 1006,
  SHARED_DIR_DOCUMENTS = 1007,
  SHARED_DIR_MUSIC = 1008,
  SHARED_DIR_PICTURES = 1009,
  SHARED_DIR_VIDEOS = 1010,
  SHARED_DIR_USER_DOCUMENTS = 1011,
  SHARED_DIR_DOWNLOADS = 1012,
  SHARED_DIR_EXTENSIONS = 1014,
  SHARED_FILE_LOCAL_STATE = 1020,
  SHARED_FILE_RESOURCES_PACK = 1033,
  SHARED_DIR_EXTENSION_RESOURCES = 1034,

  // The product's keys.
  PRODUCT_PATH_START = 2000,
  DIR_USER_DATA_ALIAS = 2001,  // Alias of DIR_USER_DATA.
  DIR_CRASH_REPORTS = 2002,
  DIR_INSTALL = 2003,
  DIR_RESOURCES = 2004,
  DIR_INSPECTOR = 2005,
  DIR_DICTIONARIES = 2006,
  DIR_DOCUMENTS = 2007,
  DIR_MUSIC = 2008,
  DIR_PICTURES = 2009,
  DIR_VIDEOS = 2010,
  DIR_USER_DOCUMENTS = 2011,
  DIR_DOWNLOADS = 2012,
  DIR_EXTENSIONS = 2013,
  FILE_BROWSER_JS = 2014,
  FILE_CRASH_FEEDBACK_URL = 2015,
  FILE_LOCAL_STATE = 2016,
  FILE_SITE_PREFS = 2017,
  FILE_RESOURCES_PACK = 2018,
  FILE_PDF_PLUGIN = 2019,
  DIR_APP = 2020,
  DIR_EXTENSION_RESOURCES = 2021,
  DIR_DRAVEL_SMALL_PREFS = 2022,
  DIR_DRAVEL_LARGE_PREFS = 2023,
  DIR_CHROME_USER_DATA = 2024,
  DIR_TEST_DATA = 2025,
  DIR_DESKTOP_TEST_DATA = 2026,
  DIR_THEMES = 2027,
  PRODUCT_PATH_END = 2027,

  // Set by registerProductPaths through an override, never by the provider.
  DIR_LOCALIZATION = 3001,
};

// Answers the keys above (but DIR_LOCALIZATION); false, leaving `path` alone,
// for every other key or when the path cannot be had.
bool productPathProvider(int key, std::wstring* path);

// Registers productPathProvider and overrides DIR_LOCALIZATION with the
// "localization" folder of the module directory. False when that override
// fails, which start-up treats as fatal.
bool registerProductPaths();

// The known folder `folderId`, created when missing if `create` is set.
bool getKnownFolder(const GUID& folderId, std::wstring* path, bool create);

// The known-folder ids that the provider asks for.
extern const GUID kFolderIdDocuments;
extern const GUID kFolderIdDownloads;
extern const GUID kFolderIdMusic;
extern const GUID kFolderIdPictures;
extern const GUID kFolderIdVideos;

// The shell function behind getKnownFolder (SHGetKnownFolderPath by default).
// Tests replace it to reach the retries, before any path is asked for.
using KnownFolderPathFunction = HRESULT(WINAPI*)(const GUID& folderId, DWORD flags, HANDLE token,
                                                 PWSTR* path);
extern Seam<KnownFolderPathFunction> knownFolderPathSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_PRODUCT_PATHS_H_
