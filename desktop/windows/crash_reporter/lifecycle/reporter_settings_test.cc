#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "desktop/windows/crash_reporter/lifecycle/uncaptured_log_lines_test_support.h"
#include "desktop/windows/product_environment/product_paths.h"
#include "runtime/file_util.h"
#include "runtime/json_reader.h"
#include "runtime/path_service.h"
#include "runtime/private_security.h"
#include "runtime/scoped_temp_dir.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/scoped_environment_variable.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

// A fresh folder for one test, removed with its contents.
class TempFolder : public ScopedTempDir {
 public:
  TempFolder() : ScopedTempDir(L"settings_test") {}
};
using EnvironmentVariable = ScopedEnvironmentVariable;

class ReporterSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name :
         {kCrashLogDirVariable, kKeepLogsVariable, kServerUrlVariable, kEmailVariable,
          kBudgetPerSignatureVariable, kBudgetPerDayVariable}) {
      SetEnvironmentVariableW(name, nullptr);
    }
  }

  ReporterSettings settings_;
};

TEST_F(ReporterSettingsTest, KeepLogsAcceptsOneAndYesInAnyCase) {
  for (const wchar_t* value : {L"1", L"yes", L"YES", L"yEs"}) {
    EnvironmentVariable variable(kKeepLogsVariable, value);
    EXPECT_TRUE(readKeepLogs()) << value;
  }
  for (const wchar_t* value : {L"0", L"no", L"true", L"2", L"11", L"yess", L" yes", L"ye"}) {
    EnvironmentVariable variable(kKeepLogsVariable, value);
    EXPECT_FALSE(readKeepLogs()) << value;
  }
  EXPECT_FALSE(readKeepLogs());  // Unset.
}

TEST_F(ReporterSettingsTest, CrashBudgetLimitIsAWholeNumberUpToTheRecordsKept) {
  const struct {
    const wchar_t* text;
    uint32_t limit;
  } good[] = {{L"0", 0}, {L"3", 3}, {L"007", 7}, {L"1024", 1024}};
  for (const auto& c : good) {
    uint32_t limit = 99;
    EXPECT_TRUE(parseCrashBudgetLimit(c.text, &limit)) << c.text;
    EXPECT_EQ(c.limit, limit) << c.text;
  }
  for (const wchar_t* text : {L"", L"-1", L"+3", L" 3", L"3 ", L"3x", L"x", L"1025", L"4294967299",
                              L"99999999999999999999", L"\x0663"}) {
    uint32_t limit = 99;
    EXPECT_FALSE(parseCrashBudgetLimit(text, &limit)) << text;
    EXPECT_EQ(99u, limit) << text;
  }
}

// An unreadable value keeps the default and is told once, escaped as the
// reporter log escapes text; a readable one is taken silently.
TEST_F(ReporterSettingsTest, CrashBudgetVariablesSetTheLimitsOrAreLogged) {
  testing_support::UncapturedLogLines lines;
  CrashBudgetLimits limits;
  readCrashBudgetLimits(&limits);
  EXPECT_EQ(3u, limits.perSignature);
  EXPECT_EQ(30u, limits.perDay);
  {
    EnvironmentVariable perSignature(kBudgetPerSignatureVariable, L"0");
    EnvironmentVariable perDay(kBudgetPerDayVariable, L"12\nx");
    readCrashBudgetLimits(&limits);
  }
  EXPECT_EQ(0u, limits.perSignature);
  EXPECT_EQ(30u, limits.perDay);
  limits = CrashBudgetLimits();
  {
    const std::wstring longValue(100, L'9');
    EnvironmentVariable perSignature(kBudgetPerSignatureVariable, longValue.c_str());
    readCrashBudgetLimits(&limits);
  }
  EXPECT_EQ(3u, limits.perSignature);
  EXPECT_EQ(
      "WARNING:TAVRA_CRASH_BUDGET_PER_DAY is \"12\\x0Ax\": not a whole number from 0 to 1024; "
      "the default 30 is kept\n"
      "WARNING:TAVRA_CRASH_BUDGET_PER_SIGNATURE is \"" +
          std::string(kLoggedBudgetValueLength, '9') +
          "\"...: not a whole number from 0 to 1024; the default 3 is kept\n",
      lines.text());
}

