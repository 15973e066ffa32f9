#include "runtime/private_security.h"

#include <sddl.h>

#include <memory>
#include <new>
#include <utility>

#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

// The process token's user as a SID string ("S-1-5-21-...").
bool currentUserSid(std::wstring* sid) {
  ScopedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size < sizeof(TOKEN_USER)) return false;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer || !GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) {
    return false;
  }
  ScopedLocalMemory<wchar_t*> text;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid,
                              text.receive())) {
    return false;
  }
  sid->assign(text.get());
  return true;
}

}  // namespace

bool privateSecuritySddl(PrivateObject kind, std::wstring* sddl) {
  std::wstring user;
  if (!currentUserSid(&user)) return false;
  // "P": protected, so that the folder's inheritable entries stay out.
  const wchar_t* flags = kind == PrivateObject::kFolder ? L"OICI" : L"";
  *sddl = std::wstring(L"D:P(A;") + flags + L";FA;;;" + user + L")(A;" + flags + L";FA;;;SY)";
  return true;
}

bool PrivateSecurity::build(PrivateObject kind) {
  attributes_.lpSecurityDescriptor = nullptr;
  descriptor_.reset();
  std::wstring sddl;
  if (!privateSecuritySddl(kind, &sddl) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            descriptor_.receive(), nullptr)) {
    return false;
  }
  attributes_.lpSecurityDescriptor = descriptor_.get();
  return true;
}

bool createPrivateFile(const std::wstring& path, DWORD access, ScopedHandle* file) {
  PrivateSecurity security;
  if (!security.build(PrivateObject::kFile)) return false;
  file->reset(CreateFileW(path.c_str(), access, FILE_SHARE_READ, security.attributes(), CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file->isValid()) return true;
  const DWORD error = GetLastError();
  // A folder or a device of that name is as taken as a file, whichever error
  // the system gives for it.
  SetLastError(error == ERROR_ALREADY_EXISTS || pathExists(path) ? ERROR_FILE_EXISTS : error);
  return false;
}

bool createPrivateFile(const char* path, DWORD access, ScopedHandle* file) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return createPrivateFile(ansiToWide(path), access, file);
}

bool createPrivateDirectoryWithParents(const std::wstring& path) {
  PrivateSecurity security;
  return security.build(PrivateObject::kFolder) &&
         createDirectoryWithParents(path, security.attributes());
}

}  // namespace tavra
