// The numbered path service: callers ask for a path by key, registered
// providers answer, and the first answer for each key is kept.
//
// Lookup order for a key: an override, then the cached answer, then every
// registered provider from the last registered to the first, then the
// runtime's own provider (keys 2, 3, 108 and 110). Providers are called
// without the service's lock held, so a provider may ask the service for
// other keys while it computes its answer.
#ifndef RUNTIME_PATH_SERVICE_H_
#define RUNTIME_PATH_SERVICE_H_

#include <string>

namespace tavra {

enum BasePathKey {
  DIR_EXE = 2,              // directory of the running executable
  DIR_MODULE = 3,           // directory of the module that holds this code
  DIR_APP_DATA = 108,       // the user's roaming application-data folder
  DIR_LOCAL_APP_DATA = 110  // the user's local application-data folder
};

// Returns true and sets `path` when it answers `key`; leaves `path` alone and
// returns false otherwise.
using PathProviderFunction = bool (*)(int key, std::wstring* path);

class PathService {
 public:
  // Cached: the first answer for a key is kept; overrides win over providers.
  // False, leaving `path` untouched, when no provider answers.
  static bool get(int key, std::wstring* path);

  // Adds a provider; it is asked before every provider registered earlier.
  // The key range is recorded with it but does not limit what it is asked.
  static void registerProvider(PathProviderFunction provider, int firstKey, int lastKey);

  // Makes `key` answer the absolute form of `path`, creating the directory
  // (with its parents) when it is missing. False, changing nothing, when the
  // directory cannot be made or the path cannot be made absolute. Every cached
  // answer is forgotten, since other keys may have been built on this one.
  static bool overridePath(int key, const std::wstring& path);

  // Forgets the cache, the overrides and the registered providers.
  static void resetForTesting();
};

}  // namespace tavra

#endif  // RUNTIME_PATH_SERVICE_H_
