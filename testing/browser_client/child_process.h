// A program started with its standard input and output on pipes, driven one
// text line at a time: how tests and the benchmark talk to test clients. And
// the start of any program as a child of this process.
//
// Everything runs on the caller's thread; a ChildProcess belongs to one
// thread at a time.
#ifndef TESTING_BROWSER_CLIENT_CHILD_PROCESS_H_
#define TESTING_BROWSER_CLIENT_CHILD_PROCESS_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/scoped_holder.h"

namespace tavra {

// The path of a program in the directory of the running executable.
std::wstring siblingProgramPath(const std::wstring& fileName);

// Starts `program` with `arguments` after its quoted path on the command
// line. With `startup`, the child gets what it names (its standard handles)
// and inherits this process's inheritable handles; without, it gets neither.
// On success `process` owns the process, with all access, and `processId`
// names it.
bool startProgram(const std::wstring& program, const std::wstring& arguments,
                  const STARTUPINFOW* startup, ScopedHandle* process, uint32_t* processId);

class ChildProcess {
 public:
  ChildProcess() = default;
  // Terminates the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `arguments` follow the quoted program path on the command line.
  bool start(const std::wstring& program, const std::wstring& arguments);

  // Writes `line` and a newline to the child's standard input.
  bool sendLine(const std::string& line);
  // The next line of the child's standard output, without its newline; false
  // when none came within `timeoutMs` or the child closed its output.
  bool readLine(std::string* line, DWORD timeoutMs);
  // sendLine, then readLine; the line read, or "" on failure.
  std::string command(const std::string& line, DWORD timeoutMs = 10000);

  bool waitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
  void terminate();
  HANDLE process() const { return process_.get(); }
  uint32_t processId() const { return processId_; }

 private:
  ScopedHandle process_;
  ScopedHandle input_;
  ScopedHandle output_;
  uint32_t processId_ = 0;
  std::string pending_;
};

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_CHILD_PROCESS_H_
