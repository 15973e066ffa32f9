#include "runtime/at_exit.h"

#include <windows.h>

namespace tavra {
namespace {

// Guards the scope stack and every scope's entries. A static SRW lock needs no
// initialisation, so the lock is usable before any constructor runs.
SRWLOCK g_lock = SRWLOCK_INIT;
AtExitScope* g_innermost = nullptr;

}  // namespace

AtExitScope::AtExitScope() {
  AcquireSRWLockExclusive(&g_lock);
  outer_ = g_innermost;
  g_innermost = this;
  ReleaseSRWLockExclusive(&g_lock);
}

AtExitScope::~AtExitScope() {
  runCallbacks();
  AcquireSRWLockExclusive(&g_lock);
  // Scopes close in the reverse order of opening; should one be closed out of
  // order, unlink it wherever it stands.
  if (g_innermost == this) {
    g_innermost = outer_;
  } else {
    for (AtExitScope* scope = g_innermost; scope != nullptr; scope = scope->outer_) {
      if (scope->outer_ == this) {
        scope->outer_ = outer_;
        break;
      }
    }
  }
  ReleaseSRWLockExclusive(&g_lock);
}

bool AtExitScope::registerCallback(AtExitCallback callback, void* context) {
  if (callback == nullptr) return false;
  AcquireSRWLockExclusive(&g_lock);
  AtExitScope* scope = g_innermost;
  if (scope != nullptr) scope->entries_.push_back(Entry{callback, context});
  ReleaseSRWLockExclusive(&g_lock);
  return scope != nullptr;
}

void AtExitScope::runCallbacks() {
  for (;;) {
    AcquireSRWLockExclusive(&g_lock);
    if (entries_.empty()) {
      ReleaseSRWLockExclusive(&g_lock);
      return;
    }
    Entry entry = entries_.back();
    entries_.pop_back();
    ReleaseSRWLockExclusive(&g_lock);
    entry.callback(entry.context);
  }
}

}  // namespace tavra
