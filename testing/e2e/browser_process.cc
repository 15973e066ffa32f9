#include "testing/e2e/browser_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

uint64_t hexValue(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

constexpr bool kIs64 = sizeof(void*) == 8;

}  // namespace

const std::vector<RegisterName>& crashRegisterNames() {
  static const std::vector<RegisterName> x86 = {
      {"EAX", "eax"}, {"EBX", "ebx"}, {"ECX", "ecx"}, {"EDX", "edx"}, {"ESI", "esi"},
      {"EDI", "edi"}, {"EBP", "ebp"}, {"ESP", "esp"}, {"EIP", "eip"}, {"FLAGS", "eflags"}};
  static const std::vector<RegisterName> x64 = {
      {"RAX", "rax"}, {"RBX", "rbx"}, {"RCX", "rcx"},     {"RDX", "rdx"}, {"RSI", "rsi"},
      {"RDI", "rdi"}, {"RBP", "rbp"}, {"RSP", "rsp"},     {"R8", "r8"},   {"R9", "r9"},
      {"R10", "r10"}, {"R11", "r11"}, {"R12", "r12"},     {"R13", "r13"}, {"R14", "r14"},
      {"R15", "r15"}, {"RIP", "rip"}, {"FLAGS", "eflags"}};
  return kIs64 ? x64 : x86;
}

const char* instructionPointerName() { return kIs64 ? "rip" : "eip"; }
const char* stackPointerName() { return kIs64 ? "rsp" : "esp"; }

bool parseCrashLine(const std::string& line, CrashLine* crash) {
  if (!startsWith(line, "crash code=")) return false;
  for (const std::string& token : tokens(line.substr(6))) {
    const size_t equals = token.find('=');
    if (equals == std::string::npos) return false;
    (*crash)[token.substr(0, equals)] = hexValue(token.substr(equals + 1));
  }
  return crash->count("tid") == 1 && crash->count(instructionPointerName()) == 1;
}

bool BrowserProcess::start(uint32_t reporterPid, const std::wstring& switches) {
  return process_.start(
      siblingProgramPath(L"tavra_test_client.exe"),
      L"--annotations=16 --reporter-pid=" + std::to_wstring(reporterPid) + L" " + switches);
}

std::string BrowserProcess::command(const std::string& line, DWORD timeoutMs) {
  return process_.command(line, timeoutMs);
}

bool BrowserProcess::send(const std::string& line) { return process_.sendLine(line); }

void BrowserProcess::set(const std::string& name, const std::string& value) {
  EXPECT_EQ("ok", command("set " + name + " " + value)) << name;
}

std::vector<uint32_t> BrowserProcess::threadIds() {
  std::vector<uint32_t> ids;
  std::vector<std::string> parts = tokens(command("list-threads"));
  for (size_t i = 1; i < parts.size(); ++i) {
    ids.push_back(static_cast<uint32_t>(std::strtoul(parts[i].c_str(), nullptr, 10)));
  }
  return ids;
}

std::vector<LoadedModule> BrowserProcess::modules() {
  std::vector<LoadedModule> modules;
  std::vector<std::string> head = tokens(command("list-modules"));
  if (head.size() != 2 || head[0] != "modules") return modules;
  const int count = std::atoi(head[1].c_str());
  for (int i = 0; i < count; ++i) {
    std::string line;
    if (!process_.readLine(&line, 10000)) break;
    std::vector<std::string> parts = tokens(line);
    if (parts.size() < 4) continue;
    LoadedModule module;
    module.base = hexValue(parts[1]);
    module.path = line.substr(line.find(parts[3], line.find(parts[2]) + parts[2].size()));
    modules.push_back(module);
  }
  return modules;
}

bool BrowserProcess::registerWithReporter() {
  return startsWith(command("register"), "registered ");
}

bool BrowserProcess::crash(const std::string& kind, const std::string& argument, CrashLine* crash) {
  std::string line;
  return process_.sendLine("crash " + kind + " " + argument) && process_.readLine(&line, 10000) &&
         parseCrashLine(line, crash);
}

bool BrowserProcess::armCrash(const std::string& eventName, const std::string& kind,
                              const std::string& argument) {
  return command("crash-on " + eventName + " " + kind + " " + argument) == "armed";
}

bool BrowserProcess::readCrashLine(CrashLine* crash, DWORD timeoutMs) {
  std::string line;
  return process_.readLine(&line, timeoutMs) && parseCrashLine(line, crash);
}

bool BrowserProcess::ended() { return WaitForSingleObject(process_.process(), 0) == WAIT_OBJECT_0; }

bool BrowserProcess::waitForExit(DWORD timeoutMs, DWORD* code) {
  return process_.waitForExit(timeoutMs, code);
}

void crashBrowserProcess(uint32_t reporterPid, const Annotations& annotations,
                         DWORD releaseTimeoutMs, CrashLine* crash) {
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporterPid));
  for (const auto& annotation : annotations) process.set(annotation.first, annotation.second);
  ASSERT_TRUE(process.registerWithReporter());
  CrashLine line;
  ASSERT_TRUE(process.crash("write", "0", crash != nullptr ? crash : &line));
  ASSERT_TRUE(process.waitForExit(releaseTimeoutMs, nullptr)) << "not released";
}

}  // namespace tavra
