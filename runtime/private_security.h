// Files and folders that only the user and the system may reach: an access
// list that grants full access to the process's user (its token's user) and
// to SYSTEM, and to nobody else, protected from the entries that its folder
// would otherwise pass on. What a crashed process's memory is written into
// must not be readable by another user, whatever folder it lands in.
//
// A private file is always created new, never opened over a file that is
// there: a name that someone else took before cannot be used to make the
// writer write into their file, or under their access list.
//
// Threads: any; nothing is shared. Each PrivateSecurity belongs to the thread
// that built it.
#ifndef RUNTIME_PRIVATE_SECURITY_H_
#define RUNTIME_PRIVATE_SECURITY_H_

#include <windows.h>

#include <string>

#include "runtime/scoped_holder.h"

namespace tavra {

enum class PrivateObject {
  kFile,
  // A folder's entries are also inherited by what is created in it.
  kFolder,
};

// The access list in SDDL: "D:P(A;;FA;;;<user SID>)(A;;FA;;;SY)" for a
// file, with "OICI" as the entries' flags for a folder. False when the
// process's user cannot be read.
bool privateSecuritySddl(PrivateObject kind, std::wstring* sddl);

class PrivateSecurity {
 public:
  PrivateSecurity() = default;
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // Builds the descriptor for `kind`. False when it cannot be built: the
  // attributes must not be used then (they would give the default security).
  bool build(PrivateObject kind);

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  // The attributes point into the descriptor: declared after it, they go
  // first.
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Creates a new private file at `path` and gives its handle, opened with
// `access` and shared for reading only. Never opens what is there: on a name
// that is taken (by a file, a folder or anything else) it fails with the
// thread's last error ERROR_FILE_EXISTS; on any other failure the last error
// says why. The narrow form takes a path in the system's ANSI code page, as
// the C library's functions do.
bool createPrivateFile(const std::wstring& path, DWORD access, ScopedHandle* file);
bool createPrivateFile(const char* path, DWORD access, ScopedHandle* file);

// Creates the folder and its missing parents, each one private; a folder
// that is there already is left as it is (its access list is the owner's
// choice). False when a folder cannot be made or the security not built.
bool createPrivateDirectoryWithParents(const std::wstring& path);

}  // namespace tavra

#endif  // RUNTIME_PRIVATE_SECURITY_H_
