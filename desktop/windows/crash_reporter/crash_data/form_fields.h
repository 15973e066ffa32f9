// The form fields that the upload posts beside a crash's archive.
//
// fillFormFields runs on the thread that handles the crash, before the upload
// job is queued, from the crash's annotations; the map then belongs to that
// job. It reads the environment anew for every crash and shares nothing else.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_FORM_FIELDS_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_FORM_FIELDS_H_

#include <map>
#include <string>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"

namespace tavra {

// Field name to value, ordered by UTF-16 code unit, so upper-case names come
// first ("CrashUptime", "TotalUptime", "email", ...). A name is there once;
// inserting it again keeps the first value.
using FormFields = std::map<std::wstring, std::wstring>;

extern const wchar_t kCrashEmailVariable[];  // "TAVRA_CRASH_EMAIL"
// An e-mail address must fit, with its NUL, in this many units; a longer one
// is not sent at all.
constexpr unsigned kCrashEmailBufferUnits = 192;

// Inserts into `fields`: "stacktraceId" (only when `stacktraceId` is not
// empty), "email", "userComments", "TotalUptime", "CrashUptime", "origin"
// (only when there is one) and, unless the crashed process is the browser
// process itself, "url" (also when empty).
void fillFormFields(const CrashAnnotations& annotations, const std::wstring& stacktraceId,
                    FormFields* fields);

// The value of TAVRA_CRASH_EMAIL when it has at most 191 units; else empty.
std::wstring readCrashEmail();

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_FORM_FIELDS_H_
