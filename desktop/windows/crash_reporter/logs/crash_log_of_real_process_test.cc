// The crash log of a real crashed browser process, captured as the reporter
// captures it.
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/capture_on_dump_request_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_test_support.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"

namespace tavra {
namespace {

class CrashLogOfRealProcessTest : public testing_support::CaptureOnDumpRequestTest {};

// The snapshot with every readability question put to the process by a
// one-byte read of its own, as a snapshot without per-page answers would.
class ReadEveryAddress : public testing_support::ForwardingProcessState {
 public:
  ReadEveryAddress(const ProcessStateImpl& state, HANDLE process)
      : ForwardingProcessState(state), process_(process) {}
  bool isReadable(uint32_t address) const override {
    ++reads_;
    uint8_t byte = 0;
    SIZE_T count = 0;
    return ReadProcessMemory(process_,
                             reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &byte,
                             1, &count) &&
           count == 1;
  }
  uint32_t reads() const { return reads_; }

 private:
  HANDLE process_;
  mutable uint32_t reads_ = 0;
};

// The per-page answers change how often the crashed process is asked, not
// what the crash log says.
TEST_F(CrashLogOfRealProcessTest, TheCrashLogIsTheSameWithPerPageReadability) {
  ChildProcess* client = startClient();
  ASSERT_EQ(0u, client->command("threads 16").find("threads "));
  ASSERT_EQ(0u, client->command("modules 20").find("modules "));
  captureAfter(client, "dump-raw * * *");
  ASSERT_TRUE(run_.result);
  const ProcessStateImpl& state = *run_.state;
  ScopedTempDir dir(L"tavra_readability");
  ASSERT_TRUE(dir.isValid());
  const std::string perPage = wideToUtf8(joinPath(dir.path(), L"per_page.txt"));
  const std::string everyAddress = wideToUtf8(joinPath(dir.path(), L"every_address.txt"));
  {
    LogCapture quiet;
    CrashLogWriter writer;
    ASSERT_TRUE(writer.write(state, CrashMetadata(), perPage.c_str()));
  }
  ScopedHandle process(OpenProcess(PROCESS_VM_READ, FALSE, client->processId()));
  ASSERT_TRUE(process.isValid());
  ReadEveryAddress uncached(state, process.get());
  {
    LogCapture quiet;
    CrashLogWriter writer;
    ASSERT_TRUE(writer.write(uncached, CrashMetadata(), everyAddress.c_str()));
  }
  std::string perPageText, everyAddressText;
  ASSERT_TRUE(readFileToString(utf8ToWide(perPage), &perPageText));
  ASSERT_TRUE(readFileToString(utf8ToWide(everyAddress), &everyAddressText));
  EXPECT_GT(perPageText.size(), 10000u);
  EXPECT_TRUE(perPageText == everyAddressText) << "the two crash logs differ";
  EXPECT_LT(state.readabilityCalls(), uncached.reads());
  releaseClient(client);
}

}  // namespace
}  // namespace tavra
