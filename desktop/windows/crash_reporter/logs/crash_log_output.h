// The buffered output of one crash log file: 8-bit text whose every LF, also
// one inside a metadata value or a module name, is written as CR LF, the
// bytes that the C runtime's text mode gives on Windows.
//
// After the first failed write everything fails, so that a section stops
// where the output broke; a failed close fails the output too, since
// buffered bytes can still be lost there.
//
// The crash log holds the crashed process's memory: it is created new and
// private (runtime/private_security.h), never opened over a file that is
// there, so that no one else can read it or have planted its name.
//
// Threads: an output is used by the one thread that handles its crash, for
// one crash log; nothing in it is shared or locked. It owns its file from
// `open` or `append` until `close` or its destruction.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_OUTPUT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_OUTPUT_H_

#include <stddef.h>
#include <stdio.h>

#include "runtime/scoped_holder.h"
#include "runtime/seam.h"

namespace tavra {

// Test seams for the file output; null restores the real function. Read at
// each call.
using CrashLogFileWriteFunction = size_t (*)(const void* data, size_t size, size_t count,
                                             FILE* file);
using CrashLogFileCloseFunction = int (*)(FILE* file);
extern Seam<CrashLogFileWriteFunction> crashLogFileWriteSeam;
extern Seam<CrashLogFileCloseFunction> crashLogFileCloseSeam;

// A C runtime file, closed through `crashLogFileCloseSeam`.
struct CrashLogFileTraits {
  using Value = FILE*;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { crashLogFileCloseSeam(value); }
};

class CrashLogOutput {
 public:
  CrashLogOutput() = default;
  // Closes the file when `close` was not called.
  ~CrashLogOutput() { close(); }
  CrashLogOutput(const CrashLogOutput&) = delete;
  CrashLogOutput& operator=(const CrashLogOutput&) = delete;

  // Creates the file at `path` new and private. False when it cannot be; a
  // name that is taken fails with the thread's last error ERROR_FILE_EXISTS,
  // and what has that name is left alone.
  bool open(const char* path);
  // Opens the file at `path`, which must be there, for appending to its end;
  // never creates one. False when it cannot be opened.
  bool append(const char* path);

  // Each returns false once any write failed.
  bool write(const char* text, size_t length);
  bool write(const char* text);
  // `length` as snprintf returned it for `text`, a buffer of `capacity`: a
  // failed or cut formatting fails the output.
  bool writeFormatted(const char* text, int length, size_t capacity);
  // `text` padded with spaces to at least `width` columns.
  bool writePadded(const char* text, size_t width);

  // Writes what is left in the buffer and closes the file: false when any
  // write or the close failed.
  bool close();

 private:
  void flush();
  // Puts the C runtime's stream on `file`, which it then owns.
  bool adopt(ScopedHandle* file, int flags);

  ScopedHolder<CrashLogFileTraits> file_;
  bool ok_ = true;
  size_t used_ = 0;
  char buffer_[8192];
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_OUTPUT_H_
