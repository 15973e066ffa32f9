// The reporter's process entry point.
#include <windows.h>

#include "desktop/windows/crash_reporter/lifecycle/crash_reporter_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return tavra::runCrashReporterProcess(); }
