#include "pipeline/EventHandler.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tunevert {

namespace {

std::mutex gEventHandlerLock;
TEventHandler* gEventHandler = nullptr;  // under gEventHandlerLock while it changes
int gEventHandlerUsers = 0;

// Dispatchers released from inside one of their own handlers: such a dispatcher waits for
// that handler to return, so it cannot be joined there. It ends once the handler returns
// and is freed by a later acquire or release, or at exit. Under gEventHandlerLock.
struct RetiredDispatchers {
  std::vector<std::unique_ptr<TEventHandler>> List;
  void ReapFinished() {
    std::erase_if(List, [](const auto& d) { return d->Finished(); });
  }
};

RetiredDispatchers& Retired() {
  // Made on first use, after the main-thread call queue, so it is destroyed before it.
  static RetiredDispatchers retired;
  return retired;
}

}  // namespace

TEventHandler* EventHandler() {
  std::lock_guard lock(gEventHandlerLock);
  return gEventHandler;
}

void AcquireEventHandler() {
  std::lock_guard lock(gEventHandlerLock);
  Retired().ReapFinished();
  if (gEventHandlerUsers == 0) gEventHandler = new TEventHandler();
  ++gEventHandlerUsers;
}

void ReleaseEventHandler() {
  TEventHandler* ending = nullptr;
  {
    std::lock_guard lock(gEventHandlerLock);
    Retired().ReapFinished();
    if (--gEventHandlerUsers == 0) std::swap(ending, gEventHandler);
    if (ending != nullptr && ending->InHandler()) {
      ending->RequestEnd();
      Retired().List.emplace_back(ending);
      return;
    }
  }
  delete ending;  // terminates and joins
}

TEventHandler::TEventHandler() {
  Start();
}

TEventHandler::~TEventHandler() {
  RequestEnd();
  WaitFor();
}

void TEventHandler::RequestEnd() {
  Terminate();
  _Evt.SetEvent();
}

void TEventHandler::PostOnDone(TAuOutput* Sender, TAuThread* Thread, uint64_t Run) {
  auto record = std::make_unique<TEventRecord>();
  record->_type = TEventType::etOnDone;
  record->Sender = Sender;
  record->Thread = Thread;
  record->Run = Run;
  AddEvent(std::move(record));
}

void TEventHandler::PostOnProgress(TComponent* Sender, TOutputProgressEvent Handler) {
  AddEvent(std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etOnProgress, Sender, std::move(Handler)}));
}

void TEventHandler::PostGenericEvent(TComponent* Sender, TGenericEvent Handler) {
  AddEvent(std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etGeneric, Sender, std::move(Handler)}));
}

void TEventHandler::PostNonGuiEvent(TComponent* Sender, TGenericEvent Handler) {
  InsertEvent(std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etNonGUI, Sender, std::move(Handler)}));
}

void TEventHandler::AddEvent(PEventRecord Record) {
  {
    std::lock_guard lock(CS);
    if (!Blocked(Record->Sender)) Events.push_back(std::move(Record));
  }
  _Evt.SetEvent();
}

void TEventHandler::InsertEvent(PEventRecord Record) {
  {
    std::lock_guard lock(CS);
    if (!Blocked(Record->Sender)) Events.push_front(std::move(Record));
  }
  _Evt.SetEvent();
}

PEventRecord TEventHandler::TakeEvent() {
  std::lock_guard lock(CS);
  if (Events.empty()) return nullptr;
  PEventRecord record = std::move(Events.front());
  Events.pop_front();
  CurrentEvent = record.get();
  return record;
}

bool TEventHandler::HasEvents() {
  std::lock_guard lock(CS);
  return !Events.empty();
}

void TEventHandler::ClearEvents(TComponent* Sender) {
  std::lock_guard lock(CS);
  std::erase_if(Events, [Sender](const PEventRecord& r) { return r->Sender == Sender; });
}

void TEventHandler::BlockEvents(TComponent* Sender) {
  std::lock_guard lock(CS);
  BlockedSenders.push_back(Sender);
}

void TEventHandler::UnblockEvents(TComponent* Sender) {
  std::lock_guard lock(CS);
  if (auto it = std::find(BlockedSenders.begin(), BlockedSenders.end(), Sender);
      it != BlockedSenders.end())
    BlockedSenders.erase(it);
}

