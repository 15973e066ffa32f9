// The reporter's process entry point.
#include <windows.h>

#include "desktop/windows/crash_reporter/crash_reporter_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return tavra::runCrashReporterProcess(); }
