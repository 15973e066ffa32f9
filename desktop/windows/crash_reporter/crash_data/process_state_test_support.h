// Test support: a snapshot that answers as another one does, for tests and
// benchmarks that change or watch one of its answers.
//
// It belongs to the thread that uses the snapshot it wraps, as that does.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_TEST_SUPPORT_H_

#include <cstdint>
#include <memory>

#include "desktop/windows/crash_reporter/crash_data/process_state.h"

namespace tavra {
namespace testing_support {

class ForwardingProcessState : public ProcessState {
 public:
  // `state` must outlive this object.
  explicit ForwardingProcessState(const ProcessState& state) : state_(state) {}

  bool isReadable(TargetAddress address) const override { return state_.isReadable(address); }
  uint32_t exceptionCode() const override { return state_.exceptionCode(); }
  const char* exceptionName() const override { return state_.exceptionName(); }
  TargetAddress exceptionAddress() const override { return state_.exceptionAddress(); }
  const ThreadList& threads() const override { return state_.threads(); }
  const ModuleInfo* mainModule() const override { return state_.mainModule(); }
  const ModuleList& modules() const override { return state_.modules(); }
  std::unique_ptr<MemoryReader> createMemoryReader() const override {
    return state_.createMemoryReader();
  }

 protected:
  const ProcessState& state_;
};

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_TEST_SUPPORT_H_
