#include "runtime/utf_conversion.h"

#include <windows.h>

namespace tavra {
namespace {

std::wstring multiByteToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  int written = MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], needed);
  wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return wide;
}

}  // namespace

std::wstring utf8ToWide(std::string_view utf8) { return multiByteToWide(CP_UTF8, utf8); }

std::wstring ansiToWide(std::string_view ansi) { return multiByteToWide(CP_ACP, ansi); }

std::string wideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string utf8(static_cast<size_t>(needed), '\0');
  int written =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &utf8[0], needed, nullptr, nullptr);
  utf8.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return utf8;
}

std::wstring asciiToWide(std::string_view ascii) {
  std::wstring wide;
  wide.reserve(ascii.size());
  for (char c : ascii) {
    unsigned char u = static_cast<unsigned char>(c);
    wide.push_back(u < 0x80 ? static_cast<wchar_t>(u) : L'?');
  }
  return wide;
}

std::string wideToAscii(std::wstring_view wide) {
  std::string ascii;
  ascii.reserve(wide.size());
  for (wchar_t c : wide) ascii.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return ascii;
}

}  // namespace tavra
