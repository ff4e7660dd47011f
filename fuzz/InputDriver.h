#pragma once

// Drives a file input the way the batch converter does: Valid, a whole pass read to the
// end, then a ranged pass with a seek inside it; optionally a looping pass first. Reported failures
// are fine; crashes and sanitizer findings are what the fuzzers look for.
#include <cstdint>

#include "pipeline/AuFile.h"
#include "platform/Exception.h"

namespace tunevert::fuzz {

// Enough for a few seconds of 8-channel audio; keeps a huge declared length from timing out.
inline constexpr int kMaxBlocks = 4096;

inline void ReadPass(TAuFileIn& In, int64_t SeekAt, int MaxBlocks) {
  In.Init();
  for (int blocks = 0; blocks < MaxBlocks; ++blocks) {
    void* buffer = nullptr;
    uint32_t bytes = 16384;
    In.GetData(buffer, bytes);
    if (bytes == 0) break;
    volatile uint8_t sink = static_cast<const uint8_t*>(buffer)[bytes - 1];
    (void)sink;
    if (blocks == 1 && SeekAt >= 0) In.Seek(SeekAt);
  }
  In.Flush();
}

// A looping pass restarts its range through the input's own seek at every end, and a pass
// keeps even a refused source open; both, and seeks from outside, are tried here.
inline void LoopPass(TAuFileIn& In, int MaxBlocks) {
  In.SetLoop(true);
  try {
    In.Init();
    for (int blocks = 0; blocks < MaxBlocks; ++blocks) {
      void* buffer = nullptr;
      uint32_t bytes = 4096;
      In.GetData(buffer, bytes);
      if (bytes == 0) break;
      volatile uint8_t sink = static_cast<const uint8_t*>(buffer)[bytes - 1];
      (void)sink;
      if (blocks % 4 == 2) In.Seek(int64_t{blocks} * 1237);
    }
    In.Seek(1);
  } catch (const EAuException&) {
  }
  In.SetLoop(false);
  try {
    In.Flush();
  } catch (const EAuException&) {
  }
}

inline void DriveInput(TAuFileIn& In, int MaxBlocks = kMaxBlocks, bool Looping = false) {
  if (Looping) LoopPass(In, MaxBlocks < 32 ? MaxBlocks : 32);
  try {
    if (!In.Valid()) return;
    ReadPass(In, -1, MaxBlocks);
  } catch (const EAuException&) {
  }
  const int64_t total = In.TotalSamples();
  if (total <= 2) return;
  try {
    In.SetStartSample(total / 3);
    In.SetEndSample(total / 2);
    // Relative to the range: back to a point before the frames already read.
    ReadPass(In, (total / 2 - total / 3) / 4, MaxBlocks);
  } catch (const EAuException&) {
  }
}

}  // namespace tunevert::fuzz
