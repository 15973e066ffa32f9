// Where the browser is installed and where that installation keeps the
// user's data: next to the program (a single-profile installation, chosen by
// "single_profile" in "installer_prefs.json") or in the user's roaming
// application-data folder.
#ifndef DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_INSTALL_LAYOUT_H_
#define DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_INSTALL_LAYOUT_H_

#include <windows.h>

#include <memory>
#include <string>

#include "runtime/json_settings_store.h"
#include "runtime/scoped_lock.h"

namespace tavra {

class InstallLayout {
 public:
  // The process-wide instance, created on first use from any thread and
  // destroyed by the innermost at-exit scope. Null only when it could not be
  // allocated.
  static InstallLayout* get();

  // The layout of the running executable (the path service's key 2); the
  // process-wide instance is made this way.
  InstallLayout();
  // The layout of an executable in `executableDir`; an empty directory gives
  // a layout without an installation directory.
  explicit InstallLayout(const std::wstring& executableDir);
  InstallLayout(const InstallLayout&) = delete;
  InstallLayout& operator=(const InstallLayout&) = delete;

  // The installation directory; empty when the executable's directory could
  // not be found.
  const std::wstring& installDir() const { return installDir_; }

  // The boolean "single_profile" of "installer_prefs.json". The file is read
  // on the first call only; a missing or unreadable file, a missing key or a
  // value of another type all mean false.
  bool isSingleProfile();

  // The user data directory (`small` false) or the base of the small prefs
  // directory (`small` true). False when there is no installation directory
  // or, outside single-profile installations, no roaming folder.
  bool profileDirectory(std::wstring* path, bool small);

  // The folder whose "tavraprefs.ini" holds the small dravel prefs; false when
  // there is none.
  bool dravelSmallPrefsDir(std::wstring* path);
  // Its counterpart under the local application-data folder (the small one
  // itself when that does not lie in the roaming folder).
  bool dravelLargePrefsDir(std::wstring* path);

  // Of two directories, the one whose `fileName` was written last; the second
  // on a tie, the only one that has the file, or false when neither has it.
  static bool pickNewerPrefsDir(const std::wstring& first, const std::wstring& second,
                                const std::wstring& fileName, std::wstring* result);

 private:
  std::wstring installDir_;
  // Guards the one-time creation and read of the installer settings, since
  // path look-ups may come from any thread.
  SrwLock settingsLock_;
  std::unique_ptr<JsonSettingsStore> installerSettings_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_INSTALL_LAYOUT_H_
