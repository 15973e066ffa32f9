#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "desktop/windows/product_environment/release_channel.h"
#include "desktop/windows/product_environment/product_paths.h"
#include "runtime/file_util.h"
#include "runtime/json_reader.h"
#include "runtime/logging.h"
#include "runtime/path_service.h"
#include "runtime/private_security.h"
#include "runtime/utf_conversion.h"

namespace tavra {

const wchar_t kCrashLogDirVariable[] = L"TAVRA_CRASH_LOG_DIR";
const wchar_t kKeepLogsVariable[] = L"TAVRA_CRASH_KEEP_LOGS";
const wchar_t kServerUrlVariable[] = L"TAVRA_CRASH_SERVER_URL";
const wchar_t kEmailVariable[] = L"TAVRA_CRASH_EMAIL";
const wchar_t kBudgetPerSignatureVariable[] = L"TAVRA_CRASH_BUDGET_PER_SIGNATURE";
const wchar_t kBudgetPerDayVariable[] = L"TAVRA_CRASH_BUDGET_PER_DAY";
const wchar_t kDefaultCrashServerUrl[] = L"http://crash.tavra.example/";
const wchar_t kCrashFeedbackFileName[] = L"crash_feedback_url.txt";

namespace {

constexpr DWORD kLogDirBufferLength = 260;
constexpr DWORD kTempPathBufferLength = 261;
constexpr DWORD kKeepLogsBufferLength = 4;

}  // namespace

bool determineCrashDirectory(ReporterSettings* settings) {
  PathService::get(FILE_LOCAL_STATE, &settings->localStatePath);
  PathService::get(FILE_CRASH_FEEDBACK_URL, &settings->feedbackFile);

  wchar_t logDir[kLogDirBufferLength];
  DWORD length = GetEnvironmentVariableW(kCrashLogDirVariable, logDir, kLogDirBufferLength);
  // A value that does not fit the buffer counts as unset.
  if (length > 0 && length < kLogDirBufferLength) {
    std::wstring dir(logDir, length);
    // A relative value would be read again from inside the crash directory
    // once that is the current directory (the feedback file's path, say):
    // hold it as the absolute path it names now.
    std::wstring absolute;
    if (makeAbsolutePath(dir, &absolute)) dir = absolute;
    // Folders made here are the user's alone, as the crash logs in them; a
    // folder that is there already keeps the access list its owner chose.
    if (createPrivateDirectoryWithParents(dir)) {
      settings->crashDir = dir;
      // The feedback file keeps its name; without a known user data directory
      // there is no old name to keep, so use the usual one.
      std::wstring name = baseName(settings->feedbackFile);
      settings->feedbackFile = joinPath(dir, name.empty() ? kCrashFeedbackFileName : name);
      settings->logDirFromEnv = true;
    }
  }
  if (!settings->crashDir.empty()) return true;

  wchar_t tempPath[kTempPathBufferLength];
  DWORD tempLength = GetTempPathW(kTempPathBufferLength, tempPath);
  if (tempLength == 0 || tempLength >= kTempPathBufferLength - 1) return false;
  settings->crashDir.assign(tempPath, tempLength);
  return true;
}

bool isReportingEnabled(const std::wstring& localStatePath) {
  nlohmann::json root;
  // The browser may have stored an undecodable string somewhere in the file
  // (a page title cut in the middle of a character, say). That must not cost
  // the user's choice, so such strings are read with replacements; only a
  // file that cannot be read at all counts as consent.
  if (localStatePath.empty() ||
      !readJsonFile(localStatePath, &root, JsonStrings::kReplaceUndecodable)) {
    return true;
  }
  const nlohmann::json* value = findDottedPath(root, "user_experience_metrics.reporting_enabled");
  if (value == nullptr || !value->is_boolean()) return true;
  return value->get<bool>();
}

bool readKeepLogs() {
  wchar_t value[kKeepLogsBufferLength];
  DWORD length = GetEnvironmentVariableW(kKeepLogsVariable, value, kKeepLogsBufferLength);
  if (length == 0 || length >= kKeepLogsBufferLength) return false;
  std::wstring text(value, length);
  if (text == L"1") return true;
  if (text.size() != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    wchar_t c = text[i];
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (c != L"YES"[i]) return false;
  }
  return true;
}

void configureCrashServer(ReporterSettings* settings) {
  settings->serverUrl = readEnvironmentVariable(kServerUrlVariable);
  if (settings->serverUrl.empty()) settings->serverUrl = kDefaultCrashServerUrl;
  std::wstring email = readEnvironmentVariable(kEmailVariable);
  if (!email.empty()) settings->serverUrl += L"?email=" + email;
  settings->editionSuffix.clear();
  if (!isStableChannel()) {
    settings->editionSuffix = L" (Edition " + utf8ToWide(getChannelString()) + L")";
  }
}

bool parseCrashBudgetLimit(const std::wstring& text, uint32_t* limit) {
  if (text.empty()) return false;
  uint32_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<uint32_t>(c - L'0');
    if (value > kCrashBudgetMaxRecords) return false;
  }
  *limit = value;
  return true;
}

namespace {

void readCrashBudgetLimit(const wchar_t* variable, uint32_t* limit) {
  const std::wstring value = readEnvironmentVariable(variable);
  if (value.empty() || parseCrashBudgetLimit(value, limit)) return;
  // The logging escapes control characters; the length is bounded here.
  const bool cut = value.size() > kLoggedBudgetValueLength;
  TAVRA_LOG(WARNING) << wideToUtf8(variable) << " is \""
                     << wideToUtf8(value.substr(0, kLoggedBudgetValueLength))
                     << (cut ? "\"...: " : "\": ") << "not a whole number from 0 to "
                     << kCrashBudgetMaxRecords << "; the default " << *limit << " is kept";
}

}  // namespace

void readCrashBudgetLimits(CrashBudgetLimits* limits) {
  readCrashBudgetLimit(kBudgetPerSignatureVariable, &limits->perSignature);
  readCrashBudgetLimit(kBudgetPerDayVariable, &limits->perDay);
}

std::wstring readEnvironmentVariable(const wchar_t* name) {
  std::wstring value;
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  while (size > 0) {
    value.resize(size);
    DWORD result = GetEnvironmentVariableW(name, &value[0], size);
    if (result < size) {
      value.resize(result);
      return value;
    }
    // The variable grew in between: the result is the size needed now.
    size = result;
  }
  return std::wstring();
}

}  // namespace tavra
