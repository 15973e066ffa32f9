// Paths of the crashed process's files as the snapshot meets them: which
// module paths it may open, and the executable's path in the drive-letter
// form that the module list uses.
//
// A module path comes from the crashed process's own loader data, which that
// process can rewrite at will; the executable's path as the system reports it
// cannot be forged. So a module file is opened only when its path is a plain
// disk path or names the executable itself: never a device, a pipe or a
// share of the process's choosing.
//
// Threads: called by the thread that captures a crash; nothing here keeps
// state between calls. Failures are logged to the reporter's diagnostic log.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_PATH_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_PATH_H_

#include <windows.h>

#include <string>

namespace tavra {

// What the snapshot does with a module path.
enum class ModulePathUse {
  // A drive-letter path ("C:\..." or "\\?\C:\..."), or the executable itself
  // on a share.
  Open,
  // A device, a pipe, another name space or a relative path: no file at all.
  NotAFile,
  // Any other share ("\\server\share\..." or "\\?\UNC\server\share\..."):
  // opening it would block for the network's time-out when the host does not
  // answer, and would make the reporter authenticate to a host of the
  // process's choosing.
  Share,
};

// `imagePath` is the executable's path as the system reports it
// (getProcessImagePath), which the process cannot forge; empty when unknown.
// A share path is opened only when it names that file, in any letter case.
ModulePathUse moduleFilePathUse(const std::wstring& path, const std::wstring& imagePath);

// Whether `path` is the executable's path `imagePath`, in any letter case. An
// image path that could not be had (empty) matches nothing.
bool isExecutablePath(const std::wstring& path, const std::wstring& imagePath);

// Opens a module's file for `ModuleInfoImpl::inspect`; INVALID_HANDLE_VALUE
// (logged) when it cannot be opened or is not to be (moduleFilePathUse), or
// when it is no disk file. The caller owns the handle.
HANDLE openModuleFile(const std::wstring& path, const std::wstring& imagePath);

// The executable of `process` as a drive-letter path ("C:\dir\app.exe"), or
// as a share path ("\\server\share\app.exe") when it was started from one,
// from its device-form path and the system's drive names. False (logged) when
// it cannot be had.
bool getProcessImagePath(HANDLE process, std::wstring* path);

enum class DevicePathMatch {
  None,       // not on that device
  Converted,  // `path` holds the drive-letter (or share) form
  TooLong,    // on that device, but the drive-letter form would not fit (logged)
};

// When `devicePath` lies on the device `deviceName` (the device name is its
// beginning, in any letter case, and a backslash follows it), sets `path` to
// `driveName` followed by the rest of the device path from that backslash on.
// The result must fit in MAX_PATH characters with its NUL.
DevicePathMatch devicePathOnDrive(const std::wstring& devicePath, const std::wstring& driveName,
                                  const std::wstring& deviceName, std::wstring* path);

// A file on a share has the device-form path "\Device\Mup\server\share\...";
// sets `path` to its share form "\\server\share\..." under the same rules. A
// share reached through a mapped drive ("\Device\Mup\;...") has no plain
// share form: None.
DevicePathMatch devicePathOnShare(const std::wstring& devicePath, std::wstring* path);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_PATH_H_
