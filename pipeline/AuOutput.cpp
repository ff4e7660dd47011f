#include "pipeline/AuOutput.h"

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <utility>

#include "pipeline/EventHandler.h"
#include "platform/Interrupt.h"

namespace tunevert {

TAuThread::TAuThread(TAuOutput* AParent)
    : Parent(AParent), FRunsServed(AParent->FRunRequests.load()) {
  Start();
}

TAuThread::~TAuThread() {
  Terminate();
  SoftWake();
  WaitFor();
}

bool TAuThread::RunRequested() const {
  return Parent->FRunRequests.load() != FRunsServed.load() || Terminated();
}

bool TAuThread::Idle() const {
  return FEnded || (FRunsServed.load() == Parent->FRunRequests.load() && (Sleeping || Stopped));
}

void TAuThread::StateChanged() {
  // Taking the lock orders the flag change before a waiter's test of it: a waiter either
  // sees the new value or is already waiting when we notify.
  { std::lock_guard lock(FStateLock); }
  FStateCond.notify_all();
  ConditionChanged();  // for a main thread waiting in WaitForIdleWorker
}

bool TAuThread::WaitForState(const std::function<bool()>& Done, int TimeoutMs) {
  std::unique_lock lock(FStateLock);
  if (TimeoutMs == TEvent::INFINITE) {
    FStateCond.wait(lock, Done);
    return true;
  }
  return FStateCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs), Done);
}

void TAuThread::SoftSleep() {
  SoftSleepEvent.ResetEvent();
  // The request is counted before the event is signalled, so testing it after the reset
  // closes the window in which a Run could slip past a worker on its way to sleep.
  if (RunRequested()) return;
  Sleeping = true;
  StateChanged();
  while (!RunRequested()) SoftSleepEvent.WaitFor(TEvent::INFINITE);
  Sleeping = false;
}

void TAuThread::SoftPause() {
  SoftSleepEvent.ResetEvent();
  Paused = true;
  StateChanged();
  PauseEvent.SetEvent();
  // Resume clears SetPause before it wakes us, Stop sets Stop: either ends the pause even
  // when it arrives before we wait.
  while (SetPause && !Stop && !Terminated()) SoftSleepEvent.WaitFor(TEvent::INFINITE);
  SetPause = false;
  Paused = false;
  StateChanged();
}

void TAuThread::Execute() {
  struct EndGuard {
    TAuThread& T;
    ~EndGuard() {
      T.FEnded = true;
      T.StateChanged();
    }
  } guard{*this};
  SoftSleep();
  while (!Terminated()) {
    FRunsServed = Parent->FRunRequests.load();
    Stopped = false;
    PerformRun();
    Stopped = true;
    StateChanged();
    SoftSleep();
  }
}

