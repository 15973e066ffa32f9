// A test seam: a system call, or a bound, that a test can replace for the
// whole process, and that otherwise is the real one.
//
// The product calls through the seam, which reads its replacement at each
// call; a null (zero) replacement means the real function (the default
// value). A seam is ready before `main` runs and has nothing to destroy, so
// code that runs while static objects are destroyed still calls through it;
// reading it costs one atomic load.
//
// Threads: any thread calls or reads; a test replaces it while nothing that
// uses it runs, or for calls that may see either function.
#ifndef RUNTIME_SEAM_H_
#define RUNTIME_SEAM_H_

#include <atomic>
#include <utility>

namespace tavra {

template <typename T>
class Seam {
 public:
  constexpr explicit Seam(T real) : real_(real) {}
  Seam(const Seam&) = delete;
  Seam& operator=(const Seam&) = delete;

  // The replacement if there is one, else the real one.
  T get() const {
    const T replacement = replacement_.load();
    return replacement ? replacement : real_;
  }

  // Calls a seam of a function.
  template <typename... Args>
  auto operator()(Args&&... args) const {
    return get()(std::forward<Args>(args)...);
  }

  // Replaces the real one until the next call; null restores it. Returns the
  // replacement that was in place.
  T replaceForTesting(T replacement) { return replacement_.exchange(replacement); }

 private:
  const T real_;
  std::atomic<T> replacement_{T()};
};

// Replaces a seam for its own lifetime and puts back what was there, so that
// a failing test leaves no replacement behind for the next.
template <typename T>
class ScopedSeamReplacement {
 public:
  ScopedSeamReplacement(Seam<T>* seam, T replacement)
      : seam_(seam), previous_(seam->replaceForTesting(replacement)) {}
  ~ScopedSeamReplacement() { seam_->replaceForTesting(previous_); }
  ScopedSeamReplacement(const ScopedSeamReplacement&) = delete;
  ScopedSeamReplacement& operator=(const ScopedSeamReplacement&) = delete;

 private:
  Seam<T>* const seam_;
  const T previous_;
};

}  // namespace tavra

#endif  // RUNTIME_SEAM_H_
