// The names that the reporter gives a crash's files in its crash directory,
// spelled out here on their own, so that the tests, the demo and the
// benchmarks find those files by the names the reporter is meant to give
// them rather than by the product's own code. Plain functions: any thread.
#ifndef TESTING_TEST_SUPPORT_REPORTER_FILE_NAMES_H_
#define TESTING_TEST_SUPPORT_REPORTER_FILE_NAMES_H_

#include <cstdint>
#include <string>

namespace tavra {

// What the name of every crash log and archive begins with.
extern const wchar_t kCrashFilePrefix[];  // "tavra-crashlog-"

// "tavra-crashlog-<reporter pid>-<crash>" followed by `extension`: the crash
// log (".txt") or its archive (".zip").
std::wstring crashFileName(uint32_t reporterPid, uint32_t crash,
                           const wchar_t* extension = L".txt");

// "crash_feedback_url-<reporter pid>-<crash>.txt": the crash's own
// crash-feedback file when the log directory comes from the environment.
std::wstring feedbackFileName(uint32_t reporterPid, uint32_t crash);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_REPORTER_FILE_NAMES_H_
