#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pipeline/AuInput.h"
#include "platform/Thread.h"

namespace tunevert {

class TAuOutput;

using TOutputDoneEvent = std::function<void(TComponent* Sender)>;
using TOutputProgressEvent = std::function<void(TComponent* Sender)>;
using TThreadExceptionEvent = std::function<void(TComponent* Sender)>;
using TGenericEvent = std::function<void(TComponent* Sender)>;
// Runs on the worker once a run that reached its input's end has finished its output; what it
// raises fails the run like an error of the output's own.
using TAfterFinishStep = std::function<void(TAuOutput& Sender)>;
// Runs on the worker at the start of each run, before the output prepares; Stop ends its
// interruptible work (platform/Interrupt) early, and what it raises fails the run.
using TBeforeStartStep = std::function<void(TAuOutput& Sender)>;

enum class TOutputStatus { tosPlaying, tosPaused, tosIdle };

// The worker of one output: sleeps between runs, performs a run when woken.
class TAuThread final : public TThread {
 public:
  explicit TAuThread(TAuOutput* AParent);
  ~TAuThread() override;

  void SoftSleep();
  void SoftPause();
  void SoftWake() { SoftSleepEvent.SetEvent(); }
  bool WaitForPause() { return PauseEvent.WaitFor(5000); }
  // Every requested run has ended and the worker is asleep or about to be, or it has ended.
  bool Idle() const;
  // Waits until Done holds or TimeoutMs pass (TEvent::INFINITE: no limit); the worker signals
  // every change of Sleeping, Stopped and Paused, and its end. Returns Done().
  bool WaitForState(const std::function<bool()>& Done, int TimeoutMs);

  TEvent PauseEvent;
  TEvent SoftSleepEvent;
  // Each flag below is written by one thread and polled by another without a lock.
  std::atomic<bool> DoNotify{true};  // false while a synchronous stop swallows OnDone
  std::atomic<bool> Stopped{false};  // the worker finished a run and is going to sleep
  TAuOutput* const Parent;
  std::atomic<bool> Stop{false};      // end the run after the current block
  std::atomic<bool> SetPause{false};  // pause before the next block (cleared by Resume)
  std::atomic<bool> Paused{false};
  std::atomic<int32_t> Delay{0};
  std::atomic<bool> Sleeping{false};  // idle, waiting for Run

 protected:
  void Execute() override;

 private:
  bool RunRequested() const;
  void PerformRun();
  void StateChanged();

  // The last run request the worker took up; Stop compares it with the requests made.
  // Starts at the output's count, so a worker that replaces an aborted one serves only the
  // runs requested after it was created.
  std::atomic<uint64_t> FRunsServed;
  std::atomic<bool> FEnded{false};  // Execute has returned; the worker serves nothing more
  std::mutex FStateLock;
  std::condition_variable FStateCond;
};

// The abstract sink: pulls PCM from its input on its worker thread, encodes and writes it,
// and reports progress and completion through the event dispatcher. A concrete output
// supplies PrepareOutput, OutputBlock and FinishOutput.
class TAuOutput : public TComponent {
 public:
  explicit TAuOutput(TComponent* AOwner);
  ~TAuOutput() override;
  std::string ClassName() const override { return "TAuOutput"; }

  TAuInput* Input() const { return FInput; }
  // While a run is in progress: stops it without OnDone and restarts with the new input.
  virtual void SetInput(TAuInput* Value);
  // Handlers may be read on the worker and dispatcher threads while the GUI thread sets
  // them, so they are copied under a lock.
  TOutputDoneEvent OnDone() const { return GetHandler(FOnDone); }
  void SetOnDone(TOutputDoneEvent Value) { SetHandler(FOnDone, std::move(Value)); }
  TOutputDoneEvent OnSyncDone() const { return GetHandler(FOnSyncDone); }
  void SetOnSyncDone(TOutputDoneEvent Value) { SetHandler(FOnSyncDone, std::move(Value)); }
  TOutputProgressEvent OnProgress() const { return GetHandler(FOnProgress); }
  void SetOnProgress(TOutputProgressEvent Value) { SetHandler(FOnProgress, std::move(Value)); }
  TThreadExceptionEvent OnThreadException() const { return GetHandler(FOnThreadException); }
  void SetOnThreadException(TThreadExceptionEvent Value) {
    SetHandler(FOnThreadException, std::move(Value));
  }
  TAfterFinishStep AfterFinish() const { return GetHandler(FAfterFinish); }
  void SetAfterFinish(TAfterFinishStep Value) { SetHandler(FAfterFinish, std::move(Value)); }
  TBeforeStartStep BeforeStart() const { return GetHandler(FBeforeStart); }
  void SetBeforeStart(TBeforeStartStep Value) { SetHandler(FBeforeStart, std::move(Value)); }
  // Stop was called during the current run: long work of its own should end early.
  bool StopRequested() const { return FStopped; }
  int32_t Delay() const;
  void SetDelay(int32_t Value);
  TThreadPriority ThreadPriority() const;
  void SetThreadPriority(TThreadPriority Value);
  int32_t Progress() const;
  // The last run reached its input's end and finished its output (and the after-finish
  // step): it was neither stopped nor failed.
  bool RunComplete() const { return FRunComplete; }
  TOutputStatus Status() const;
  int32_t TimeElapsed() const;
  std::string ExceptionMessage() const;

