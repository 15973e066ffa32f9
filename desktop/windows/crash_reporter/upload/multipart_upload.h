// Posts one file and a set of form fields to the crash server as a
// multipart/form-data request, and tells whether the server took it.
//
// Threads: sendMultipartUpload runs on the upload job's work-queue thread;
// the boundary is drawn and the body built there (the C library's rand() is
// per thread), and the network exchange runs on a thread of its own
// (DeadlineTask), so that a stalled server cannot keep the job, and with it
// the reporter, alive without end. Nothing is shared between calls; several
// uploads may run at once. The test seam is process-wide and is set only
// while no upload runs.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_UPLOAD_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_UPLOAD_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "desktop/windows/crash_reporter/upload/multipart_body.h"
#include "runtime/seam.h"

namespace tavra {

// Each connect, send and receive may wait this long for the server. A crash
// archive on a slow line still moves, just slowly; a server that has not
// moved for a minute is gone.
constexpr uint32_t kUploadStallTimeoutMs = 60 * 1000;
// The whole upload may take this long. A large archive on a very slow line
// (a few megabytes at 64 kbit/s) fits; a server that answers a byte at a time
// without end does not.
constexpr uint32_t kUploadTotalTimeoutMs = 10 * 60 * 1000;
// The server's answer is a short text; a longer one is refused.
constexpr size_t kMaxUploadResponseBytes = 1024 * 1024;

// Posts `uploadFile` as the file part named `filePartName` (its filename is
// the path exactly as given) after the `parameters`, to `url`, whose scheme
// must be "http" or "https" exactly, as a ServerRequest does
// (server_request.h: the user agent followed by `userAgentSuffix`, and no
// redirect, authentication, dialog or cache).
//
// Fails before any network call when a parameter name is not valid
// (isValidParameterName) or the scheme is another, and without sending when
// the file cannot be read whole or is 4 GiB or larger, or when no boundary
// drawn from rand() on the calling thread is free of the body's texts
// (chooseMultipartBoundary). `timeoutMs`, when
// given, replaces the stall time-out of sends and receives; a failure to set
// it is written to the standard error stream and otherwise ignored.
//
// A redirect, an authentication challenge or any status but 200 fails the
// upload, with the status in `responseCode`. An upload that gets no thread
// (DeadlineTask: none could be made, or too many are still running after
// their deadline) fails as one that got no answer.
//
// True only when the server answered 200 and the whole answer (at most
// kMaxUploadResponseBytes, and as long as its Content-Length says) was read;
// `responseBody` then gets it converted from UTF-8, up to its first NUL.
// `responseCode`, when given, is 0 until a status arrives and then holds it.
// No retry is made.
bool sendMultipartUpload(const std::wstring& userAgentSuffix, const std::wstring& url,
                         const UploadParameters& parameters, const std::wstring& uploadFile,
                         const std::wstring& filePartName, const uint32_t* timeoutMs,
                         std::wstring* responseBody, int32_t* responseCode);

// Test seams: the stall time-out and the overall bound; 0 restores each one's
// default.
extern Seam<uint32_t> uploadStallTimeoutSeam;
extern Seam<uint32_t> uploadTotalTimeoutSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_MULTIPART_UPLOAD_H_
