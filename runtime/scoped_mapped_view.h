// Owns a view of a file mapping in this process.
#ifndef RUNTIME_SCOPED_MAPPED_VIEW_H_
#define RUNTIME_SCOPED_MAPPED_VIEW_H_

#include <windows.h>

namespace tavra {

// Unmaps the view once, when it is reset or destroyed. Any thread may own one;
// it has no lock.
class ScopedMappedView {
 public:
  ScopedMappedView() = default;
  explicit ScopedMappedView(void* view) : view_(view) {}
  ~ScopedMappedView() { reset(); }
  ScopedMappedView(const ScopedMappedView&) = delete;
  ScopedMappedView& operator=(const ScopedMappedView&) = delete;

  bool isValid() const { return view_ != nullptr; }
  void* get() const { return view_; }

  // Unmaps the view held so far and takes `view` instead.
  void reset(void* view = nullptr) {
    if (view_ != nullptr && view_ != view) UnmapViewOfFile(view_);
    view_ = view;
  }

 private:
  void* view_ = nullptr;
};

}  // namespace tavra

#endif  // RUNTIME_SCOPED_MAPPED_VIEW_H_
