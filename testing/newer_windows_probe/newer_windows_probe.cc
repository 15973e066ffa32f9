// Imports three functions that Windows 7 lacks, and is otherwise shaped like
// the shipped reporter: the import check must refuse it for exactly these.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>

// Windows 10 added it; the headers at hand may not declare it yet.
extern "C" __declspec(dllimport) HRESULT WINAPI
    SetThreadDescription(HANDLE thread, PCWSTR description);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  HANDLE file = CreateFile2(L"nul", GENERIC_READ, 0, OPEN_EXISTING, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  SetThreadDescription(GetCurrentThread(), L"probe");
  return static_cast<int>(now.dwLowDateTime & 1);
}
