#include "testing/browser_client/browser_client.h"

#include <algorithm>
#include <cstring>

namespace tavra {
namespace {

void copyText(std::wstring_view text, wchar_t* out) {
  const size_t length = std::min(text.size(), kAnnotationTextUnits);
  std::copy(text.begin(), text.begin() + length, out);
  if (length < kAnnotationTextUnits) out[length] = 0;
}

bool sameName(const ClientAnnotation& entry, std::wstring_view name) {
  const size_t length = std::min(name.size(), kAnnotationTextUnits);
  for (size_t i = 0; i < length; ++i) {
    if (entry.name[i] != name[i]) return false;
  }
  return length == kAnnotationTextUnits || entry.name[length] == 0;
}

}  // namespace

AnnotationTable::AnnotationTable(uint32_t capacity)
    : capacity_(capacity), entries_(new ClientAnnotation[capacity == 0 ? 1 : capacity]()) {}

ClientAddress AnnotationTable::address() const { return clientAddress(entries_.get()); }

bool AnnotationTable::set(std::wstring_view name, std::wstring_view value) {
  ClientAnnotation* unused = nullptr;
  for (uint32_t i = 0; i < capacity_; ++i) {
    ClientAnnotation& entry = entries_[i];
    if (entry.name[0] == 0) {
      if (unused == nullptr) unused = &entry;
      continue;
    }
    if (sameName(entry, name)) {
      copyText(value, entry.value);
      return true;
    }
  }
  if (unused == nullptr) return false;
  // The value first: the reporter may copy the table at any moment.
  copyText(value, unused->value);
  copyText(name, unused->name);
  return true;
}

bool AnnotationTable::setAt(uint32_t index, std::wstring_view name, std::wstring_view value) {
  if (index >= capacity_) return false;
  copyText(name, entries_[index].name);
  copyText(value, entries_[index].value);
  return true;
}

void AnnotationTable::fillNumbered() {
  for (uint32_t i = 0; i < capacity_; ++i) {
    const std::wstring number = std::to_wstring(i);
    setAt(i, L"key" + number, L"value" + number);
  }
}

void AnnotationTable::fillFullLength() {
  for (uint32_t i = 0; i < capacity_; ++i) {
    const std::wstring number = std::to_wstring(i);
    std::wstring name = L"full_key_" + number + L"_";
    std::wstring value = L"full_value_" + number + L"_";
    name.resize(kAnnotationTextUnits, L'n');
    value.resize(kAnnotationTextUnits, L'v');
    setAt(i, name, value);
  }
}

BrowserClient::BrowserClient(uint32_t annotationCapacity)
    : annotations_(annotationCapacity), words_(new RegisteredWords()) {}

ClientAddress BrowserClient::threadIdAddress() const { return clientAddress(&words_->threadId); }
ClientAddress BrowserClient::exceptionPointersAddress() const {
  return clientAddress(&words_->exceptionPointers);
}
ClientAddress BrowserClient::assertionAddress() const { return clientAddress(words_->assertion); }

ClientRegistration BrowserClient::registration() const {
  ClientRegistration message;
  message.layout = layout_;
  message.processId = GetCurrentProcessId();
  message.dumpType = dumpType_;
  message.threadIdAddress = threadIdAddress();
  message.exceptionPointersAddress = exceptionPointersAddress();
  message.assertionAddress = assertionAddress();
  message.annotationsAddress = annotations_.address();
  message.annotationCount = annotations_.capacity();
  return message;
}

void BrowserClient::forgetRegistration() {
  registered_ = false;
  dumpRequestEvent_.reset();
  dumpDoneEvent_.reset();
  serverAliveMutex_.reset();
}

bool BrowserClient::registerWith(const std::wstring& pipeName, DWORD timeoutMs, bool acknowledge) {
  forgetRegistration();
  hungUp_ = false;
  reply_ = PipeMessage();
  PipeConnection connection;
  if (!connection.connect(pipeName, timeoutMs)) {
    lastError_ = connection.lastError();
    return false;
  }
  uint8_t request[kPipeBufferSize];
  const DWORD requestSize = static_cast<DWORD>(registrationMessage(request));
  DWORD transferred = 0;
  if (connection.write(request, requestSize, timeoutMs) != IoResult::Ok ||
      connection.read(&reply_, sizeof(reply_), &transferred, timeoutMs) != IoResult::Ok) {
    lastError_ = connection.lastError();
    hungUp_ = connection.serverHungUp();
    return false;
  }
  if (transferred != sizeof(reply_) ||
      reply_.tag != static_cast<uint32_t>(PipeMessageTag::RegisterReply)) {
    lastError_ = ERROR_INVALID_DATA;
    return false;
  }
  // From here the handles are ours, whatever happens to the acknowledgement.
  dumpRequestEvent_.reset(
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply_.dumpRequestEvent)));
  dumpDoneEvent_.reset(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply_.dumpDoneEvent)));
  serverAliveMutex_.reset(
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply_.serverAliveMutex)));
  if (!dumpRequestEvent_.isValid() || !dumpDoneEvent_.isValid()) {
    forgetRegistration();
    lastError_ = ERROR_INVALID_DATA;
    return false;
  }
  registered_ = true;
  if (acknowledge) {
    // The contents of the acknowledgement are not examined.
    connection.write(request, requestSize, timeoutMs);
  }
  return true;
}

bool BrowserClient::signalDumpRequest(uint32_t threadId, ClientAddress exceptionPointersAddress) {
  if (!registered_) return false;
  words_->threadId = threadId;
  words_->exceptionPointers = exceptionPointersAddress;
  ResetEvent(dumpDoneEvent_.get());
  return SetEvent(dumpRequestEvent_.get()) != FALSE;
}

DumpResult BrowserClient::requestDump(uint32_t threadId, ClientAddress exceptionPointersAddress,
                                      DWORD timeoutMs) {
  if (!registered_) return DumpResult::NotRegistered;
  if (!signalDumpRequest(threadId, exceptionPointersAddress)) return DumpResult::Failed;
  return waitForDumpDone(timeoutMs);
}

DumpResult BrowserClient::waitForDumpDone(DWORD timeoutMs) {
  switch (WaitForSingleObject(dumpDoneEvent_.get(), timeoutMs)) {
    case WAIT_OBJECT_0:
      return DumpResult::Done;
    case WAIT_TIMEOUT:
      return DumpResult::TimedOut;
    default:
      return DumpResult::Failed;
  }
}

}  // namespace tavra