TEST_F(ReporterSettingsTest, ServerUrlDefaultsAndTakesTheEmailVerbatim) {
  configureCrashServer(&settings_);
  EXPECT_EQ(kDefaultCrashServerUrl, settings_.serverUrl);
  EXPECT_EQ(0u, settings_.serverUrl.find(L"http://"));
  EXPECT_EQ(L'/', settings_.serverUrl.back());
  {
    EnvironmentVariable empty(kServerUrlVariable, L"");
    configureCrashServer(&settings_);
    EXPECT_EQ(kDefaultCrashServerUrl, settings_.serverUrl);
  }
  {
    EnvironmentVariable url(kServerUrlVariable, L"http://127.0.0.1:8080/submit?a=b");
    EnvironmentVariable email(kEmailVariable, L"who@example.com&x=1 y");
    configureCrashServer(&settings_);
    EXPECT_EQ(L"http://127.0.0.1:8080/submit?a=b?email=who@example.com&x=1 y", settings_.serverUrl);
  }
  {
    EnvironmentVariable email(kEmailVariable, L"a@b");
    configureCrashServer(&settings_);
    EXPECT_EQ(std::wstring(kDefaultCrashServerUrl) + L"?email=a@b", settings_.serverUrl);
  }
}

TEST_F(ReporterSettingsTest, EditionSuffixNamesTheChannel) {
  configureCrashServer(&settings_);
  EXPECT_EQ(L" (Edition developer)", settings_.editionSuffix);
}

TEST_F(ReporterSettingsTest, EnvironmentValuesOfAnyLength) {
  EXPECT_EQ(L"", readEnvironmentVariable(L"TAVRA_TEST_SURELY_UNSET"));
  std::wstring longValue(30000, L'x');
  longValue += L"\u00e9end";
  EnvironmentVariable variable(kServerUrlVariable, longValue.c_str());
  EXPECT_EQ(longValue, readEnvironmentVariable(kServerUrlVariable));
}

TEST_F(ReporterSettingsTest, LogDirectoryFromEnvironmentIsCreatedWithItsParents) {
  TempFolder temp;
  std::wstring dir = joinPath(temp.path(), L"a\\b\\logs");
  EnvironmentVariable variable(kCrashLogDirVariable, dir.c_str());
  const std::wstring tempAccess = accessListOf(temp.path());
  ASSERT_TRUE(determineCrashDirectory(&settings_));
  EXPECT_TRUE(directoryExists(dir));
  // Each folder made is the user's alone; the one that was there is as it was.
  std::wstring folderSddl;
  ASSERT_TRUE(privateSecuritySddl(PrivateObject::kFolder, &folderSddl));
  for (const wchar_t* made : {L"a", L"a\\b", L"a\\b\\logs"}) {
    EXPECT_EQ(accessEntries(accessListOf(joinPath(temp.path(), made))), accessEntries(folderSddl))
        << made;
  }
  EXPECT_EQ(accessListOf(temp.path()), tempAccess);
  EXPECT_EQ(dir, settings_.crashDir);
  EXPECT_TRUE(settings_.logDirFromEnv);
  EXPECT_EQ(joinPath(dir, L"crash_feedback_url.txt"), settings_.feedbackFile);
}

TEST_F(ReporterSettingsTest, RelativeLogDirectoryIsHeldAsAnAbsolutePath) {
  TempFolder temp;
  {
    ScopedCurrentDirectory current;
    ASSERT_TRUE(current.enter(temp.path()));
    EnvironmentVariable variable(kCrashLogDirVariable, L"relative\\logs");
    ASSERT_TRUE(determineCrashDirectory(&settings_));
  }
  std::wstring expected = joinPath(temp.path(), L"relative\\logs");
  EXPECT_EQ(expected, settings_.crashDir);
  EXPECT_TRUE(directoryExists(expected));
  // Still right once the crash directory is the current directory.
  EXPECT_EQ(joinPath(expected, L"crash_feedback_url.txt"), settings_.feedbackFile);
}

