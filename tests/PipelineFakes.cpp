#include "PipelineFakes.h"

#include <algorithm>
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
