#include "desktop/windows/crash_reporter/server/server_test_fixture.h"

#include <cwchar>

#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

std::wstring unitsText(const wchar_t* units) { return std::wstring(units, wcsnlen(units, 64)); }

template <typename T>
void append(Recorder* recorder, std::vector<T>* list, T value) {
  ScopedCriticalSection hold(&recorder->lock);
  list->push_back(std::move(value));
}

}  // namespace

void recordRegistered(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  append(recorder, &recorder->registered, client->processId());
}

void recordDump(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  Recorder::Dump dump;
  dump.processId = client->processId();
  SIZE_T read = 0;
  ReadProcessMemory(
      client->process(),
      reinterpret_cast<const void*>(static_cast<uintptr_t>(client->threadIdAddress())),
      &dump.threadId, sizeof(dump.threadId), &read);
  const AnnotationView view = client->annotationView();
  dump.viewEmpty = view.entries == nullptr && view.count == 0;
  for (uint32_t i = 0; i < view.count; ++i) {
    dump.annotations.emplace_back(unitsText(view.entries[i].name),
                                  unitsText(view.entries[i].value));
  }
  append(recorder, &recorder->dumps, std::move(dump));
}

void recordExited(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  append(recorder, &recorder->exited, client->processId());
}

void recordHookRequest(void* context, uint32_t value) {
  Recorder* recorder = static_cast<Recorder*>(context);
  append(recorder, &recorder->hookValues, value);
}

void recordRefusal(void* context, const RegistrationRefusal& refusal) {
  Recorder* recorder = static_cast<Recorder*>(context);
  append(recorder, &recorder->refusals, refusal);
}

void recordUnserved(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  append(recorder, &recorder->unserved, client->processId());
}

std::vector<uint32_t> words(const std::string& line) {
  std::vector<std::string> parts = tokens(line);
  std::vector<uint32_t> result;
  for (size_t i = 1; i < parts.size(); ++i) {
    result.push_back(static_cast<uint32_t>(std::stoull(parts[i])));
  }
  return result;
}

bool validInProcess(HANDLE process, HANDLE handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, handle, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  CloseHandle(copy);
  return true;
}

::testing::AssertionResult handleCountReturnsTo(uint32_t before, DWORD timeoutMs) {
  if (waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == before; }, timeoutMs)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << probeHandleCount(GetCurrentProcess()) << " handles, " << before << " before";
}

void ServerTestFixture::TearDown() {
  if (server_) server_->stop();
  clients_.clear();
  server_.reset();
}

std::wstring ServerTestFixture::pipeName() const { return reporterPipeName(GetCurrentProcessId()); }

DumpRequestServer* ServerTestFixture::startServer(ClientHook onDumpRequest,
                                                  DWORD conversationTimeoutMs) {
  makeServer(onDumpRequest, &recorder_);
  if (conversationTimeoutMs != 0) server_->setConversationTimeout(conversationTimeoutMs);
  EXPECT_TRUE(server_->start());
  return server_.get();
}

DumpRequestServer* ServerTestFixture::makeServer(ClientHook onDumpRequest, void* dumpContext) {
  if (server_) server_->stop();
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, &recordRegistered, &recorder_,
                                                onDumpRequest, dumpContext, &recordExited,
                                                &recorder_, &recordHookRequest, &recorder_);
  server_->setRefusalHook(&recordRefusal, &recorder_);
  server_->setUnservedRequestHook(&recordUnserved, &recorder_);
  return server_.get();
}

DumpRequestServer* ServerTestFixture::makeServerWithOnly(ClientHook onDumpRequest,
                                                         void* dumpContext,
                                                         ClientHook onClientExited) {
  if (server_) server_->stop();
  server_ =
      std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr, onDumpRequest,
                                          dumpContext, onClientExited, nullptr, nullptr, nullptr);
  return server_.get();
}

ChildProcess* ServerTestFixture::startClient(const std::wstring& switches) {
  clients_.push_back(std::make_unique<ChildProcess>());
  ChildProcess* client = clients_.back().get();
  EXPECT_TRUE(
      client->start(siblingProgramPath(L"tavra_test_client.exe"),
                    L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId()) + L" " + switches));
  return client;
}

ChildProcess* ServerTestFixture::startServerWithARegisteredClient() {
  startServer();
  ChildProcess* client = startClient();
  registerClient(client);
  return client;
}

std::vector<uint32_t> ServerTestFixture::registerClient(ChildProcess* client,
                                                        const std::string& option) {
  const std::string line = client->command("register " + option);
  EXPECT_TRUE(startsWith(line, "registered ")) << line;
  return words(line);
}

bool ServerTestFixture::listening() {
  return waitUntil([&] { return server_->state() == PipeState::AwaitClient; });
}

}  // namespace tavra
