// Shows how this Wine ends a process badly when other threads are not at
// rest at that moment. It uses nothing of the project: only the system and
// the C runtime, so that what it shows is the platform's.
//
//   exit_race_probe.exe MODE [THREADS] [END]
//
// MODE says what THREADS other threads (default 16) are doing when the main
// thread ends the process:
//   starting    just created, still in their start-up;
//   settled     the same threads, but the main thread first waits (2 s at
//               most) until each has finished its start-up;
//   allocating  allocating and freeing memory in a loop;
//   waiting     blocked in a wait (the control: nothing happens).
// END is how the process ends: "return" from main (default; the static
// destructors and the at-exit handlers run, then ExitProcess) or
// "terminate" (TerminateProcess of the process itself, which runs neither).
//
// Before it ends it prints the line that a passing test program prints last.
// Under Wine 8.0 (i386) a process ends by SIGSEGV after that line when a
// thread is killed before its start-up is done: the signal that ends the
// thread finds the thread's registers not yet set up, and its handler
// faults again inside the fault handler. Threads that are busy with the heap
// when they are killed may leave its lock taken, and the process then never
// ends. testing/exit_race_probe/run_exit_race_probe.sh counts both.
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

constexpr DWORD kSettleLimitMs = 2000;

// Threads that have finished their start-up, less those that began to end:
// the system calls every thread's TLS callbacks of the program once the
// thread is set up, before its start routine runs, and again when it ends.
volatile LONG g_runningThreads = 0;

void NTAPI countThreads(PVOID /*module*/, DWORD reason, PVOID /*reserved*/) {
  if (reason == DLL_THREAD_ATTACH) InterlockedIncrement(&g_runningThreads);
  if (reason == DLL_THREAD_DETACH) InterlockedDecrement(&g_runningThreads);
}

// The C runtime's start-up walks the callbacks between .CRT$XLA and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK g_countThreads =
    countThreads;

volatile LONG g_ready = 0;
HANDLE g_never = nullptr;

DWORD WINAPI blockForever(void*) {
  WaitForSingleObject(g_never, INFINITE);
  return 0;
}

DWORD WINAPI waitReady(void*) {
  InterlockedIncrement(&g_ready);
  WaitForSingleObject(g_never, INFINITE);
  return 0;
}

DWORD WINAPI allocate(void*) {
  InterlockedIncrement(&g_ready);
  // Blocks of changing sizes, grown once, as strings are built.
  for (unsigned i = 0;; ++i) {
    std::string text(64 + i % 200, 'x');
    text += "y";
  }
  return 0;
}

// This process's threads, the main one included; 0 when the snapshot fails.
LONG countProcessThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  LONG count = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// Until every thread but the main one has finished its start-up and none has
// begun to end.
void waitUntilSettled() {
  const DWORD start = GetTickCount();
  while (countProcessThreads() != 1 + g_runningThreads && GetTickCount() - start < kSettleLimitMs) {
    Sleep(1);
  }
}

bool startThreads(int count, LPTHREAD_START_ROUTINE routine) {
  for (int i = 0; i < count; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
  }
  return true;
}

int usage() {
  fprintf(stderr,
          "usage: exit_race_probe.exe starting|settled|allocating|waiting [THREADS] "
          "[return|terminate]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* mode = argv[1];
  const int threads = argc > 2 ? atoi(argv[2]) : 16;
  const char* end = argc > 3 ? argv[3] : "return";
  if (threads < 1 || threads > 256) return usage();
  if (strcmp(end, "return") != 0 && strcmp(end, "terminate") != 0) return usage();
  g_never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_never == nullptr) return 1;

  if (strcmp(mode, "starting") == 0 || strcmp(mode, "settled") == 0) {
    if (!startThreads(threads, blockForever)) return 1;
    if (strcmp(mode, "settled") == 0) waitUntilSettled();
  } else if (strcmp(mode, "allocating") == 0 || strcmp(mode, "waiting") == 0) {
    if (!startThreads(threads, strcmp(mode, "waiting") == 0 ? waitReady : allocate)) return 1;
    while (g_ready < threads) Sleep(1);
    Sleep(10);
  } else {
    return usage();
  }

  printf("[  PASSED  ] %s\n", mode);
  fflush(stdout);
  if (strcmp(end, "terminate") == 0) TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}
