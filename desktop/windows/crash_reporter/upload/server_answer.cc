#include "desktop/windows/crash_reporter/upload/server_answer.h"

namespace tavra {
namespace {

// 18 digits stay below 2^63, so the sum below cannot overflow.
constexpr size_t kMaxDecimalDigits = 18;
constexpr wchar_t kIdMarker[] = L"?id=";
constexpr std::wstring_view kSchemes[] = {L"http://", L"https://"};
// Printable, but able to end a quoted attribute or a script's string, or to
// start a tag, where the link is shown. None of them belongs in an address.
constexpr std::wstring_view kRefused = L"\"'`<>\\";

bool isAddressCharacter(wchar_t c) {
  return c > L' ' && c < 0x7F && kRefused.find(c) == std::wstring_view::npos;
}

}  // namespace

bool parseDecimalField(std::wstring_view text, uint64_t* value) {
  if (text.empty() || text.size() > kMaxDecimalDigits) return false;
  uint64_t number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + static_cast<uint64_t>(c - L'0');
  }
  *value = number;
  return true;
}

bool isUsableLocation(std::wstring_view location) {
  if (location.size() > kMaxLocationChars) return false;
  for (wchar_t c : location) {
    if (!isAddressCharacter(c)) return false;
  }
  for (std::wstring_view scheme : kSchemes) {
    if (location.substr(0, scheme.size()) != scheme) continue;
    // A host follows: "http://" alone or "http:///path" names none.
    const std::wstring_view rest = location.substr(scheme.size());
    return !rest.empty() && rest[0] != L'/' && rest[0] != L'?' && rest[0] != L'#';
  }
  return false;
}

bool findReportId(std::wstring_view location, std::wstring* id) {
  const size_t marker = location.find(kIdMarker);
  if (marker == std::wstring_view::npos) return false;
  const size_t start = marker + (sizeof(kIdMarker) / sizeof(wchar_t) - 1);
  const size_t end = location.find(L'&', start);
  if (end == std::wstring_view::npos) return false;
  id->assign(location.substr(start, end - start));
  return true;
}

}  // namespace tavra
