#include "testing/test_client/process_self_view.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>

#include "runtime/file_util.h"

namespace tavra {
namespace {

// Far more than the process ever holds.
constexpr DWORD kMaxListedModules = 4096;

// Ordinary libraries that a browser process may well hold, whose loading
// starts no devices, windows or services.
const wchar_t* const kSystemLibraries[] = {
    L"version.dll",  L"shlwapi.dll",     L"ole32.dll",    L"oleaut32.dll", L"shell32.dll",
    L"comctl32.dll", L"comdlg32.dll",    L"crypt32.dll",  L"cryptnet.dll", L"wininet.dll",
    L"winhttp.dll",  L"urlmon.dll",      L"setupapi.dll", L"imagehlp.dll", L"dbghelp.dll",
    L"rpcrt4.dll",   L"ws2_32.dll",      L"iphlpapi.dll", L"netapi32.dll", L"secur32.dll",
    L"gdiplus.dll",  L"usp10.dll",       L"msimg32.dll",  L"uxtheme.dll",  L"dwmapi.dll",
    L"wintrust.dll", L"userenv.dll",     L"wtsapi32.dll", L"powrprof.dll", L"propsys.dll",
    L"mpr.dll",      L"hid.dll",         L"cfgmgr32.dll", L"bcrypt.dll",   L"ncrypt.dll",
    L"dnsapi.dll",   L"nsi.dll",         L"mswsock.dll",  L"wldap32.dll",  L"normaliz.dll",
    L"imm32.dll",    L"oleacc.dll",      L"mlang.dll",    L"msxml3.dll",   L"msxml6.dll",
    L"xmllite.dll",  L"msvcp140.dll",    L"ucrtbase.dll", L"cabinet.dll",  L"authz.dll",
    L"credui.dll",   L"cryptui.dll",     L"dssenh.dll",   L"rsaenh.dll",   L"esent.dll",
    L"fltlib.dll",   L"hlink.dll",       L"httpapi.dll",  L"ktmw32.dll",   L"loadperf.dll",
    L"lz32.dll",     L"mapi32.dll",      L"mscms.dll",    L"msftedit.dll", L"msvcirt.dll",
    L"msvcp60.dll",  L"msvcr100.dll",    L"msvcr120.dll", L"msvcr90.dll",  L"msvcrt20.dll",
    L"ntdsapi.dll",  L"odbc32.dll",      L"oledlg.dll",   L"olepro32.dll", L"pdh.dll",
    L"psapi.dll",    L"rasapi32.dll",    L"riched20.dll", L"riched32.dll", L"rtutils.dll",
    L"samlib.dll",   L"schannel.dll",    L"sensapi.dll",  L"shfolder.dll", L"slc.dll",
    L"snmpapi.dll",  L"sxs.dll",         L"t2embed.dll",  L"tapi32.dll",   L"updspapi.dll",
    L"url.dll",      L"vssapi.dll",      L"wevtapi.dll",  L"winscard.dll", L"wsnmp32.dll",
    L"xolehlp.dll",  L"activeds.dll",    L"clusapi.dll",  L"dciman32.dll", L"dhcpcsvc.dll",
    L"faultrep.dll", L"inetmib1.dll",    L"mgmtapi.dll",  L"msisip.dll",   L"mssign32.dll",
    L"newdev.dll",   L"ninput.dll",      L"objsel.dll",   L"resutils.dll", L"serialui.dll",
    L"svrapi.dll",   L"webservices.dll", L"wer.dll",      L"wsdapi.dll",   L"scrrun.dll",
};

uint32_t moduleCount() {
  HMODULE modules[1];
  DWORD needed = 0;
  if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &needed)) return 0;
  return needed / sizeof(HMODULE);
}

}  // namespace

bool listLoadedModules(std::vector<LoadedModule>* modules) {
  modules->clear();
  std::vector<HMODULE> handles(kMaxListedModules);
  DWORD needed = 0;
  if (!EnumProcessModules(GetCurrentProcess(), handles.data(),
                          static_cast<DWORD>(handles.size() * sizeof(HMODULE)), &needed)) {
    return false;
  }
  const size_t count = needed / sizeof(HMODULE);
  if (count > handles.size()) return false;
  for (size_t i = 0; i < count; ++i) {
    MODULEINFO info = {};
    LoadedModule module;
    if (!GetModuleInformation(GetCurrentProcess(), handles[i], &info, sizeof(info)) ||
        !getModulePath(handles[i], &module.path)) {
      return false;
    }
    module.base = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
    module.size = info.SizeOfImage;
    modules->push_back(std::move(module));
  }
  return true;
}

uint32_t loadSystemLibraries(uint32_t count) {
  const uint32_t before = moduleCount();
  wchar_t systemDirectory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  for (const wchar_t* name : kSystemLibraries) {
    if (moduleCount() - before >= count) break;
    if (GetModuleHandleW(name) != nullptr) continue;
    // Kept loaded until the process ends.
    LoadLibraryW(joinPath(systemDirectory, name).c_str());
  }
  return moduleCount() - before;
}

bool rewriteLoaderPath(uintptr_t base, const std::wstring& path) {
  if (path.size() > 0x7FFE) return false;  // the record counts bytes in 16 bits
  // The thread information block holds the process environment block's
  // address: at fs:0x30 in a 32-bit process, at gs:0x60 in a 64-bit one.
  const PEB* peb = nullptr;
#if defined(_WIN64)
  asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
  asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
  LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
  for (LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    LDR_DATA_TABLE_ENTRY* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    if (reinterpret_cast<uintptr_t>(entry->DllBase) != base) continue;
    // Never freed: the loader may read the record until the process ends.
    wchar_t* text = new wchar_t[path.size() + 1];
    std::copy(path.begin(), path.end(), text);
    text[path.size()] = 0;
    entry->FullDllName.Buffer = text;
    entry->FullDllName.Length = static_cast<USHORT>(path.size() * sizeof(wchar_t));
    entry->FullDllName.MaximumLength = static_cast<USHORT>((path.size() + 1) * sizeof(wchar_t));
    return true;
  }
  return false;
}

BlockedThreads::BlockedThreads()
    : never_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      running_(CreateSemaphoreW(nullptr, 0, 0x7fffffff, nullptr)) {}

bool BlockedThreads::start(uint32_t count, std::vector<uint32_t>* ids) {
  if (!never_.isValid() || !running_.isValid()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    DWORD id = 0;
    // A small stack: nothing runs on these threads but the wait.
    ScopedHandle thread(CreateThread(nullptr, 64 * 1024, &BlockedThreads::run, this,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (!thread.isValid()) return false;
    if (WaitForSingleObject(running_.get(), 10000) != WAIT_OBJECT_0) return false;
    threads_.push_back(std::move(thread));
    ids->push_back(id);
  }
  return true;
}

DWORD WINAPI BlockedThreads::run(void* context) {
  BlockedThreads* self = static_cast<BlockedThreads*>(context);
  ReleaseSemaphore(self->running_.get(), 1, nullptr);
  WaitForSingleObject(self->never_.get(), INFINITE);
  return 0;
}

}  // namespace tavra
