// The reporter's start-up, handshake and lifetime, seen from the stand-in
// browser: every case runs the browser, which starts the real reporter, and
// watches both from outside.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_environment.h"
#include "testing/e2e/reporter_session.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/scoped_environment_variable.h"

namespace tavra {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ReporterProcessTest : public ::testing::Test {
 protected:
  // The crash log of the browser's crash is shown after it, so it is kept;
  // no crash server listens, so nothing is uploaded.
  void SetUp() override {
    ASSERT_TRUE(environment_.setUp());
    logDir_ = environment_.logDir();
  }

  bool reporterLogExists() const {
    return pathExists(joinPath(environment_.tempDir(), L"tavra_crashreporter.log"));
  }

  // Copies the reporter into an installation of its own, single-profile
  // unless `installerPrefs` says otherwise, whose user data directory holds
  // `localState` (none when empty).
  std::wstring installReporter(
      const std::string& localState,
      const std::string& installerPrefs = ReporterEnvironment::kSingleProfilePrefs) {
    std::wstring reporter = environment_.installReporter(localState, installerPrefs);
    EXPECT_FALSE(reporter.empty());
    return reporter;
  }

  ReporterEnvironment environment_{L"reporter_e2e"};
  std::wstring logDir_;
};

const char kReady[] = "ready event set by the reporter";
const char kServing[] = "reporter serving: process alive";
const char kEndedEarly[] = "ready event not set; the reporter ended";
const char kEndedAfterBrowser[] = "observer: the reporter ended";
const char kExitZero[] = "exit code 0";

// The number that follows `label` in `text`, or empty.
std::string numberAfter(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return std::string();
  size_t start = at + label.size();
  size_t end = text.find_first_not_of("0123456789", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST_F(ReporterProcessTest, HandshakeThenEndsWhenTheBrowserExits) {
  DemoRun run = runStandInBrowserDemo(L"");
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_THAT(run.output, HasSubstr(kReady));
  EXPECT_THAT(run.output, HasSubstr(kServing));
  EXPECT_THAT(run.output, HasSubstr(kEndedAfterBrowser));
  EXPECT_THAT(run.output, HasSubstr(kExitZero));
  EXPECT_THAT(run.output, Not(HasSubstr("ended while the browser was alive")));
  // A browser process registered over the reporter's pipe and crashed; the
  // reporter it started released it and left its crash log, whose first
  // lines the browser shows.
  std::string reporterId = numberAfter(run.output, "started the reporter, process ");
  ASSERT_FALSE(reporterId.empty()) << run.output;
  EXPECT_EQ(reporterId, numberAfter(run.output, "pipe \\\\.\\pipe\\TavraCrashReporter"));
  EXPECT_THAT(run.output, HasSubstr("registered over the pipe"));
  EXPECT_THAT(run.output, HasSubstr("crashed: crash code=C0000005"));
  EXPECT_THAT(run.output, HasSubstr("it ended with exit code C0000005"));
  EXPECT_EQ(reporterId,
            numberAfter(run.output, "crash log " + wideToUtf8(logDir_) + "\\tavra-crashlog-"));
  EXPECT_THAT(run.output, HasSubstr("| TAVRA-CRASHLOG V1 desktop 4.3.2.1 demo windows  release"));
  EXPECT_THAT(run.output,
              HasSubstr("| tavra_test_client.exe caused exception C0000005 at address"));
  // The crashed thread's first register, of the build's width.
  EXPECT_THAT(run.output, HasSubstr(std::string("| ") + crashRegisterNames()[0].inLog + "="));
  // No crash server listens, so no report location links the crash.
  EXPECT_THAT(run.output, HasSubstr("no crash-feedback file"));
  EXPECT_TRUE(pathExists(
      joinPath(logDir_, crashFileName(static_cast<uint32_t>(std::stoul(reporterId)), 1))));
  // The crash directory from the environment was made by the reporter, and
  // its diagnostic log lies in its temporary directory.
  EXPECT_TRUE(directoryExists(logDir_));
  EXPECT_TRUE(reporterLogExists());
}

TEST_F(ReporterProcessTest, ReporterOutlivesTheHandshakeWhileTheBrowserLives) {
  DemoRun run = runStandInBrowserDemo(L"--linger-ms=1500");
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_THAT(run.output, HasSubstr(kServing));
  EXPECT_THAT(run.output, Not(HasSubstr("ended while the browser was alive")));
  EXPECT_THAT(run.output, HasSubstr(kEndedAfterBrowser));
}

TEST_F(ReporterProcessTest, InvalidParentIdsEndTheReporterWithoutTheReadyEvent) {
  for (const wchar_t* value : {L"none", L"--parent-id=", L"--parent-id=0", L"--parent-id=12a",
                               L"--parent-id=-5", L"--parent-id=4294967296", L"--parent-id=0x10"}) {
    std::wstring option = value;
    if (option == L"none") option = L"--parent-id=none";
    DemoRun run = runStandInBrowserDemo(option);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_THAT(run.output, HasSubstr(kEndedEarly)) << wideToUtf8(option);
    EXPECT_THAT(run.output, HasSubstr(kExitZero)) << wideToUtf8(option);
  }
  // Nothing of the start-up after the parent id ran.
  EXPECT_FALSE(directoryExists(logDir_));
  EXPECT_FALSE(reporterLogExists());
}

TEST_F(ReporterProcessTest, MalformedCommandLinesEndCleanly) {
  // The browser puts these values into the reporter's command line as they
  // are: unbalanced quotes, a huge number, stray switches.
  const std::wstring values[] = {
      L"\"12",
      std::wstring(5000, L'9'),
      L"12\"\" \"--crash-reporter-parent-id",
      L"\\\\\\\"",
      L"= --crash-reporter-parent-id= /crash-reporter-parent-id=-1",
  };
  for (const std::wstring& value : values) {
    DemoRun run = runStandInBrowserDemo(CommandLine::quoteArgument(L"--parent-id=" + value));
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_THAT(run.output, HasSubstr("observer: the reporter ")) << run.output;
    EXPECT_THAT(run.output, HasSubstr(kExitZero)) << run.output;
    EXPECT_THAT(run.output, Not(HasSubstr("still running"))) << run.output;
  }
}

TEST_F(ReporterProcessTest, ParentThatDoesNotExistEndsTheReporter) {
  // 4294967295 is a valid number, but no process has that id.
  DemoRun run = runStandInBrowserDemo(L"--parent-id=4294967295");
  EXPECT_THAT(run.output, HasSubstr(kEndedEarly));
  EXPECT_THAT(run.output, HasSubstr(kExitZero));
  // The id was accepted: start-up went on to make the crash directory.
  EXPECT_TRUE(directoryExists(logDir_));
}

TEST_F(ReporterProcessTest, ParentWithoutReadyEventEndsTheReporter) {
  DemoRun run = runStandInBrowserDemo(L"--no-ready-event");
  EXPECT_THAT(run.output, HasSubstr(kEndedEarly));
  EXPECT_THAT(run.output, HasSubstr(kExitZero));
}

TEST_F(ReporterProcessTest, ConsentSwitchedOffEndsTheReporterBeforeTheHandshake) {
  struct Files {
    std::string localState;
    std::string installerPrefs;
  };
  const Files installations[] = {
      {R"({"user_experience_metrics":{"reporting_enabled":false}})", R"({"single_profile":true})"},
      // Strings that cannot be decoded elsewhere in either file hide nothing:
      // the installer's choice places "Local State", whose refusal counts.
      {"{\"title\":\"\\ud800 \xC3\",\"user_experience_metrics\":{\"reporting_enabled\":false}}",
       "{\"\xFF\":\"\\udc00\",\"single_profile\":true}"},
  };
  for (const Files& files : installations) {
    std::wstring reporter = installReporter(files.localState, files.installerPrefs);
    DemoRun run = runStandInBrowserDemo(reporter);
    EXPECT_THAT(run.output, HasSubstr(kEndedEarly)) << files.localState;
    EXPECT_THAT(run.output, HasSubstr(kExitZero)) << files.localState;
  }
}

TEST_F(ReporterProcessTest, ConsentGivenOrUnreadableLetsTheReporterRun) {
  const std::string states[] = {
      R"({"user_experience_metrics":{"reporting_enabled":true}})",
      R"({"user_experience_metrics":{"reporting_enabled":false,}})",  // not JSON
      std::string("\xff\xfe\0garbage", 10),
      std::string(200000, '{'),
      R"({"user_experience_metrics":{"reporting_enabled":0}})",
  };
  for (const std::string& state : states) {
    std::wstring reporter = installReporter(state);
    DemoRun run = runStandInBrowserDemo(reporter);
    EXPECT_THAT(run.output, HasSubstr(kServing)) << state.substr(0, 40);
    EXPECT_THAT(run.output, HasSubstr(kEndedAfterBrowser));
  }
}

TEST_F(ReporterProcessTest, OddEnvironmentNeverStopsTheReporter) {
  std::wstring huge(40000, L'u');
  ScopedEnvironmentVariable url(L"TAVRA_CRASH_SERVER_URL", huge.c_str());
  ScopedEnvironmentVariable email(L"TAVRA_CRASH_EMAIL", L"\u00e9\u4e2d&?=%00");
  ScopedEnvironmentVariable keep(L"TAVRA_CRASH_KEEP_LOGS", L"yesyesyes");
  std::wstring tooLong = joinPath(environment_.folder(), std::wstring(300, L'z'));
  ScopedEnvironmentVariable dir(L"TAVRA_CRASH_LOG_DIR", tooLong.c_str());
  DemoRun run = runStandInBrowserDemo(L"");
  EXPECT_THAT(run.output, HasSubstr(kServing));
  EXPECT_THAT(run.output, HasSubstr(kEndedAfterBrowser));
  EXPECT_THAT(run.output, HasSubstr(kExitZero));
}

}  // namespace
}  // namespace tavra
