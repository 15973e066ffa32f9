// Holds Wine's desktop for a whole test run, started by tools/wine_session.sh
// with its standard streams on /dev/null.
//
// Wine starts the desktop process when the first program needs it, and that
// process inherits the program's standard streams; it ends only a few
// seconds after the last program has left the desktop. Under CTest, a test
// whose child happened to start it would keep the test's output open, and so
// the test running, until the desktop ended, which with other tests running
// beside it can take minutes. With this program on the desktop from the
// start, no test starts it. It ends when the run's wineserver is stopped.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  GetDesktopWindow();
  Sleep(INFINITE);
  return 0;
}
