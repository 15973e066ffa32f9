#include "desktop/windows/crash_reporter/logs/crash_signature.h"

#include <stdio.h>
#include <string.h>

#include "runtime/json_string_repair.h"

namespace tavra {
namespace {

// The operating system's own DLLs, by file name: the crash log names modules
// by file name only. The reader keeps the same list, and a test compares the
// two.
// clang-format off
const char* const kSystemModuleNames[] = {
    "ntdll.dll",
    "kernel32.dll",
    "kernelbase.dll",
    "user32.dll",
    "win32u.dll",
    "gdi32.dll",
    "gdi32full.dll",
    "advapi32.dll",
    "sechost.dll",
    "rpcrt4.dll",
    "msvcrt.dll",
    "ucrtbase.dll",
    "msvcp_win.dll",
    "combase.dll",
    "ole32.dll",
    "oleaut32.dll",
    "shell32.dll",
    "shlwapi.dll",
    "shcore.dll",
    "ws2_32.dll",
    "mswsock.dll",
    "wininet.dll",
    "winhttp.dll",
    "crypt32.dll",
    "bcrypt.dll",
    "bcryptprimitives.dll",
    "cryptbase.dll",
    "imm32.dll",
    "uxtheme.dll",
    "dwmapi.dll",
    "version.dll",
    "psapi.dll",
    "dbghelp.dll",
    "comctl32.dll",
    "comdlg32.dll",
    "winmm.dll",
    "msctf.dll",
    "wow64.dll",
    "wow64win.dll",
    "wow64cpu.dll",
    "urlmon.dll",
    "iertutil.dll",
    "secur32.dll",
    "sspicli.dll",
    "userenv.dll",
    "setupapi.dll",
    "cfgmgr32.dll",
    "wintrust.dll",
    "msasn1.dll",
    "nsi.dll",
    "iphlpapi.dll",
    "dnsapi.dll",
};
// clang-format on

constexpr char kUpperHex[] = "0123456789ABCDEF";

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The digit's value, or -1 for no hex digit.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Control characters as the log's escapes write them, so that no text of the
// crashed process can end a line that shows the signature.
void appendShown(std::string* out, const char* text) {
  for (const char* p = text; p != nullptr && *p != 0; ++p) {
    const uint8_t byte = static_cast<uint8_t>(*p);
    if (byte < 0x20 || byte == 0x7F) {
      *out += "\\x";
      *out += kUpperHex[byte >> 4];
      *out += kUpperHex[byte & 0xF];
    } else {
      *out += *p;
    }
  }
}

// The text with each ill-formed part of it as U+FFFD: what a reader that
// decodes the log as UTF-8 (replacing what it cannot) then hashes.
std::string wellFormedUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (static_cast<uint8_t>(text[at]) < 0x80) {
      out += text[at++];
      continue;
    }
    bool wellFormed = false;
    const size_t length = utf8SequenceLength(text, at, &wellFormed);
    if (wellFormed) {
      out.append(text, at, length);
    } else {
      out += "\xEF\xBF\xBD";
    }
    at += length;
  }
  return out;
}

// A module's name as the log gives it back: its column is padded with
// blanks, so blanks at the end of a name do not survive the log.
std::string loggedName(const char* name) {
  std::string text = name != nullptr ? name : "";
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

void appendPart(std::string* out, const StackFrame& frame, const ModuleSpan* modules) {
  if (frame.module == ModuleSpanIndex::kNone) {
    *out += "???";
    return;
  }
  const ModuleSpan& module = modules[frame.module];
  appendShown(out, loggedName(module.name).c_str());
  char offset[24];
  snprintf(offset, sizeof(offset), "+0x%llx",
           static_cast<unsigned long long>(frame.address - module.base));
  *out += offset;
}

}  // namespace

bool isSystemModuleName(const char* name) {
  if (name == nullptr) return false;
  for (const char* system : kSystemModuleNames) {
    size_t i = 0;
    while (system[i] != 0 && lowerAscii(name[i]) == system[i]) ++i;
    if (system[i] == 0 && name[i] == 0) return true;
  }
  return false;
}

std::string signatureHead(const char* exceptionName, uint32_t exceptionCode) {
  char code[16];
  if (exceptionName == nullptr) {
    snprintf(code, sizeof(code), "%08X", static_cast<unsigned>(exceptionCode));
    return code;
  }
  // A name of 1 to 8 hex digits reads as the code that it spells.
  const size_t length = strlen(exceptionName);
  bool hex = length >= 1 && length <= 8;
  uint32_t value = 0;
  for (size_t i = 0; hex && i < length; ++i) {
    const int digit = hexValue(exceptionName[i]);
    hex = digit >= 0;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  if (hex) {
    snprintf(code, sizeof(code), "%08X", static_cast<unsigned>(value));
    return code;
  }
  std::string head;
  appendShown(&head, exceptionName);
  return head;
}

std::string signatureText(const std::string& head, const std::vector<StackFrame>& frames,
                          const ModuleSpan* modules, const StackFrame& exceptionFrame) {
  // A frame in no module counts as the product's.
  auto isSystem = [modules](const StackFrame& frame) {
    return frame.module != ModuleSpanIndex::kNone &&
           isSystemModuleName(loggedName(modules[frame.module].name).c_str());
  };
  std::vector<const StackFrame*> chosen;
  for (const StackFrame& frame : frames) {
    if (chosen.size() < kSignatureFrames && !isSystem(frame)) chosen.push_back(&frame);
  }
  if (chosen.empty()) {
    for (const StackFrame& frame : frames) {
      if (chosen.size() < kSignatureFrames) chosen.push_back(&frame);
    }
  }
  if (chosen.empty()) chosen.push_back(&exceptionFrame);

  std::string text = head;
  for (size_t i = 0; i < chosen.size(); ++i) {
    text += i == 0 ? " " : " | ";
    appendPart(&text, *chosen[i], modules);
  }
  return wellFormedUtf8(text);
}

}  // namespace tavra
