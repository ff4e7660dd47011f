#include "pipeline/AuInput.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tunevert {

TAuInput::TAuInput(TComponent* AOwner)
    : TComponent(AOwner), DataCS(std::make_unique<std::recursive_mutex>()) {}

TAuInput::~TAuInput() {
  DataCS.reset();
}

void TAuInput::Init() {
  std::string failure;
  bool failed = false;
  {
    std::lock_guard lock(*DataCS);
    _EndOfStream = false;
    try {
      StartInput();
    } catch (const std::exception& e) {
      _EndOfStream = true;
      failure = e.what();
      failed = true;
    } catch (...) {
      _EndOfStream = true;
      failure = "Unknown error";
      failed = true;
    }
  }
  if (failed) throw EAuException(failure);
}

void TAuInput::Flush() {
  std::lock_guard lock(*DataCS);
  StopInput();
}

void TAuInput::GetData(void*& Buffer, uint32_t& Bytes) {
  std::lock_guard lock(*DataCS);
  ProduceData(Buffer, Bytes);
}

int32_t TAuInput::CopyData(void* Buffer, int32_t BufferSize) {
  if (BufferSize <= 0) return 0;
  void* block = nullptr;
  uint32_t bytes = static_cast<uint32_t>(BufferSize);
  GetData(block, bytes);
  if (bytes > 0) std::memcpy(Buffer, block, bytes);
  return static_cast<int32_t>(bytes);
}

uint32_t TAuInput::FillBuffer(void* Buffer, uint32_t BufferSize, bool& Eof) {
  auto* out = static_cast<uint8_t*>(Buffer);
  uint32_t filled = 0;
  uint32_t last = BufferSize;
  while (filled < BufferSize && last > 0) {
    last = BufferSize - filled;
    void* block = nullptr;
    GetData(block, last);
    if (last > 0) std::memcpy(out + filled, block, last);
    filled += last;
  }
  Eof = (last == 0);
  return filled;
}

uint32_t TAuInput::FillBufferUnprotected(void* Buffer, uint32_t BufferSize, bool& Eof) {
  if (Buffer == nullptr) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  uint32_t filled = 0;
  uint32_t last = BufferSize;
  std::lock_guard lock(*DataCS);
  try {
    while (filled < BufferSize && last > 0) {
      last = BufferSize - filled;
      void* block = nullptr;
      ProduceData(block, last);
      if (last > 0) std::memcpy(out + filled, block, last);
      filled += last;
    }
  } catch (...) {
    FPosition += filled;
    throw;
  }
  FPosition += filled;
  Eof = (last == 0);
  return filled;
}

void TAuInput::Reset() {
  try {
    Flush();
  } catch (...) {
    // A forced end must not fail because the source could not be closed cleanly.
  }
  Busy = false;
}

TAuStreamedInput::TAuStreamedInput(TComponent* AOwner) : TAuInput(AOwner) {
  FSeekable = true;
}

void TAuStreamedInput::SetStream(TStream* Value) {
  FStream = Value;
  FStreamAssigned = (Value != nullptr);
}

void TAuStreamedInput::GetData(void*& Buffer, uint32_t& Bytes) {
  std::lock_guard lock(*DataCS);
  const uint32_t requested = Bytes;
  if (_EndOfStream) {
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  // Delivers one block, counted into FPosition and cut at FSize. Returns whether the
  // pass reached its end with this block.
  auto produce = [&](bool clip) {
    ProduceData(Buffer, Bytes);
    if (Bytes == 0) return true;
    FPosition += Bytes;
    const int64_t size = FSize;
    if (size > 0 && FPosition >= size) {
      if (clip && FPosition > size) {
        Bytes -= static_cast<uint32_t>(FPosition - size);
        FPosition = size;
      }
      return true;
    }
    return false;
  };
  _EndOfStream = produce(true);
  if (_EndOfStream && FLoop) {
    _EndOfStream = false;
    if (FSeekable) {
      SeekToSample(FStartSample);
    } else {
      Flush();
      Init();
    }
    FPosition = 0;
    // The replayed range's first block replaces the one that reached the end.
    Bytes = requested;
    _EndOfStream = produce(false);
  }
}

int64_t TAuStreamedInput::CopyDataTo(TAuFileStream& Destination, int64_t MaxBytes) {
  std::lock_guard lock(*DataCS);
  if (_EndOfStream) return 0;
  if (FLoop) return -1;
  const int64_t size = FSize;
  const int64_t want = size > 0 ? std::min(MaxBytes, size - FPosition) : MaxBytes;
  const int64_t moved = want > 0 ? CopyRawData(Destination, want) : 0;
  if (moved < 0) return -1;
  FPosition += moved;
  _EndOfStream = moved == 0 || (size > 0 && FPosition >= size);
  return moved;
}

bool TAuStreamedInput::Seek(int64_t SampleNum) {
  if (!FSeekable) return false;
  if (const int64_t total = FTotalSamples; total != 0 && SampleNum > total) return false;
  std::lock_guard lock(*DataCS);
  if (!Busy) {
    FStartSample = SampleNum;
    FPosition = SampleNum * FSampleSize;
    FEndSample = -1;
    return true;
  }
  int64_t absolute = SampleNum + FStartSample;
  try {
    const bool result = SeekToSample(absolute);
    FPosition = (absolute - FStartSample) * FSampleSize;
    return result;
  } catch (...) {
    return false;
  }
}

}  // namespace tunevert
