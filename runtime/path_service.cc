#include "runtime/path_service.h"

#include <windows.h>
#include <shlobj.h>

#include <map>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/scoped_lock.h"

namespace tavra {
namespace {

struct ProviderEntry {
  PathProviderFunction provider;
  int firstKey;
  int lastKey;
};

struct PathState {
  std::map<int, std::wstring> cache;
  std::map<int, std::wstring> overrides;
  std::vector<ProviderEntry> providers;  // In registration order.
};

// A static SRW lock needs no initialisation, so the service works before and
// after every static constructor and destructor. The state is never freed for
// the same reason: exit-time clean-up may still ask for paths.
SrwLock g_lock;
PathState* g_state = nullptr;

// Call with the lock held.
PathState* state() {
  if (g_state == nullptr) g_state = new PathState();
  return g_state;
}

bool getShellFolder(int csidl, std::wstring* path) {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  if (buffer[0] == L'\0') return false;
  *path = buffer;
  return true;
}

bool getModuleDirectory(std::wstring* path) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&getModuleDirectory), &module)) {
    return false;
  }
  std::wstring buffer;
  if (!getModulePath(module, &buffer)) return false;
  std::wstring dir = dirName(buffer);
  if (dir.empty()) return false;
  *path = dir;
  return true;
}

// The runtime's own keys; asked after every registered provider.
bool basePathProvider(int key, std::wstring* path) {
  switch (key) {
    case DIR_EXE:
      return getExecutableDirectory(path);
    case DIR_MODULE:
      return getModuleDirectory(path);
    case DIR_APP_DATA:
      return getShellFolder(CSIDL_APPDATA, path);
    case DIR_LOCAL_APP_DATA:
      return getShellFolder(CSIDL_LOCAL_APPDATA, path);
    default:
      return false;
  }
}

}  // namespace

bool PathService::get(int key, std::wstring* path) {
  if (path == nullptr) return false;
  std::vector<ProviderEntry> providers;
  {
    ScopedSrwLock lock(&g_lock);
    PathState* s = state();
    auto overridden = s->overrides.find(key);
    if (overridden != s->overrides.end()) {
      *path = overridden->second;
      return true;
    }
    auto cached = s->cache.find(key);
    if (cached != s->cache.end()) {
      *path = cached->second;
      return true;
    }
    providers = s->providers;
  }

  // Providers run unlocked: they may ask for other keys, and a slow one must
  // not hold up callers of unrelated keys.
  std::wstring answer;
  bool answered = false;
  for (auto it = providers.rbegin(); it != providers.rend() && !answered; ++it) {
    answered = it->provider(key, &answer);
  }
  if (!answered) answered = basePathProvider(key, &answer);
  if (!answered) return false;

  ScopedSrwLock lock(&g_lock);
  PathState* s = state();
  // Another thread may have answered or overridden the key meanwhile; the
  // first stored answer is the one every caller sees.
  auto overridden = s->overrides.find(key);
  if (overridden != s->overrides.end()) {
    *path = overridden->second;
    return true;
  }
  auto inserted = s->cache.emplace(key, answer);
  *path = inserted.first->second;
  return true;
}

void PathService::registerProvider(PathProviderFunction provider, int firstKey, int lastKey) {
  if (provider == nullptr) return;
  ScopedSrwLock lock(&g_lock);
  state()->providers.push_back(ProviderEntry{provider, firstKey, lastKey});
}

bool PathService::overridePath(int key, const std::wstring& path) {
  if (path.empty()) return false;
  if (!directoryExists(path) && !createDirectoryWithParents(path)) return false;
  std::wstring absolute;
  if (!makeAbsolutePath(path, &absolute)) return false;
  absolute = stripTrailingSeparators(absolute);
  ScopedSrwLock lock(&g_lock);
  PathState* s = state();
  s->overrides[key] = absolute;
  s->cache.clear();
  return true;
}

void PathService::resetForTesting() {
  ScopedSrwLock lock(&g_lock);
  PathState* s = state();
  s->cache.clear();
  s->overrides.clear();
  s->providers.clear();
}

}  // namespace tavra