TEST_F(ReporterSettingsTest, UnusableLogDirectoriesFallBackToTheTemporaryDirectory) {
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_GT(length, 0u);
  TempFolder folder;
  std::wstring file = joinPath(folder.path(), L"plain_file");
  ASSERT_TRUE(writeFile(file, "x"));
  std::wstring tooLong = joinPath(folder.path(), std::wstring(260, L'd'));
  std::wstring exactly260 = folder.path() + L"\\";
  exactly260 += std::wstring(260 - exactly260.size(), L'e');
  ASSERT_EQ(260u, exactly260.size());
  for (const std::wstring& value : {tooLong, exactly260, joinPath(file, L"below_a_file")}) {
    settings_ = ReporterSettings();
    EnvironmentVariable variable(kCrashLogDirVariable, value.c_str());
    ASSERT_TRUE(determineCrashDirectory(&settings_));
    EXPECT_EQ(std::wstring(temp, length), settings_.crashDir);
    EXPECT_EQ(L'\\', settings_.crashDir.back());
    EXPECT_FALSE(settings_.logDirFromEnv);
    EXPECT_FALSE(directoryExists(value));
  }
}

TEST_F(ReporterSettingsTest, A259CharacterLogDirectoryIsAccepted) {
  TempFolder folder;
  // Nested components, since one component may not exceed 255 characters.
  std::wstring dir = folder.path();
  while (dir.size() < 200) dir += L"\\" + std::wstring(40, L'f');
  dir += L"\\" + std::wstring(259 - dir.size() - 1, L'g');
  ASSERT_EQ(259u, dir.size());
  EnvironmentVariable variable(kCrashLogDirVariable, dir.c_str());
  ASSERT_TRUE(determineCrashDirectory(&settings_));
  EXPECT_TRUE(settings_.logDirFromEnv);
  EXPECT_EQ(dir, settings_.crashDir);
  EXPECT_TRUE(directoryExists(dir));
}

TEST_F(ReporterSettingsTest, LocalStateAndFeedbackFileLieInTheUserDataDirectory) {
  TempFolder temp;
  std::wstring userData = joinPath(temp.path(), L"User Data");
  ASSERT_TRUE(PathService::overridePath(DIR_USER_DATA, userData));
  registerProductPaths();
  ASSERT_TRUE(determineCrashDirectory(&settings_));
  EXPECT_EQ(joinPath(userData, L"Local State"), settings_.localStatePath);
  EXPECT_EQ(joinPath(userData, L"crash_feedback_url.txt"), settings_.feedbackFile);
  EXPECT_FALSE(settings_.logDirFromEnv);
  PathService::resetForTesting();
}

class ConsentTest : public ::testing::Test {
 protected:
  bool consentFor(const std::string& contents) {
    std::wstring file = joinPath(temp_.path(), L"Local State");
    EXPECT_TRUE(writeFile(file, contents));
    return isReportingEnabled(file);
  }
  TempFolder temp_;
};

TEST_F(ConsentTest, OnlyTheBooleanFalseRefuses) {
  EXPECT_FALSE(consentFor(R"({"user_experience_metrics":{"reporting_enabled":false}})"));
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics":{"reporting_enabled":true}})"));
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics":{"reporting_enabled":0}})"));
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics":{"reporting_enabled":"false"}})"));
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics":{}})"));
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics":false})"));
  // The dotted name is a path, not a key of its own.
  EXPECT_TRUE(consentFor(R"({"user_experience_metrics.reporting_enabled":false})"));
  EXPECT_TRUE(consentFor(R"([false])"));
}

