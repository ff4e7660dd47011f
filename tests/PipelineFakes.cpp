#include "PipelineFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace tunevert::testing {

void PatternInput::StartInput() {
  if (Busy) throw EAuException("The component is Busy");
  ++Starts;
  if (!StartError.empty()) throw EAuException(StartError);
  FSampleSize = static_cast<uint16_t>(FrameBytes());
  const int64_t last = FEndSample < 0 ? TotalFrames - 1 : std::min(FEndSample, TotalFrames - 1);
  FTotalSamples = std::max<int64_t>(0, last - FStartSample + 1);
  FSize = AnnouncedSize ? *AnnouncedSize : UnknownSize ? 0 : FTotalSamples * FrameBytes();
  FPosition = 0;
  FCursor = FStartSample * FrameBytes();
  FLimit = (last + 1) * FrameBytes() + ExtraBytes;
  FBlocks = 0;
  BufStart = 1;
  BufEnd = 0;
  Busy = true;
}

void PatternInput::StopInput() {
  ++Stops;
  Busy = false;
}

void PatternInput::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (FailAfterBlocks >= 0 && FBlocks >= FailAfterBlocks) throw EAuException("decode failed");
  ++FBlocks;
  int64_t n = std::min<int64_t>({Bytes, MaxBlock, std::max<int64_t>(0, FLimit - FCursor)});
  n -= n % FrameBytes();
  FBuf.resize(static_cast<size_t>(std::max<int64_t>(n, 1)));
  for (int64_t i = 0; i < n; ++i) FBuf[static_cast<size_t>(i)] = PatternByte(FCursor + i);
  FCursor += n;
  Buffer = FBuf.data();
  Bytes = static_cast<uint32_t>(n);
}

bool PatternInput::SeekToSample(int64_t& SampleNum) {
  ++Seeks;
  if (SampleNum < 0 || SampleNum > TotalFrames) throw EAuException("seek out of range");
  FCursor = SampleNum * FrameBytes();
  BufStart = 1;
  BufEnd = 0;
  return true;
}

void MemorySinkOutput::PrepareOutput() {
  ++Prepares;
  if (!PrepareError.empty()) throw EAuException(PrepareError);
  FInput->Init();
}

bool MemorySinkOutput::OutputBlock(bool Abort) {
  if (Abort) return false;
  {
    std::unique_lock lock(FGateLock);
    ++FWaiting;
    FGateCond.notify_all();
    FGateCond.wait(lock, [&] { return !FGateClosed || FPermits > 0; });
    if (FGateClosed) --FPermits;
    --FWaiting;
  }
  ++Blocks;
  if (InBlock) InBlock();
  void* block = nullptr;
  uint32_t bytes = BlockBytes;
  FInput->GetData(block, bytes);
  if (bytes == 0) return false;
  std::lock_guard lock(FDataLock);
  const auto* p = static_cast<const uint8_t*>(block);
  FData.insert(FData.end(), p, p + bytes);
  return true;
}

void MemorySinkOutput::FinishOutput() {
  ++Finishes;
  SawStoppedInFinish = FStopped.load();
  if (InFinish) InFinish();
  if (FInput != nullptr && FInput->IsBusy()) FInput->Flush();
  if (!FinishError.empty()) throw EAuException(FinishError);
}

void MemorySinkOutput::CloseGate() {
  std::lock_guard lock(FGateLock);
  FGateClosed = true;
  FPermits = 0;
}

void MemorySinkOutput::Release(int permits) {
  std::lock_guard lock(FGateLock);
  FPermits += permits;
  FGateCond.notify_all();
}

void MemorySinkOutput::OpenGate() {
  std::lock_guard lock(FGateLock);
  FGateClosed = false;
  FGateCond.notify_all();
}

bool MemorySinkOutput::WaitAtGate(int ms) {
  std::unique_lock lock(FGateLock);
  return FGateCond.wait_for(lock, std::chrono::milliseconds(ms),
                            [&] { return FWaiting > 0 && FPermits == 0; });
}

void PatternFileIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  if (!FStreamAssigned) OpenOwnStream();
  FSeekable = true;  // as format inputs decide from their stream
  FValid = Decodable;
  FBPS = 16;
  FChan = 2;
  FSR = 44100;
  FSize = Decodable ? TotalFrames * 4 : 0;
  FCursor = 0;
  FOpened = 1;
}

void PatternFileIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened == 0) return;
  if (OnClose) OnClose();
  ReleaseSourceStream();
  FOpened = 0;
}

void PatternFileIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  const int64_t left = FOpened != 0 && FValid ? TotalFrames * 4 - FCursor : 0;
  int64_t n = std::min<int64_t>({Bytes, 4096, std::max<int64_t>(0, left)});
  n -= n % 4;
  FBuf.resize(static_cast<size_t>(std::max<int64_t>(n, 1)));
  for (int64_t i = 0; i < n; ++i) FBuf[static_cast<size_t>(i)] = PatternByte(FCursor + i);
  FCursor += n;
  Buffer = FBuf.data();
  Bytes = static_cast<uint32_t>(n);
}

bool PatternFileIn::SeekToSample(int64_t& SampleNum) {
  FCursor = SampleNum * 4;
  BufStart = 1;
  BufEnd = 0;
  return true;
}

void Signal::Raise() {
  {
    std::lock_guard lock(FLock);
    FRaised = true;
  }
  FCond.notify_all();
}

bool Signal::Raised() {
  std::lock_guard lock(FLock);
  return FRaised;
}

bool Signal::WaitFor(int TimeoutMs) {
  std::unique_lock lock(FLock);
  return FCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return FRaised; });
}

bool Signal::Wait(int TimeoutMs) {
  if (WaitFor(TimeoutMs)) return true;
  ADD_FAILURE() << "not signalled within " << TimeoutMs << " ms";
  return false;
}

ReleaseDuringStop::ReleaseDuringStop(MemorySinkOutput& Out, int Permits)
    : FOut(Out), FPermits(Permits) {
  FThread = std::thread([this] {
    while (!FGiveUp) {
      // The main thread runs queued calls only where it waits: inside a synchronous stop,
      // that is after the stop has told the worker. A call that finds no stop requested ran
      // in some other wait, so ask again; one run by our own destructor comes too late.
      bool stopping = false;
      TThread::Synchronize([&] { stopping = FOut.StopRequested() && !FGiveUp; });
      if (stopping) {
        if (FPermits > 0) {
          FOut.Release(FPermits);
        } else {
          FOut.OpenGate();
        }
        FReleased = true;
        break;
      }
    }
    FEnded = true;
  });
}

ReleaseDuringStop::~ReleaseDuringStop() {
  FGiveUp = true;
  // Until it has released the worker, the helper may be waiting for a queued call to run.
  if (!FReleased) {
    EXPECT_TRUE(PumpUntil([this] { return FEnded.load(); }));
  }
  FThread.join();
  EXPECT_TRUE(FReleased) << "no synchronous stop waited for the worker";
}

Watchdog::Watchdog(int Seconds) {
  FThread = std::thread([this, Seconds] {
    std::unique_lock lock(FLock);
    if (!FCond.wait_for(lock, std::chrono::seconds(Seconds), [this] { return FDone; })) {
      const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
      std::fprintf(stderr, "%s.%s hung for %d s\n", test ? test->test_suite_name() : "?",
                   test ? test->name() : "?", Seconds);
      std::fflush(stderr);
      std::_Exit(3);
    }
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(FLock);
    FDone = true;
  }
  FCond.notify_all();
  FThread.join();
}

bool DrainEvents(int TimeoutMs) {
  static TComponent marker(nullptr);
  // Shared: a marker that arrives after the timeout must still find its flag.
  auto arrived = std::make_shared<std::atomic<bool>>(false);
  EventHandler()->PostGenericEvent(&marker, [arrived](TComponent*) { *arrived = true; });
  return PumpUntil([&] { return arrived->load(); }, TimeoutMs);
}

bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    CheckSynchronize(2);
  }
  return true;
}

void PumpFor(int Ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  while (std::chrono::steady_clock::now() < deadline) CheckSynchronize(2);
}

}  // namespace tunevert::testing