void TAuThread::PerformRun() {
  TAuOutput& P = *Parent;
  // Whatever ends the run reaches its output here once: the first failure is the one kept.
  bool failed = false;
  auto report = [&] {
    if (std::exchange(failed, true)) return;
    std::string message = "Unknown error";
    try {
      throw;
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
    }
    P.SetExceptionMessage(std::move(message));
    if (auto handler = P.OnThreadException())
      EventHandler()->PostGenericEvent(&P, std::move(handler));
  };
  bool reachedEnd = false;
  try {
    if (auto step = P.BeforeStart()) {
      const TStopFlagScope stoppable(Stop);
      step(P);
    }
    P.PrepareOutput();
    P.CanOutput = true;
    SetPause = false;
    Paused = false;
    PauseEvent.ResetEvent();
    bool Continue = true;
    while (Continue && !Stop) {
      if (const int32_t delay = Delay; delay > 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      if (const int32_t progress = P.Progress(); progress != P.CurProgr) {
        P.CurProgr = progress;
        if (auto handler = P.OnProgress()) EventHandler()->PostOnProgress(&P, std::move(handler));
      }
      if (SetPause) SoftPause();
      Continue = P.CallOutputBlock(Stop);
    }
    reachedEnd = !Stop && !P.FStopped;
  } catch (...) {
    report();
  }
  // The end step runs whatever ended the run, so that Busy is cleared; a file that cannot be
  // finished is a failed run like any other.
  try {
    P.FinishRun(reachedEnd && !failed);
  } catch (...) {
    report();
  }
  // The announced size is only an estimate, so a run that reached the input's end may stand
  // anywhere below 100; a stopped or failed one has not reached it.
  if (reachedEnd && !failed && !Stop) {
    P.FRunComplete = true;
    if (P.CurProgr != 100) {
      P.CurProgr = 100;
      if (auto handler = P.OnProgress()) EventHandler()->PostOnProgress(&P, std::move(handler));
    }
  }
  Stop = false;
  if (auto handler = P.OnSyncDone()) {
    try {
      handler(&P);
    } catch (...) {
      // The worker must reach its sleep whatever a handler does.
    }
  }
  EventHandler()->PostOnDone(&P, this, FRunsServed.load());
}

TAuOutput::TAuOutput(TComponent* AOwner) : TComponent(AOwner) {
  AcquireEventHandler();
  FHoldsEventHandler = true;
  // The worker starts with the first Run: a program holds outputs it may never use.
}

TAuOutput::~TAuOutput() {
  // Normally done by BeforeDestruction; an idle output destroyed without Free ends here.
  EndWorker();
}

void TAuOutput::StartWorker() {
  Thread = std::make_unique<TAuThread>(this);
  Thread->Delay = FDelay;
  Thread->SetPriority(FPriority);
}

void TAuOutput::RetireWorker() {
  if (!Thread) return;
  Stop(false);
  // The dispatcher may still be looking at the worker for a done event of ours.
  EventHandler()->DetachSender(this);
  Thread.reset();  // terminates, wakes and joins
}

void TAuOutput::EndWorker() {
  RetireWorker();
  if (FHoldsEventHandler) {
    FHoldsEventHandler = false;
    ReleaseEventHandler();
  }
}

void TAuOutput::BeforeDestruction() {
  EndWorker();
  TComponent::BeforeDestruction();
}

void TAuOutput::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == FInput) {
    try {
      SetInput(nullptr);
    } catch (const Exception&) {
      // A busy output loses its input here: the run is stopped and cannot restart.
    }
  }
  TComponent::Notification(AComponent, Operation);
}

void TAuOutput::SetInput(TAuInput* Value) {
  if (FInput != nullptr && FInput != Value) RemoveFreeNotification(FInput);
  if (Busy) {
    Stop(false);
    FInput = Value;
    if (Value != nullptr) FreeNotification(Value);
    Run();
    return;
  }
  FRunComplete = false;
  FInput = Value;
  if (Value != nullptr) FreeNotification(Value);
}

void TAuOutput::SetExceptionMessage(std::string Message) {
  std::lock_guard lock(FMessageLock);
  FExceptionMessage = std::move(Message);
}

std::string TAuOutput::ExceptionMessage() const {
  std::lock_guard lock(FMessageLock);
  return FExceptionMessage;
}

int32_t TAuOutput::Delay() const {
  return Thread ? Thread->Delay.load() : FDelay;
}

void TAuOutput::SetDelay(int32_t Value) {
  if (Value > 100) return;
  FDelay = Value;
  if (Thread) Thread->Delay = Value;
}

TThreadPriority TAuOutput::ThreadPriority() const {
  return Thread ? Thread->Priority() : FPriority;
}

void TAuOutput::SetThreadPriority(TThreadPriority Value) {
  FPriority = Value;
  if (Thread) Thread->SetPriority(Value);
}

int32_t TAuOutput::Progress() const {
  if (FRunComplete) return 100;
  if (FInput == nullptr) return 0;
  const int64_t size = FInput->Size();
  if (size == -1) return -1;
  if (size == 0) return 0;
  // The default rounding mode rounds ties to even.
  return static_cast<int32_t>(
      std::nearbyint(static_cast<double>(FInput->Position()) / static_cast<double>(size) * 100));
}

int32_t TAuOutput::TimeElapsed() const {
  if (FInput == nullptr) return 0;
  const double byteRate =
      static_cast<double>(FInput->BitsPerSample() / 8) * FInput->Channels() * FInput->SampleRate();
  if (byteRate == 0) return 0;
  return static_cast<int32_t>(std::nearbyint(static_cast<double>(FInput->Position()) / byteRate));
}

