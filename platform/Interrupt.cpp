#include "platform/Interrupt.h"

#include <atomic>

namespace tunevert {

namespace {

std::atomic<bool> gInterrupt{false};
// A signal handler may only touch lock-free atomics.
static_assert(std::atomic<bool>::is_always_lock_free);

thread_local bool tInterruptible = false;
thread_local const std::atomic<bool>* tStop = nullptr;

}  // namespace

void RequestInterrupt() noexcept {
  gInterrupt.store(true, std::memory_order_relaxed);
}

bool InterruptRequested() noexcept {
  return gInterrupt.load(std::memory_order_relaxed);
}

void ClearInterrupt() noexcept {
  gInterrupt.store(false, std::memory_order_relaxed);
}

TInterruptibleScope::TInterruptibleScope() noexcept : FOuter(tInterruptible) {
  tInterruptible = true;
}

TInterruptibleScope::~TInterruptibleScope() {
  tInterruptible = FOuter;
}

TStopFlagScope::TStopFlagScope(const std::atomic<bool>& Stop) noexcept : FOuter(tStop) {
  tStop = &Stop;
}

TStopFlagScope::~TStopFlagScope() {
  tStop = FOuter;
}

bool InterruptedHere() noexcept {
  return tInterruptible &&
         (InterruptRequested() || (tStop != nullptr && tStop->load(std::memory_order_relaxed)));
}

}  // namespace tunevert
