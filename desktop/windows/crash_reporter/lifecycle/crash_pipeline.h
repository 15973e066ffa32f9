// The crash pipeline: what the reporter does with one crash.
//
// `handleCrash` is the dump request server's `onDumpRequest` hook; its
// context is the CrashPipeline, which start-up owns and gives what it uses:
// the settings, the pending-work count, the system description, the source
// of crash numbers and the first request's time-out. For each crash the
// pipeline counts itself as pending work, names the crash's files, reads the
// client's annotations once (crash_annotations.h), captures the diagnostic
// messages of its thread, writes the text crash log of the crashed client
// and appends those messages to it under "Crash Logger:". Then it asks the
// crash server whether it wants the report (the first request). A server
// that declines ends the report there: the crash log is deleted unless the
// user keeps crash logs. Otherwise an upload job is queued, which zips and
// posts the crash log after the client has gone on (upload_job.h), and when
// the server named the report's location, the crash-feedback file links the
// crash's GUID to it (crash_feedback_file.h). The client is released when
// the hook returns. A report that could not be made, or that the server
// declined, gets one line in the reporter log once the capture has ended
// (crash_report_log.h); so does a first request that was skipped because
// too many earlier ones still wait for the server (the report goes up
// without an id).
//
// Which files one crash leaves behind:
//   crash log not written        none
//   the server declined (503)    the crash log, only when logs are kept
//   the job could not be queued  the crash log, only when logs are kept
//   the archive failed           the crash log, only when logs are kept;
//                                the crash-feedback file, given a location
//   uploaded, well or not        the same; the archive is always deleted
//
// Threads: the pipeline is built on the main thread before the server
// starts and destroyed after it has stopped. `handle` runs on a worker
// thread of the system thread pool, once per dump request; crashes of
// different clients are handled at the same time on different threads.
// Runs share nothing but the crash number and the pending-work count (both
// interlocked), the settings and the system description, which are written
// before the server starts and only read after, and the shared
// crash-feedback file (written under its own lock). Each run owns its file
// names, annotations, log capture, snapshot, metadata, crash log writer and
// first request; its upload job belongs to the job's work item.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_PIPELINE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_PIPELINE_H_

#include <stdint.h>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"
#include "desktop/windows/crash_reporter/crash_data/system_info.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

class PendingWork;

// The crashed process waits for the first request: it gets this long.
constexpr int32_t kFirstRequestTimeoutMs = 3000;

class CrashPipeline {
 public:
  // Keeps references to `settings` and `system` and the pointer `work`: all
  // three must outlive the pipeline and every upload job that it queues.
  CrashPipeline(const ReporterSettings& settings, PendingWork* work, const SystemInfo& system,
                CrashNumberSource nextCrashNumber = &tavra::nextCrashNumber,
                int32_t firstRequestTimeoutMs = kFirstRequestTimeoutMs);
  CrashPipeline(const CrashPipeline&) = delete;
  CrashPipeline& operator=(const CrashPipeline&) = delete;

  // Handles the crash of `client`, from its crash log to its upload job.
  void handle(const ReporterClient& client);

 private:
  struct ReportFate;

  // The handling under the crash's own log capture.
  void handleCaptured(const ReporterClient& client, const CrashFileNames& names,
                      const CrashIdentity& crash, ReportFate* fate);
  // Attaches to the crashed process as a debugger and detaches at once, takes
  // its snapshot, builds the crash's metadata from the annotations, the
  // system description and the memory figures, and writes the text crash
  // log to `names.logName()`. True when the crash log was written; on false
  // no crash log is left, and `captured` tells whether the snapshot was
  // taken (the process could be read, but the file not written).
  bool writeCrashLog(const ReporterClient& client, const CrashAnnotations& annotations,
                     const CrashFileNames& names, bool* captured) const;

  const ReporterSettings& settings_;
  PendingWork* const work_;
  const SystemInfo& system_;
  const CrashNumberSource nextCrashNumber_;
  const int32_t firstRequestTimeoutMs_;
};

// The server's dump-request hook: `context` is the CrashPipeline, `client`
// the crashed client, whose annotation table the server has just copied.
void handleCrash(void* context, ReporterClient* client);

// The server's hook for a request that was never taken up: the client asked
// for a report and ended, or the reporter stopped, before its request was
// served. It has no crash number and no crash log: one line in the reporter
// log says so, so that no report goes missing without a word. `context` is
// not used. Runs on a thread of the server, outside any crash's log capture.
void noteUnservedRequest(void* context, ReporterClient* client);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_PIPELINE_H_