bool TEventHandler::Blocked(TComponent* Sender) {
  return std::find(BlockedSenders.begin(), BlockedSenders.end(), Sender) != BlockedSenders.end();
}

bool TEventHandler::Detached(TComponent* Sender) {
  return std::find(FDetached.begin(), FDetached.end(), Sender) != FDetached.end();
}

bool TEventHandler::Silenced(TComponent* Sender) {
  return Blocked(Sender) || Detached(Sender);
}

bool TEventHandler::InHandler() {
  std::lock_guard lock(CS);
  return CurrentEvent != nullptr && FHandlerThread == std::this_thread::get_id();
}

void TEventHandler::DetachSender(TComponent* Sender) {
  {
    std::lock_guard lock(CS);
    FDetached.push_back(Sender);
    std::erase_if(Events, [Sender](const PEventRecord& r) { return r->Sender == Sender; });
    // Waiting for the record whose handler called us would wait for ourselves.
    if (CurrentEvent != nullptr && CurrentEvent->Sender == Sender &&
        FHandlerThread == std::this_thread::get_id()) {
      FDetachedInHandler.push_back(Sender);
      return;
    }
  }
  // The record in flight may be waiting for the main thread, which keeps serving it here.
  AwaitCondition([this, Sender] {
    std::lock_guard lock(CS);
    if (CurrentEvent != nullptr && CurrentEvent->Sender == Sender) return false;
    std::erase(FDetached, Sender);
    std::erase_if(Events, [Sender](const PEventRecord& r) { return r->Sender == Sender; });
    return true;
  });
}

void TEventHandler::CallHandler() {
  std::function<void(TComponent*)> handler;
  TComponent* sender = nullptr;
  {
    std::lock_guard lock(CS);
    if (CurrentEvent == nullptr || Silenced(CurrentEvent->Sender)) return;
    handler = CurrentEvent->Handler;
    sender = CurrentEvent->Sender;
    FHandlerThread = std::this_thread::get_id();
  }
  struct Leave {
    TEventHandler& D;
    ~Leave() {
      std::lock_guard lock(D.CS);
      D.FHandlerThread = {};
    }
  } leave{*this};
  if (handler) handler(sender);
}

void TEventHandler::HandleDone(TEventRecord& Record) {
  auto* output = static_cast<TAuOutput*>(Record.Sender);
  TAuThread* worker = Record.Thread;
  const auto asleep = [this, worker] {
    return worker->Sleeping || worker->Finished() || Terminated();
  };
  while (!asleep()) {
    {
      std::lock_guard lock(CS);
      if (Detached(output)) return;  // being destroyed
    }
    // The done event comes a few instructions before the worker's sleep: wake with it
    // rather than at the next 10 ms tick, which made each file 10 ms longer.
    worker->WaitForState(asleep, 10);
  }
  {
    // Under RunCS, so that a Run made after the worker fell asleep keeps its Busy.
    std::lock_guard lock(output->RunCS);
    if (output->FRunRequests.load() == Record.Run) output->Busy = false;
  }
  ClearEvents(output);
  {
    std::lock_guard lock(CS);
    if (Silenced(output)) return;
  }
  if (!worker->DoNotify) return;
  Record.Handler = output->OnDone();
  if (Record.Handler) TThread::Synchronize([this] { CallHandler(); });
}

void TEventHandler::Execute() {
  while (!Terminated()) {
    while (!Terminated() && HasEvents()) {
      PEventRecord record = TakeEvent();
      if (!record) break;
      try {
        switch (record->_type) {
          case TEventType::etOnDone:
            HandleDone(*record);
            break;
          case TEventType::etNonGUI:
            CallHandler();
            break;
          case TEventType::etOnProgress:
          case TEventType::etGeneric:
            TThread::Synchronize([this] { CallHandler(); });
            break;
        }
      } catch (...) {
        // A failing handler must not end the dispatcher: later events still get delivered.
      }
      {
        std::lock_guard lock(CS);
        CurrentEvent = nullptr;
        for (TComponent* sender : FDetachedInHandler)
          if (auto it = std::find(FDetached.begin(), FDetached.end(), sender);
              it != FDetached.end())
            FDetached.erase(it);
        FDetachedInHandler.clear();
      }
      ConditionChanged();  // a DetachSender may be waiting for this record
    }
    _Evt.WaitFor(100);
  }
}

}  // namespace tunevert