  // Starts a run on the worker thread and returns at once.
  void Run();
  // Async: request the end of the run and return. Otherwise wait until the worker sleeps;
  // the stopped run then delivers no OnDone and no further OnProgress.
  void Stop(bool Async = true);
  void Pause();
  void Resume();
  // Ends the run without OnDone and ends the worker; a later Run starts a new worker.
  void Abort();
  // A whole run on the calling thread, without events.
  void BlockingRun();

 protected:
  // Returns true to be called again; false when the input is exhausted or Abort is set.
  virtual bool OutputBlock(bool Abort) = 0;
  virtual void FinishOutput() = 0;
  virtual void PrepareOutput() = 0;

  void BeforeDestruction() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Also for reports that reach an output outside its worker's exception path.
  void SetExceptionMessage(std::string Message);

  std::atomic<bool> FStopped{false};  // set by Stop on any thread, read by FinishOutput
  std::atomic<bool> CanOutput{false};
  std::atomic<int32_t> CurProgr{0};
  // The last run reached its input's end; Progress reads 100 until the next run starts.
  // Set by the worker, read by a progress handler on the GUI thread.
  std::atomic<bool> FRunComplete{false};
  TAuInput* FInput = nullptr;

 private:
  friend class TAuThread;
  friend class TEventHandler;

  // Finishes the output; after a run that reached its end, also runs the after-finish step.
  void FinishRun(bool ReachedEnd);
  bool CallOutputBlock(bool Abort) { return CanOutput ? OutputBlock(Abort) : true; }
  template <class F>
  F GetHandler(const F& Field) const {
    std::lock_guard lock(FHandlerLock);
    return Field;
  }
  template <class F>
  void SetHandler(F& Field, F Value) {
    std::lock_guard lock(FHandlerLock);
    Field = std::move(Value);
  }
  void StartWorker();
  void RetireWorker();
  void EndWorker();
  void WaitForIdleWorker();

  mutable std::mutex FMessageLock;  // FExceptionMessage is written by the worker
  mutable std::mutex FHandlerLock;
  std::string FExceptionMessage;
  std::unique_ptr<TAuThread> Thread;
  TOutputDoneEvent FOnDone;
  TOutputDoneEvent FOnSyncDone;
  TOutputProgressEvent FOnProgress;
  std::atomic<bool> Busy{false};  // written by Run, the worker and the dispatcher
  TThreadExceptionEvent FOnThreadException;
  TAfterFinishStep FAfterFinish;
  TBeforeStartStep FBeforeStart;
  std::mutex RunCS;
  // Counts Run calls; the worker and the dispatcher use it to tell one run from the next.
  std::atomic<uint64_t> FRunRequests{0};
  int32_t FDelay = 0;  // kept while there is no worker
  TThreadPriority FPriority = TThreadPriority::tpNormal;
  bool FHoldsEventHandler = false;
};

// An output with a destination stream.
class TAuStreamedOutput : public TAuOutput {
 public:
  using TAuOutput::TAuOutput;
  std::string ClassName() const override { return "TAuStreamedOutput"; }
  TStream* Stream() const { return FStream; }
  void SetStream(TStream* Value) {
    FStream = Value;
    FStreamAssigned = (Value != nullptr);
  }

 protected:
  TStream* FStream = nullptr;
  bool FStreamAssigned = false;
};

}  // namespace tunevert
