#include "desktop/windows/crash_reporter/logs/crash_log_output.h"

#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <windows.h>

#include "runtime/private_security.h"
#include "runtime/utf_conversion.h"

namespace tavra {

Seam<CrashLogFileWriteFunction> crashLogFileWriteSeam(&fwrite);
Seam<CrashLogFileCloseFunction> crashLogFileCloseSeam(&fclose);

bool CrashLogOutput::open(const char* path) {
  file_.reset();
  ScopedHandle file;
  return createPrivateFile(path, GENERIC_WRITE, &file) && adopt(&file, _O_WRONLY);
}

bool CrashLogOutput::append(const char* path) {
  file_.reset();
  if (path == nullptr) return false;
  // Only what is there is opened: a file that has gone is not made anew
  // under whatever access list its folder would give it.
  ScopedHandle file(CreateFileW(ansiToWide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.isValid() && adopt(&file, _O_WRONLY | _O_APPEND);
}

bool CrashLogOutput::adopt(ScopedHandle* file, int flags) {
  // The descriptor takes the handle over, and the stream the descriptor: each
  // is closed by the next owner's close from then on.
  const int descriptor =
      _open_osfhandle(reinterpret_cast<intptr_t>(file->get()), flags | _O_BINARY);
  if (descriptor == -1) return false;
  file->release();
  file_.reset(_fdopen(descriptor, (flags & _O_APPEND) != 0 ? "ab" : "wb"));
  if (file_.isValid()) return true;
  _close(descriptor);
  return false;
}

bool CrashLogOutput::write(const char* text, size_t length) {
  for (size_t i = 0; i < length && ok_; ++i) {
    // Room for a CR LF pair.
    if (used_ + 2 > sizeof(buffer_)) flush();
    if (text[i] == '\n') buffer_[used_++] = '\r';
    buffer_[used_++] = text[i];
  }
  return ok_;
}

bool CrashLogOutput::write(const char* text) {
  return write(text, text != nullptr ? strlen(text) : 0);
}

bool CrashLogOutput::writeFormatted(const char* text, int length, size_t capacity) {
  if (length < 0 || static_cast<size_t>(length) >= capacity) ok_ = false;
  return ok_ && write(text, static_cast<size_t>(length));
}

bool CrashLogOutput::writePadded(const char* text, size_t width) {
  const size_t length = text != nullptr ? strlen(text) : 0;
  if (!write(text, length)) return false;
  for (size_t i = length; i < width; ++i) write(" ", 1);
  return ok_;
}

bool CrashLogOutput::close() {
  if (!file_.isValid()) return ok_;
  flush();
  if (crashLogFileCloseSeam(file_.release()) != 0) ok_ = false;
  return ok_;
}

void CrashLogOutput::flush() {
  if (used_ != 0 && ok_ && crashLogFileWriteSeam(buffer_, 1, used_, file_.get()) != used_) {
    ok_ = false;
  }
  used_ = 0;
}

}  // namespace tavra
