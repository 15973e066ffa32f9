#include "runtime/at_exit.h"

#include <windows.h>

#include "runtime/scoped_lock.h"

namespace tavra {
namespace {

// Guards the scope stack and every scope's entries. A static SRW lock needs no
// initialisation, so the lock is usable before any constructor runs.
SrwLock g_lock;
AtExitScope* g_innermost = nullptr;

}  // namespace

AtExitScope::AtExitScope() {
  ScopedSrwLock lock(&g_lock);
  outer_ = g_innermost;
  g_innermost = this;
}

AtExitScope::~AtExitScope() {
  runCallbacks();
  ScopedSrwLock lock(&g_lock);
  // Scopes close in the reverse order of opening; should one be closed out of
  // order, unlink it wherever it stands.
  if (g_innermost == this) {
    g_innermost = outer_;
    return;
  }
  for (AtExitScope* scope = g_innermost; scope != nullptr; scope = scope->outer_) {
    if (scope->outer_ == this) {
      scope->outer_ = outer_;
      return;
    }
  }
}

bool AtExitScope::registerCallback(AtExitCallback callback, void* context) {
  if (callback == nullptr) return false;
  ScopedSrwLock lock(&g_lock);
  if (g_innermost == nullptr) return false;
  g_innermost->entries_.push_back(Entry{callback, context});
  return true;
}

void AtExitScope::runCallbacks() {
  for (;;) {
    Entry entry;
    {
      ScopedSrwLock lock(&g_lock);
      if (entries_.empty()) return;
      entry = entries_.back();
      entries_.pop_back();
    }
    // Outside the lock: a callback may register further callbacks.
    entry.callback(entry.context);
  }
}

}  // namespace tavra
