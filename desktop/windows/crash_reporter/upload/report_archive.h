// Packs a text crash log into the zip archive that the upload sends: one
// deflated entry, "crashlog.txt", holding the log's bytes unchanged.
//
// The archive holds the crash log, and so the crashed process's memory: it
// is created new and private (runtime/private_security.h), never opened over
// a file that is there, and minizip writes it through the handle of that
// creation (its I/O functions are ours), so that no name is ever opened twice.
//
// Every call works on its own buffer and files and takes no lock; several
// upload jobs may archive different crash logs on their own threads at once.
// The test seam below is process-wide and is set only while no archive is
// being made. The log is read with the C stream functions.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_REPORT_ARCHIVE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_REPORT_ARCHIVE_H_

#include <stddef.h>

#include <string>

#include "runtime/seam.h"
#include "zip.h"

namespace tavra {

// The name of the one entry, whatever the crash log's own name is.
extern const char kCrashLogEntryName[];  // "crashlog.txt"
// The log is streamed into the entry through one buffer of this size.
constexpr size_t kArchiveCopyBufferBytes = 1024 * 1024;

enum class ArchiveResult {
  // Every byte of the log went in and the archive was closed without error.
  kCreated,
  // Something has the archive's name already: it is left as it is.
  kNameTaken,
  // Anything else; no archive is left.
  kFailed,
};

// Creates the archive at `archivePath`, new, with the whole crash log at
// `crashLogPath` as its entry, whose internal attributes are always 0
// (whether or not deflate took the log for text). Both paths are narrow, as
// the C library takes them.
ArchiveResult createReportArchive(const char* crashLogPath, const char* archivePath);

// Opens the "crashlog.txt" entry in the open `archive` and streams the crash
// log into it in chunks of at most kArchiveCopyBufferBytes. True when the
// log's every byte was written. The entry is left open: closing the archive
// finishes it. An empty log, or one whose length cannot be found, is false.
bool addCrashLogEntry(const char* crashLogPath, zipFile archive);

// The archive's name for a crash log: the last '.' and exactly three
// characters after it are replaced by ".zip"; any other name (no dot, or a
// dot followed by fewer or more than three characters) gets ".zip" appended.
// "tavra-crashlog-1-2.txt" gives "tavra-crashlog-1-2.zip".
std::string archiveNameFor(const std::string& crashLogPath);

// Test seam: the zipWriteInFileInZip that addCrashLogEntry calls for each
// chunk; null restores the real one.
using ZipWriteFunction = int (*)(zipFile file, const void* buffer, unsigned length);
extern Seam<ZipWriteFunction> zipWriteSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_REPORT_ARCHIVE_H_
