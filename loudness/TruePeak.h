#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tunevert {

// The true peak of interleaved audio as BS.1770 estimates it: the largest magnitude of the
// signal oversampled 4 times below 96 kHz, twice below 192 kHz, not at all above, through a
// 49-tap Hann-windowed sinc. The same filter as libebur128's, run a block of frames at a time
// over each channel so that the compiler vectorises it: measuring true peak with the library
// cost three times its loudness measuring.
class TTruePeakMeter {
 public:
  TTruePeakMeter(uint32_t Channels, uint32_t SampleRate);

  void AddFrames(const float* Interleaved, size_t Frames);

  // Linear, 1 is full scale; the highest of all channels. Never below the sample peak.
  double TruePeak() const { return FTruePeak; }
  double SamplePeak() const { return FSamplePeak; }

 private:
  static constexpr size_t kTaps = 49;
  static constexpr size_t kBlock = 256;  // frames per pass, a multiple of any vector width

  void AddBlock(const float* Interleaved, size_t Frames);

  uint32_t FChannels;
  uint32_t FFactor;
  size_t FHistory;  // input samples each phase reaches back
  // Per phase (1 to FFactor - 1; phase 0 is the samples themselves) its FHistory taps, the
  // first for the newest sample.
  std::vector<std::vector<float>> FPhases;
  // Per channel: the last FHistory samples, then room for a block.
  std::vector<std::vector<float>> FSamples;
  double FTruePeak = 0;
  double FSamplePeak = 0;
};

}  // namespace tunevert
