#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tunevert {

// An auto-reset event: one waiter passes per signal; unnamed, private to the process.
class TEvent {
 public:
  static constexpr int INFINITE = -1;
  void SetEvent();
  void ResetEvent();
  // True when the event was signalled within TimeoutMs (INFINITE: no limit).
  bool WaitFor(int TimeoutMs);

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FSignalled = false;
};

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// A thread with a terminate request. A derived class calls Start once it is fully built.
class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Requests termination and joins, in case the owner did not.
  virtual ~TThread();

  void Start();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  bool Finished() const { return FFinished; }
  // Joins. On the main thread it keeps running synchronised calls meanwhile, so a thread
  // that is waiting for the main thread can still finish.
  void WaitFor();
  // Waits up to TimeoutMs for the thread to finish (without joining).
  bool WaitForFinish(int TimeoutMs);
  std::thread::id ThreadID() const { return FThread.get_id(); }

  TThreadPriority Priority() const { return FPriority; }
  // Best effort: Linux lets an unprivileged process only lower a thread's priority.
  void SetPriority(TThreadPriority Value);

  // Runs Call on the main thread and waits for it; an exception it raises is raised again
  // here. On the main thread itself it runs Call at once.
  static void Synchronize(const std::function<void()>& Call);

 protected:
  virtual void Execute() = 0;

 private:
  void ThreadProc();
  void ApplyPriority();

  std::thread FThread;
  std::atomic<bool> FTerminated{false};  // set by the owner, polled by Execute
  std::atomic<bool> FFinished{false};    // set by the thread as its last act
  std::atomic<int> FTid{0};              // kernel thread id, for priorities
  std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
  std::mutex FFinishMutex;
  std::condition_variable FFinishCond;
};

// The main (GUI) thread: the thread that services synchronised calls.
bool IsMainThread();
// Makes the calling thread the main thread (the thread that initialised the program is by
// default).
void SetMainThread();

// Runs the calls other threads have queued for the main thread. When none is queued, waits
// up to TimeoutMs for one. Returns true when at least one call ran. Main thread only.
bool CheckSynchronize(int TimeoutMs = 0);

// Returns once Done holds. Done is tested again at each ConditionChanged; on the main
// thread the queued calls run meanwhile, so a thread waiting for the main thread can still
// make Done true.
void AwaitCondition(const std::function<bool()>& Done);
// Called by a thread after changing what an AwaitCondition may be testing.
void ConditionChanged();

// Called (on the queueing thread) each time a call is queued, so an event loop can wake up
// and run CheckSynchronize. Empty by default.
void SetWakeMainThread(std::function<void()> Wake);

}  // namespace tunevert
