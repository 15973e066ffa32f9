#include "desktop/windows/crash_reporter/crash_data/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/utf_conversion.h"
#include "testing/test_support/text_occurrences.h"

namespace tavra {
namespace {

TEST(DevicePathTest, DevicePathsBecomeDriveLetterPaths) {
  struct Case {
    const wchar_t* devicePath;
    const wchar_t* deviceName;
    DevicePathMatch match;
    const wchar_t* path;
  };
  const Case cases[] = {
      {L"\\Device\\HarddiskVolume1\\app\\a.exe", L"\\Device\\HarddiskVolume1",
       DevicePathMatch::Converted, L"C:\\app\\a.exe"},
      {L"\\DEVICE\\harddiskvolume1\\a.exe", L"\\Device\\HarddiskVolume1",
       DevicePathMatch::Converted, L"C:\\a.exe"},
      // A longer device name on the same stem is another device.
      {L"\\Device\\HarddiskVolume10\\a.exe", L"\\Device\\HarddiskVolume1", DevicePathMatch::None,
       L""},
      {L"\\Device\\HarddiskVolume1", L"\\Device\\HarddiskVolume1", DevicePathMatch::None, L""},
      {L"\\Device\\Hard", L"\\Device\\HarddiskVolume1", DevicePathMatch::None, L""},
      {L"\\Device\\HarddiskVolume1\\a.exe", L"", DevicePathMatch::None, L""},
      {L"\\Device\\Mup\\server\\share\\a.exe", L"\\Device\\HarddiskVolume1", DevicePathMatch::None,
       L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(wideToUtf8(c.devicePath));
    std::wstring path;
    EXPECT_EQ(c.match, devicePathOnDrive(c.devicePath, L"C:", c.deviceName, &path));
    EXPECT_EQ(c.path, path);
  }

  // An executable started from a share.
  const Case shares[] = {
      {L"\\Device\\Mup\\server\\share\\app\\a.exe", L"", DevicePathMatch::Converted,
       L"\\\\server\\share\\app\\a.exe"},
      {L"\\DEVICE\\MUP\\server\\share\\a.exe", L"", DevicePathMatch::Converted,
       L"\\\\server\\share\\a.exe"},
      // Through a mapped drive: no plain share form.
      {L"\\Device\\Mup\\;LanmanRedirector\\;Z:0000000000012345\\server\\share\\a.exe", L"",
       DevicePathMatch::None, L""},
      {L"\\Device\\Mup\\\\a.exe", L"", DevicePathMatch::None, L""},
      {L"\\Device\\Mupx\\server\\share\\a.exe", L"", DevicePathMatch::None, L""},
      {L"\\Device\\HarddiskVolume1\\a.exe", L"", DevicePathMatch::None, L""},
  };
  for (const Case& c : shares) {
    SCOPED_TRACE(wideToUtf8(c.devicePath));
    std::wstring path;
    EXPECT_EQ(c.match, devicePathOnShare(c.devicePath, &path));
    EXPECT_EQ(c.path, path);
  }

  // The drive-letter form must fit in 260 characters with its NUL.
  setLogMessageHandler(&captureLogMessage, nullptr);
  const std::wstring device = L"\\Device\\HarddiskVolume1";
  const std::wstring longest = device + L"\\" + std::wstring(256, L'a');  // 2 + 257 = 259
  std::wstring path;
  EXPECT_EQ(DevicePathMatch::Converted, devicePathOnDrive(longest, L"D:", device, &path));
  EXPECT_EQ(259u, path.size());
  {
    LogCapture capture;
    path.clear();
    EXPECT_EQ(DevicePathMatch::TooLong, devicePathOnDrive(longest + L"a", L"D:", device, &path));
    EXPECT_EQ(L"", path);
    EXPECT_EQ(1u, occurrences(capture.text(), "max_path=260, path_length=260")) << capture.text();
  }
  setLogMessageHandler(nullptr, nullptr);

  // The process's own image, converted with the system's drives, is the path
  // of its executable.
  std::wstring own, executable;
  ASSERT_TRUE(getProcessImagePath(GetCurrentProcess(), &own));
  ASSERT_TRUE(getExecutablePath(&executable));
  EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(own.c_str(), -1, executable.c_str(), -1, TRUE))
      << wideToUtf8(own) << " " << wideToUtf8(executable);
}

TEST(ModulePathTest, DiskPathsAndTheExecutableOnAShareAreOpened) {
  using Use = ModulePathUse;
  const wchar_t kImage[] = L"\\\\Server\\Share\\app\\browser.exe";
  struct Case {
    const wchar_t* path;
    const wchar_t* imagePath;
    Use use;
  };
  const Case cases[] = {
      {L"C:\\windows\\system32\\kernel32.dll", kImage, Use::Open},
      {L"z:/build/app.exe", L"", Use::Open},
      {L"\\\\?\\C:\\app\\a.dll", L"", Use::Open},
      {L"\\\\?\\d:\\a.dll", kImage, Use::Open},
      // The executable itself, in any letter case and in either share form.
      {L"\\\\server\\share\\APP\\browser.exe", kImage, Use::Open},
      {L"\\\\?\\UNC\\Server\\Share\\app\\browser.exe", kImage, Use::Open},
      {L"\\\\?\\unc\\Server\\Share\\app\\browser.exe", kImage, Use::Open},
      // Any other file on a share, or a share when the executable is unknown.
      {L"\\\\Server\\Share\\app\\plugin.dll", kImage, Use::Share},
      {L"\\\\Server\\Share\\app\\browser.exe", L"", Use::Share},
      {L"\\\\Server\\Share\\app\\browser.ex", kImage, Use::Share},
      {L"\\\\Server\\Share\\app\\browser.exe.dll", kImage, Use::Share},
      {L"\\\\other\\share\\app\\browser.exe", kImage, Use::Share},
      {L"//Server/Share/app/plugin.dll", kImage, Use::Share},
      {L"\\\\?\\UNC\\other\\share\\a.dll", kImage, Use::Share},
      // The executable's path on a share is no disk path for anyone else.
      {L"\\\\Server\\Share\\app\\browser.exe", L"C:\\app\\browser.exe", Use::Share},
      {L"\\\\.\\pipe\\TavraCrashReporter1", kImage, Use::NotAFile},
      {L"\\\\.\\PhysicalDrive0", L"", Use::NotAFile},
      {L"\\\\.\\C:\\app.dll", L"", Use::NotAFile},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\a.dll", L"", Use::NotAFile},
      {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\a.dll", L"", Use::NotAFile},
      // Behind the long-path prefix a forward slash is part of a name.
      {L"\\\\?\\C:/app.dll", L"", Use::NotAFile},
      {L"\\\\?\\UNC\\Server/Share/app/browser.exe", L"", Use::NotAFile},
      {L"\\\\?\\UNC\\server", L"", Use::NotAFile},
      {L"\\\\?\\UNC\\\\share\\a.dll", L"", Use::NotAFile},
      {L"\\\\?\\C:", L"", Use::NotAFile},
      {L"//?/C:/app.dll", L"", Use::NotAFile},
      {L"\\\\server", L"", Use::NotAFile},
      {L"\\\\server\\", L"", Use::NotAFile},
      {L"\\\\server\\share", L"", Use::NotAFile},
      {L"\\\\\\share\\a.dll", L"", Use::NotAFile},
      {L"\\??\\C:\\app.dll", L"", Use::NotAFile},
      {L"CON", L"", Use::NotAFile},
      {L"app.dll", L"", Use::NotAFile},
      {L"1:\\app.dll", L"", Use::NotAFile},
      {L"", L"", Use::NotAFile},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.use, moduleFilePathUse(c.path, c.imagePath))
        << wideToUtf8(c.path) << " with " << wideToUtf8(c.imagePath);
  }
}

TEST(ModulePathTest, OnlyTheExecutablesOwnPathIsTheExecutable) {
  struct Case {
    const wchar_t* path;
    const wchar_t* imagePath;
    bool executable;
  };
  const Case cases[] = {
      {L"C:\\app\\browser.exe", L"C:\\app\\browser.exe", true},
      {L"c:\\APP\\Browser.EXE", L"C:\\app\\browser.exe", true},
      {L"C:\\app\\browser.exe.dll", L"C:\\app\\browser.exe", false},
      {L"C:\\app\\browser.ex", L"C:\\app\\browser.exe", false},
      // An image path that could not be had matches nothing, not even itself.
      {L"C:\\app\\browser.exe", L"", false},
      {L"", L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.executable, isExecutablePath(c.path, c.imagePath))
        << wideToUtf8(c.path) << " with " << wideToUtf8(c.imagePath);
  }
}

}  // namespace
}  // namespace tavra
