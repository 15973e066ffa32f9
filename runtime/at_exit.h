// At-exit scopes: last-in-first-out lists of clean-up callbacks.
//
// Scopes nest: a callback is registered with the innermost scope that is open
// when it is registered, and runs when that scope closes. Callbacks that are
// registered while no scope is open are never run.
#ifndef RUNTIME_AT_EXIT_H_
#define RUNTIME_AT_EXIT_H_

#include <vector>

namespace tavra {

using AtExitCallback = void (*)(void* context);

class AtExitScope {
 public:
  AtExitScope();
  // Closes the scope: runs its callbacks, newest first.
  ~AtExitScope();
  AtExitScope(const AtExitScope&) = delete;
  AtExitScope& operator=(const AtExitScope&) = delete;

  // Registers with the innermost open scope. Safe from any thread. Returns
  // false when no scope is open.
  static bool registerCallback(AtExitCallback callback, void* context);

  // Runs the callbacks registered so far with this scope, newest first; a
  // callback may register further callbacks, which run too.
  void runCallbacks();

 private:
  struct Entry {
    AtExitCallback callback;
    void* context;
  };
  std::vector<Entry> entries_;
  AtExitScope* outer_;
};

}  // namespace tavra

#endif  // RUNTIME_AT_EXIT_H_
