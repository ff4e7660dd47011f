#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/AuOutput.h"
#include "platform/Thread.h"

namespace tunevert {

enum class TEventType { etOnProgress = 0, etOnDone = 1, etGeneric = 2, etNonGUI = 3 };

struct TEventRecord {
  TEventType _type;
  TComponent* Sender;
  // The handler of a progress, generic or non-GUI event; for a done event, the output's
  // OnDone as it is when the event is delivered.
  std::function<void(TComponent* Sender)> Handler;
  TAuThread* Thread = nullptr;  // done events: the worker of the run that ended
  uint64_t Run = 0;             // done events: which of the output's runs ended
};
using PEventRecord = std::unique_ptr<TEventRecord>;

// Carries the outputs' events from their worker threads to the main thread, one at a time
// and in order.
class TEventHandler final : public TThread {
 public:
  TEventHandler();
  ~TEventHandler() override;

  void PostOnDone(TAuOutput* Sender, TAuThread* Thread, uint64_t Run);
  void PostOnProgress(TComponent* Sender, TOutputProgressEvent Handler);
  void PostGenericEvent(TComponent* Sender, TGenericEvent Handler);
  // Queued at the head and handled on the dispatcher thread itself.
  void PostNonGuiEvent(TComponent* Sender, TGenericEvent Handler);
  void ClearEvents(TComponent* Sender);
  // Blocks nest: each BlockEvents of a sender is lifted by one UnblockEvents of the same
  // sender, so a synchronous stop nested in another keeps the outer one's block.
  void BlockEvents(TComponent* Sender);
  void UnblockEvents(TComponent* Sender);
  // For a sender about to be destroyed: drops its records and returns once none of them is
  // being handled; a record in flight calls nothing more. Pumps the main thread's queue
  // when called there. Called from the handler being delivered for Sender, it returns at
  // once: that handler is the last call made for Sender.
  void DetachSender(TComponent* Sender);
  // The calling thread is running a handler this dispatcher delivers.
  bool InHandler();
  // Ends the dispatcher's loop without waiting for it.
  void RequestEnd();

 protected:
  void Execute() override;

 private:
  void AddEvent(PEventRecord Record);
  void InsertEvent(PEventRecord Record);
  PEventRecord TakeEvent();
  bool HasEvents();
  void HandleDone(TEventRecord& Record);
  // Calls the current record's handler unless its sender was blocked or detached meanwhile.
  void CallHandler();
  // Under CS.
  bool Blocked(TComponent* Sender);
  bool Detached(TComponent* Sender);
  bool Silenced(TComponent* Sender);

  std::deque<PEventRecord> Events;
  std::mutex CS;
  TEvent _Evt;
  TEventRecord* CurrentEvent = nullptr;     // under CS
  std::vector<TComponent*> BlockedSenders;  // under CS; one entry per block not lifted yet
  std::vector<TComponent*> FDetached;       // under CS
  // Detached from inside their own handler: dropped from FDetached when the record is done.
  std::vector<TComponent*> FDetachedInHandler;  // under CS
  std::thread::id FHandlerThread;               // under CS: where CurrentEvent's handler runs
};

// The process-wide dispatcher; exists while at least one output does.
TEventHandler* EventHandler();
void AcquireEventHandler();
void ReleaseEventHandler();

}  // namespace tunevert