TOutputStatus TAuOutput::Status() const {
  if (!Busy) return TOutputStatus::tosIdle;
  if (Thread && Thread->Paused) return TOutputStatus::tosPaused;
  return TOutputStatus::tosPlaying;
}

void TAuOutput::Run() {
  std::lock_guard lock(RunCS);
  SetExceptionMessage({});
  if (Busy) throw EAuException("Component is Busy");
  if (FInput == nullptr) throw EAuException("Input is not assigned");
  if (!Thread) StartWorker();
  FRunComplete = false;
  Busy = true;
  Thread->Stopped = false;
  Thread->Stop = false;
  ++FRunRequests;
  Thread->SoftWake();
}

void TAuOutput::FinishRun(bool ReachedEnd) {
  if (!Busy) return;
  CanOutput = false;
  struct TEndOfRun {
    TAuOutput& Output;
    ~TEndOfRun() {
      Output.FStopped = false;
      Output.Busy = false;
    }
  } endOfRun{*this};
  FinishOutput();
  // Only a whole file is worth the step: a stopped run's file is thrown away.
  if (ReachedEnd && !FStopped)
    if (auto step = GetHandler(FAfterFinish)) step(*this);
}

void TAuOutput::Stop(bool Async) {
  if (Thread && std::this_thread::get_id() == Thread->ThreadID())
    throw EAuException("You are trying to stop this thread from the thread itself!");
  FStopped = true;
  if (!Thread) return;
  TEventHandler* dispatcher = Async ? nullptr : EventHandler();
  if (dispatcher != nullptr) {
    // Refuse our events before the worker can end the run: a done event posted between
    // the wake below and the block would otherwise reach OnDone.
    dispatcher->BlockEvents(this);
    dispatcher->ClearEvents(this);
  }
  Thread->DoNotify = Async;
  Thread->Stop = true;
  // A paused worker tests Stop before it waits again, so one wake resumes it for good.
  if (Thread->Paused) Thread->SoftWake();
  if (Async) return;
  WaitForIdleWorker();
  dispatcher->UnblockEvents(this);
  Thread->DoNotify = true;
}

void TAuOutput::WaitForIdleWorker() {
  TAuThread& worker = *Thread;
  auto idle = [&worker] { return worker.Idle(); };
  if (!IsMainThread()) {
    worker.WaitForState(idle, TEvent::INFINITE);
    return;
  }
  // The worker may be waiting for a call queued for the main thread, so keep running those.
  AwaitCondition(idle);
}

void TAuOutput::Pause() {
  if (FInput == nullptr) throw EAuException("Input is not assigned.");
  if (!Busy || !Thread) return;
  Thread->SetPause = true;
  Thread->WaitForPause();
  FInput->_Pause();
}

void TAuOutput::Resume() {
  if (!Busy || !Thread) return;
  const bool paused = Thread->Paused;
  if (paused) FInput->_Resume();
  // Also cancels a pause the worker has not reached yet, releasing a Pause that waits for it.
  if (Thread->SetPause.exchange(false) && !paused) Thread->PauseEvent.SetEvent();
  // With SetPause clear a pausing worker does not wait again, so one wake is enough.
  Thread->SoftWake();
  TAuThread& worker = *Thread;
  worker.WaitForState([&worker] { return !worker.Paused; }, TEvent::INFINITE);
}

void TAuOutput::Abort() {
  RetireWorker();
  FinishRun(false);
}

void TAuOutput::BlockingRun() {
  {
    std::lock_guard lock(RunCS);
    if (Busy) throw EAuException("Component is Busy");
    FRunComplete = false;
    Busy = true;
  }
  try {
    PrepareOutput();
    CanOutput = true;
    while (CallOutputBlock(false)) {
    }
  } catch (...) {
    // Leave nothing half-done: the output's end step still runs and the input is flushed.
    try {
      FinishRun(false);
    } catch (...) {
    }
    throw;
  }
  FinishRun(true);
  FRunComplete = true;
}

}  // namespace tunevert
