#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tunevert {

// Mixes interleaved 16-bit PCM from one channel count to another, both in WAV channel order
// (FL, FR, FC, LFE, BL, BR for 5.1): for inputs whose source changes layout part-way.
class TAuRemix final {
 public:
  TAuRemix(uint32_t InChannels, uint32_t OutChannels);

  uint32_t InChannels() const { return FIn; }
  uint32_t OutChannels() const { return FOut; }
  float Gain(uint32_t Out, uint32_t In) const { return FMatrix[Out * FIn + In]; }

  // Appends Frames mixed frames of In to Out.
  void Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out) const;

 private:
  uint32_t FIn;
  uint32_t FOut;
  std::vector<float> FMatrix;  // FOut rows of FIn gains
};

}  // namespace tunevert
