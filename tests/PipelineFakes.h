#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/AuClasses.h"

namespace tunevert::testing {

// The byte a pattern source holds at absolute byte offset Offset.
inline uint8_t PatternByte(int64_t Offset) {
  return static_cast<uint8_t>(Offset % 251);
}

// A synthetic source: TotalFrames frames of a known byte pattern, delivered in blocks of at
// most MaxBlock bytes. It can decode past its range, fail to start, or fail while reading.
class PatternInput final : public TAuStreamedInput {
 public:
  explicit PatternInput(TComponent* owner = nullptr) : TAuStreamedInput(owner) {}

  uint32_t Bits = 16, Chans = 2, Rate = 44100;
  int64_t TotalFrames = 1000;
  uint32_t MaxBlock = 4096;
  int64_t ExtraBytes = 0;                // decoded beyond the range's end
  std::string StartError;                // StartInput raises this when set
  int FailAfterBlocks = -1;              // ProduceData raises after this many blocks
  bool UnknownSize = false;              // report Size 0
  std::optional<int64_t> AnnouncedSize;  // reported as Size in place of the range's bytes
  std::atomic<int> Starts{0}, Stops{0}, Seeks{0};

  void SetSeekable(bool v) { FSeekable = v; }
  void SetLoop(bool v) { FLoop = v; }
  void SetRange(int64_t start, int64_t end) { FStartSample = start, FEndSample = end; }
  int64_t StartSample() const { return FStartSample; }
  int64_t EndSample() const { return FEndSample; }
  void ForceSize(int64_t size) { FSize = size; }
  void ForcePosition(int64_t position) { FPosition = position; }
  bool EndOfStream() const { return _EndOfStream; }
  bool StreamAssigned() const { return FStreamAssigned; }

 protected:
  uint32_t GetBitsPerSample() override { return Bits; }
  uint32_t GetChannels() override { return Chans; }
  uint32_t GetSampleRate() override { return Rate; }
  int64_t GetTotalSamples() override { return FTotalSamples; }
  void StartInput() override;
  void StopInput() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  int64_t FrameBytes() const { return int64_t{Chans} * Bits / 8; }
  int64_t FCursor = 0;  // absolute byte offset of the next byte to decode
  int64_t FLimit = 0;   // absolute byte offset where decoding stops
  int FBlocks = 0;
  std::vector<uint8_t> FBuf;
};

// An output that keeps everything it receives in memory. Each block can be held back by a
// gate so tests decide when the worker moves on.
class MemorySinkOutput final : public TAuStreamedOutput {
 public:
  explicit MemorySinkOutput(TComponent* owner = nullptr) : TAuStreamedOutput(owner) {}

  uint32_t BlockBytes = 400;
  std::string PrepareError;
  std::string FinishError;
  std::atomic<int> Prepares{0}, Finishes{0}, Blocks{0};
  std::atomic<bool> SawStoppedInFinish{false};
  std::function<void()> InBlock;   // runs on the worker inside every OutputBlock
  std::function<void()> InFinish;  // runs on the worker inside FinishOutput

  // Gate: while closed, OutputBlock waits until a permit is released.
  void CloseGate();
  void Release(int permits = 1);
  void OpenGate();
  // Waits until the worker is blocked at the gate (or ms elapse).
  bool WaitAtGate(int ms = 5000);

  std::vector<uint8_t> Data() {
    std::lock_guard lock(FDataLock);
    return FData;
  }

 protected:
  void PrepareOutput() override;
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;

 private:
  std::mutex FDataLock;
  std::vector<uint8_t> FData;
  std::mutex FGateLock;
  std::condition_variable FGateCond;
  bool FGateClosed = false;
  int FPermits = 0;
  int FWaiting = 0;
};

// A file input over a synthetic source: TotalFrames frames of the pattern in 16-bit stereo,
// opened and closed the way format inputs do. A closed source delivers nothing, as a real
// reader's does.
class PatternFileIn final : public TAuFileIn {
 public:
  explicit PatternFileIn(TComponent* owner = nullptr) : TAuFileIn(owner) {
    SetFileName("/dev/null");
  }
  ~PatternFileIn() override = default;

  int64_t TotalFrames = 1000;
  bool Decodable = true;
  std::function<void()> OnClose;  // runs inside CloseSource, on whatever thread closes
  bool OwnStream() const { return OwnsStream(); }

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  int64_t FCursor = 0;
  std::vector<uint8_t> FBuf;
};

// A flag one thread raises once and others wait for without spinning.
class Signal {
 public:
  void Raise();
  bool Raised();
  // Waits until the flag is raised; after TimeoutMs fails the running test and returns false.
  bool Wait(int TimeoutMs = 10000);
  // Waits until the flag is raised or TimeoutMs pass; returns whether it was raised.
  bool WaitFor(int TimeoutMs);

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FRaised = false;
};

// Lets a worker held at Out's gate go on (Permits more blocks, or all with 0) from another
// thread, once the main thread waits in a synchronous stop of Out (Stop(false), Abort, a new
// input or a destruction). By then the stop has told the worker to end after its current
// block; freed any earlier, the worker could use up its permits first and wait at the gate
// again with nobody left to free it.
class ReleaseDuringStop {
 public:
  explicit ReleaseDuringStop(MemorySinkOutput& Out, int Permits = 0);
  // Joins the helper thread, running the main thread's queued calls while it still waits for
  // them; fails the test when no stop ever waited for the worker.
  ~ReleaseDuringStop();
  ReleaseDuringStop(const ReleaseDuringStop&) = delete;
  ReleaseDuringStop& operator=(const ReleaseDuringStop&) = delete;

 private:
  MemorySinkOutput& FOut;
  const int FPermits;
  std::atomic<bool> FGiveUp{false}, FReleased{false}, FEnded{false};
  std::thread FThread;
};

// Ends the process with a message when a test has not finished within Seconds, so that a
// deadlock fails the test instead of hanging the whole run.
class Watchdog {
 public:
  explicit Watchdog(int Seconds);
  ~Watchdog();

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FDone = false;
  std::thread FThread;
};

// Runs the main thread's queued calls until Done() or the timeout.
bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 5000);
// Runs queued calls for a while.
void PumpFor(int Ms);
// Posts a marker through the dispatcher and runs queued calls until it arrives: whatever was
// queued before has then been delivered (or dropped).
bool DrainEvents(int TimeoutMs = 5000);

}  // namespace tunevert::testing
