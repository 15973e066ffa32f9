// The crash pipeline: what the reporter does with one crash.
//
// `handleCrash` is the dump request server's `onDumpRequest` hook; its
// context is the CrashPipeline, which start-up owns and gives what it uses:
// the settings, the pending-work count, the system description, the upload
// queue, the source of crash numbers and the first request's time-out. For
// each crash the pipeline counts itself as pending work, names the crash's
// files, reads the client's annotations once (crash_annotations.h), captures
// the diagnostic messages of its thread, writes the text crash log of the
// crashed client and appends those messages to it under "Crash Logger:".
// The crash log is created new: when its name, or its archive's, is taken
// already, the crash takes the next number and its names, up to
// kCrashLogNameAttempts names. The writer signs the crash from what the log
// holds (crash_signature.h). A crash over the crash-storm budget
// (crash_budget.h) ends there: no first request and no upload, and the crash
// log is deleted unless the user keeps crash logs. Otherwise it asks the
// crash server whether it wants the report (the first request), with the
// signature's short hash. A server that declines ends the report there: the
// crash log is deleted unless the user keeps crash logs.
// Otherwise an upload job goes to the upload queue, which zips and posts the
// crash log after the client has gone on (upload_queue.h), and when the
// server named the report's location, the crash-feedback file links the
// crash's GUID to it (crash_feedback_file.h). The client is released when
// the hook returns. A report that could not be made, that the server
// declined, that the budget held back or that the queue dropped gets one
// line in the reporter log once the capture has ended (crash_report_log.h,
// crash_budget.h); so does a first request that was skipped because too many
// earlier ones still wait for the server (the report goes up without an
// id).
//
// Which files one crash leaves behind:
//   crash log not written        none
//   over the crash budget        the crash log, only when logs are kept
//   the server declined (503)    the crash log, only when logs are kept
//   the job could not be queued  the crash log, only when logs are kept
//   or the queue was full
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
// before the server starts and only read after, the upload queue and the
// crash budget (each under its own lock) and the shared crash-feedback file
// (written under its own lock). Each run owns its file names, annotations,
// log capture, snapshot, metadata, crash log writer, signature and first
// request; its upload job belongs to the queue.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_PIPELINE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_PIPELINE_H_

#include <stdint.h>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"
#include "desktop/windows/crash_reporter/crash_data/system_info.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "desktop/windows/crash_reporter/logs/crash_signature.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

class CrashBudget;
class PendingWork;
class UploadQueue;

// The crashed process waits for the first request: it gets this long.
constexpr int32_t kFirstRequestTimeoutMs = 3000;

// Names that one crash tries for its crash log. A reporter whose process id
// an earlier one had meets that one's kept crash logs, numbered from 1, and
// passes each at the cost of a look at the folder (about 12 us under Wine
// here), so a thousand kept logs cost the crashed process about 12 ms; a folder
// that someone filled with more names than that does not hold the crash up
// for longer, and the crash is told in the reporter log. The count of crash
// numbers goes on from the last one tried, so the next crash does not try
// the same names again.
constexpr uint32_t kCrashLogNameAttempts = 1024;

class CrashPipeline {
 public:
  // Keeps references to `settings` and `system` and the pointers `work`,
  // `uploads` and `budget`: all must outlive the pipeline and every upload
  // job that it queues. Without a budget every crash is reported.
  CrashPipeline(const ReporterSettings& settings, PendingWork* work, const SystemInfo& system,
                UploadQueue* uploads, CrashNumberSource nextCrashNumber = &tavra::nextCrashNumber,
                int32_t firstRequestTimeoutMs = kFirstRequestTimeoutMs,
                CrashBudget* budget = nullptr);
  CrashPipeline(const CrashPipeline&) = delete;
  CrashPipeline& operator=(const CrashPipeline&) = delete;

  // Handles the crash of `client`, from its crash log to its upload job.
  void handle(const ReporterClient& client);

 private:
  struct ReportFate;

  // The handling under the crash's own log capture. `names` and `crash` are
  // renumbered when the crash log takes another number.
  void handleCaptured(const ReporterClient& client, CrashFileNames* names, CrashIdentity* crash,
                      ReportFate* fate);
  // Attaches to the crashed process as a debugger and detaches at once, takes
  // its snapshot, builds the crash's metadata from the annotations, the
  // system description and the memory figures, and writes the text crash
  // log to `names->logName()`, new: a name that is taken, or whose archive's
  // name is, gives way to the next crash number's names. True when the crash
  // log was written, under the names that `names` then holds, and
  // `signature` is the crash's signature, computed from what the log holds.
  // On false no crash log is left, and `fate` says why.
  bool writeCrashLog(const ReporterClient& client, const CrashAnnotations& annotations,
                     CrashFileNames* names, ReportFate* fate, CrashSignature* signature) const;
  // Hands the crash's upload job to the queue; false, with `fate` set, when
  // the report is dropped.
  bool queueUpload(const CrashFileNames& names, const CrashAnnotations& annotations,
                   const std::wstring& reportId, const CrashIdentity& crash,
                   ReportFate* fate) const;

  const ReporterSettings& settings_;
  PendingWork* const work_;
  const SystemInfo& system_;
  UploadQueue* const uploads_;
  const CrashNumberSource nextCrashNumber_;
  const int32_t firstRequestTimeoutMs_;
  CrashBudget* const budget_;
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
