#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace tunevert {

class TAuFileStream;

// The abstract source of decoded, interleaved little-endian PCM. A consumer opens a pass
// with Init, pulls blocks until an empty one, and closes the pass with Flush; a concrete
// input supplies StartInput, StopInput and ProduceData.
class TAuInput : public TComponent {
 public:
  explicit TAuInput(TComponent* AOwner);
  ~TAuInput() override;
  std::string ClassName() const override { return "TAuInput"; }

  uint32_t BitsPerSample() { return GetBitsPerSample(); }
  uint32_t Channels() { return GetChannels(); }
  uint32_t SampleRate() { return GetSampleRate(); }
  uint32_t TotalTime() { return GetTotalTime(); }
  int64_t TotalSamples() { return GetTotalSamples(); }
  int64_t Position() const { return FPosition; }
  int64_t Size() const { return FSize; }
  bool Seekable() const { return FSeekable; }
  bool IsBusy() const { return Busy; }
  bool RequestFloat() const { return FFloatRequested; }
  virtual void SetRequestFloat(bool Value) { FFloatRequested = Value; }

  // Opens a read pass. A failure of StartInput is raised as EAuException with its message.
  void Init();
  // Closes the read pass.
  void Flush();
  // Delivers the next block: Buffer points into the input's own memory until the next call;
  // Bytes (at most the count asked for, whole frames) is 0 at the end.
  virtual void GetData(void*& Buffer, uint32_t& Bytes);
  // One GetData of at most BufferSize bytes, copied into Buffer; 0 at the end.
  int32_t CopyData(void* Buffer, int32_t BufferSize);
  // Fills Buffer from repeated GetData calls; Eof is set when the last one delivered nothing.
  uint32_t FillBuffer(void* Buffer, uint32_t BufferSize, bool& Eof);
  // Fills Buffer straight from ProduceData: no end-of-pass test, no clipping, no looping.
  uint32_t FillBufferUnprotected(void* Buffer, uint32_t BufferSize, bool& Eof);
  // Forced end of a pass; never raises because of Flush.
  virtual void Reset();
  void _Lock() { DataCS->lock(); }
  void _Unlock() { DataCS->unlock(); }
  // Hooks for an output that pauses and resumes; _Jump moves by thousandths of the pass.
  virtual void _Pause() {}
  virtual void _Resume() {}
  virtual void _Jump(int32_t /*Offs*/) {}

 protected:
  virtual uint32_t GetBitsPerSample() = 0;
  virtual uint32_t GetChannels() = 0;
  virtual uint32_t GetSampleRate() = 0;
  virtual uint32_t GetTotalTime() { return 0; }
  virtual int64_t GetTotalSamples() { return 0; }
  virtual void StartInput() = 0;
  virtual void StopInput() = 0;
  // On entry Bytes is the most wanted; on return Buffer/Bytes describe the block delivered
  // (whole frames, 0 when the source has nothing more). Called under DataCS during a pass.
  virtual void ProduceData(void*& Buffer, uint32_t& Bytes) = 0;

  // Read by other threads for progress display while the consumer advances them.
  std::atomic<int64_t> FPosition{0};
  std::atomic<int64_t> FSize{0};
  uint16_t FSampleSize = 0;
  // Set when a source opens (on the worker or on a thread reading a property), read by Seek
  // and the range setters on any thread.
  std::atomic<bool> FSeekable{false};
  std::atomic<bool> Busy{false};  // read by any thread through IsBusy
  uint32_t BufStart = 1;
  uint32_t BufEnd = 0;
  std::unique_ptr<std::recursive_mutex> DataCS;
  bool _EndOfStream = false;
  bool FFloatRequested = false;
};

// An input with a source stream, a frame range, looping, seeking and end-of-pass clipping.
class TAuStreamedInput : public TAuInput {
 public:
  explicit TAuStreamedInput(TComponent* AOwner);
  std::string ClassName() const override { return "TAuStreamedInput"; }

  TStream* Stream() const { return FStream; }
  virtual void SetStream(TStream* Value);

  void GetData(void*& Buffer, uint32_t& Bytes) override;
  // Like GetData, but the block goes from the source file straight into Destination at its
  // position without passing through memory: at most MaxBytes, whole frames, 0 at the end
  // of the pass. -1 when this source cannot deliver it so; GetData then delivers the rest.
  int64_t CopyDataTo(TAuFileStream& Destination, int64_t MaxBytes);
  // Outside a pass: the frame where the next pass starts (dropping the range's end).
  // During a pass: a frame relative to the range. Never raises once it holds DataCS.
  bool Seek(int64_t SampleNum);

 protected:
  // Positions the source so the next ProduceData delivers from absolute frame SampleNum
  // (which it may adjust to the frame reached) and drops buffered data.
  virtual bool SeekToSample(int64_t& SampleNum) = 0;
  // The source's part of CopyDataTo, under DataCS, with MaxBytes already cut to the pass.
  virtual int64_t CopyRawData(TAuFileStream& /*Destination*/, int64_t /*MaxBytes*/) { return -1; }

  TStream* FStream = nullptr;
  bool FStreamAssigned = false;
  int64_t FStartSample = 0;
  int64_t FEndSample = -1;
  bool FLoop = false;
  // Written by a pass and by reading TotalSamples, read by Seek before it takes DataCS.
  std::atomic<int64_t> FTotalSamples{0};
};

}  // namespace tunevert
