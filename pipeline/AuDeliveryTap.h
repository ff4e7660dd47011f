#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "loudness/LoudnessMeter.h"
#include "pipeline/AuInputStage.h"

namespace tunevert {

// A fast 64-bit digest of a byte stream, fed in pieces of any size: the same bytes give the
// same value however they are split. Four independent multiply-rotate lanes keep it at
// memory speed; it detects damage, it does not resist forgery.
class TPcmDigest {
 public:
  void Update(const void* Data, size_t Bytes);
  uint64_t Value() const;
  uint64_t Bytes() const { return FTotal; }

 private:
  void Stripes(const uint8_t* Data, size_t Count);

  uint64_t FLanes[4] = {0x9E3779B185EBCA87ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                        0x85EBCA77C2B2AE63ull};
  uint8_t FCarry[32] = {};
  size_t FCarried = 0;
  uint64_t FTotal = 0;
};

// What one pass delivered to an output: its format, its length and the digest of its PCM
// bytes, as the output received them.
struct TDeliveredAudio {
  uint32_t SampleRate = 0;
  uint32_t Channels = 0;
  uint32_t BitsPerSample = 0;
  int64_t Frames = 0;
  uint64_t Digest = 0;

  double Seconds() const { return SampleRate == 0 ? 0 : static_cast<double>(Frames) / SampleRate; }
};

// Sits between an input and an output and delivers the input's blocks untouched, counting
// the frames and digesting the bytes on their way. It is not a streamed input, so a WAV
// output reads a WAV source through memory rather than copying it inside the kernel: about
// 1 ms more per 10 MB (bench/verify_bench.cpp), and no more than the kernel copy took once
// its range had to be read back from the page cache to be digested.
//
// The tap is used on the output's worker only. Delivered() is meant for after the pass: the
// end of a run happens before its done event, and the after-finish step runs on the worker
// itself, so its plain fields need no lock. Position and Size stay atomic for progress.
class TAuDeliveryTap final : public TAuInputStage {
 public:
  explicit TAuDeliveryTap(TComponent* AOwner = nullptr);
  ~TAuDeliveryTap() override;
  std::string ClassName() const override { return "TAuDeliveryTap"; }

  void SetRequestFloat(bool Value) override;

  // The last pass (or the current one, so far). Frames counts whole frames of the format
  // the pass started with.
  TDeliveredAudio Delivered() const;

  // Whether the passes that start from now on measure the loudness of what they deliver. Set
  // between runs.
  void SetMeasureLoudness(bool Value) { FMeasure = Value; }
  // The last measured pass's meter, taken over by the caller; null when none measured.
  std::unique_ptr<TLoudnessMeter> TakeMeter() { return std::move(FMeter); }

 protected:
  uint32_t GetBitsPerSample() override;
  uint32_t GetChannels() override;
  uint32_t GetSampleRate() override;
  int64_t GetTotalSamples() override;
  void StartInput() override;
  void StopInput() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;

 private:
  // The state of one pass, written on the worker.
  uint32_t FRate = 0;
  uint32_t FChannels = 0;
  uint32_t FBits = 0;
  uint32_t FFrameBytes = 0;
  uint64_t FBytes = 0;
  TPcmDigest FDigest;
  std::atomic<bool> FMeasure{false};  // set by the driver, read when a pass starts
  std::unique_ptr<TLoudnessMeter> FMeter;
};

}  // namespace tunevert