// A string that the browser stored undecodably, anywhere in the file, does not
// cost the user's choice.
TEST_F(ConsentTest, UndecodableStringsKeepTheUsersChoice) {
  const std::string refusal = R"("user_experience_metrics":{"reporting_enabled":false})";
  struct Damage {
    const char* name;
    std::string piece;  // Text inside a string, as the file holds it.
  };
  const Damage damages[] = {
      {"lone high surrogate escape", "\\ud800"},
      {"lone low surrogate escape", "\\uDC00"},
      {"reversed surrogate pair", "\\udc00\\ud800"},
      {"high surrogate before a letter", "\\uD83Dx"},
      {"byte 0xFF", "\xFF"},
      {"lone continuation byte", "\x80"},
      {"overlong slash", "\xC0\xAF"},
      {"overlong NUL", "\xC0\x80"},
      {"truncated sequence", "\xE2\x82"},
      {"surrogate encoded in UTF-8", "\xED\xA0\x80"},
      {"code point above U+10FFFF", "\xF4\x90\x80\x80"},
  };
  for (const Damage& damage : damages) {
    const std::string quoted = "\"" + damage.piece + "\"";
    const std::string files[] = {
        // In an unrelated value, before and after the choice.
        "{\"title\":" + quoted + "," + refusal + "}",
        "{" + refusal + ",\"history\":[\"a\"," + quoted + "]}",
        // In a key.
        "{" + quoted + ":1," + refusal + "}",
        // Beside the choice itself.
        R"({"user_experience_metrics":{)" + quoted + R"(:{"x":)" + quoted +
            R"(},"reporting_enabled":false}})",
    };
    for (const std::string& file : files) {
      EXPECT_FALSE(consentFor(file)) << damage.name << ": " << file;
    }
    // The same damage does not turn consent into a refusal either.
    EXPECT_TRUE(consentFor(R"({"title":)" + quoted +
                           R"(,"user_experience_metrics":{"reporting_enabled":true}})"))
        << damage.name;
  }
}

// Only a file that cannot be read as JSON at all still counts as consent: the
// user's choice cannot be known from it.
TEST_F(ConsentTest, FilesThatCannotBeReadCountAsConsent) {
  using namespace std::string_literals;
  const std::string refusal = R"({"user_experience_metrics":{"reporting_enabled":false}})";
  struct Unreadable {
    const char* name;
    std::string contents;
  };
  const Unreadable files[] = {
      {"empty", ""},
      {"trailing comma", R"({"user_experience_metrics":{"reporting_enabled":false,}})"},
      {"comment", refusal + "\n// comment"},
      {"truncated", refusal.substr(0, refusal.size() - 1)},
      {"truncated inside a damaged string",
       R"({"user_experience_metrics":{"reporting_enabled":false},"t":")"
       "\xFF"},
      {"text after the object", refusal + " {}"},
      {"undecodable byte outside strings", refusal + "\xFF"},
      {"NUL byte", "\0\xff\xfe{"s},
      {"NUL byte inside a string", R"({"t":"a)"
                                   "\0"s
                                   R"(b",)" +
                                       refusal.substr(1)},
      {"UTF-16 text", "\xFF\xFE{\0}\0"s},
      {"too deep", std::string(100000, '[')},
      {"deep but closed",
       "{\"n\":" + std::string(600, '[') + std::string(600, ']') + "," + refusal.substr(1)},
      {"larger than the limit", refusal + std::string(kMaxJsonFileSize, ' ')},
  };
  for (const Unreadable& file : files) {
    EXPECT_TRUE(consentFor(file.contents)) << file.name;
  }
  EXPECT_TRUE(isReportingEnabled(joinPath(temp_.path(), L"missing")));
  EXPECT_TRUE(isReportingEnabled(L""));
  EXPECT_TRUE(isReportingEnabled(temp_.path()));  // A directory.
  // Just within the limit, the same refusal is honoured.
  EXPECT_FALSE(consentFor(refusal + std::string(kMaxJsonFileSize - refusal.size(), ' ')));
}

TEST_F(ConsentTest, LockedFileCountsAsConsent) {
  std::wstring file = joinPath(temp_.path(), L"Local State");
  ASSERT_TRUE(writeFile(file, R"({"user_experience_metrics":{"reporting_enabled":false}})"));
  HANDLE exclusive = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
  EXPECT_TRUE(isReportingEnabled(file));
  CloseHandle(exclusive);
  EXPECT_FALSE(isReportingEnabled(file));
}

}  // namespace
}  // namespace tavra
