#pragma once

#include <atomic>

namespace tunevert {

// A process-wide request to give up long work that no component owns a stop for: opening a
// source (its link scans and reads) on the thread that asked for it. Safe to request from a
// signal handler; once requested it stays until cleared.
void RequestInterrupt() noexcept;
bool InterruptRequested() noexcept;
void ClearInterrupt() noexcept;

// Marks work on this thread that an interrupt may end, such as opening a source. Reads that
// serve a running conversion stay outside: ended early, they would look like the file's end.
class TInterruptibleScope {
 public:
  TInterruptibleScope() noexcept;
  ~TInterruptibleScope();
  TInterruptibleScope(const TInterruptibleScope&) = delete;
  TInterruptibleScope& operator=(const TInterruptibleScope&) = delete;

 private:
  bool FOuter;
};

// While it lives, Stop turning true interrupts this thread's interruptible work as a request
// would: a worker's own stop ends the open it does for its run.
class TStopFlagScope {
 public:
  explicit TStopFlagScope(const std::atomic<bool>& Stop) noexcept;
  ~TStopFlagScope();
  TStopFlagScope(const TStopFlagScope&) = delete;
  TStopFlagScope& operator=(const TStopFlagScope&) = delete;

 private:
  const std::atomic<bool>* FOuter;
};

// This thread is inside a TInterruptibleScope and an interrupt was requested, or the stop
// flag of a TStopFlagScope turned true.
bool InterruptedHere() noexcept;

}  // namespace tunevert
