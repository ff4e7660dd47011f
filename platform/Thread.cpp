#include "platform/Thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <chrono>
#include <deque>
#include <exception>

namespace tunevert {

void TEvent::SetEvent() {
  {
    std::lock_guard lock(FMutex);
    FSignalled = true;
  }
  FCond.notify_one();
}

void TEvent::ResetEvent() {
  std::lock_guard lock(FMutex);
  FSignalled = false;
}

bool TEvent::WaitFor(int TimeoutMs) {
  std::unique_lock lock(FMutex);
  if (TimeoutMs == INFINITE) {
    FCond.wait(lock, [this] { return FSignalled; });
  } else if (!FCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                             [this] { return FSignalled; })) {
    return false;
  }
  FSignalled = false;
  return true;
}

namespace {

std::thread::id& MainThreadId() {
  static std::thread::id id = std::this_thread::get_id();
  return id;
}
// Record the thread that initialises the program.
[[maybe_unused]] const std::thread::id kInitialMainThread = MainThreadId();

struct SyncCall {
  const std::function<void()>* Call;
  std::exception_ptr Error;
  bool Done = false;
};

class SyncQueue {
 public:
  static SyncQueue& Instance() {
    // Never destroyed: a thread still ending during exit may signal it.
    static auto* queue = new SyncQueue;
    return *queue;
  }

  void Run(const std::function<void()>& call) {
    SyncCall item{&call, nullptr, false};
    std::function<void()> wake;
    {
      std::lock_guard lock(FMutex);
      FCalls.push_back(&item);
      wake = FWake;
    }
    FQueued.notify_all();
    if (wake) wake();
    std::unique_lock lock(FMutex);
    FDone.wait(lock, [&] { return item.Done; });
    if (item.Error) std::rethrow_exception(item.Error);
  }

  bool Service(int timeoutMs) {
    std::unique_lock lock(FMutex);
    if (FCalls.empty() && timeoutMs > 0)
      FQueued.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !FCalls.empty(); });
    return RunQueued(lock);
  }

  void AwaitCondition(const std::function<bool()>& done, bool serve) {
    std::unique_lock lock(FMutex);
    for (;;) {
      if (serve) RunQueued(lock);
      // Done is tested without our lock, since it may take others; a change after the test
      // moves the count, so the wait below cannot miss it.
      const uint64_t seen = FChanges;
      lock.unlock();
      if (done()) return;
      lock.lock();
      FQueued.wait(lock, [&] { return FChanges != seen || (serve && !FCalls.empty()); });
    }
  }

  void ConditionChanged() {
    {
      std::lock_guard lock(FMutex);
      ++FChanges;
    }
    FQueued.notify_all();
  }

  void SetWake(std::function<void()> wake) {
    std::lock_guard lock(FMutex);
    FWake = std::move(wake);
  }

 private:
  // Runs what is queued; called and returns with the lock held.
  bool RunQueued(std::unique_lock<std::mutex>& lock) {
    bool ran = false;
    while (!FCalls.empty()) {
      SyncCall* item = FCalls.front();
      FCalls.pop_front();
      lock.unlock();
      try {
        (*item->Call)();
      } catch (...) {
        item->Error = std::current_exception();
      }
      lock.lock();
      item->Done = true;
      FDone.notify_all();
      ran = true;
    }
    return ran;
  }

  std::mutex FMutex;
  std::condition_variable FQueued;
  std::condition_variable FDone;
  std::deque<SyncCall*> FCalls;
  std::function<void()> FWake;
  uint64_t FChanges = 0;  // counts ConditionChanged calls
};

}  // namespace

bool IsMainThread() {
  return std::this_thread::get_id() == MainThreadId();
}

void SetMainThread() {
  MainThreadId() = std::this_thread::get_id();
}

bool CheckSynchronize(int TimeoutMs) {
  assert(IsMainThread());
  return SyncQueue::Instance().Service(TimeoutMs);
}

void AwaitCondition(const std::function<bool()>& Done) {
  SyncQueue::Instance().AwaitCondition(Done, IsMainThread());
}

void ConditionChanged() {
  SyncQueue::Instance().ConditionChanged();
}

void SetWakeMainThread(std::function<void()> Wake) {
  SyncQueue::Instance().SetWake(std::move(Wake));
}

void TThread::Synchronize(const std::function<void()>& Call) {
  if (IsMainThread()) {
    Call();
    return;
  }
  SyncQueue::Instance().Run(Call);
}

TThread::~TThread() {
  if (FThread.joinable()) {
    Terminate();
    WaitFor();
  }
}

void TThread::Start() {
  assert(!FThread.joinable());
  FThread = std::thread([this] { ThreadProc(); });
}

void TThread::ThreadProc() {
  FTid = static_cast<int>(syscall(SYS_gettid));
  ApplyPriority();
  try {
    Execute();
  } catch (...) {
    // A thread's failure must not take the process down; Execute reports its own errors.
  }
  {
    std::lock_guard lock(FFinishMutex);
    FFinished = true;
  }
  FFinishCond.notify_all();
  ConditionChanged();
}

bool TThread::WaitForFinish(int TimeoutMs) {
  std::unique_lock lock(FFinishMutex);
  return FFinishCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                              [this] { return FFinished.load(); });
}

void TThread::WaitFor() {
  if (!FThread.joinable()) return;
  if (IsMainThread()) AwaitCondition([this] { return FFinished.load(); });
  FThread.join();
}

void TThread::SetPriority(TThreadPriority Value) {
  FPriority = Value;
  ApplyPriority();
}

void TThread::ApplyPriority() {
  const int tid = FTid;
  if (tid == 0) return;
  static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -20};
  // Raising a priority needs privileges; failing to is not an error for us.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[static_cast<int>(FPriority.load())]);
}

}  // namespace tunevert
