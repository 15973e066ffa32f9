#include "desktop/windows/crash_reporter/server/dump_request_schedule.h"

namespace tavra {
namespace {

bool isSignalled(HANDLE event) {
  return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

}  // namespace

void DumpRequestSchedule::RecordList::append(ReporterClient* client) {
  client->scheduledPrevious_ = last;
  client->scheduledNext_ = nullptr;
  if (last != nullptr) {
    last->scheduledNext_ = client;
  } else {
    first = client;
  }
  last = client;
  ++size;
}

void DumpRequestSchedule::RecordList::remove(ReporterClient* client) {
  if (client->scheduledPrevious_ != nullptr) {
    client->scheduledPrevious_->scheduledNext_ = client->scheduledNext_;
  } else {
    first = client->scheduledNext_;
  }
  if (client->scheduledNext_ != nullptr) {
    client->scheduledNext_->scheduledPrevious_ = client->scheduledPrevious_;
  } else {
    last = client->scheduledPrevious_;
  }
  client->scheduledPrevious_ = nullptr;
  client->scheduledNext_ = nullptr;
  --size;
}

bool DumpRequestSchedule::isRunning(uint32_t processId) const {
  for (const ReporterClient* each = running_.first; each != nullptr; each = each->scheduledNext_) {
    if (each->processId() == processId) return true;
  }
  return false;
}

bool DumpRequestSchedule::runOrWait(ReporterClient* client) {
  if (running_.size < maxRunning_ && !isRunning(client->processId())) {
    client->dumpState_ = ReporterClient::DumpState::Running;
    running_.append(client);
    return true;
  }
  client->dumpState_ = ReporterClient::DumpState::Waiting;
  waiting_.append(client);
  return false;
}

ReporterClient* DumpRequestSchedule::takeNextToRun() {
  if (running_.size >= maxRunning_) return nullptr;
  for (ReporterClient* each = waiting_.first; each != nullptr; each = each->scheduledNext_) {
    // Another record of a process whose crash runs waits on: a process has
    // one crash handled at a time.
    if (isRunning(each->processId())) continue;
    waiting_.remove(each);
    each->dumpState_ = ReporterClient::DumpState::Running;
    running_.append(each);
    return each;
  }
  return nullptr;
}

bool DumpRequestSchedule::takeSignal(ReporterClient* client) {
  ScopedSrwLock hold(&lock_);
  // Under the lock, so that a signal is either still set or shows in the
  // request's state when `isBusy` looks. One that comes after the reset is
  // a signal of its own.
  ResetEvent(client->dumpRequestEvent());
  switch (client->dumpState_) {
    case ReporterClient::DumpState::Running:
      client->signalledDuringRun_ = true;
      return false;
    case ReporterClient::DumpState::Waiting:
      return false;
    case ReporterClient::DumpState::Idle:
      break;
  }
  return runOrWait(client);
}

bool DumpRequestSchedule::endRun(ReporterClient* client, ReporterClient** next,
                                 RecordDeparture* departure) {
  ScopedSrwLock hold(&lock_);
  *next = nullptr;
  *departure = RecordDeparture::None;
  // A thread that signalled during the run stored its words after the run
  // had read them: it is answered only by the run that takes its crash.
  if (client->signalledDuringRun_) {
    client->signalledDuringRun_ = false;
    return true;
  }
  // Dump-done releases every thread of the client that waits for it.
  SetEvent(client->dumpDoneEvent());
  client->dumpState_ = ReporterClient::DumpState::Idle;
  running_.remove(client);
  *departure = client->departure_;
  *next = takeNextToRun();
  return false;
}

bool DumpRequestSchedule::isBusy(uint32_t processId, const ReporterClient* listed) {
  ScopedSrwLock hold(&lock_);
  if (isRunning(processId)) return true;
  for (const ReporterClient* each = waiting_.first; each != nullptr; each = each->scheduledNext_) {
    if (each->processId() == processId) return true;
  }
  return listed != nullptr && isSignalled(listed->dumpRequestEvent());
}

DumpRequestSchedule::Leave DumpRequestSchedule::leave(ReporterClient* client,
                                                      RecordDeparture departure) {
  ScopedSrwLock hold(&lock_);
  const bool serve = departure == RecordDeparture::Retired && !closed_;
  switch (client->dumpState_) {
    case ReporterClient::DumpState::Running:
      client->departure_ = departure;
      return Leave::OwnedBySchedule;
    case ReporterClient::DumpState::Waiting:
      // A request that waits its turn was taken: it is served, also while
      // the server stops, unless its process has gone.
      if (departure != RecordDeparture::Exited) {
        client->departure_ = departure;
        return Leave::OwnedBySchedule;
      }
      waiting_.remove(client);
      client->dumpState_ = ReporterClient::DumpState::Idle;
      return Leave::DestroyUnserved;
    case ReporterClient::DumpState::Idle:
      break;
  }
  // The event is still set when its wait never took the signal.
  if (!isSignalled(client->dumpRequestEvent())) return Leave::Destroy;
  if (!serve) return Leave::DestroyUnserved;
  ResetEvent(client->dumpRequestEvent());
  client->departure_ = departure;
  return runOrWait(client) ? Leave::Run : Leave::OwnedBySchedule;
}

void DumpRequestSchedule::close() {
  ScopedSrwLock hold(&lock_);
  closed_ = true;
}

size_t DumpRequestSchedule::runningCount() {
  ScopedSrwLock hold(&lock_);
  return running_.size;
}

size_t DumpRequestSchedule::waitingCount() {
  ScopedSrwLock hold(&lock_);
  return waiting_.size;
}

}  // namespace tavra
